// AVX2 kernel: 24 bytes to 32 base64 characters and back per step, and a
// 32-byte scan for quoted-printable runs. Compiled for AVX2 by attribute so
// that the library still runs on any x86-64; selected at run time.
#include <cstdint>

#include "avx2_decoders.h"
#include "kernels.h"
#include "scalar.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#define OCTAFOLD_AVX2 __attribute__((target("avx2")))

namespace octafold {
namespace {

// 12 bytes per 128-bit lane (4 groups) to 16 sextets, then sextets to
// characters by range (after W. Mula's SSE base64 encoder). `v` holds the
// groups' bytes at `at` in lane 0 and at 0 in lane 1 (bytes b1 b0 b2 b1 of
// each group to each 32-bit word).
template <int at>
OCTAFOLD_AVX2 inline __m256i encode_groups(__m256i v) {
  v = _mm256_shuffle_epi8(
      v, _mm256_setr_epi8(at + 1, at + 0, at + 2, at + 1, at + 4, at + 3, at + 5, at + 4, at + 7,
                          at + 6, at + 8, at + 7, at + 10, at + 9, at + 11, at + 10, 1, 0, 2, 1, 4,
                          3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10));
  const __m256i t0 = _mm256_and_si256(v, _mm256_set1_epi32(0x0fc0fc00));
  const __m256i t1 = _mm256_mulhi_epu16(t0, _mm256_set1_epi32(0x04000040));
  const __m256i t2 = _mm256_and_si256(v, _mm256_set1_epi32(0x003f03f0));
  const __m256i t3 = _mm256_mullo_epi16(t2, _mm256_set1_epi32(0x01000010));
  const __m256i sextets = _mm256_or_si256(t1, t3);
  // 0..25 -> 0, 26..51 -> 1, 52..63 -> 2..13: an index into the offsets.
  const __m256i idx = _mm256_sub_epi8(_mm256_subs_epu8(sextets, _mm256_set1_epi8(51)),
                                      _mm256_cmpgt_epi8(sextets, _mm256_set1_epi8(25)));
  const __m256i offsets =
      _mm256_setr_epi8('A', 'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                       '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 0, 0, 'A',
                       'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                       '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 0, 0);
  return _mm256_add_epi8(sextets, _mm256_shuffle_epi8(offsets, idx));
}

// 24 bytes at `in` to 32 characters.
OCTAFOLD_AVX2 inline __m256i encode24(const unsigned char *in) {
  const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in));
  const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 12));
  return encode_groups<0>(_mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1));
}

// The same with one load, which starts 4 bytes before `in`.
OCTAFOLD_AVX2 inline __m256i encode24_after4(const unsigned char *in) {
  return encode_groups<4>(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(in - 4)));
}

// Bytes 48 to 53 of two lines, 54 bytes apart, as 12 bytes.
OCTAFOLD_AVX2 inline __m128i line_tails(const unsigned char *in) {
  const __m128i two =
      _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(in + 48)),
                         _mm_loadl_epi64(reinterpret_cast<const __m128i *>(in + kLineBytes + 48)));
  return _mm_shuffle_epi8(two,
                          _mm_setr_epi8(0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, -1, -1, -1, -1));
}

OCTAFOLD_AVX2 void encode_lines(const unsigned char *in, std::size_t lines, char *out) {
  static_assert(kLineBytes == 24 + 24 + 6, "a line is two steps and a quarter of a third");
  constexpr std::size_t kOut = kLineChars + 1;
  // Four lines a step: the first 48 bytes of each line in two steps of 24,
  // the last 6 of all four in one more.
  for (std::size_t l = 0; l + 4 <= lines; l += 4, in += 4 * kLineBytes, out += 4 * kOut) {
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), encode24(in));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + 32), encode24_after4(in + 24));
    for (std::size_t k = 1; k < 4; ++k) {
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + k * kOut),
                          encode24_after4(in + k * kLineBytes));
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + k * kOut + 32),
                          encode24_after4(in + k * kLineBytes + 24));
    }
    const __m256i tails = encode_groups<0>(_mm256_inserti128_si256(
        _mm256_castsi128_si256(line_tails(in)), line_tails(in + 2 * kLineBytes), 1));
    const __m128i t01 = _mm256_castsi256_si128(tails), t23 = _mm256_extracti128_si256(tails, 1);
    // Unaligned 8-byte stores: _mm_storeh_pd would assume an aligned double.
    _mm_storel_epi64(reinterpret_cast<__m128i *>(out + 64), t01);
    _mm_storel_epi64(reinterpret_cast<__m128i *>(out + kOut + 64), _mm_unpackhi_epi64(t01, t01));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(out + 2 * kOut + 64), t23);
    _mm_storel_epi64(reinterpret_cast<__m128i *>(out + 3 * kOut + 64),
                     _mm_unpackhi_epi64(t23, t23));
    for (std::size_t k = 0; k < 4; ++k) out[k * kOut + kLineChars] = '\n';
  }
  for (std::size_t l = lines / 4 * 4; l < lines; ++l, in += kLineBytes, out += kOut) {
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), encode24(in));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + 32), encode24(in + 24));
    // Bytes 30..53 give characters 40..71; 40..63 are written twice, alike.
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + 40), encode24(in + 30));
    out[kLineChars] = '\n';
  }
}

