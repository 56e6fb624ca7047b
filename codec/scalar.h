// Scalar pieces shared by all kernels: whole base64 groups and the
// quoted-printable byte classes.
#ifndef OCTAFOLD_SCALAR_H
#define OCTAFOLD_SCALAR_H

#include <cstddef>
#include <cstring>

#include "kernels.h"
#include "tables.h"

namespace octafold::scalar {

// Three bytes to four characters.
inline void encode_group(const unsigned char *in, char *out) {
  const unsigned v = (unsigned{in[0]} << 16) | (unsigned{in[1]} << 8) | in[2];
  out[0] = base64_digits[v >> 18];
  out[1] = base64_digits[(v >> 12) & 0x3F];
  out[2] = base64_digits[(v >> 6) & 0x3F];
  out[3] = base64_digits[v & 0x3F];
}

inline void encode_line(const unsigned char *in, char *out) {
  for (std::size_t g = 0; g < kLineBytes / 3; ++g) encode_group(in + 3 * g, out + 4 * g);
  out[kLineChars] = '\n';
}

// Whole groups of alphabet characters from the start of in[0, len); stops at
// the first group that holds anything else. Returns the characters consumed.
inline std::size_t decode_groups(const unsigned char *in, std::size_t len, unsigned char *out) {
  std::size_t i = 0;
  for (; i + 4 <= len; i += 4, out += 3) {
    const unsigned a = base64_values[in[i]], b = base64_values[in[i + 1]],
                   c = base64_values[in[i + 2]], d = base64_values[in[i + 3]];
    if (((a | b | c | d) & 0xC0) != 0) break;
    const unsigned v = (a << 18) | (b << 12) | (c << 6) | d;
    out[0] = static_cast<unsigned char>(v >> 16);
    out[1] = static_cast<unsigned char>(v >> 8);
    out[2] = static_cast<unsigned char>(v);
  }
  return i;
}

// Copies src to dst with every LF turned into CR LF; returns the length
// written (at most twice n).
inline std::size_t expand_lf(const unsigned char *src, std::size_t n, unsigned char *dst) {
  unsigned char *const start = dst;
  while (n != 0) {
    const auto *lf = static_cast<const unsigned char *>(std::memchr(src, '\n', n));
    const std::size_t run = lf == nullptr ? n : static_cast<std::size_t>(lf - src);
    std::memcpy(dst, src, run);
    dst += run;
    src += run;
    n -= run;
    if (lf != nullptr) {
      *dst++ = '\r';
      *dst++ = '\n';
      ++src;
      --n;
    }
  }
  return static_cast<std::size_t>(dst - start);
}

// For the vector LF expansions: the piece in[from, pos) has just been moved
// to `out` (with bytes past it, which later moves overwrite) and in[pos] is
// an LF. Writes CR LF after the piece and returns the end.
inline unsigned char *end_piece(unsigned char *out, std::size_t from, std::size_t pos) {
  out += pos - from;
  out[0] = '\r';
  out[1] = '\n';
  return out + 2;
}

// The first "-" in data[1, n) right after an LF, or n. With a boundary list
// such a "-" opens a line on the boundary path in both decoders (in base64
// also inside a group), and no other byte after the first can: every item
// that leaves a decoder at a line start ends with an LF.
inline std::size_t find_dash_line(const unsigned char *data, std::size_t n) {
  for (std::size_t i = 1; i < n;) {
    const auto *dash = static_cast<const unsigned char *>(std::memchr(data + i, '-', n - i));
    if (dash == nullptr) break;
    i = static_cast<std::size_t>(dash - data);
    if (data[i - 1] == '\n') return i;
    ++i;
  }
  return n;
}

// Bytes that quoted-printable writes unchanged inside a line.
constexpr bool qp_plain(unsigned char c) { return c == '\t' || (c >= ' ' && c <= '~' && c != '='); }

inline std::size_t qp_plain_run(const unsigned char *in, std::size_t len) {
  std::size_t i = 0;
  while (i < len && qp_plain(in[i])) ++i;
  return i;
}

}  // namespace octafold::scalar

#endif
