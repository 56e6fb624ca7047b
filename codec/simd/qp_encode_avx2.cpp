// AVX2 quoted-printable encoder. Each step classifies 32 bytes, widens the
// escaped ones to "=HH" with byte shuffles, eight input bytes at a time, and
// finds the soft line break from a prefix sum of the item widths. A step ends
// at the first LF or soft line break; the LF (with the protection of a blank
// or tab before it) and the "." and "From " rules of a line start are dealt
// with between steps. Compiled for AVX2 by attribute, selected at run time.
#include <array>
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

// Index of the first byte whose item brings the line to `limit` characters
// or more; `escv` marks the escaped bytes, `seg` the bytes to consider.
OCTAFOLD_AVX2 inline unsigned break_after(__m256i escv, unsigned seg, int limit) {
  // Widths 1 or 3, summed left to right in each lane, then across lanes;
  // 32 items make at most 96.
  __m256i s = _mm256_sub_epi8(_mm256_set1_epi8(1), _mm256_add_epi8(escv, escv));
  s = _mm256_add_epi8(s, _mm256_slli_si256(s, 1));
  s = _mm256_add_epi8(s, _mm256_slli_si256(s, 2));
  s = _mm256_add_epi8(s, _mm256_slli_si256(s, 4));
  s = _mm256_add_epi8(s, _mm256_slli_si256(s, 8));
  const __m256i low_lane = _mm256_permute2x128_si256(s, s, 0x08);
  s = _mm256_add_epi8(s, _mm256_shuffle_epi8(low_lane, _mm256_set1_epi8(15)));
  const __m256i lim = _mm256_set1_epi8(static_cast<char>(limit));
  const __m256i reached = _mm256_cmpeq_epi8(_mm256_max_epu8(s, lim), s);
  const unsigned m = static_cast<unsigned>(_mm256_movemask_epi8(reached)) & seg;
  return static_cast<unsigned>(__builtin_ctz(m));
}

OCTAFOLD_AVX2 inline unsigned low_bits(unsigned n) { return n >= 32 ? ~0u : (1u << n) - 1; }

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
    const std::size_t n = len - i < 32 ? len - i : 32;
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in + i));
    // Signed compares: bytes of 128 and more are negative, below " ".
    const __m256i printable = _mm256_and_si256(_mm256_cmpgt_epi8(c, _mm256_set1_epi8(' ' - 1)),
                                               _mm256_cmpgt_epi8(_mm256_set1_epi8('~' + 1), c));
    const __m256i plain =
        _mm256_or_si256(_mm256_andnot_si256(_mm256_cmpeq_epi8(c, _mm256_set1_epi8('=')), printable),
                        _mm256_cmpeq_epi8(c, _mm256_set1_epi8('\t')));
    const __m256i lfv = _mm256_cmpeq_epi8(c, _mm256_set1_epi8('\n'));
    const __m256i escv = _mm256_xor_si256(_mm256_or_si256(plain, lfv), _mm256_set1_epi8(-1));
    const auto esc = static_cast<unsigned>(_mm256_movemask_epi8(escv));
    const auto lf = static_cast<unsigned>(_mm256_movemask_epi8(lfv));
    // The step covers the bytes before the first LF.
    const unsigned stops =
        (lf & low_bits(static_cast<unsigned>(n))) | ~low_bits(static_cast<unsigned>(n));
    unsigned k = stops == 0 ? 32 : static_cast<unsigned>(__builtin_ctz(stops));
    unsigned width;
    bool soft = false;
    if ((esc & low_bits(k)) == 0) {
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(o), c);
      if (column + static_cast<int>(k) >= kSoftBreakColumn) {
        k = static_cast<unsigned>(kSoftBreakColumn - column);
        soft = true;
      }
      width = k;
    } else {
      widen32(c, esc, o);
      width = k + 2 * static_cast<unsigned>(__builtin_popcount(esc & low_bits(k)));
      if (column + static_cast<int>(width) >= kSoftBreakColumn) {
        k = break_after(escv, low_bits(k), kSoftBreakColumn - column) + 1;
        width = k + 2 * static_cast<unsigned>(__builtin_popcount(esc & low_bits(k)));
        soft = true;
      }
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
    } else if (k < n) {
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
