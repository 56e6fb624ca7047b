// AVX2 quoted-printable encoder. Each step classifies 64 bytes, widens the
// escaped ones to "=HH" with byte shuffles, eight input bytes at a time, and
// finds the soft line break from a prefix sum of the item widths. A step ends
// at the first LF or soft line break; the LF (with the protection of a blank
// or tab before it) and the "." and "From " rules of a line start are dealt
// with between steps. Compiled for AVX2 by attribute, selected at run time.
#include <array>
#include <cstdint>
#include <cstring>

#include "kernels.h"
#include "tables.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#define OCTAFOLD_AVX2 __attribute__((target("avx2,popcnt")))

namespace octafold {
namespace {

// For eight input bytes whose escape mask is the index: the source of each
// of the up to 24 output bytes. 0 to 15 pick from [the bytes, their high
// hex digits], 16 to 31 from [their low hex digits, "=" eight times].
struct Widen {
  alignas(32) unsigned char src[32];
};
constexpr std::array<Widen, 256> make_widen() {
  std::array<Widen, 256> t{};
  for (unsigned m = 0; m < 256; ++m) {
    unsigned o = 0;
    for (unsigned char b = 0; b < 8; ++b) {
      if ((m >> b & 1) != 0) {
        t[m].src[o++] = 16 + 8;
        t[m].src[o++] = static_cast<unsigned char>(8 + b);
        t[m].src[o++] = static_cast<unsigned char>(16 + b);
      } else {
        t[m].src[o++] = b;
      }
    }
  }
  return t;
}
constexpr std::array<Widen, 256> kWiden = make_widen();
static_assert(kWiden[1].src[0] == 24 && kWiden[1].src[1] == 8 && kWiden[1].src[3] == 1 &&
              kWiden[0x80].src[9] == 23);

constexpr int kFromLen = 5;  // "From "

// `a` and `b` hold one group's two sources in both lanes.
OCTAFOLD_AVX2 inline void widen8(__m256i a, __m256i b, unsigned mask, unsigned char *out) {
  const __m256i src = _mm256_load_si256(reinterpret_cast<const __m256i *>(kWiden[mask].src));
  // Bit 4 of each source index, moved to bit 7, picks `b`.
  const __m256i from_b = _mm256_slli_epi16(src, 3);
  const __m256i v =
      _mm256_blendv_epi8(_mm256_shuffle_epi8(a, src), _mm256_shuffle_epi8(b, src), from_b);
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), v);
}

// Writes the 32 bytes of `c` with the bytes of `esc` widened to "=HH"; up to
// 96 bytes, and up to 104 stored.
OCTAFOLD_AVX2 inline void widen32(__m256i c, unsigned esc, unsigned char *out) {
  const __m256i hex = _mm256_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B',
                                       'C', 'D', 'E', 'F', '0', '1', '2', '3', '4', '5', '6', '7',
                                       '8', '9', 'A', 'B', 'C', 'D', 'E', 'F');
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i high = _mm256_shuffle_epi8(hex, _mm256_and_si256(_mm256_srli_epi16(c, 4), nibble));
  const __m256i low = _mm256_shuffle_epi8(hex, _mm256_and_si256(c, nibble));
  const __m256i eq = _mm256_set1_epi8('=');
  // Lane 0 of a02 holds group 0, lane 1 group 2; a13 groups 1 and 3.
  const __m256i a02 = _mm256_unpacklo_epi64(c, high), a13 = _mm256_unpackhi_epi64(c, high);
  const __m256i b02 = _mm256_unpacklo_epi64(low, eq), b13 = _mm256_unpackhi_epi64(low, eq);
  const unsigned m0 = esc & 0xFF, m1 = esc >> 8 & 0xFF, m2 = esc >> 16 & 0xFF, m3 = esc >> 24;
  const unsigned o1 = 8 + 2 * static_cast<unsigned>(__builtin_popcount(m0));
  const unsigned o2 = o1 + 8 + 2 * static_cast<unsigned>(__builtin_popcount(m1));
  const unsigned o3 = o2 + 8 + 2 * static_cast<unsigned>(__builtin_popcount(m2));
  widen8(_mm256_permute2x128_si256(a02, a02, 0x00), _mm256_permute2x128_si256(b02, b02, 0x00), m0,
         out);
  widen8(_mm256_permute2x128_si256(a13, a13, 0x00), _mm256_permute2x128_si256(b13, b13, 0x00), m1,
         out + o1);
  widen8(_mm256_permute2x128_si256(a02, a02, 0x11), _mm256_permute2x128_si256(b02, b02, 0x11), m2,
         out + o2);
  widen8(_mm256_permute2x128_si256(a13, a13, 0x11), _mm256_permute2x128_si256(b13, b13, 0x11), m3,
         out + o3);
}

