// Byte-wise base64 decoder (RFC 2045, section 6.8), tolerant of damaged
// input: it never rejects a byte, so a reader always gets as much of a body as
// survives. from64 uses it whenever a boundary list is given, and tests hold
// the block path in base64_decode.cpp against it.
#include <cstdio>

#include "internal.h"
#include "kernels.h"
#include "tables.h"

namespace {

using octafold::base64_values;
using octafold::is_space;
using octafold::kNotBase64;

// 1 while almostputc holds back a CR to see whether LF follows. Process-wide,
// so one base64 decoding runs at a time.
int cr_pending = 0;

// Writes one decoded byte, folding CR LF into LF in portable mode.
void almostputc(int c, FILE *out, int portable) {
  if (cr_pending) {
    if (c == '\n') {
      putc('\n', out);
      cr_pending = 0;
    } else if (c == '\r') {
      putc('\r', out);  // the earlier CR; this one is held in its place
    } else {
      putc('\r', out);
      putc(c, out);
      cr_pending = 0;
    }
  } else if (portable && c == '\r') {
    cr_pending = 1;
  } else {
    putc(c, out);
  }
}

// A CR still held when the call ends is data: write it whichever way the
// call ends, so that nothing decoded is lost.
void release_held_cr(FILE *out) {
  if (cr_pending) putc('\r', out);
  cr_pending = 0;
}

int next_nonspace(FILE *in) {
  int c;
  do {
    c = getc(in);
  } while (is_space(c));
  return c;
}

// Bytes outside the alphabet take the value 0xFF and enter the arithmetic
// as eight set bits.
unsigned value(int c) { return c < 128 ? base64_values[static_cast<unsigned>(c)] : kNotBase64; }

int low8(unsigned v) { return static_cast<int>(v & 0xFF); }

}  // namespace

namespace octafold::ref {

void from64(FILE *in, FILE *out, const char *const *boundaries, int *count, int portable) {
  cr_pending = 0;
  bool line_start = true;
  bool done = false;
  char line[octafold::kLineBufferSize];
  for (;;) {
    const int c1 = getc(in);
    if (c1 == EOF) break;
    if (is_space(c1)) {
      line_start = c1 == '\n';
      continue;
    }
    if (line_start && boundaries != nullptr && c1 == '-') {
      octafold::read_dash_line(in, line);
      if (octafold::ends_part(line, boundaries, count)) break;
      fprintf(stderr, "Ignoring unrecognized boundary line: %s\n", line);
      continue;  // still at a line start: a cut line's rest reads as a new line
    }
    if (done) continue;
    line_start = false;
    // All three reads happen even after EOF, as a terminal may deliver more.
    const int c2 = next_nonspace(in);
    const int c3 = next_nonspace(in);
    const int c4 = next_nonspace(in);
    if (c2 == EOF || c3 == EOF || c4 == EOF) {
      fputs("Warning: base64 decoder saw premature EOF!\n", stderr);
      break;
    }
    if (c1 == '=' || c2 == '=') {
      done = true;
      continue;
    }
    const unsigned s1 = value(c1), s2 = value(c2);
    almostputc(low8((s1 << 2) | ((s2 & 0x30) >> 4)), out, portable);
    if (c3 == '=') {
      done = true;
      continue;
    }
    const unsigned s3 = value(c3);
    almostputc(low8(((s2 & 0x0F) << 4) | ((s3 & 0x3C) >> 2)), out, portable);
    if (c4 == '=') {
      done = true;
      continue;
    }
    almostputc(low8(((s3 & 0x03) << 6) | value(c4)), out, portable);
  }
  release_held_cr(out);
}

}  // namespace octafold::ref
