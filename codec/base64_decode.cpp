// Base64 decoder (RFC 2045, section 6.8), tolerant of damaged input: it never
// rejects a byte, so a reader always gets as much of a body as survives.
// The kernel decodes runs of clean groups; white space, "=" and bytes outside
// the alphabet go through the group-at-a-time path below. Without a boundary
// list it reads whole blocks; with one it decodes the stream's own buffer in
// place up to each "-" at a line start, which the byte-wise boundary path
// then reads, so the stream stops exactly after the boundary line.
#include <cstring>

#include "block_io.h"
#include "internal.h"
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

// Decodes [p, end) to `o` and returns the end of what it wrote; `p` is left
// after the last byte consumed, which is before `end` only when an "=" has
// ended the data. The kernel may read kSlack bytes past `end`.
unsigned char *decode_block(Decoder &d, const unsigned char *&p, const unsigned char *end,
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
    if (d.done) break;
  }
  return o;
}

const char kPrematureEof[] = "Warning: base64 decoder saw premature EOF!\n";

// Decodes data[0, n) onto `output` and returns the bytes consumed. With
// `in_place`, data is the stream's own buffer and nothing past data[n - 1]
// may be read: the kernel gets the last kSlack bytes in a copy.
std::size_t decode_into(Decoder &d, const unsigned char *data, std::size_t n, bool in_place,
                        BlockOutput &output, bool portable) {
  // A block of n characters gives at most 3 bytes for every 4, counting
  // the up to 3 characters of a group begun before it.
  unsigned char *const start = output.room(n / 4 * 3 + 6 + kSlack);
  const std::size_t from = output.size();
  const unsigned char *p = data;
  const std::size_t direct = !in_place ? n : n > kSlack ? n - kSlack : 0;
  unsigned char *stop = decode_block(d, p, data + direct, start);
  std::size_t used = static_cast<std::size_t>(p - data);
  if (!d.done && direct < n) {
    unsigned char tail[2 * kSlack] = {};
    std::memcpy(tail, data + direct, n - direct);
    const unsigned char *q = tail;
    stop = decode_block(d, q, tail + (n - direct), stop);
    used += static_cast<std::size_t>(q - tail);
  }
  std::size_t len = from + static_cast<std::size_t>(stop - start);
  if (portable) len = fold_crlf(output.begin(), from == 0 ? 0 : from - 1, len);
  output.truncate(len);
  return used;
}

// With a boundary list: the same rules as ref::from64 (which tests hold this
// against), line starts and all, over PartInput's bytes; dash lines are
// read from the stream itself.
void from64_bounded(FILE *in, FILE *out, const char *const *boundaries, int *count, bool portable) {
  PartInput input(in);
  BlockOutput output(out, portable);
  Decoder d;
  bool line_start = true;
  char line[kLineBufferSize];
  bool at_end = false;
  flockfile(in);
  while (!(at_end = !input.fill())) {
    const unsigned char *const data = input.data();
    const std::size_t n = input.size() < kMaxBlock ? input.size() : kMaxBlock;
    if (line_start && data[0] == '-') {
      if (!d.done && d.have != 0) {
        // The line cuts the group short, as the end of input would; a CR
        // held for folding is written with what came before.
        fputs(kPrematureEof, stderr);
        d.have = 0;
        output.finish();
      }
      input.sync();
      getc(in);  // the "-", which read_dash_line pushes back
      read_dash_line(in, line);
      if (ends_part(line, boundaries, count)) break;
      fprintf(stderr, "Ignoring unrecognized boundary line: %s\n", line);
      continue;  // still at a line start: a cut line's rest reads as a new line
    }
    if (d.done) {
      // Only white space and a "-" at a line start still count.
      std::size_t i = 0;
      for (; i < n; ++i) {
        if (is_space(data[i])) {
          line_start = data[i] == '\n';
        } else if (data[i] == '-' && line_start) {
          break;
        }
      }
      input.consume(i);
      continue;
    }
    const std::size_t used = decode_into(d, data, kernel_ops().find_dash_line(data, n),
                                         !input.has_slack(), output, portable);
    line_start = !d.done && data[used - 1] == '\n';
    input.consume(used);
  }
  input.sync();
  funlockfile(in);
  if (at_end && !d.done && d.have != 0) fputs(kPrematureEof, stderr);
  output.finish();
}

// Without a boundary list: two blocks a read and the bytes of each read
// written with one fwrite, as in the encoder (half the reads and writes).
constexpr std::size_t kRead = 2 * kMaxBlock;

void from64_plain(FILE *in, FILE *out, bool portable) {
  unsigned char data[kRead + kSlack] = {};
  // A CR held from the last read, then at most 3 bytes for every 4
  // characters and the up to 3 characters of a group begun before.
  unsigned char bytes[1 + kRead / 4 * 3 + 6 + kSlack] = {};
  Decoder d;
  std::size_t held = 0;  // 1 when bytes[0] is a CR that an LF may still fold
  bool ended = false;
  while (!ended) {
    const std::size_t want = 2 * block_size();
    const std::size_t got = std::fread(data, 1, want, in);
    ended = got < want;                // as with BlockInput, a short read is the end
    if (got == 0 || d.done) continue;  // the rest of the input is read and discarded
    const unsigned char *p = data;
    std::size_t len =
        static_cast<std::size_t>(decode_block(d, p, data + got, bytes + held) - bytes);
    if (portable) len = fold_crlf(bytes, 0, len);
    const std::size_t keep = portable && len != 0 && bytes[len - 1] == '\r' ? 1 : 0;
    if (len > keep) std::fwrite(bytes, 1, len - keep, out);
    held = keep;
    if (keep != 0) bytes[0] = '\r';
  }
  if (!d.done && d.have != 0) fputs(kPrematureEof, stderr);
  // A CR still held is data: it is written however the call ends.
  if (held != 0) std::fwrite(bytes, 1, held, out);
}

}  // namespace

extern "C" void from64(FILE *in, FILE *out, const char *const *boundaries, int *count,
                       int portable) {
  if (boundaries != nullptr) {
    if (StreamWindow::available()) {
      from64_bounded(in, out, boundaries, count, portable != 0);
    } else {
      ref::from64(in, out, boundaries, count, portable);
    }
    return;
  }
  from64_plain(in, out, portable != 0);
}
