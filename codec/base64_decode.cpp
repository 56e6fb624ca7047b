// Base64 decoder (RFC 2045, section 6.8), tolerant of damaged input: it never
// rejects a byte, so a reader always gets as much of a body as survives.
// Without a boundary list it reads whole blocks and lets the kernel decode
// runs of clean groups; white space, "=" and bytes outside the alphabet go
// through the group-at-a-time path below.
#include <cstring>

#include "block_io.h"
#include "kernels.h"
#include "octafold.h"
#include "tables.h"

namespace {

using namespace octafold;

unsigned char low8(unsigned v) { return static_cast<unsigned char>(v & 0xFF); }

// One group of four characters (white space already skipped). The first "="
// ends the data: the bytes before it are written, and `done` is set.
unsigned char *decode_group(const unsigned char *q, unsigned char *o, bool &done) {
  if (q[0] == '=' || q[1] == '=') {
    done = true;
    return o;
  }
  const unsigned s1 = base64_values[q[0]], s2 = base64_values[q[1]];
  *o++ = low8((s1 << 2) | ((s2 & 0x30) >> 4));
  if (q[2] == '=') {
    done = true;
    return o;
  }
  const unsigned s3 = base64_values[q[2]];
  *o++ = low8(((s2 & 0x0F) << 4) | ((s3 & 0x3C) >> 2));
  if (q[3] == '=') {
    done = true;
    return o;
  }
  *o++ = low8(((s3 & 0x03) << 6) | base64_values[q[3]]);
  return o;
}

// Drops every CR that an LF follows in buf[from, len) and returns the new
// length. A CR at the very end stays: the next block may begin with its LF.
std::size_t fold_crlf(unsigned char *buf, std::size_t from, std::size_t len) {
  std::size_t r = from, w = from;
  if (const auto fold = kernel_ops().fold_crlf; fold != nullptr) {
    std::size_t kept = 0;
    r += fold(buf + from, len - from, &kept);
    w += kept;
  }
  while (r < len) {
    const auto *cr = static_cast<const unsigned char *>(std::memchr(buf + r, '\r', len - r));
    const std::size_t stop = cr == nullptr ? len : static_cast<std::size_t>(cr - buf);
    if (w != r) std::memmove(buf + w, buf + r, stop - r);
    w += stop - r;
    r = stop;
    if (r == len) break;
    if (r + 1 < len && buf[r + 1] == '\n') {
      ++r;  // the LF alone stands for CR LF
      continue;
    }
    buf[w++] = '\r';
    ++r;
  }
  return w;
}

// State carried from block to block: the characters of a group begun in an
// earlier block and whether an "=" has ended the data.
struct Decoder {
  unsigned char group[4] = {};
  std::size_t have = 0;
  bool done = false;
};

// Decodes data[0, len) to `o` and returns the end of what it wrote.
unsigned char *decode_block(Decoder &d, const unsigned char *p, const unsigned char *end,
                            unsigned char *o) {
  const KernelOps &ops = kernel_ops();
  while (p < end) {
    if (d.have == 0) {
      // Whole lines first, then what is left of a line in whole groups.
      if (ops.decode_lines != nullptr)
        p += ops.decode_lines(p, static_cast<std::size_t>(end - p), &o);
      const std::size_t used = ops.decode_run(p, static_cast<std::size_t>(end - p), o);
      p += used;
      o += used / 4 * 3;
      if (p == end) break;
    }
    const unsigned char c = *p++;
    if (is_space(c)) continue;
    d.group[d.have++] = c;
    if (d.have < 4) continue;
    d.have = 0;
    o = decode_group(d.group, o, d.done);
    if (d.done) break;  // the rest of the input is read and discarded
  }
  return o;
}

}  // namespace

extern "C" void from64(FILE *in, FILE *out, const char *const *boundaries, int *count,
                       int portable) {
  // A boundary line must leave the input just after it: byte at a time.
  if (boundaries != nullptr) {
    ref::from64(in, out, boundaries, count, portable);
    return;
  }
  BlockInput<0> input(in);
  BlockOutput output(out, portable != 0);
  Decoder d;
  while (input.refill(input.size())) {
    if (d.done) continue;
    // A block of n characters gives at most 3 bytes for every 4, counting
    // the up to 3 characters of a group begun before it.
    unsigned char *const start = output.room(input.size() / 4 * 3 + 6 + kSlack);
    const std::size_t from = output.size();
    unsigned char *const stop = decode_block(d, input.data(), input.data() + input.size(), start);
    std::size_t len = from + static_cast<std::size_t>(stop - start);
    if (portable) len = fold_crlf(output.begin(), from == 0 ? 0 : from - 1, len);
    output.truncate(len);
  }
  if (!d.done && d.have != 0) fputs("Warning: base64 decoder saw premature EOF!\n", stderr);
  // A CR still held is data: it is written however the call ends.
  output.finish();
}
