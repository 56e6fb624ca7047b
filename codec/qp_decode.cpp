// Quoted-printable decoder (RFC 2045, section 6.7). It validates nothing:
// a malformed escape still yields a byte, so no text is ever dropped.
// Without a boundary list it reads whole blocks and copies the text between
// escapes whole.
#include <cstring>

#include "block_io.h"
#include "kernels.h"
#include "octafold.h"
#include "tables.h"

namespace {

using namespace octafold;

// An escape needs its two bytes after the "=", kept across blocks.
constexpr std::size_t kKeep = 2;
constexpr std::size_t kChunkOutput = 4096;
constexpr std::size_t kKernelChunk = 16 * 1024;

// Decodes from data[0, len); returns the bytes consumed, fewer than len only
// when an escape needs bytes of the next block. Without a boundary list a
// hard line end is written at once: nothing can drop it.
std::size_t decode_block(const unsigned char *data, std::size_t len, bool last, BlockOutput &out) {
  const KernelOps &ops = kernel_ops();
  std::size_t i = 0;
  while (i < len) {
    // The vector kernel takes what it can; the rest of its chunk (its last
    // few bytes, at least) goes on below.
    if (ops.qp_decode != nullptr) {
      const std::size_t m = len - i < kKernelChunk ? len - i : kKernelChunk;
      unsigned char *const start = out.room(m);
      unsigned char *end = start;
      i += ops.qp_decode(data + i, m, &end);
      out.commit(static_cast<std::size_t>(end - start));
    }
    const std::size_t n = len - i < kChunkOutput ? len - i : kChunkOutput;
    const auto *eq = static_cast<const unsigned char *>(std::memchr(data + i, '=', n));
    const std::size_t run = eq == nullptr ? n : static_cast<std::size_t>(eq - (data + i));
    std::memcpy(out.room(run), data + i, run);
    out.commit(run);
    i += run;
    if (eq == nullptr) continue;
    if (len - i <= kKeep && !last) break;
    // "=" LF and "=" CR LF are soft line breaks; otherwise the next two
    // bytes are the digits, whatever they are, and the end of input counts
    // as a non-digit.
    const unsigned char d = i + 1 < len ? data[i + 1] : '\0';
    if (i + 1 < len && d == '\n') {
      i += 2;
      continue;
    }
    if (d == '\r' && i + 2 < len && data[i + 2] == '\n') {
      i += 3;
      continue;
    }
    const unsigned char e = i + 2 < len ? data[i + 2] : '\0';
    out.put(qp_escaped_byte(d, e));
    i = i + 3 < len ? i + 3 : len;
  }
  return i;
}

}  // namespace

extern "C" void fromqp(FILE *in, FILE *out, const char *const *boundaries, int *count) {
  // A boundary line must leave the input just after it, and the LF before
  // it must be dropped: byte at a time.
  if (boundaries != nullptr) {
    ref::fromqp(in, out, boundaries, count);
    return;
  }
  BlockInput<kKeep> input(in);
  BlockOutput output(out);
  std::size_t used = 0;
  while (input.refill(used)) used = decode_block(input.data(), input.size(), input.ended(), output);
  decode_block(input.data(), input.size(), true, output);
  output.finish();
}
