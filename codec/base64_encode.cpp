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
// "=" when it is short. Nothing at all for no bytes. Returns the length.
std::size_t encode_last_line(const unsigned char *data, std::size_t len, char *line) {
  if (len == 0) return 0;
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
  return chars + 1;
}

// The plain path reads two blocks at a time and writes the lines of each
// read with one fwrite: half the reads of block-sized ones, and a third of
// the writes of a BlockOutput (whose fwrites the stream splits in two).
// Input and output together still fit the second level cache.
constexpr std::size_t kRead = 2 * kMaxBlock;
constexpr std::size_t kHeld = kCarry + kRead;
constexpr std::size_t kOut = kHeld / kLineBytes * (kLineChars + 1) + kLineChars + 1 + kSlack;

void encode_plain(FILE *in, FILE *out) {
  unsigned char data[kHeld + kSlack] = {};
  char lines[kOut] = {};
  const KernelOps &ops = kernel_ops();
  std::size_t held = 0;  // bytes of a partial line at the front of `data`
  bool ended = false;
  while (!ended) {
    const std::size_t want = 2 * block_size();
    const std::size_t got = std::fread(data + held, 1, want, in);
    ended = got < want;  // as with BlockInput, a short read is the end
    held += got;
    const std::size_t n = held / kLineBytes;
    ops.encode_lines(data, n, lines);
    std::size_t len = n * (kLineChars + 1);
    std::size_t used = n * kLineBytes;
    if (ended) {
      len += encode_last_line(data + used, held - used, lines + len);
      used = held;
    }
    if (len != 0) std::fwrite(lines, 1, len, out);
    std::memmove(data, data + used, held - used);
    held -= used;
  }
}

}  // namespace

extern "C" void to64(FILE *in, FILE *out, int portable) {
  if (portable) {
    BlockOutput output(out);
    BlockInput<0> input(in);
    unsigned char lines[kLinesSize] = {};
    std::size_t held = 0;  // bytes of a partial line at the front of `lines`
    while (input.refill(input.size())) {
      held += kernel_ops().expand_lf(input.data(), input.size(), lines + held);
      const std::size_t used = encode_lines(lines, held, output);
      std::memmove(lines, lines + used, held - used);
      held -= used;
    }
    output.commit(
        encode_last_line(lines, held, reinterpret_cast<char *>(output.room(kLineChars + 1))));
    output.finish();
  } else {
    encode_plain(in, out);
  }
  fflush(out);
}
