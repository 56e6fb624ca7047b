#include "safe_name.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace mimesplit {
namespace {

// Length of the extension (".pdf") worth keeping when a name is cut.
constexpr std::size_t kMaxExtension = 16;

std::size_t extension_start(const char *name, std::size_t length) {
  const char *dot = nullptr;
  for (const char *p = name + 1; p < name + length; ++p) {
    if (*p == '.') dot = p;
  }
  if (dot == nullptr || name + length - dot > static_cast<std::ptrdiff_t>(kMaxExtension))
    return length;
  return static_cast<std::size_t>(dot - name);
}

// Cuts name[0, stem) so that it keeps whole UTF-8 sequences.
std::size_t utf8_cut(const char *name, std::size_t stem) {
  while (stem > 0 && (static_cast<unsigned char>(name[stem]) & 0xC0) == 0x80) --stem;
  return stem;
}

// Builds stem + suffix + extension into out, cutting the stem so that the
// whole fits in kNameMax bytes.
void compose(const char *name, std::size_t length, const char *suffix, char (&out)[kNameMax + 1]) {
  const std::size_t ext = extension_start(name, length);
  const std::size_t ext_length = length - ext;
  const std::size_t suffix_length = std::strlen(suffix);
  std::size_t stem = ext;
  if (stem + suffix_length + ext_length > kNameMax)
    stem = utf8_cut(name, kNameMax - suffix_length - ext_length);
  std::memmove(out, name, stem);
  std::memcpy(out + stem, suffix, suffix_length);
  std::memmove(out + stem + suffix_length, name + ext, ext_length);
  out[stem + suffix_length + ext_length] = '\0';
}

}  // namespace

unsigned safe_name(const char *name, std::size_t length, char (&out)[kNameMax + 1]) {
  unsigned changes = 0;
  // Windows senders write "C:\dir\file"; either separator ends a directory.
  for (std::size_t i = length; i > 0; --i) {
    if (name[i - 1] == '/' || name[i - 1] == '\\') {
      changes |= kDirectoryPart;
      name += i;
      length -= i;
      break;
    }
  }
  bool only_dots = true;
  for (std::size_t i = 0; i < length; ++i) only_dots = only_dots && name[i] == '.';
  if (only_dots) {
    out[0] = '\0';
    return changes | kNothingLeft;
  }
  if (length > kNameMax) changes |= kTooLong;
  // Keep the extension when the name must be cut: the type stays visible.
  char cut[kNameMax + 1];
  const char *source = name;
  if (length > kNameMax) {
    const std::size_t ext = extension_start(name, length);
    const std::size_t ext_length = length - ext;
    const std::size_t stem = utf8_cut(name, kNameMax - ext_length);
    std::memcpy(cut, name, stem);
    std::memcpy(cut + stem, name + ext, ext_length);
    source = cut;
    length = stem + ext_length;
  }
  for (std::size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(source[i]);
    if (c < 0x20 || c == 0x7F) {
      changes |= kControlBytes;
      out[i] = '_';
    } else {
      out[i] = source[i];
    }
  }
  out[length] = '\0';
  return changes;
}

int create_new_file(int dir_fd, char (&name)[kNameMax + 1], unsigned *changes) {
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  char wanted[kNameMax + 1];
  std::memcpy(wanted, name, sizeof wanted);
  const std::size_t length = std::strlen(wanted);
  for (unsigned n = 2;; ++n) {
    const int fd = openat(dir_fd, name, kFlags, 0666);
    if (fd >= 0 || errno != EEXIST || n > 9999) return fd;
    *changes |= kTaken;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "-%u", n);
    compose(wanted, length, suffix, name);
  }
}

void describe_changes(unsigned changes, char *out, std::size_t size) {
  static constexpr struct {
    unsigned bit;
    const char *words;
  } kWords[] = {{kDirectoryPart, "directory part"},
                {kControlBytes, "control bytes"},
                {kNothingLeft, "no usable name"},
                {kTooLong, "too long"},
                {kTaken, "name taken"}};
  std::size_t used = 0;
  out[0] = '\0';
  for (const auto &w : kWords) {
    if ((changes & w.bit) == 0) continue;
    const int n = std::snprintf(out + used, size - used, "%s%s", used > 0 ? ", " : "", w.words);
    if (n < 0 || static_cast<std::size_t>(n) >= size - used) return;
    used += static_cast<std::size_t>(n);
  }
}

}  // namespace mimesplit
