// Byte-wise quoted-printable decoder (RFC 2045, section 6.7). It validates
// nothing: a malformed escape still yields a byte, so no text is ever
// dropped. fromqp uses it whenever a boundary list is given, and tests hold
// the block path in qp_decode.cpp against it.
#include <cstdio>

#include "internal.h"
#include "kernels.h"
#include "tables.h"

namespace {

// EOF in a digit's place counts as a non-digit, as NUL does.
int escaped_byte(int high, int low) {
  const auto digit = [](int c) { return static_cast<unsigned char>(c == EOF ? 0 : c); };
  return octafold::qp_escaped_byte(digit(high), digit(low));
}

// Decodes one line read on the boundary path. The line is a C string: a NUL
// inside it ends the line, and an escape cut by the end of the buffer
// writes nothing.
void decode_line(const char *line, FILE *out) {
  for (const char *p = line; *p != '\0';) {
    if (*p != '=') {
      putc(static_cast<unsigned char>(*p++), out);
    } else if (p[1] == '\0') {
      break;
    } else if (p[1] == '\n') {
      p += 2;  // soft line break
    } else if (p[2] == '\0') {
      break;
    } else {
      putc(escaped_byte(static_cast<unsigned char>(p[1]), static_cast<unsigned char>(p[2])), out);
      p += 3;
    }
  }
}

}  // namespace

namespace octafold::ref {

void fromqp(FILE *in, FILE *out, const char *const *boundaries, int *count) {
  bool line_start = true;
  // A hard line end is written one step late: when the next line turns out
  // to be a boundary line, the LF before it belongs to the boundary
  // (RFC 2046) and is dropped.
  bool held_lf = false;
  char line[octafold::kLineBufferSize];
  for (;;) {
    const int c = getc(in);
    if (c == EOF) break;
    if (line_start && boundaries != nullptr && c == '-') {
      octafold::read_dash_line(in, line);
      if (octafold::ends_part(line, boundaries, count)) return;
      if (held_lf) putc('\n', out);
      held_lf = false;
      decode_line(line, out);
      continue;  // a line start again, even after a cut line
    }
    if (held_lf) putc('\n', out);
    held_lf = false;
    if (c == '=') {
      line_start = false;
      const int d = getc(in);
      // "=" LF is a soft line break, and so is "=" CR LF, as mail often
      // arrives with CR LF line ends.
      const int next = d == '\r' ? getc(in) : EOF;
      if (d == '\n' || next == '\n') {
        line_start = true;
      } else {
        if (next != EOF) ungetc(next, in);  // CR is the first digit after all
        const int e = getc(in);
        putc(escaped_byte(d, e), out);
        line_start = e == '\n';
      }
    } else if (c == '\n') {
      line_start = true;
      held_lf = true;
    } else {
      putc(c, out);
      line_start = false;
    }
  }
  if (held_lf) putc('\n', out);
}

}  // namespace octafold::ref
