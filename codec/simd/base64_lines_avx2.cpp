// AVX2 base64 decoding of whole lines in the usual layout: 72 or 76
// alphabet characters, then LF or CR LF. A line is three 32-character steps
// (the third overlaps the second) and its line end, so the vector path does
// not stop at every line end. Also the CR LF folding of portable mode.
#include "avx2_decoders.h"
#include "pack_avx2.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#define OCTAFOLD_AVX2_LINES __attribute__((target("avx2,popcnt")))

namespace octafold::avx2 {
namespace {

// Sextet values of 32 characters by two nibble lookups (after W. Muła and
// D. Lemire): a character is in the alphabet when the class bits of its low
// and of its high nibble share none. `bad` collects the shared bits, so it
// stays zero only for alphabet characters (bytes of 128 and more have a
// high-nibble class that every low nibble shares).
OCTAFOLD_AVX2_LINES inline __m256i sextets(__m256i c, __m256i &bad) {
  const __m256i lut_lo =
      _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B,
                       0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                       0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
  const __m256i lut_hi =
      _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10,
                       0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10,
                       0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  // What to add to a character of each high nibble; "/" (index 1) differs
  // from "+" (index 2) in the same nibble.
  const __m256i lut_roll =
      _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19, 4, -65,
                       -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i mask_2f = _mm256_set1_epi8(0x2F);
  // The shuffles read the low four bits and bit 7 of each index; the 0x2F
  // mask clears bit 7 and leaves bit 5, which they ignore.
  const __m256i hi_nibbles = _mm256_and_si256(_mm256_srli_epi32(c, 4), mask_2f);
  const __m256i lo_nibbles = _mm256_and_si256(c, mask_2f);
  const __m256i lo = _mm256_shuffle_epi8(lut_lo, lo_nibbles);
  const __m256i hi = _mm256_shuffle_epi8(lut_hi, hi_nibbles);
  bad = _mm256_or_si256(bad, _mm256_and_si256(lo, hi));
  const __m256i is_slash = _mm256_cmpeq_epi8(c, mask_2f);
  const __m256i roll = _mm256_shuffle_epi8(lut_roll, _mm256_add_epi8(is_slash, hi_nibbles));
  return _mm256_add_epi8(c, roll);
}

// 32 sextets to 24 bytes, stored with 8 bytes of garbage after them.
OCTAFOLD_AVX2_LINES inline void store24(__m256i s, unsigned char *out) {
  const __m256i pairs = _mm256_maddubs_epi16(s, _mm256_set1_epi32(0x01400140));
  const __m256i words = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
  const __m256i packed = _mm256_shuffle_epi8(
      words, _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5,
                              4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
  _mm256_storeu_si256(
      reinterpret_cast<__m256i *>(out),
      _mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7)));
}

// Characters in a line of the usual layout at `line`, or 0.
inline bool line_end_at(const unsigned char *p) {
  return p[0] == '\n' || (p[0] == '\r' && p[1] == '\n');
}
inline std::size_t line_chars(const unsigned char *line) {
  return line_end_at(line + 72) ? 72 : line_end_at(line + 76) ? 76 : 0;
}

}  // namespace

OCTAFOLD_AVX2_LINES std::size_t decode_lines(const unsigned char *in, std::size_t len,
                                             unsigned char **out) {
  unsigned char *o = *out;
  std::size_t i = 0;
  // The longest line read: 76 characters and CR LF.
  while (i + 78 <= len) {
    const std::size_t n = line_chars(in + i);
    if (n == 0) break;
    const bool crlf = in[i + n] == '\r';
    // Lines of the same layout follow at a fixed stride, so the next line's
    // loads need not wait for this line's end to be read.
    const std::size_t stride = n + (crlf ? 2 : 1);
    for (; i + 78 <= len; i += stride, o += n / 4 * 3) {
      const unsigned char *const line = in + i;
      if (crlf ? line[n] != '\r' || line[n + 1] != '\n' : line[n] != '\n') break;
      __m256i bad = _mm256_setzero_si256();
      const __m256i s0 = sextets(load32(line), bad);
      const __m256i s1 = sextets(load32(line + 32), bad);
      // The last 32 characters; those before 64 are decoded twice, alike.
      const __m256i s2 = sextets(load32(line + n - 32), bad);
      if (_mm256_testz_si256(bad, bad) == 0) goto done;
      store24(s0, o);
      store24(s1, o + 24);
      store24(s2, o + (n - 32) / 4 * 3);
    }
  }
done:
  *out = o;
  return i;
}

OCTAFOLD_AVX2_LINES std::size_t fold_crlf(unsigned char *buf, std::size_t len, std::size_t *kept) {
  unsigned char *w = buf;
  std::size_t r = 0;
  // In place: a step's bytes are loaded before its stores, and the stores
  // end at or before the step's end (w never passes r).
  for (; r + 33 <= len; r += 32) {
    const __m256i v = load32(buf + r);
    const __m256i next = load32(buf + r + 1);
    const auto drop = static_cast<unsigned>(
        _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\r')),
                                              _mm256_cmpeq_epi8(next, _mm256_set1_epi8('\n')))));
    if (drop == 0) {
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(w), v);
      w += 32;
    } else {
      w = pack32(v, ~drop, w);
    }
  }
  *kept = static_cast<std::size_t>(w - buf);
  return r;
}

}  // namespace octafold::avx2

#endif
