// mimesplit: writes the leaf parts of a MIME message (RFC 2045, RFC 2046)
// to numbered files, decoding base64 and quoted-printable bodies with the
// octafold library, which stops each decoder at the part's boundary line.
//
//   mimesplit MESSAGE DIRECTORY      (MESSAGE "-" is standard input)
//
// Writes DIRECTORY/part-001, part-002, ... (the directory is created when
// missing) and prints one line per part on standard output:
//   index content-type transfer-encoding decoded-size
// Parts without a transfer encoding, or with 7bit, 8bit, binary or one it
// does not know, are copied as they are. Line ends may be LF or CR LF; the
// quoted-printable decoder knows only LF, so such a body keeps its CRs. That
// decoder also writes the LF of a last line that begins with "-" (it reads
// such lines whole), so a body ending in, say, "---" keeps one LF too many.
//
// Exit statuses:
//   0  every part was written
//   1  the message is malformed: a multipart without a boundary parameter,
//      a boundary line that never comes, a header line longer than 998
//      characters, a boundary longer than 70, multiparts nested too deeply
//   2  usage error, or a file that cannot be opened, read or written
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "octafold.h"

namespace {

constexpr int kExitMalformed = 1;
constexpr int kExitTrouble = 2;

// RFC 5322 section 2.1.1: at most 998 characters and CR LF; a NUL after.
constexpr std::size_t kMaxHeaderLine = 998;
constexpr std::size_t kHeaderLineSize = kMaxHeaderLine + 2 + 1;
// One unfolded Content-Type or Content-Transfer-Encoding field.
constexpr std::size_t kFieldSize = 2048;
// RFC 2046 section 5.1.1: a boundary holds 1 to 70 characters.
constexpr std::size_t kMaxBoundary = 70;
constexpr std::size_t kEntrySize = 2 + kMaxBoundary + 1;  // "--", boundary, NUL
constexpr int kMaxDepth = 16;
// A body line that begins with "-" is read this far to be tested.
constexpr std::size_t kDashLineSize = 200;
static_assert(kDashLineSize > kEntrySize + 2, "a closing line must fit whole");
constexpr std::size_t kTokenSize = 64;  // type, subtype, attribute, encoding
constexpr std::size_t kPathSize = 4096;

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

bool equal_ignoring_case(const char *a, const char *b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (std::tolower(static_cast<unsigned char>(*a)) !=
        std::tolower(static_cast<unsigned char>(*b)))
      return false;
  }
  return *a == *b;
}

