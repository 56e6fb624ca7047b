// Byte-wise quoted-printable decoder (RFC 2045, section 6.7). It validates
// nothing: a malformed escape still yields a byte, so no text is ever
// dropped. Tests hold the block paths in qp_decode.cpp against it, and the
// boundary path there hands it the few bytes around a line that begins
// with "-".
#include <cstdio>
#include <cstring>

#include "internal.h"
#include "kernels.h"
#include "tables.h"

namespace {

using octafold::ref::QpState;

// EOF in a digit's place counts as a non-digit, as NUL does.
int escaped_byte(int high, int low) {
  const auto digit = [](int c) { return static_cast<unsigned char>(c == EOF ? 0 : c); };
  return octafold::qp_escaped_byte(digit(high), digit(low));
}

template <typename Put>
void put_held(QpState &s, Put put) {
  if (s.held == 2) put('\r');
  if (s.held != 0) put('\n');
  s.held = 0;
}

void put_held(QpState &s, FILE *out) {
  put_held(s, [out](int c) { putc(c, out); });
}

// Decodes one line read on the boundary path: `n` bytes, of which the C
// string holds the first strlen. A NUL inside the line ends it, and an
// escape cut by the end of the buffer writes nothing. The line's own line
// end is held, as on the stream path, and so is a CR that ends a piece cut
// at the buffer size: its LF may come next.
template <typename Put>
void decode_line(QpState &s, const char *line, std::size_t n, Put put) {
  const std::size_t len = std::strlen(line);
  for (const char *p = line; *p != '\0';) {
    if (*p == '=') {
      if (p[1] == '\0') break;
      if (p[1] == '\n') {
        p += 2;  // soft line break
      } else if (p[1] == '\r' && p[2] == '\n') {
        p += 3;  // soft line break, CR LF
      } else if (p[2] == '\0') {
        break;
      } else {
        put(escaped_byte(static_cast<unsigned char>(p[1]), static_cast<unsigned char>(p[2])));
        p += 3;
      }
    } else if (*p == '\n') {
      s.held = 1;  // a bounded read puts the LF last
      ++p;
    } else if (*p == '\r' && p[1] == '\n') {
      s.held = 2;
      p += 2;
    } else if (*p == '\r' && p[1] == '\0' && len == n) {
      s.cr = true;
      ++p;
    } else {
      put(static_cast<unsigned char>(*p++));
    }
  }
}

}  // namespace

namespace octafold::ref {

bool fromqp_line(QpState &s, const char *line, std::size_t n, ByteSink sink, void *ctx,
                 const char *const *boundaries, int *count) {
  // The line end before a boundary line belongs to it (RFC 2046).
  if (octafold::ends_part(line, boundaries, count)) return false;
  const auto put = [sink, ctx](int c) { sink(ctx, static_cast<unsigned char>(c)); };
  put_held(s, put);
  decode_line(s, line, n, put);
  return true;
}

bool fromqp_step(QpState &s, FILE *in, FILE *out, const char *const *boundaries, int *count) {
  const int c = getc(in);
  if (c == EOF) {
    if (s.cr) putc('\r', out);
    s.cr = false;
    put_held(s, out);
    return false;
  }
  if (s.line_start && boundaries != nullptr && c == '-') {
    // Only a piece cut right after a CR leaves one held at a line start.
    if (s.cr) putc('\r', out);
    s.cr = false;
    char line[octafold::kLineBufferSize];
    const std::size_t n = octafold::read_dash_line(in, line);
    const ByteSink sink = [](void *ctx, unsigned char b) { putc(b, static_cast<FILE *>(ctx)); };
    // A line start again after a line that is text, even after a cut line.
    return fromqp_line(s, line, n, sink, out, boundaries, count);
  }
  if (s.cr) {
    s.cr = false;
    if (c == '\n') {
      s.held = 2;
      s.line_start = true;
      return true;
    }
    putc('\r', out);
  }
  put_held(s, out);
  if (c == '=') {
    const int d = getc(in);
    if (d == '\n') {
      s.line_start = true;  // soft line break
      return true;
    }
    const int e = getc(in);
    if (d == '\r' && e == '\n') {
      s.line_start = true;  // soft line break, CR LF
      return true;
    }
    putc(escaped_byte(d, e), out);
    s.line_start = e == '\n';
  } else if (c == '\n') {
    s.line_start = true;
    s.held = 1;
  } else if (c == '\r') {
    s.line_start = false;
    s.cr = true;
  } else {
    putc(c, out);
    s.line_start = false;
  }
  return true;
}

void fromqp(FILE *in, FILE *out, const char *const *boundaries, int *count) {
  QpState s;
  while (fromqp_step(s, in, out, boundaries, count)) {
  }
}

}  // namespace octafold::ref
