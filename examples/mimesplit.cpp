// mimesplit: writes the leaf parts of a MIME message (RFC 2045, RFC 2046)
// to files, decoding base64 and quoted-printable bodies with the octafold
// library, which stops each decoder at the part's boundary line.
//
//   mimesplit [-n] MESSAGE DIRECTORY      (MESSAGE "-" is standard input)
//
// What happens to each kind of part:
//   multipart/*           not written; its body parts are split in turn (in
//                         multipart/digest a part without a Content-Type is
//                         message/rfc822, RFC 2046 section 5.1.5)
//   message/rfc822, message/global
//                         not written; the enclosed message's header block is
//                         read and its parts are split in turn, as if it
//                         stood in the place of the part
//   any other part        one file: base64 and quoted-printable bodies
//                         decoded, everything else (7bit, 8bit, binary,
//                         encodings it does not know, message/rfc822 sent
//                         encoded) copied as it is
// Files are DIRECTORY/part-001, part-002, ... (the directory is created when
// missing); with -n a part is named by its file name (Content-Disposition
// "filename", else Content-Type "name", RFC 2231 and RFC 2047 decoded),
// made safe first. No file outside DIRECTORY is written and no existing file
// is replaced: a taken name gets "-2", "-3", ... before its extension. One
// line per part goes to standard output:
//   index content-type transfer-encoding decoded-size file-name
// followed by ' (renamed from "NAME": reasons)' when the name was changed.
//
// Header blocks are read as mail readers read them: a line that is neither
// a header field nor a continuation line begins the body even without the
// empty line before it. A parameter given twice, or a field given twice,
// counts the first time. Line ends may be LF or CR LF.
//
// Exit statuses:
//   0  every part was written
//   1  the message is malformed: a multipart without a boundary parameter,
//      a boundary line that never comes, a header line longer than 998
//      characters, a boundary longer than 70, parts nested too deeply
//   2  usage error, or a file that cannot be opened, read or written
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mime_fields.h"
#include "octafold.h"
#include "safe_name.h"

namespace {

using namespace mimesplit;

constexpr int kExitMalformed = 1;
constexpr int kExitTrouble = 2;

// RFC 5322 section 2.1.1: at most 998 characters and CR LF; a NUL after.
constexpr std::size_t kMaxHeaderLine = 998;
constexpr std::size_t kHeaderLineSize = kMaxHeaderLine + 2 + 1;
// One unfolded Content-Type, Content-Disposition or
// Content-Transfer-Encoding field.
constexpr std::size_t kFieldSize = 8192;
// RFC 2046 section 5.1.1: a boundary holds 1 to 70 characters.
constexpr std::size_t kMaxBoundary = 70;
constexpr std::size_t kEntrySize = 2 + kMaxBoundary + 1;  // "--", boundary, NUL
// Multiparts and enclosed messages together.
constexpr int kMaxDepth = 16;
// Buffers of the message stream and of the part being written.
constexpr std::size_t kStreamBuffer = 64 * 1024;
// A file name as the sender wrote it, decoded.
constexpr std::size_t kNameSize = 1024;

const char *input_name = "-";

[[noreturn, gnu::format(printf, 2, 3)]] void fail(int status, const char *format, ...) {
  std::fprintf(stderr, "mimesplit: %s: ", input_name);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::exit(status);
}

// Reads lines with fgets, which finds the LF inside the stream's buffer a
// block at a time. fgets does not say how many bytes it stored, and a line
// may hold NULs, so the buffer is kept filled with LFs: fgets stores the
// line (in which an LF can only be the last byte) and one NUL, so the NUL
// it appended is the first one followed by two LFs: a NUL of the line is
// followed by another byte of it, or by its last LF and then the NUL.
class LineReader {
 public:
  static constexpr std::size_t kSize = 64 * 1024;

  LineReader() { std::memset(buf_, '\n', sizeof buf_); }

  // One line through its LF, or its first limit - 1 bytes (limit - 1 and
  // an LF when they end in CR, so that a CR LF stays in one piece);
  // NUL-terminated. Returns the number of bytes, 0 at end of input or on
  // a read error.
  std::size_t read(std::FILE *in, std::size_t limit) {
    std::memset(buf_, '\n', dirty_);
    dirty_ = sizeof buf_;  // fgets leaves the buffer undefined on an error
    if (std::fgets(buf_, static_cast<int>(limit), in) == nullptr) return 0;
    for (char *p = buf_;; ++p) {
      p = static_cast<char *>(std::memchr(p, '\0', static_cast<std::size_t>(buf_ + limit - p)));
      auto at = static_cast<std::size_t>(p - buf_);
      if (p[1] != '\n' || p[2] != '\n') continue;
      if (at > 0 && buf_[at - 1] == '\r') {
        const int c = std::getc(in);
        if (c == '\n') {
          buf_[at++] = '\n';
          buf_[at] = '\0';
        } else if (c != EOF) {
          std::ungetc(c, in);
        }
      }
      dirty_ = at + 1;
      return at;
    }
  }