// Bytes of c in [lo, hi], signed.
OCTAFOLD_AVX2 inline __m256i in_range(__m256i c, char lo, char hi) {
  return _mm256_and_si256(_mm256_cmpgt_epi8(c, _mm256_set1_epi8(static_cast<char>(lo - 1))),
                          _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(hi + 1)), c));
}

// Sextet values of 32 characters; `bad` gets a set byte for every character
// outside the alphabet (bytes of 128 and more are negative and fail every
// range).
OCTAFOLD_AVX2 inline __m256i sextets32(__m256i c, __m256i &bad) {
  const __m256i upper = in_range(c, 'A', 'Z');
  const __m256i lower = in_range(c, 'a', 'z');
  const __m256i digit = in_range(c, '0', '9');
  const __m256i plus = _mm256_cmpeq_epi8(c, _mm256_set1_epi8('+'));
  const __m256i slash = _mm256_cmpeq_epi8(c, _mm256_set1_epi8('/'));
  __m256i shift = _mm256_and_si256(upper, _mm256_set1_epi8(-'A'));
  shift = _mm256_or_si256(shift, _mm256_and_si256(lower, _mm256_set1_epi8(26 - 'a')));
  shift = _mm256_or_si256(shift, _mm256_and_si256(digit, _mm256_set1_epi8(52 - '0')));
  shift = _mm256_or_si256(shift, _mm256_and_si256(plus, _mm256_set1_epi8(62 - '+')));
  shift = _mm256_or_si256(shift, _mm256_and_si256(slash, _mm256_set1_epi8(63 - '/')));
  const __m256i good = _mm256_or_si256(_mm256_or_si256(upper, lower),
                                       _mm256_or_si256(digit, _mm256_or_si256(plus, slash)));
  bad = _mm256_cmpeq_epi8(good, _mm256_setzero_si256());
  return _mm256_add_epi8(c, shift);
}

OCTAFOLD_AVX2 std::size_t decode_run(const unsigned char *in, std::size_t len, unsigned char *out) {
  std::size_t i = 0;
  for (; i + 32 <= len; i += 32, out += 24) {
    __m256i bad;
    const __m256i s = sextets32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(in + i)), bad);
    if (_mm256_movemask_epi8(bad) != 0) break;
    // Pairs of sextets to 12 bits, pairs of those to 24 bits per word.
    const __m256i pairs = _mm256_maddubs_epi16(s, _mm256_set1_epi32(0x01400140));
    const __m256i words = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
    const __m256i packed = _mm256_shuffle_epi8(
        words, _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6,
                                5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
    const __m256i joined =
        _mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), joined);
  }
  return i + scalar::decode_groups(in + i, len - i, out);
}

OCTAFOLD_AVX2 std::size_t qp_plain_run(const unsigned char *in, std::size_t len) {
  std::size_t i = 0;
  for (; i + 32 <= len; i += 32) {
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in + i));
    // Signed compares: bytes of 128 and more are negative, below " ".
    const __m256i printable = _mm256_and_si256(_mm256_cmpgt_epi8(c, _mm256_set1_epi8(' ' - 1)),
                                               _mm256_cmpgt_epi8(_mm256_set1_epi8('~' + 1), c));
    const __m256i plain =
        _mm256_or_si256(_mm256_andnot_si256(_mm256_cmpeq_epi8(c, _mm256_set1_epi8('=')), printable),
                        _mm256_cmpeq_epi8(c, _mm256_set1_epi8('\t')));
    const auto stop = ~static_cast<unsigned>(_mm256_movemask_epi8(plain));
    if (stop != 0) return i + static_cast<std::size_t>(__builtin_ctz(stop));
  }
  return i + scalar::qp_plain_run(in + i, len - i);
}

OCTAFOLD_AVX2 inline __m256i load32(const unsigned char *p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}

// 64 input bytes a step; each piece up to an LF moves with two stores.
OCTAFOLD_AVX2 std::size_t expand_lf(const unsigned char *in, std::size_t len, unsigned char *out) {
  unsigned char *const start = out;
  const __m256i lf = _mm256_set1_epi8('\n');
  std::size_t i = 0;
  for (; i + 64 <= len; i += 64) {
    const auto lo =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(load32(in + i), lf)));
    const auto hi = static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(load32(in + i + 32), lf)));
    std::uint64_t mask = lo | std::uint64_t{hi} << 32;
    std::size_t from = 0;
    while (mask != 0) {
      const auto pos = static_cast<std::size_t>(__builtin_ctzll(mask));
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), load32(in + i + from));
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + 32), load32(in + i + from + 32));
      out = scalar::end_piece(out, from, pos);
      from = pos + 1;
      mask &= mask - 1;
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), load32(in + i + from));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + 32), load32(in + i + from + 32));
    out += 64 - from;
  }
  return static_cast<std::size_t>(out - start) + scalar::expand_lf(in + i, len - i, out);
}

constexpr KernelOps kAvx2 = {encode_lines,       decode_run,      expand_lf,
                             qp_plain_run,       qp_encode_avx2,  avx2::qp_decode,
                             avx2::decode_lines, avx2::fold_crlf, avx2::find_dash_line};

}  // namespace

const KernelOps &avx2_ops() { return kAvx2; }

}  // namespace octafold

#else

namespace octafold {
const KernelOps &avx2_ops() { return portable_ops(); }
}  // namespace octafold

#endif