// Widths of the items of 32 bytes (1, or 3 for the bytes of `escv`),
// summed left to right: at most 96.
OCTAFOLD_AVX2 inline __m256i summed_widths(__m256i escv) {
  __m256i s = _mm256_sub_epi8(_mm256_set1_epi8(1), _mm256_add_epi8(escv, escv));
  s = _mm256_add_epi8(s, _mm256_slli_si256(s, 1));
  s = _mm256_add_epi8(s, _mm256_slli_si256(s, 2));
  s = _mm256_add_epi8(s, _mm256_slli_si256(s, 4));
  s = _mm256_add_epi8(s, _mm256_slli_si256(s, 8));
  const __m256i low_lane = _mm256_permute2x128_si256(s, s, 0x08);
  return _mm256_add_epi8(s, _mm256_shuffle_epi8(low_lane, _mm256_set1_epi8(15)));
}

// Index of the first of the `seg` bytes whose item brings the sum of widths
// to `limit` (1 to 73) or more; 32 for none.
OCTAFOLD_AVX2 inline unsigned first_reaching(__m256i escv, unsigned seg, int limit) {
  const __m256i s = summed_widths(escv);
  const __m256i lim = _mm256_set1_epi8(static_cast<char>(limit));
  const __m256i reached = _mm256_cmpeq_epi8(_mm256_max_epu8(s, lim), s);
  const unsigned m = static_cast<unsigned>(_mm256_movemask_epi8(reached)) & seg;
  return m == 0 ? 32 : static_cast<unsigned>(__builtin_ctz(m));
}

OCTAFOLD_AVX2 inline std::uint64_t low_bits(unsigned n) {
  return n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
}

// Escaped bytes (not tab, LF, or " " to "~" but "=") and LFs of 32 bytes.
OCTAFOLD_AVX2 inline __m256i classify(__m256i c, __m256i &lfv) {
  // Signed compares: bytes of 128 and more are negative, below " ".
  const __m256i printable = _mm256_and_si256(_mm256_cmpgt_epi8(c, _mm256_set1_epi8(' ' - 1)),
                                             _mm256_cmpgt_epi8(_mm256_set1_epi8('~' + 1), c));
  const __m256i plain =
      _mm256_or_si256(_mm256_andnot_si256(_mm256_cmpeq_epi8(c, _mm256_set1_epi8('=')), printable),
                      _mm256_cmpeq_epi8(c, _mm256_set1_epi8('\t')));
  lfv = _mm256_cmpeq_epi8(c, _mm256_set1_epi8('\n'));
  return _mm256_xor_si256(_mm256_or_si256(plain, lfv), _mm256_set1_epi8(-1));
}

OCTAFOLD_AVX2 inline std::uint64_t mask64(__m256i lo, __m256i hi) {
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(lo)) |
         std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(hi))} << 32;
}

}  // namespace