  const char *data() const { return buf_; }

 private:
  char buf_[kSize + 3];  // an LF added to a CR, then two LFs of the filling
  std::size_t dirty_ = 0;
};

// The boundaries of the enclosing multiparts, outermost first: a closing
// line of entry i lowers the count to i, which also retires every inner
// boundary (RFC 2046 forbids a boundary that begins with an outer one, so
// the first match in this order is the right one).
struct BoundaryList {
  char text[kMaxDepth][kEntrySize] = {};
  const char *entries[kMaxDepth] = {};
  int count = 0;
  const char *const *active() const { return count > 0 ? entries : nullptr; }
};

// How a part's body ended. The decoders do not say which boundary line
// stopped them: a lowered count shows a closing line, and an unchanged one
// a separator, which is taken as the innermost multipart's. Where mimesplit
// reads the line itself it finds the multipart the separator belongs to.
enum class EndKind { separator, close, eof };
struct End {
  EndKind kind;
  int level;  // index of the boundary in the list
};

End classify(int count_before, int count_after, bool saw_boundary) {
  if (count_after < count_before) return {EndKind::close, count_after};
  if (saw_boundary) return {EndKind::separator, count_after - 1};
  return {EndKind::eof, -1};
}

// --- Header blocks ---

// The fields mimesplit reads, unfolded, as they came.
struct Headers {
  char content_type[kFieldSize];
  char encoding[kFieldSize];
  char disposition[kFieldSize];
  bool has_content_type;
  bool has_encoding;
  bool has_disposition;
  void clear() {
    content_type[0] = encoding[0] = disposition[0] = '\0';
    has_content_type = has_encoding = has_disposition = false;
  }
};

enum class LineKind { separator, continuation, skipped, field, body };

// What a line at the top of a header block is. A field is a name of
// printable characters other than ":" followed by ":"; a continuation
// begins with a blank; a "From " line (a mailbox's envelope line) or one
// that starts with ":" is passed over. Anything else begins the body.
LineKind header_line_kind(const char *line, std::size_t n) {
  if (line[0] == '\n' || (line[0] == '\r' && (n == 1 || line[1] == '\n')))
    return LineKind::separator;
  if (line[0] == ' ' || line[0] == '\t') return LineKind::continuation;
  if (n >= 5 && std::memcmp(line, "From ", 5) == 0) return LineKind::skipped;
  for (std::size_t i = 0; i < n; ++i) {
    if (line[i] == ':') return i == 0 ? LineKind::skipped : LineKind::field;
    const auto c = static_cast<unsigned char>(line[i]);
    if (c < 0x21 || c > 0x7E) break;
  }
  return LineKind::body;
}

bool is_field(const char *line, std::size_t name_length, const char *name) {
  if (std::strlen(name) != name_length) return false;
  for (std::size_t i = 0; i < name_length; ++i) {
    if (std::tolower(static_cast<unsigned char>(line[i])) != name[i]) return false;
  }
  return true;
}

// What mimesplit needs to know of one entity.
struct Part {
  char type[2 * kTokenSize] = "text/plain";  // RFC 2045 section 5.2 default
  char encoding[kTokenSize] = "7bit";        // RFC 2045 section 6.1 default
  char boundary[kMaxBoundary + 1] = {};
  char name[kNameSize] = {};
  std::size_t name_length = 0;
  bool multipart = false;
  bool message = false;  // an enclosed message to descend into
};

void describe(const Headers &h, bool in_digest, Part &part) {
  if (!h.has_content_type) {
    if (in_digest) std::strcpy(part.type, "message/rfc822");
  } else if (!media_type(h.content_type, part.type, sizeof part.type)) {
    std::strcpy(part.type, "text/plain");  // a malformed type
  }
  if (h.has_encoding && !first_token(h.encoding, part.encoding, sizeof part.encoding))
    std::strcpy(part.encoding, "7bit");
  part.multipart = std::strncmp(part.type, "multipart/", 10) == 0;
  // RFC 2046 section 5.2.1 allows only the identity encodings here; an
  // encoded message is written decoded, as one part.
  const bool identity = std::strcmp(part.encoding, "7bit") == 0 ||
                        std::strcmp(part.encoding, "8bit") == 0 ||
                        std::strcmp(part.encoding, "binary") == 0;
  part.message = identity && (std::strcmp(part.type, "message/rfc822") == 0 ||
                              std::strcmp(part.type, "message/global") == 0);

  char value[kNameSize];
  std::size_t length = 0;
  if (part.multipart) {
    const Param p = find_param(h.content_type, "boundary", value, sizeof value, &length);
    // RFC 2046 section 5.1.1: a boundary does not end in a blank.
    while (length > 0 && (value[length - 1] == ' ' || value[length - 1] == '\t')) --length;
    value[length] = '\0';
    if (p == Param::too_long || length > kMaxBoundary || (p == Param::found && length == 0))
      fail(kExitMalformed, "boundary \"%s\" must have 1 to %zu characters", value, kMaxBoundary);
    if (std::strlen(value) != length) fail(kExitMalformed, "boundary of %s holds a NUL", part.type);
    std::memcpy(part.boundary, value, length + 1);
  }
  Param p = h.has_disposition ? find_param(h.disposition, "filename", value, sizeof value, &length)
                              : Param::missing;
  if (p == Param::missing && h.has_content_type)
    p = find_param(h.content_type, "name", value, sizeof value, &length);
  if (p != Param::missing) {
    part.name_length = decode_words(value, length, part.name, sizeof part.name);
    if (part.name_length == sizeof part.name) part.name_length = sizeof part.name - 1;
  }
}

// A stream that yields `prefix` and then the bytes of `rest`, one read of
// `rest` at a time, so that `rest` is left exactly where the reader of this
// stream stopped. It hands a decoder the first line of a body that the
// header block has already read.
struct Joined {
  const char *prefix;
  std::size_t left;
  std::FILE *rest;
};

ssize_t read_joined(void *cookie, char *buf, std::size_t size) {
  auto *j = static_cast<Joined *>(cookie);
  if (size == 0) return 0;
  if (j->left > 0) {
    const std::size_t n = j->left < size ? j->left : size;
    std::memcpy(buf, j->prefix, n);
    j->prefix += n;
    j->left -= n;
    return static_cast<ssize_t>(n);
  }
  const int c = std::getc(j->rest);
  if (c == EOF) return std::ferror(j->rest) ? -1 : 0;
  buf[0] = static_cast<char>(c);
  return 1;
}

// --- Splitting ---

class Splitter {
 public:
  Splitter(std::FILE *in, const char *dir, int dir_fd, bool by_name)
      : in_(in), dir_(dir), dir_fd_(dir_fd), by_name_(by_name) {}

