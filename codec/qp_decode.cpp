// Quoted-printable decoder (RFC 2045, section 6.7). It validates nothing:
// a malformed escape still yields a byte, so no text is ever dropped.
#include "octafold.h"
#include "internal.h"

#include <array>

namespace {

constexpr std::array<signed char, 128> make_hex_values() {
  std::array<signed char, 128> t{};
  for (auto &v : t) v = -1;
  for (int i = 0; i < 10; ++i) t[static_cast<std::size_t>('0' + i)] = static_cast<signed char>(i);
  for (int i = 0; i < 6; ++i) {
    t[static_cast<std::size_t>('A' + i)] = static_cast<signed char>(10 + i);
    t[static_cast<std::size_t>('a' + i)] = static_cast<signed char>(10 + i);
  }
  return t;
}
constexpr std::array<signed char, 128> hex_values = make_hex_values();
static_assert(hex_values['9'] == 9 && hex_values['F'] == 15 && hex_values['f'] == 15 &&
              hex_values['G'] == -1 && hex_values['='] == -1);

// -1 for anything that is not a hexadecimal digit, EOF included.
int digit_value(int c) {
  return c >= 0 && c < 128 ? hex_values[static_cast<std::size_t>(c)] : -1;
}

// A non-digit counts as -1: a bad high digit gives 0xF0 + low, a bad low
// digit gives 0xFF.
int escaped_byte(int high, int low) {
  const auto h = static_cast<unsigned>(digit_value(high));
  const auto l = static_cast<unsigned>(digit_value(low));
  return static_cast<int>(((h << 4) | l) & 0xFF);
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
      putc(escaped_byte(static_cast<unsigned char>(p[1]), static_cast<unsigned char>(p[2])),
           out);
      p += 3;
    }
  }
}

}  // namespace

extern "C" void fromqp(FILE *in, FILE *out, const char *const *boundaries, int *count) {
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
      if (d == '\n') {
        line_start = true;  // soft line break
      } else {
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