// Reads up to and including the next LF, at most size - 1 bytes, and
// NUL-terminates them. Returns the number of bytes read, NULs included.
std::size_t read_line(std::FILE *in, char *buf, std::size_t size) {
  std::size_t n = 0;
  while (n + 1 < size) {
    const int c = std::getc(in);
    if (c == EOF) break;
    buf[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  buf[n] = '\0';
  return n;
}

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
// a separator, which is taken as the innermost multipart's.
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

// Copies body bytes, holding back each line end (LF or CR LF) until the
// next byte shows that no boundary line follows: the line end before a
// boundary line belongs to the boundary (RFC 2046 section 5.1.1). A null
// stream discards everything (preambles, epilogues).
class BodyWriter {
 public:
  explicit BodyWriter(std::FILE *out) : out_(out) {}

  void put(int c) {
    if (c == '\n') {
      release();
      held_ = cr_ ? 2 : 1;
      cr_ = false;
      line_start_ = true;
      return;
    }
    release();
    if (cr_) write('\r');
    cr_ = c == '\r';
    if (!cr_) write(c);
    line_start_ = false;
  }

  // End of input: nothing follows, so what is held is data.
  void finish() {
    release();
    if (cr_) write('\r');
    cr_ = false;
  }

  bool at_line_start() const { return line_start_; }

 private:
  void write(int c) {
    if (out_ != nullptr) std::putc(c, out_);
  }
  void release() {
    if (held_ == 2) write('\r');
    if (held_ != 0) write('\n');
    held_ = 0;
  }

  std::FILE *out_;
  int held_ = 0;  // 0 nothing, 1 LF, 2 CR LF
  bool cr_ = false;
  bool line_start_ = true;
};

// --- Header fields (RFC 2045 section 5) ---

struct Headers {
  char content_type[kFieldSize] = {};
  char encoding[kFieldSize] = {};
};

struct ContentType {
  char type[2 * kTokenSize] = "text/plain";  // RFC 2045 section 5.2 default
  char boundary[kMaxBoundary + 1] = {};
  bool multipart = false;
};

bool is_token_char(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u > 32 && u < 127 && std::strchr("()<>@,;:\\\"/[]?=", c) == nullptr;
}

// Skips blanks, line ends and (nested) comments.
const char *skip_cfws(const char *p) {
  for (;;) {
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
    if (*p != '(') return p;
    int depth = 0;
    do {
      if (*p == '\\' && p[1] != '\0') {
        ++p;
      } else if (*p == '(') {
        ++depth;
      } else if (*p == ')') {
        --depth;
      }
      ++p;
    } while (*p != '\0' && depth > 0);
  }
}

// Copies the token at p into out, lower-cased; null when there is none or
// it does not fit.
const char *take_token(const char *p, char *out, std::size_t size) {
  std::size_t n = 0;
  for (; is_token_char(*p); ++p) {
    if (n + 1 >= size) return nullptr;
    out[n++] = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
  }
  out[n] = '\0';
  return n == 0 ? nullptr : p;
}

// A parameter value: a quoted string (with its quoted pairs) or a token,
// case kept. Null when malformed or too long.
const char *take_value(const char *p, char *out, std::size_t size) {
  std::size_t n = 0;
  if (*p != '"') {
    for (; is_token_char(*p); ++p) {
      if (n + 1 >= size) return nullptr;
      out[n++] = *p;
    }
    out[n] = '\0';
    return n == 0 ? nullptr : p;
  }
  for (++p; *p != '"'; ++p) {
    if (*p == '\\' && p[1] != '\0') ++p;
    if (*p == '\0' || n + 1 >= size) return nullptr;
    out[n++] = *p;
  }
  out[n] = '\0';
  return p + 1;
}

// A malformed type falls back to text/plain; parameters are read up to the
// first malformed one.
ContentType parse_content_type(const char *field) {
  ContentType ct;
  char type[kTokenSize], subtype[kTokenSize];
  const char *p = take_token(skip_cfws(field), type, sizeof type);
  if (p == nullptr || *(p = skip_cfws(p)) != '/') return ct;
  p = take_token(skip_cfws(p + 1), subtype, sizeof subtype);
  if (p == nullptr) return ct;
  std::snprintf(ct.type, sizeof ct.type, "%s/%s", type, subtype);
  ct.multipart = std::strcmp(type, "multipart") == 0;

  char attribute[kTokenSize];
  char value[kFieldSize];
  while (*(p = skip_cfws(p)) == ';') {
    p = take_token(skip_cfws(p + 1), attribute, sizeof attribute);
    if (p == nullptr || *(p = skip_cfws(p)) != '=') break;
    p = take_value(skip_cfws(p + 1), value, sizeof value);
    if (p == nullptr) break;
    if (std::strcmp(attribute, "boundary") != 0) continue;
    const std::size_t n = std::strlen(value);
    if (n == 0 || n > kMaxBoundary)
      fail(kExitMalformed, "boundary \"%s\" must have 1 to %zu characters", value, kMaxBoundary);
    std::memcpy(ct.boundary, value, n + 1);
  }
  return ct;
}

// --- Splitting ---

class Splitter {
 public:
  Splitter(std::FILE *in, const char *dir) : in_(in), dir_(dir) {}

  // One entity: a message or a body part, its headers and its body.
  End entity() {
    Headers headers;
    End end{EndKind::eof, -1};
    const bool has_body = read_headers(headers, end);
    const ContentType ct = parse_content_type(headers.content_type);
    if (!ct.multipart) return leaf(ct, headers.encoding, has_body, end);
    if (ct.boundary[0] == '\0') fail(kExitMalformed, "%s has no boundary parameter", ct.type);
    if (!has_body) fail(kExitMalformed, "%s ends before its first boundary line", ct.type);
    return multipart(ct);
  }

 private:
  // Reads header lines through the empty line that ends them. False when
  // the part ends first, at end of input or at a boundary line (`end`).
  bool read_headers(Headers &h, End &end) {
    char line[kHeaderLineSize];
    char *field = nullptr;  // the field that continuation lines extend
    for (;;) {
      const int before = boundaries_.count;
      const std::size_t n = read_line(in_, line, sizeof line);
      if (n == 0) {
        end = classify(before, before, false);
        return false;
      }
      std::size_t length = n;
      if (line[length - 1] == '\n') --length;
      if (length > 0 && line[length - 1] == '\r') --length;
      if (length > kMaxHeaderLine || (line[n - 1] != '\n' && !at_end()))
        fail(kExitMalformed, "header line longer than %zu characters", kMaxHeaderLine);
      if (boundaries_.count > 0 && PendingBoundary(line, boundaries_.entries, &boundaries_.count)) {
        end = classify(before, boundaries_.count, true);
        return false;
      }
      if (std::strcmp(line, "\n") == 0 || std::strcmp(line, "\r\n") == 0) return true;
      if (line[0] == ' ' || line[0] == '\t') {
        if (field != nullptr) append_field(field, line);
        continue;
      }
      field = nullptr;
      char *colon = std::strchr(line, ':');
      if (colon == nullptr) continue;  // not a field, e.g. a mailbox "From " line
      char *name_end = colon;
      while (name_end > line && (name_end[-1] == ' ' || name_end[-1] == '\t')) --name_end;
      *name_end = '\0';
      if (equal_ignoring_case(line, "Content-Type")) field = h.content_type;
      if (equal_ignoring_case(line, "Content-Transfer-Encoding")) field = h.encoding;
      if (field == nullptr) continue;
      field[0] = '\0';  // a repeated field replaces the earlier one
      append_field(field, colon + 1);
    }
  }

  bool at_end() {
    const int c = std::getc(in_);
    if (c == EOF) return true;
    std::ungetc(c, in_);
    return false;
  }

  // Unfolds: the line end goes, the continuation's leading blank stays.
  static void append_field(char *field, const char *text) {
    std::size_t len = std::strcspn(text, "\r\n");
    const std::size_t used = std::strlen(field);
    if (used + len + 1 > kFieldSize)
      fail(kExitMalformed, "header field longer than %zu characters", kFieldSize - 1);
    std::memcpy(field + used, text, len);
    field[used + len] = '\0';
  }

  End multipart(const ContentType &ct) {
    const int level = boundaries_.count;
    if (level == kMaxDepth) fail(kExitMalformed, "multiparts nested more than %d deep", kMaxDepth);
    std::snprintf(boundaries_.text[level], kEntrySize, "--%s", ct.boundary);
    boundaries_.entries[level] = boundaries_.text[level];
    boundaries_.count = level + 1;

    bool opened = false;
    End end = copy_until_boundary(nullptr);  // the preamble
    for (;;) {
      if (end.kind == EndKind::eof) {
        if (!opened)
          fail(kExitMalformed, "no boundary line \"%s\" in the %s body", boundaries_.text[level],
               ct.type);
        fail(kExitMalformed, "the %s body ends without its closing line \"%s--\"", ct.type,
             boundaries_.text[level]);
      }
      if (end.kind == EndKind::close) break;
      opened = true;
      end = entity();
    }
    // An enclosing multipart that closed first ends this one as well.
    if (end.level < level) return end;
    return copy_until_boundary(nullptr);  // the epilogue
  }

  End leaf(const ContentType &ct, const char *encoding_field, bool has_body, End end) {
    char encoding[kTokenSize];
    if (take_token(skip_cfws(encoding_field), encoding, sizeof encoding) == nullptr)
      std::strcpy(encoding, "7bit");  // RFC 2045 section 6.1 default

    char path[kPathSize];
    const unsigned index = ++parts_;
    if (std::snprintf(path, sizeof path, "%s/part-%03u", dir_, index) >=
        static_cast<int>(sizeof path))
      fail(kExitTrouble, "output path too long");
    std::FILE *out = std::fopen(path, "wb");
    if (out == nullptr) fail(kExitTrouble, "%s: %s", path, std::strerror(errno));

    if (has_body) {
      const int before = boundaries_.count;
      bool saw_boundary = false;
      if (std::strcmp(encoding, "base64") == 0) {
        from64(in_, out, boundaries_.active(), &boundaries_.count, 0);
        saw_boundary = !std::feof(in_) && !std::ferror(in_);
      } else if (std::strcmp(encoding, "quoted-printable") == 0) {
        fromqp(in_, out, boundaries_.active(), &boundaries_.count);
        saw_boundary = !std::feof(in_) && !std::ferror(in_);
      } else {
        saw_boundary = copy_body(out);
      }
      end = classify(before, boundaries_.count, saw_boundary);
    }
    if (std::ferror(in_)) fail(kExitTrouble, "read error: %s", std::strerror(errno));
    const bool flushed = std::fflush(out) == 0;
    const long size = std::ftell(out);
    if (!flushed || std::ferror(out) != 0 || std::fclose(out) != 0)
      fail(kExitTrouble, "%s: write error: %s", path, std::strerror(errno));
    std::printf("%u %s %s %ld\n", index, ct.type, encoding, size);
    return end;
  }

  End copy_until_boundary(std::FILE *out) {
    const int before = boundaries_.count;
    return classify(before, boundaries_.count, copy_body(out));
  }

  // Copies (or with a null stream skips) up to the next boundary line of
  // the list, which it consumes; true when one came before end of input.
  bool copy_body(std::FILE *out) {
    BodyWriter writer(out);
    char line[kDashLineSize];
    for (;;) {
      const int c = std::getc(in_);
      if (c == EOF) break;
      if (c == '-' && writer.at_line_start() && boundaries_.count > 0) {
        std::ungetc(c, in_);
        const std::size_t n = read_line(in_, line, sizeof line);
        if (PendingBoundary(line, boundaries_.entries, &boundaries_.count) != 0) return true;
        for (std::size_t i = 0; i < n; ++i) writer.put(static_cast<unsigned char>(line[i]));
        continue;
      }
      writer.put(c);
    }
    writer.finish();
    if (std::ferror(in_)) fail(kExitTrouble, "read error: %s", std::strerror(errno));
    return false;
  }

  std::FILE *in_;
  const char *dir_;
  unsigned parts_ = 0;
  BoundaryList boundaries_;
};

std::FILE *open_message(const char *name) {
  if (std::strcmp(name, "-") == 0) return stdin;
  std::FILE *in = std::fopen(name, "rb");
  if (in == nullptr) fail(kExitTrouble, "%s", std::strerror(errno));
  return in;
}

void make_directory(const char *dir) {
  if (mkdir(dir, 0777) == 0 || errno == EEXIST) return;
  std::fprintf(stderr, "mimesplit: %s: %s\n", dir, std::strerror(errno));
  std::exit(kExitTrouble);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fputs("usage: mimesplit MESSAGE DIRECTORY\n", stderr);
    return kExitTrouble;
  }
  input_name = argv[1];
  std::FILE *in = open_message(argv[1]);
  make_directory(argv[2]);
  Splitter splitter(in, argv[2]);
  splitter.entity();
  if (std::fflush(stdout) != 0) fail(kExitTrouble, "standard output: %s", std::strerror(errno));
  return 0;
}