  // One entity: a message or a body part, its headers and its body.
  End entity(bool in_digest, int depth, bool in_multipart) {
    End end{EndKind::eof, -1};
    bool bare_separator = false;
    const bool has_body = read_headers(end, &bare_separator);
    // Two separator lines in a row enclose no body part: RFC 2046's grammar
    // has a CRLF and then the part after a boundary line, and the CRLF
    // before the second line belongs to that line.
    if (in_multipart && bare_separator && end.kind == EndKind::separator &&
        end.level == boundaries_.count - 1)
      return end;
    Part part;
    describe(headers_, in_digest, part);
    if (part.multipart) {
      if (part.boundary[0] == '\0') fail(kExitMalformed, "%s has no boundary parameter", part.type);
      if (!has_body) fail(kExitMalformed, "%s ends before its first boundary line", part.type);
      return multipart(part, depth);
    }
    if (part.message && has_body) {
      if (depth == kMaxDepth)
        fail(kExitMalformed, "multiparts and messages nested more than %d deep", kMaxDepth);
      return entity(false, depth + 1, false);
    }
    if (part.message) {
      Part empty;  // the enclosed message has neither header nor body
      return leaf(empty, false, end);
    }
    return leaf(part, has_body, end);
  }

 private:
  struct Piece {
    const char *data;
    std::size_t size;
  };

  // The line a header block read too far, else the next one of the input,
  // read into readers_[which].
  Piece next_piece(std::size_t limit, int which = 0) {
    if (pending_size_ > 0) {
      const Piece p{pending_, pending_size_};
      pending_size_ = 0;
      return p;
    }
    LineReader &r = readers_[which];
    return {r.data(), r.read(in_, limit)};
  }

