// Loads and byte packing for the AVX2 decoder kernels: the bytes of a vector
// that a mask keeps, moved to the front, eight at a time through a shuffle
// table.
#ifndef OCTAFOLD_SIMD_PACK_AVX2_H
#define OCTAFOLD_SIMD_PACK_AVX2_H

#include <array>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace octafold::avx2 {

// For each 8-bit mask, the positions of its set bits in ascending order: a
// byte shuffle that packs the kept bytes of eight to the front.
constexpr std::array<std::array<unsigned char, 8>, 256> make_pack() {
  std::array<std::array<unsigned char, 8>, 256> t{};
  for (unsigned m = 0; m < 256; ++m) {
    unsigned k = 0;
    for (unsigned b = 0; b < 8; ++b) {
      if ((m >> b) & 1U) t[m][k++] = static_cast<unsigned char>(b);
    }
  }
  return t;
}
alignas(64) inline constexpr std::array<std::array<unsigned char, 8>, 256> kPack = make_pack();

#define OCTAFOLD_AVX2_PACK __attribute__((target("avx2,popcnt")))

OCTAFOLD_AVX2_PACK inline __m256i load32(const unsigned char *p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}

// Packs the bytes of x that `keep` marks (16 bits) to o; returns the end.

OCTAFOLD_AVX2_PACK inline unsigned char *pack16(__m128i x, unsigned keep, unsigned char *o) {
  const unsigned lo = keep & 0xFF, hi = keep >> 8;
  const __m128i s_lo = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(kPack[lo].data()));
  const __m128i s_hi = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(kPack[hi].data()));
  const __m128i s = _mm_unpacklo_epi64(s_lo, _mm_add_epi8(s_hi, _mm_set1_epi8(8)));
  const __m128i packed = _mm_shuffle_epi8(x, s);
  _mm_storel_epi64(reinterpret_cast<__m128i *>(o), packed);
  o += __builtin_popcount(lo);
  _mm_storel_epi64(reinterpret_cast<__m128i *>(o), _mm_unpackhi_epi64(packed, packed));
  return o + __builtin_popcount(hi);
}

// The same for 32 bytes; writes up to 8 bytes past the end it returns.
OCTAFOLD_AVX2_PACK inline unsigned char *pack32(__m256i x, unsigned keep, unsigned char *o) {
  o = pack16(_mm256_castsi256_si128(x), keep & 0xFFFF, o);
  return pack16(_mm256_extracti128_si256(x, 1), keep >> 16, o);
}

}  // namespace octafold::avx2

#endif
#endif
