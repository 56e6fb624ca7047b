// Byte-wise base64 decoder (RFC 2045, section 6.8), tolerant of damaged
// input: it never rejects a byte, so a reader always gets as much of a body as
// survives. Tests hold the block paths in base64_decode.cpp against it.
#include <cstdio>

#include "internal.h"
#include "kernels.h"
#include "tables.h"

namespace {

using octafold::base64_values;
using octafold::is_space;
using octafold::kNotBase64;

const char kPrematureEof[] = "Warning: base64 decoder saw premature EOF!\n";

// Writes decoded bytes, folding CR LF into LF in portable mode. The CR is
// held back until the next byte shows whether an LF follows; the state is
// the call's own.
struct Writer {
  FILE *out;
  int portable;
  bool cr_pending = false;

  void put(int c) {
    if (cr_pending) {
      if (c == '\n') {
        putc('\n', out);
        cr_pending = false;
      } else if (c == '\r') {
        putc('\r', out);  // the earlier CR; this one is held in its place
      } else {
        putc('\r', out);
        putc(c, out);
        cr_pending = false;
      }
    } else if (portable && c == '\r') {
      cr_pending = true;
    } else {
      putc(c, out);
    }
  }

  // A CR still held is data: it is written whichever way the call or the
  // group ends, so that nothing decoded is lost.
  void release() {
    if (cr_pending) putc('\r', out);
    cr_pending = false;
  }
};

// Bytes outside the alphabet take the value 0xFF and enter the arithmetic
// as eight set bits.
unsigned value(int c) { return c < 128 ? base64_values[static_cast<unsigned>(c)] : kNotBase64; }

int low8(unsigned v) { return static_cast<int>(v & 0xFF); }

// One group of four characters; returns true when an "=" in it ends the
// data.
bool decode_group(const int (&c)[4], Writer &w) {
  if (c[0] == '=' || c[1] == '=') return true;
  const unsigned s1 = value(c[0]), s2 = value(c[1]);
  w.put(low8((s1 << 2) | ((s2 & 0x30) >> 4)));
  if (c[2] == '=') return true;
  const unsigned s3 = value(c[2]);
  w.put(low8(((s2 & 0x0F) << 4) | ((s3 & 0x3C) >> 2)));
  if (c[3] == '=') return true;
  w.put(low8(((s3 & 0x03) << 6) | value(c[3])));
  return false;
}

}  // namespace

namespace octafold::ref {

// One byte at a time. White space is skipped wherever it stands; a "-" right
// after an LF (or at the start of the call) begins a line on the boundary
// path, and with a list that line also ends a group in progress, as the end
// of input would: a part whose sender left out the padding must not take
// its last characters from the boundary line.
void from64(FILE *in, FILE *out, const char *const *boundaries, int *count, int portable) {
  Writer w{out, portable};
  bool line_start = true;
  bool done = false;
  int group[4];
  int have = 0;
  char line[octafold::kLineBufferSize];
  for (;;) {
    const int c = getc(in);
    if (c == EOF) {
      if (have != 0) fputs(kPrematureEof, stderr);
      break;
    }
    if (is_space(c)) {
      line_start = c == '\n';
      continue;
    }
    if (line_start && boundaries != nullptr && c == '-') {
      if (have != 0) {
        fputs(kPrematureEof, stderr);
        have = 0;
        w.release();
      }
      octafold::read_dash_line(in, line);
      if (octafold::ends_part(line, boundaries, count)) break;
      fprintf(stderr, "Ignoring unrecognized boundary line: %s\n", line);
      continue;  // still at a line start: a cut line's rest reads as a new line
    }
    if (done) continue;  // discarded; the line-start flag stays
    line_start = false;
    group[have++] = c;
    if (have < 4) continue;
    have = 0;
    done = decode_group(group, w);
  }
  w.release();
}

}  // namespace octafold::ref