  void push_back(Piece p) {
    if (p.data != pending_) std::memcpy(pending_, p.data, p.size + 1);
    pending_size_ = p.size;
  }

  // Tests a line against the active boundaries; on a boundary line sets
  // how the part ended.
  bool is_boundary(const char *line, End &end) {
    const int before = boundaries_.count;
    if (before == 0 || line[0] != '-' ||
        PendingBoundary(line, boundaries_.entries, &boundaries_.count) == 0)
      return false;
    if (boundaries_.count < before) {
      end = {EndKind::close, boundaries_.count};
      return true;
    }
    // A separator: the shortest list that still matches ends at its entry.
    for (int k = 1; k <= before; ++k) {
      int count = k;
      if (PendingBoundary(line, boundaries_.entries, &count) != 0) {
        end = {EndKind::separator, k - 1};
        break;
      }
    }
    return true;
  }

  bool at_end() {
    const int c = std::getc(in_);
    if (c == EOF) return true;
    std::ungetc(c, in_);
    return false;
  }

  // Reads the header block. False when the part ends first, at end of input
  // or at a boundary line (`end`); true when a body follows, whose first
  // line may be left in pending_.
  bool read_headers(End &end, bool *bare_separator) {
    headers_.clear();
    char *field = nullptr;  // the field that continuation lines extend
    for (bool first = true;; first = false) {
      const int before = boundaries_.count;
      const Piece line = next_piece(kHeaderLineSize);
      if (line.size == 0) {
        if (std::ferror(in_)) fail(kExitTrouble, "read error: %s", std::strerror(errno));
        end = classify(before, before, false);
        return false;
      }
      if (is_boundary(line.data, end)) {
        *bare_separator = first;
        return false;
      }
      const LineKind kind = header_line_kind(line.data, line.size);
      if (kind == LineKind::separator) return true;
      if (kind == LineKind::body) {
        push_back(line);
        return true;
      }
      std::size_t length = line.size;
      if (line.data[length - 1] == '\n') --length;
      if (length > 0 && line.data[length - 1] == '\r') --length;
      if (length > kMaxHeaderLine || (line.data[line.size - 1] != '\n' && !at_end()))
        fail(kExitMalformed, "header line longer than %zu characters", kMaxHeaderLine);
      if (kind == LineKind::continuation) {
        if (field != nullptr) append_field(field, line.data);
        continue;
      }
      field = nullptr;
      if (kind == LineKind::skipped) continue;
      const char *colon = static_cast<const char *>(std::memchr(line.data, ':', line.size));
      const auto name_length = static_cast<std::size_t>(colon - line.data);
      bool *seen = nullptr;
      if (is_field(line.data, name_length, "content-type")) {
        field = headers_.content_type;
        seen = &headers_.has_content_type;
      } else if (is_field(line.data, name_length, "content-transfer-encoding")) {
        field = headers_.encoding;
        seen = &headers_.has_encoding;
      } else if (is_field(line.data, name_length, "content-disposition")) {
        field = headers_.disposition;
        seen = &headers_.has_disposition;
      }
      if (field == nullptr) continue;
      if (*seen) {  // a repeated field: the first one counts
        field = nullptr;
        continue;
      }
      *seen = true;
      append_field(field, colon + 1);
    }
  }

  // Unfolds: the line end goes, the continuation's leading blank stays.
  static void append_field(char *field, const char *text) {
    const std::size_t len = std::strcspn(text, "\r\n");
    const std::size_t used = std::strlen(field);
    if (used + len + 1 > kFieldSize)
      fail(kExitMalformed, "header field longer than %zu characters", kFieldSize - 1);
    std::memcpy(field + used, text, len);
    field[used + len] = '\0';
  }

  End multipart(const Part &part, int depth) {
    const int level = boundaries_.count;
    if (depth == kMaxDepth)
      fail(kExitMalformed, "multiparts and messages nested more than %d deep", kMaxDepth);
    std::snprintf(boundaries_.text[level], kEntrySize, "--%s", part.boundary);
    boundaries_.entries[level] = boundaries_.text[level];
    boundaries_.count = level + 1;
    const bool digest = std::strcmp(part.type, "multipart/digest") == 0;

    bool opened = false;
    End end = copy_body(nullptr);  // the preamble
    for (;;) {
      if (end.kind == EndKind::eof) {
        if (!opened)
          fail(kExitMalformed, "no boundary line \"%s\" in the %s body", boundaries_.text[level],
               part.type);
        fail(kExitMalformed, "the %s body ends without its closing line \"%s--\"", part.type,
             boundaries_.text[level]);
      }
      if (end.kind == EndKind::close) break;
      // A separator of an enclosing multipart ends this one too, and the
      // boundaries of this one and those inside it retire.
      if (end.level < level) {
        boundaries_.count = end.level + 1;
        return end;
      }
      opened = true;
      end = entity(digest, depth + 1, true);
    }
    // An enclosing multipart that closed first ends this one as well.
    if (end.level < level) return end;
    return copy_body(nullptr);  // the epilogue
  }

