// Byte-wise base64 encoder (RFC 2045, section 6.8): 72-character lines ended
// by LF. The reference that the block path in base64_encode.cpp is tested
// against.
#include "kernels.h"
#include "tables.h"

namespace {

using octafold::base64_digits;

constexpr int kLineLength = 72;  // characters per output line
constexpr int kGroupChars = 4;   // characters per 3-byte group
static_assert(kLineLength % kGroupChars == 0, "a line holds whole groups");

// The next input byte, or EOF; in portable mode each LF comes out as CR LF.
// `lf_pending` is set while the LF of an input LF returned as CR is owed;
// it belongs to the call.
int nextcharin(FILE *in, int portable, bool &lf_pending) {
  if (!portable) return getc(in);
  if (lf_pending) {
    lf_pending = false;
    return '\n';
  }
  int c = getc(in);
  if (c == '\n') {
    lf_pending = true;
    return '\r';
  }
  return c;
}

void put_digit(unsigned value, FILE *out) { putc(base64_digits[value & 0x3F], out); }

// Missing bytes arrive as 0, so the bits they lend to the second and third
// character are 0 as RFC 2045 requires.
void output64chunk(int c1, int c2, int c3, int pads, FILE *out) {
  auto b1 = static_cast<unsigned>(c1), b2 = static_cast<unsigned>(c2),
       b3 = static_cast<unsigned>(c3);
  put_digit(b1 >> 2, out);
  put_digit(((b1 & 0x03) << 4) | ((b2 & 0xF0) >> 4), out);
  if (pads == 2) {
    putc('=', out);
  } else {
    put_digit(((b2 & 0x0F) << 2) | ((b3 & 0xC0) >> 6), out);
  }
  if (pads == 0) {
    put_digit(b3 & 0x3F, out);
  } else {
    putc('=', out);
  }
}

}  // namespace

namespace octafold::ref {

void to64(FILE *in, FILE *out, int portable) {
  int line = 0;
  bool lf_pending = false;
  int c1;
  while ((c1 = nextcharin(in, portable, lf_pending)) != EOF) {
    int c2 = nextcharin(in, portable, lf_pending);
    if (c2 == EOF) {
      output64chunk(c1, 0, 0, 2, out);
    } else {
      int c3 = nextcharin(in, portable, lf_pending);
      if (c3 == EOF) {
        output64chunk(c1, c2, 0, 1, out);
      } else {
        output64chunk(c1, c2, c3, 0, out);
      }
    }
    line += kGroupChars;
    if (line >= kLineLength) {
      putc('\n', out);
      line = 0;
    }
  }
  if (line != 0) putc('\n', out);
  fflush(out);
}

}  // namespace octafold::ref
