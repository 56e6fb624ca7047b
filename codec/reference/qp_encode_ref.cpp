// Byte-wise quoted-printable encoder (RFC 2045, section 6.7), with two extra
// escapes that keep the text safe in transit: a "." that starts an output
// line (SMTP dot-stuffing) and the "F" of a "From " that starts a line (mbox
// quoting). The reference for the block path in qp_encode.cpp.
#include "kernels.h"
#include "tables.h"

namespace {

using octafold::hex_digits;
using octafold::kNeutral;
using octafold::kSoftBreakColumn;

bool needs_escape(int c, int column) {
  return (c < 32 && c != '\t' && c != '\n') || c == '=' || c > 126 || (c == '.' && column == 0);
}

void soft_break(FILE *out) {
  putc('=', out);
  putc('\n', out);
}

// After an "F" at a line start: reads as far as "rom " goes, writes what it
// read (with the "F" escaped when the whole "From " is there), and pushes the
// first byte that did not fit back for the main loop. Returns the width
// written.
int from_lookahead(FILE *in, FILE *out) {
  static constexpr const char *kPrefixes[] = {"F", "Fr", "Fro", "From"};
  static constexpr char kRest[] = "rom ";
  int matched = 0;
  int c;
  while ((c = getc(in)) == kRest[matched] && matched < 3) ++matched;
  int width;
  if (matched == 3 && c == ' ') {
    fputs("=46rom", out);
    width = 6;
  } else {
    fputs(kPrefixes[matched], out);
    width = matched + 1;
  }
  if (c != EOF) ungetc(c, in);
  return width;
}

}  // namespace

namespace octafold::ref {

void toqp(FILE *in, FILE *out) {
  int column = 0;
  int prev = kNeutral;
  int c;
  while ((c = getc(in)) != EOF) {
    if (needs_escape(c, column)) {
      putc('=', out);
      putc(hex_digits[static_cast<unsigned>(c) >> 4], out);
      putc(hex_digits[static_cast<unsigned>(c) & 0xF], out);
      column += 3;
      prev = kNeutral;
    } else if (c == '\n') {
      // A blank or tab at the end of a line may be stripped in transit.
      if (prev == ' ' || prev == '\t') soft_break(out);
      putc('\n', out);
      column = 0;
      prev = '\n';
    } else if (c == 'F' && prev == '\n') {
      column += from_lookahead(in, out);
      prev = kNeutral;
    } else {
      putc(c, out);
      ++column;
      prev = c;
    }
    if (column >= kSoftBreakColumn) {
      soft_break(out);
      column = 0;
      prev = '\n';
    }
  }
  if (column != 0) soft_break(out);
}

}  // namespace octafold::ref