  // Opens the part's file in the output directory; fills `name` with the
  // name used and returns the changes made to the part's own name.
  std::FILE *open_part(const Part &part, unsigned index, char (&name)[kNameMax + 1],
                       unsigned *changes) {
    *changes = 0;
    name[0] = '\0';
    if (by_name_ && part.name_length > 0) *changes = safe_name(part.name, part.name_length, name);
    if (name[0] == '\0') std::snprintf(name, sizeof name, "part-%03u", index);
    const int fd = create_new_file(dir_fd_, name, changes);
    if (fd < 0) fail(kExitTrouble, "%s/%s: %s", dir_, name, std::strerror(errno));
    std::FILE *out = fdopen(fd, "wb");
    if (out == nullptr) fail(kExitTrouble, "%s/%s: %s", dir_, name, std::strerror(errno));
    // One part file is open at a time, so they can share one buffer.
    static char buffer[kStreamBuffer];
    std::setvbuf(out, buffer, _IOFBF, sizeof buffer);
    return out;
  }

  End leaf(const Part &part, bool has_body, End end) {
    const unsigned index = ++parts_;
    char name[kNameMax + 1];
    unsigned changes = 0;
    std::FILE *out = open_part(part, index, name, &changes);

    if (has_body) {
      const int before = boundaries_.count;
      bool saw_boundary = false;
      const bool base64 = std::strcmp(part.encoding, "base64") == 0;
      if (base64 || std::strcmp(part.encoding, "quoted-printable") == 0) {
        saw_boundary = decode(base64, out);
        end = classify(before, boundaries_.count, saw_boundary);
      } else {
        end = copy_body(out);
      }
    }
    if (std::ferror(in_)) fail(kExitTrouble, "read error: %s", std::strerror(errno));
    const bool flushed = std::fflush(out) == 0;
    const long size = std::ftell(out);
    if (!flushed || std::ferror(out) != 0 || std::fclose(out) != 0)
      fail(kExitTrouble, "%s/%s: write error: %s", dir_, name, std::strerror(errno));
    std::printf("%u %s %s %ld %s", index, part.type, part.encoding, size, name);
    if (changes != 0) print_changes(changes, part);
    std::putchar('\n');
    return end;
  }

  void print_changes(unsigned changes, const Part &part) {
    std::fputs(" (renamed from \"", stdout);
    if (part.name_length == 0 || !by_name_) std::printf("part-%03u", parts_);
    for (std::size_t i = 0; by_name_ && i < part.name_length; ++i) {
      const auto c = static_cast<unsigned char>(part.name[i]);
      // The sender's bytes, shown so that none can act on a terminal.
      if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
        std::printf("\\x%02x", c);
      } else {
        std::putchar(c);
      }
    }
    char words[128];
    describe_changes(changes, words, sizeof words);
    std::printf("\": %s)", words);
  }

  // Decodes a base64 or quoted-printable body up to its boundary line; true
  // when one came.
  bool decode(bool base64, std::FILE *out) {
    std::FILE *source = in_;
    Joined joined{pending_, pending_size_, in_};
    if (pending_size_ > 0) {
      // The body's first line was read with the header block: put it in
      // front of the input. Unbuffered, so that the input is read no
      // further than the decoder reads.
      pending_size_ = 0;
      source = fopencookie(&joined, "rb", {read_joined, nullptr, nullptr, nullptr});
      if (source == nullptr) fail(kExitTrouble, "%s", std::strerror(errno));
      std::setvbuf(source, nullptr, _IONBF, 0);
    }
    if (base64) {
      from64(source, out, boundaries_.active(), &boundaries_.count, 0);
    } else {
      fromqp(source, out, boundaries_.active(), &boundaries_.count);
    }
    const bool saw_boundary = !std::feof(source) && !std::ferror(source);
    if (source != in_) std::fclose(source);
    return saw_boundary;
  }