OCTAFOLD_AVX2 std::size_t qp_encode_avx2(const unsigned char *in, std::size_t len,
                                         unsigned char **out, const unsigned char *out_end,
                                         QpState &state) {
  unsigned char *o = *out;
  int column = state.column;
  int prev = state.prev;
  std::size_t i = 0;
  while (i < len && static_cast<std::size_t>(out_end - o) >= kQpEncodeRoom) {
    if (column == 0) {
      if (in[i] == '.') {  // SMTP would take a lone "." for the end of the mail
        std::memcpy(o, "=2E", 3);
        o += 3;
        column = 3;
        prev = kNeutral;
        ++i;
        continue;
      }
      if (in[i] == 'F' && prev == '\n') {
        if (len - i < kFromLen) break;
        if (std::memcmp(in + i, "From ", kFromLen) == 0) {
          std::memcpy(o, "=46rom", 6);  // the blank is left for the next step
          o += 6;
          column = 6;
          prev = kNeutral;
          i += kFromLen - 1;
          continue;
        }
        // Any other "F" is written as it is, like the bytes after it.
      }
    }
    // A step covers up to 64 bytes, stopping before the first LF. The
    // second 32 only when the first hold no LF and do not fill the line.
    const std::size_t n = len - i < 64 ? len - i : 64;
    const __m256i c0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in + i));
    __m256i lf0, lf1 = _mm256_setzero_si256();
    const __m256i esc0 = classify(c0, lf0);
    __m256i c1 = _mm256_setzero_si256(), esc1 = _mm256_setzero_si256();
    const auto first_esc = static_cast<std::uint32_t>(_mm256_movemask_epi8(esc0));
    const bool two = n >= 32 && _mm256_movemask_epi8(lf0) == 0 &&
                     column + 32 + 2 * __builtin_popcount(first_esc) < kSoftBreakColumn;
    if (two) {
      c1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in + i + 32));
      esc1 = classify(c1, lf1);
    }
    const auto span = static_cast<unsigned>(two ? n : n < 32 ? n : 32);
    const std::uint64_t esc = mask64(esc0, esc1);
    const std::uint64_t stops = (mask64(lf0, lf1) & low_bits(span)) | ~low_bits(span);
    auto k = stops == 0 ? 64u : static_cast<unsigned>(__builtin_ctzll(stops));
    unsigned width;
    bool soft = false;
    if ((esc & low_bits(k)) == 0) {
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(o), c0);
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(o + 32), c1);
      if (column + static_cast<int>(k) >= kSoftBreakColumn) {
        k = static_cast<unsigned>(kSoftBreakColumn - column);
        soft = true;
      }
      width = k;
    } else {
      const auto low_esc = static_cast<std::uint32_t>(esc);
      const unsigned half = 32 + 2 * static_cast<unsigned>(__builtin_popcount(low_esc));
      width = k + 2 * static_cast<unsigned>(__builtin_popcountll(esc & low_bits(k)));
      if (column + static_cast<int>(width) >= kSoftBreakColumn) {
        const int limit = kSoftBreakColumn - column;
        const auto seg = low_bits(k);
        unsigned j = first_reaching(esc0, static_cast<std::uint32_t>(seg), limit);
        // Not reached in the first half: then that half is whole and short
        // of the limit by more than nothing.
        if (j == 32)
          j += first_reaching(esc1, static_cast<std::uint32_t>(seg >> 32),
                              limit - static_cast<int>(half));
        k = j + 1;
        width = k + 2 * static_cast<unsigned>(__builtin_popcountll(esc & low_bits(k)));
        soft = true;
      }
      widen32(c0, low_esc, o);
      if (k > 32) widen32(c1, static_cast<std::uint32_t>(esc >> 32), o + half);
    }
    o += width;
    column += static_cast<int>(width);
    i += k;
    if (k != 0) prev = (esc >> (k - 1) & 1) != 0 ? kNeutral : in[i - 1];
    if (soft) {
      o[0] = '=';
      o[1] = '\n';
      o += 2;
      column = 0;
      prev = '\n';
    } else if (k < span) {  // the step stopped at an LF
      // A blank or tab at the end of a line may be stripped in transit.
      if (prev == ' ' || prev == '\t') *o++ = '=', *o++ = '\n';
      *o++ = '\n';
      column = 0;
      prev = '\n';
      ++i;
    }
  }
  *out = o;
  state = {column, prev};
  return i;
}

}  // namespace octafold

#endif
