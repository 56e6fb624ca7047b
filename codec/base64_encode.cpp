// Base64 encoder (RFC 2045, section 6.8): 72-character lines ended by LF.
// Reads whole blocks and encodes whole lines with the selected kernel; the
// last, shorter line is padded here.
#include <cstring>

#include "block_io.h"
#include "kernels.h"
#include "octafold.h"
#include "scalar.h"

namespace {

using namespace octafold;

// Input bytes in hand: a partial line kept from the last block, then the
// (in portable mode, expanded) new block.
constexpr std::size_t kCarry = kLineBytes;
constexpr std::size_t kLinesSize = kCarry + 2 * kMaxBlock + kSlack;

// Encodes the whole lines of data[0, len) and returns the bytes used.
std::size_t encode_lines(const unsigned char *data, std::size_t len, BlockOutput &out) {
  // Small pieces, so that the output buffer fills up before each flush:
  // fewer, fuller writes.
  constexpr std::size_t kLinesPerFlush = 64;
  static_assert(kLinesPerFlush * (kLineChars + 1) < BlockOutput::kSize / 8);
  const KernelOps &ops = kernel_ops();
  std::size_t lines = len / kLineBytes;
  const unsigned char *p = data;
  while (lines != 0) {
    const std::size_t n = lines < kLinesPerFlush ? lines : kLinesPerFlush;
    ops.encode_lines(p, n, reinterpret_cast<char *>(out.room(n * (kLineChars + 1))));
    out.commit(n * (kLineChars + 1));
    p += n * kLineBytes;
    lines -= n;
  }
  return static_cast<std::size_t>(p - data);
}

// The last line: fewer than kLineBytes bytes, the final group padded with
// "=" when it is short. Nothing at all for no bytes.
void encode_last_line(const unsigned char *data, std::size_t len, BlockOutput &out) {
  if (len == 0) return;
  auto *line = reinterpret_cast<char *>(out.room(kLineChars + 1));
  std::size_t chars = 0;
  for (std::size_t i = 0; i + 3 <= len; i += 3, chars += 4) {
    scalar::encode_group(data + i, line + chars);
  }
  const std::size_t rest = len % 3;
  if (rest != 0) {
    // Missing bytes count as 0, so their bits in the last character are 0.
    const unsigned char group[3] = {data[len - rest],
                                    rest == 2 ? data[len - 1] : static_cast<unsigned char>(0), 0};
    scalar::encode_group(group, line + chars);
    line[chars + 3] = '=';
    if (rest == 1) line[chars + 2] = '=';
    chars += 4;
  }
  line[chars] = '\n';
  out.commit(chars + 1);
}

}  // namespace

extern "C" void to64(FILE *in, FILE *out, int portable) {
  BlockOutput output(out);
  if (portable) {
    BlockInput<0> input(in);
    unsigned char lines[kLinesSize] = {};
    std::size_t held = 0;  // bytes of a partial line at the front of `lines`
    while (input.refill(input.size())) {
      held += kernel_ops().expand_lf(input.data(), input.size(), lines + held);
      const std::size_t used = encode_lines(lines, held, output);
      std::memmove(lines, lines + used, held - used);
      held -= used;
    }
    encode_last_line(lines, held, output);
  } else {
    BlockInput<kCarry> input(in);
    std::size_t used = 0;
    while (input.refill(used)) used = encode_lines(input.data(), input.size(), output);
    encode_last_line(input.data(), input.size(), output);
  }
  output.finish();
  fflush(out);
}
