// AVX2 quoted-printable decoding: 64 bytes a step. The "=" items of a step
// ("=" and two digits, "=" LF, "=" CR LF) are found from byte masks, every
// escape's byte is computed in place of its "=", and the bytes that stay
// are packed to the output eight at a time.
#include <cstdint>

#include "avx2_decoders.h"
#include "pack_avx2.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#define OCTAFOLD_AVX2_QP __attribute__((target("avx2,popcnt")))

namespace octafold::avx2 {
namespace {

// Digit values: 0 to 15 for "0"-"9", "A"-"F" and "a"-"f", 0xFF for every
// other byte. Two nibble lookups tell the classes apart: bit 0 for a low
// nibble that a digit may have and a high nibble of 3, bit 1 for the
// letters (high nibble 4 or 6, low nibble 1 to 6); bytes of 128 and more
// have a high nibble of no class.
OCTAFOLD_AVX2_QP inline __m256i hex_values(__m256i c) {
  const __m256i low_class = _mm256_setr_epi8(1, 3, 3, 3, 3, 3, 3, 1, 1, 1, 0, 0, 0, 0, 0, 0, 1, 3,
                                             3, 3, 3, 3, 3, 1, 1, 1, 0, 0, 0, 0, 0, 0);
  const __m256i high_class = _mm256_setr_epi8(0, 0, 0, 1, 2, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                              0, 1, 2, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0);
  // A letter's value is its low nibble plus 9.
  const __m256i high_add = _mm256_setr_epi8(0, 0, 0, 0, 9, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                            0, 9, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i lo = _mm256_and_si256(c, nibble);
  const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(c, 4), nibble);
  const __m256i cls =
      _mm256_and_si256(_mm256_shuffle_epi8(low_class, lo), _mm256_shuffle_epi8(high_class, hi));
  const __m256i bad = _mm256_cmpeq_epi8(cls, _mm256_setzero_si256());
  return _mm256_or_si256(_mm256_add_epi8(lo, _mm256_shuffle_epi8(high_add, hi)), bad);
}

OCTAFOLD_AVX2_QP inline unsigned mask_of(__m256i v, char c) {
  return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(c))));
}

// The "=" that begin items, in the order the decoder meets them: an "="
// that is the digit of an earlier escape begins nothing. `covered` marks the
// bytes that an item of the step before still takes; bit p of `lf1` is set
// when byte p + 1 is an LF.
inline std::uint32_t item_starts(std::uint32_t eq, std::uint32_t lf1, std::uint32_t covered) {
  eq &= ~covered;
  // Usual text: no "=" right after another, nor two bytes after one unless
  // an LF stands between (a soft break, then an escape). Then every one
  // begins an item.
  if ((eq & ((eq << 1) | ((eq & ~lf1) << 2))) == 0) return eq;
  std::uint32_t starts = 0;
  for (std::uint32_t m = eq; m != 0; m &= m - 1) {
    const auto p = static_cast<unsigned>(__builtin_ctz(m));
    if ((covered >> p) & 1U) continue;
    starts |= 1U << p;
    // "=" LF covers one byte after the "="; an escape or "=" CR LF two.
    covered |= ((lf1 >> p) & 1U) != 0 ? 2U << p : 6U << p;
  }
  return starts;
}

// Decodes the 32 bytes `v` at `in` (whose "=" are `eq`) with every item
// found from masks, and the packing, without a branch on the bytes; returns
// the output's new end. `carry`: as in qp_decode.
// Inlined by force: as a call, its vectors would pass through memory.
__attribute__((always_inline)) OCTAFOLD_AVX2_QP inline unsigned char *decode32(
    const unsigned char *in, __m256i v, std::uint32_t eq, std::uint32_t &carry, unsigned char *o) {
  const __m256i is_eq = _mm256_cmpeq_epi8(v, _mm256_set1_epi8('='));
  const __m256i v1 = load32(in + 1);
  const __m256i v2 = load32(in + 2);
  // Each "=" gets the byte its two digits make; the soft breaks and the
  // "=" inside escapes are dropped below, so their value does not matter.
  const __m256i escaped =
      _mm256_or_si256(_mm256_and_si256(_mm256_slli_epi16(hex_values(v1), 4),
                                       _mm256_set1_epi8(static_cast<char>(0xF0))),
                      hex_values(v2));
  const __m256i bytes = _mm256_blendv_epi8(v, escaped, is_eq);
  const std::uint32_t lf1 = mask_of(v1, '\n');
  const std::uint32_t cr1 = mask_of(v1, '\r');
  const std::uint32_t lf2 = mask_of(v2, '\n');
  const std::uint32_t starts = item_starts(eq, lf1, carry);
  const std::uint64_t soft_lf = starts & lf1;
  const std::uint64_t soft_crlf = starts & ~lf1 & cr1 & lf2;
  const std::uint64_t escapes = starts & ~soft_lf & ~soft_crlf;
  const std::uint64_t drop = carry | soft_lf | (soft_lf << 1) | soft_crlf | (soft_crlf << 1) |
                             (soft_crlf << 2) | (escapes << 1) | (escapes << 2);
  carry = static_cast<std::uint32_t>(drop >> 32);
  return pack32(bytes, ~static_cast<std::uint32_t>(drop), o);
}

}  // namespace

OCTAFOLD_AVX2_QP std::size_t qp_decode(const unsigned char *in, std::size_t len,
                                       unsigned char **out) {
  unsigned char *o = *out;
  std::size_t i = 0;
  // Leading bytes of the next step that the last item of the step before
  // takes (one or two digits, or the LF of a soft break). Steps do not stop
  // at items, so that the next load does not wait for this step's masks.
  std::uint32_t carry = 0;
  // 64 bytes a step: a run of plain text is copied whole, anything else
  // decoded without a branch on its bytes (in mail with accented words a
  // test per 32 bytes would be as often false as true). A step reads the
  // two bytes after it (an escape's digits).
  for (; i + 66 <= len; i += 64) {
    const __m256i v = load32(in + i), w = load32(in + i + 32);
    const auto eq = static_cast<std::uint32_t>(mask_of(v, '='));
    const auto eq_w = static_cast<std::uint32_t>(mask_of(w, '='));
    if ((eq | eq_w | carry) == 0) {
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(o), v);
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(o + 32), w);
      o += 64;
      continue;
    }
    o = decode32(in + i, v, eq, carry, o);
    o = decode32(in + i + 32, w, eq_w, carry, o);
  }
  for (; i + 34 <= len; i += 32) {
    const __m256i v = load32(in + i);
    o = decode32(in + i, v, mask_of(v, '='), carry, o);
  }
  *out = o;
  // The item that the last step began ends inside the bytes it read.
  return i + static_cast<std::size_t>(__builtin_popcount(carry));
}

OCTAFOLD_AVX2_QP std::size_t find_dash_line(const unsigned char *data, std::size_t n) {
  std::size_t i = 1;
  // Byte p of a step is a "-" and the byte before it an LF.
  for (; i + 32 <= n; i += 32) {
    const std::uint32_t at = mask_of(load32(data + i), '-') & mask_of(load32(data + i - 1), '\n');
    if (at != 0) return i + static_cast<unsigned>(__builtin_ctz(at));
  }
  for (; i < n; ++i) {
    if (data[i] == '-' && data[i - 1] == '\n') return i;
  }
  return n;
}

}  // namespace octafold::avx2

#endif
