// AVX-512 kernel (BW, VL and VBMI): 48 bytes to 64 base64 characters and
// back per step with byte permutes, and a 64-byte scan for quoted-printable
// runs. Compiled by attribute and selected at run time, like the AVX2 one.
#include <array>
#include <cstdint>

#include "avx2_decoders.h"
#include "kernels.h"
#include "scalar.h"
#include "tables.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

// GCC 12 warns about the undefined source operand inside its own
// permutexvar and multishift wrappers.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define OCTAFOLD_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi")))

namespace octafold {
namespace {

// Sextet values of the codes 0 to 127, 0x80 for those outside the alphabet.
constexpr std::array<unsigned char, 128> make_sextets() {
  std::array<unsigned char, 128> t{};
  for (std::size_t i = 0; i < t.size(); ++i) {
    t[i] = base64_values[i] == kNotBase64 ? 0x80 : base64_values[i];
  }
  return t;
}
alignas(64) constexpr std::array<unsigned char, 128> kSextets = make_sextets();

// Output byte order after the multiply-add: bytes 2, 1, 0 of each word.
constexpr std::array<unsigned char, 64> make_pack() {
  std::array<unsigned char, 64> t{};
  for (unsigned g = 0; g < 16; ++g) {
    for (unsigned k = 0; k < 3; ++k) t[3 * g + k] = static_cast<unsigned char>(4 * g + 2 - k);
  }
  return t;
}
alignas(64) constexpr std::array<unsigned char, 64> kPack = make_pack();

OCTAFOLD_AVX512 inline __m512i load64(const void *p) { return _mm512_loadu_si512(p); }

OCTAFOLD_AVX512 inline __m512i encode48(const unsigned char *in, __m512i digits) {
  // Each 32-bit word gets bytes b1 b0 b2 b1 of its group; the multishift
  // then picks the four 6-bit fields of every word.
  const __m512i spread =
      _mm512_setr_epi32(0x01020001, 0x04050304, 0x07080607, 0x0a0b090a, 0x0d0e0c0d, 0x10110f10,
                        0x13141213, 0x16171516, 0x191a1819, 0x1c1d1b1c, 0x1f201e1f, 0x22232122,
                        0x25262425, 0x28292728, 0x2b2c2a2b, 0x2e2f2d2e);
  const __m512i v = _mm512_permutexvar_epi8(spread, load64(in));
  const __m512i sextets = _mm512_multishift_epi64_epi8(_mm512_set1_epi64(0x3036242a1016040a), v);
  return _mm512_permutexvar_epi8(sextets, digits);
}

OCTAFOLD_AVX512 void encode_lines(const unsigned char *in, std::size_t lines, char *out) {
  static_assert(kLineBytes == 48 + 6, "a line is one step and an overlapping second");
  const __m512i digits = load64(base64_digits.data());
  for (std::size_t l = 0; l < lines; ++l, in += kLineBytes, out += kLineChars + 1) {
    _mm512_storeu_si512(out, encode48(in, digits));
    // Bytes 6..53 give characters 8..71; 8..63 are written twice, alike.
    _mm512_storeu_si512(out + 8, encode48(in + 6, digits));
    out[kLineChars] = '\n';
  }
}

OCTAFOLD_AVX512 std::size_t decode_run(const unsigned char *in, std::size_t len,
                                       unsigned char *out) {
  const __m512i lo = load64(kSextets.data());
  const __m512i hi = load64(kSextets.data() + 64);
  const __m512i pack = load64(kPack.data());
  std::size_t i = 0;
  for (; i + 64 <= len; i += 64, out += 48) {
    const __m512i c = load64(in + i);
    const __m512i s = _mm512_permutex2var_epi8(lo, c, hi);
    // A set top bit: a byte of 128 or more, or one outside the alphabet.
    if (_mm512_movepi8_mask(_mm512_or_si512(s, c)) != 0) break;
    const __m512i pairs = _mm512_maddubs_epi16(s, _mm512_set1_epi32(0x01400140));
    const __m512i words = _mm512_madd_epi16(pairs, _mm512_set1_epi32(0x00011000));
    _mm512_storeu_si512(out, _mm512_permutexvar_epi8(pack, words));
  }
  return i + scalar::decode_groups(in + i, len - i, out);
}

OCTAFOLD_AVX512 std::size_t qp_plain_run(const unsigned char *in, std::size_t len) {
  std::size_t i = 0;
  for (; i + 64 <= len; i += 64) {
    const __m512i c = load64(in + i);
    // Signed compares: bytes of 128 and more are negative, below " ".
    const __mmask64 printable = _mm512_cmpgt_epi8_mask(c, _mm512_set1_epi8(' ' - 1)) &
                                _mm512_cmplt_epi8_mask(c, _mm512_set1_epi8('~' + 1));
    const __mmask64 plain = (printable & ~_mm512_cmpeq_epi8_mask(c, _mm512_set1_epi8('='))) |
                            _mm512_cmpeq_epi8_mask(c, _mm512_set1_epi8('\t'));
    const std::uint64_t stop = ~static_cast<std::uint64_t>(plain);
    if (stop != 0) return i + static_cast<std::size_t>(__builtin_ctzll(stop));
  }
  return i + scalar::qp_plain_run(in + i, len - i);
}

// 64 input bytes a step, so that the next load does not wait for this
// step's LFs. Each piece up to an LF is stored with one 64-byte move from
// where it starts; what follows overwrites the bytes past it, or they land
// in the slack.
OCTAFOLD_AVX512 std::size_t expand_lf(const unsigned char *in, std::size_t len,
                                      unsigned char *out) {
  unsigned char *const start = out;
  const __m512i lf = _mm512_set1_epi8('\n');
  std::size_t i = 0;
  for (; i + 64 <= len; i += 64) {
    std::uint64_t mask = _mm512_cmpeq_epi8_mask(load64(in + i), lf);
    std::size_t from = 0;
    while (mask != 0) {
      const auto pos = static_cast<std::size_t>(__builtin_ctzll(mask));
      _mm512_storeu_si512(out, load64(in + i + from));
      out = scalar::end_piece(out, from, pos);
      from = pos + 1;
      mask &= mask - 1;
    }
    _mm512_storeu_si512(out, load64(in + i + from));
    out += 64 - from;
  }
  return static_cast<std::size_t>(out - start) + scalar::expand_lf(in + i, len - i, out);
}

// No AVX-512 quoted-printable or line-decoding kernels yet: those of AVX2 serve.
constexpr KernelOps kAvx512 = {encode_lines,       decode_run,      expand_lf,
                               qp_plain_run,       qp_encode_avx2,  avx2::qp_decode,
                               avx2::decode_lines, avx2::fold_crlf, avx2::find_dash_line};

}  // namespace

const KernelOps &avx512_ops() { return kAvx512; }

}  // namespace octafold

#else

namespace octafold {
const KernelOps &avx512_ops() { return portable_ops(); }
}  // namespace octafold

#endif
