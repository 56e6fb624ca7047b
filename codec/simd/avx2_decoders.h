// The AVX2 decoder kernels, shared by the AVX2 and AVX-512 kernel tables.
// Each is compiled for AVX2 by attribute; call them only where the CPU has
// AVX2.
#ifndef OCTAFOLD_SIMD_AVX2_DECODERS_H
#define OCTAFOLD_SIMD_AVX2_DECODERS_H

#include <cstddef>

namespace octafold::avx2 {

// As KernelOps::qp_decode.
std::size_t qp_decode(const unsigned char *in, std::size_t len, unsigned char **out);
// As scalar::find_dash_line, 32 bytes a step; reads nothing past
// data[n - 1].
std::size_t find_dash_line(const unsigned char *data, std::size_t n);
// As KernelOps::decode_lines.
std::size_t decode_lines(const unsigned char *in, std::size_t len, unsigned char **out);
// As KernelOps::fold_crlf.
std::size_t fold_crlf(unsigned char *buf, std::size_t len, std::size_t *kept);

}  // namespace octafold::avx2

#endif
