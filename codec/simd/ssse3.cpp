// SSSE3 kernel: 12 bytes to 16 base64 characters and back per step, and a
// 16-byte scan for quoted-printable runs; for x86-64 machines without AVX2.
// Compiled by attribute and selected at run time, like the wider ones.
#include "kernels.h"
#include "scalar.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#define OCTAFOLD_SSSE3 __attribute__((target("ssse3")))

namespace octafold {
namespace {

// 12 bytes (4 groups) to 16 characters (after W. Mula's SSE base64 encoder).
OCTAFOLD_SSSE3 inline __m128i encode12(const unsigned char *in) {
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in));
  // Each 32-bit word gets bytes b1 b0 b2 b1 of its group.
  v = _mm_shuffle_epi8(v, _mm_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10));
  const __m128i t0 = _mm_and_si128(v, _mm_set1_epi32(0x0fc0fc00));
  const __m128i t1 = _mm_mulhi_epu16(t0, _mm_set1_epi32(0x04000040));
  const __m128i t2 = _mm_and_si128(v, _mm_set1_epi32(0x003f03f0));
  const __m128i t3 = _mm_mullo_epi16(t2, _mm_set1_epi32(0x01000010));
  const __m128i sextets = _mm_or_si128(t1, t3);
  // 0..25 -> 13, 26..51 -> 0, 52..63 -> 1..12: an index into the offsets.
  __m128i idx = _mm_subs_epu8(sextets, _mm_set1_epi8(51));
  const __m128i upper = _mm_cmpgt_epi8(_mm_set1_epi8(26), sextets);
  idx = _mm_or_si128(idx, _mm_and_si128(upper, _mm_set1_epi8(13)));
  const __m128i offsets =
      _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                    '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
  return _mm_add_epi8(sextets, _mm_shuffle_epi8(offsets, idx));
}

OCTAFOLD_SSSE3 void encode_lines(const unsigned char *in, std::size_t lines, char *out) {
  static_assert(kLineBytes == 4 * 12 + 6, "a line is four steps and an overlapping fifth");
  for (std::size_t l = 0; l < lines; ++l, in += kLineBytes, out += kLineChars + 1) {
    for (std::size_t k = 0; k < 4; ++k) {
      _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 16 * k), encode12(in + 12 * k));
    }
    // Bytes 42..53 give characters 56..71; 56..63 are written twice, alike.
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 56), encode12(in + 42));
    out[kLineChars] = '\n';
  }
}

// Bytes of c in [lo, hi], signed: bytes of 128 and more fail every range.
OCTAFOLD_SSSE3 inline __m128i in_range(__m128i c, char lo, char hi) {
  return _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8(static_cast<char>(lo - 1))),
                       _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(hi + 1)), c));
}

OCTAFOLD_SSSE3 std::size_t decode_run(const unsigned char *in, std::size_t len,
                                      unsigned char *out) {
  std::size_t i = 0;
  for (; i + 16 <= len; i += 16, out += 12) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i));
    const __m128i upper = in_range(c, 'A', 'Z');
    const __m128i lower = in_range(c, 'a', 'z');
    const __m128i digit = in_range(c, '0', '9');
    const __m128i plus = _mm_cmpeq_epi8(c, _mm_set1_epi8('+'));
    const __m128i slash = _mm_cmpeq_epi8(c, _mm_set1_epi8('/'));
    const __m128i good =
        _mm_or_si128(_mm_or_si128(upper, lower), _mm_or_si128(digit, _mm_or_si128(plus, slash)));
    if (_mm_movemask_epi8(good) != 0xFFFF) break;
    __m128i shift = _mm_and_si128(upper, _mm_set1_epi8(-'A'));
    shift = _mm_or_si128(shift, _mm_and_si128(lower, _mm_set1_epi8(26 - 'a')));
    shift = _mm_or_si128(shift, _mm_and_si128(digit, _mm_set1_epi8(52 - '0')));
    shift = _mm_or_si128(shift, _mm_and_si128(plus, _mm_set1_epi8(62 - '+')));
    shift = _mm_or_si128(shift, _mm_and_si128(slash, _mm_set1_epi8(63 - '/')));
    const __m128i s = _mm_add_epi8(c, shift);
    // Pairs of sextets to 12 bits, pairs of those to 24 bits per word.
    const __m128i pairs = _mm_maddubs_epi16(s, _mm_set1_epi32(0x01400140));
    const __m128i words = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out),
                     _mm_shuffle_epi8(words, _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12,
                                                           -1, -1, -1, -1)));
  }
  return i + scalar::decode_groups(in + i, len - i, out);
}

OCTAFOLD_SSSE3 std::size_t qp_plain_run(const unsigned char *in, std::size_t len) {
  std::size_t i = 0;
  for (; i + 16 <= len; i += 16) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i));
    const __m128i printable = in_range(c, ' ', '~');
    const __m128i plain =
        _mm_or_si128(_mm_andnot_si128(_mm_cmpeq_epi8(c, _mm_set1_epi8('=')), printable),
                     _mm_cmpeq_epi8(c, _mm_set1_epi8('\t')));
    const auto stop = ~static_cast<unsigned>(_mm_movemask_epi8(plain)) & 0xFFFFu;
    if (stop != 0) return i + static_cast<std::size_t>(__builtin_ctz(stop));
  }
  return i + scalar::qp_plain_run(in + i, len - i);
}

// As in the AVX-512 kernel, 16 input bytes a step.
OCTAFOLD_SSSE3 std::size_t expand_lf(const unsigned char *in, std::size_t len, unsigned char *out) {
  unsigned char *const start = out;
  const __m128i lf = _mm_set1_epi8('\n');
  std::size_t i = 0;
  for (; i + 16 <= len; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i));
    auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)));
    std::size_t from = 0;
    while (mask != 0) {
      const auto pos = static_cast<std::size_t>(__builtin_ctz(mask));
      _mm_storeu_si128(reinterpret_cast<__m128i *>(out),
                       _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i + from)));
      out = scalar::end_piece(out, from, pos);
      from = pos + 1;
      mask &= mask - 1;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out),
                     _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i + from)));
    out += 16 - from;
  }
  return static_cast<std::size_t>(out - start) + scalar::expand_lf(in + i, len - i, out);
}

constexpr KernelOps kSsse3 = {encode_lines, decode_run, expand_lf, qp_plain_run,          nullptr,
                              nullptr,      nullptr,    nullptr,   scalar::find_dash_line};

}  // namespace

const KernelOps &ssse3_ops() { return kSsse3; }

}  // namespace octafold

#else

namespace octafold {
const KernelOps &ssse3_ops() { return portable_ops(); }
}  // namespace octafold

#endif
