// Base64 encoder (RFC 2045, section 6.8): 72-character lines ended by LF.
// Reads whole blocks and encodes whole lines with the selected kernel; the
// last, shorter line is padded here.
#include <cstring>

#include "kernels.h"
#include "octafold.h"
#include "scalar.h"

namespace {

using namespace octafold;

// Input bytes in hand: a partial line kept from the last block, then the
// (in portable mode, expanded) new block.
constexpr std::size_t kCarry = kLineBytes;

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

// Plain input is read two blocks at a time, portable input a block at a
// time and expanded to at most twice that; the lines of each read go out
// with one fwrite. Against block-sized reads and a BlockOutput (whose
// fwrites the stream splits in two) that is half the reads and a third of
// the writes, and input and output together still fit the second level
// cache.
constexpr std::size_t kHeld = kCarry + 2 * kMaxBlock;
constexpr std::size_t kOut = kHeld / kLineBytes * (kLineChars + 1) + kLineChars + 1 + kSlack;

void encode_blocks(FILE *in, FILE *out, bool portable) {
  unsigned char raw[kMaxBlock + kSlack] = {};  // portable input before expansion
  unsigned char data[kHeld + kSlack] = {};
  char lines[kOut] = {};
  const KernelOps &ops = kernel_ops();
  std::size_t held = 0;  // bytes of a partial line at the front of `data`
  bool ended = false;
  while (!ended) {
    const std::size_t want = portable ? block_size() : 2 * block_size();
    const std::size_t got = std::fread(portable ? raw : data + held, 1, want, in);
    ended = got < want;  // as with BlockInput, a short read is the end
    held += portable ? ops.expand_lf(raw, got, data + held) : got;
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
  encode_blocks(in, out, portable != 0);
  fflush(out);
}