  // Copies (or with a null stream skips) up to the next boundary line of
  // the list, which it consumes. Each line is written once the next one
  // shows that no boundary line follows: the line end before a boundary
  // line belongs to the boundary (RFC 2046 section 5.1.1), and is dropped.
  // Two line buffers take turns, so the held line stays where it was read.
  End copy_body(std::FILE *out) {
    Piece held{nullptr, 0};
    bool line_start = true;
    End end{EndKind::eof, -1};
    for (;;) {
      const Piece p = next_piece(LineReader::kSize - 1, held.data == readers_[0].data() ? 1 : 0);
      if (p.size == 0) break;
      if (line_start && is_boundary(p.data, end)) {
        std::size_t n = held.size;
        if (n > 0 && held.data[n - 1] == '\n') --n;
        if (n > 0 && held.data[n - 1] == '\r') --n;
        write(out, held.data, n);
        return end;
      }
      write(out, held.data, held.size);
      held = p;
      line_start = p.data[p.size - 1] == '\n';
    }
    write(out, held.data, held.size);
    if (std::ferror(in_)) fail(kExitTrouble, "read error: %s", std::strerror(errno));
    return end;
  }

  static void write(std::FILE *out, const char *p, std::size_t n) {
    if (out != nullptr && n > 0) std::fwrite(p, 1, n, out);
  }

  std::FILE *in_;
  const char *dir_;
  int dir_fd_;
  bool by_name_;
  unsigned parts_ = 0;
  BoundaryList boundaries_;
  LineReader readers_[2];
  Headers headers_;                         // of the entity being read; only its Part outlives it
  char pending_[kHeaderLineSize + 1] = {};  // a header line, and an LF after its CR
  std::size_t pending_size_ = 0;
};

std::FILE *open_message(const char *name) {
  std::FILE *in = stdin;
  if (std::strcmp(name, "-") != 0) in = std::fopen(name, "rb");
  if (in == nullptr) fail(kExitTrouble, "%s", std::strerror(errno));
  // Larger than the default of a disk block: the decoders and fgets work a
  // buffer at a time.
  static char buffer[kStreamBuffer];
  std::setvbuf(in, buffer, _IOFBF, sizeof buffer);
  return in;
}

int open_directory(const char *dir) {
  if (mkdir(dir, 0777) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "mimesplit: %s: %s\n", dir, std::strerror(errno));
    std::exit(kExitTrouble);
  }
  const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "mimesplit: %s: %s\n", dir, std::strerror(errno));
    std::exit(kExitTrouble);
  }
  return fd;
}

constexpr const char kUsage[] = "usage: mimesplit [-n] MESSAGE DIRECTORY\n";
constexpr const char kHelp[] =
    "Writes the parts of a MIME message to files in DIRECTORY (created when\n"
    "missing) and prints one line per file:\n"
    "  index content-type transfer-encoding decoded-size file-name\n"
    "MESSAGE \"-\" is standard input.\n"
    "\n"
    "  multipart/*       split into its parts (in multipart/digest a part\n"
    "                    without a type is message/rfc822)\n"
    "  message/rfc822, message/global\n"
    "                    the enclosed message is split in turn\n"
    "  other parts       one file each, base64 and quoted-printable decoded,\n"
    "                    anything else copied as it is\n"
    "\n"
    "  -n  name each file by the part's file name (Content-Disposition\n"
    "      filename, else Content-Type name), made safe; part-NNN otherwise.\n"
    "      Existing files are never replaced: a taken name gets -2, -3, ...\n"
    "\n"
    "Exit status: 0 done, 1 malformed message, 2 usage or file error.\n";

}  // namespace

int main(int argc, char **argv) {
  bool by_name = false;
  int first = 1;
  if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    std::fputs(kUsage, stdout);
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (argc > 1 && std::strcmp(argv[1], "-n") == 0) {
    by_name = true;
    first = 2;
  }
  if (argc - first != 2) {
    std::fputs(kUsage, stderr);
    return kExitTrouble;
  }
  input_name = argv[first];
  std::FILE *in = open_message(argv[first]);
  const int dir_fd = open_directory(argv[first + 1]);
  static Splitter splitter(in, argv[first + 1], dir_fd, by_name);  // 90 KiB: not on the stack
  splitter.entity(false, 0, false);
  if (std::fflush(stdout) != 0) fail(kExitTrouble, "standard output: %s", std::strerror(errno));
  return 0;
}
