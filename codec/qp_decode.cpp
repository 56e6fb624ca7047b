// Quoted-printable decoder (RFC 2045, section 6.7). It validates nothing:
// a malformed escape still yields a byte, so no text is ever dropped.
// The block routine copies the text between escapes whole. Without a
// boundary list it reads whole blocks; with one it decodes the stream's own
// buffer in place and leaves the few bytes before each "-" at a line start
// to the byte-wise decoder, which holds the line end that a boundary line
// may claim and stops exactly after that line.
#include <cstring>

#include "block_io.h"
#include "internal.h"
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
// when an escape needs bytes of the next block. Every line end is written
// at once, so the caller must keep the one before a possible boundary line
// out of data. Reads nothing past data[len - 1]: on the boundary path data
// is the stream's own buffer.
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
    const unsigned char e = i + 2 < len ? data[i + 2] : '\0';
    if (i + 2 < len && d == '\r' && e == '\n') {
      i += 3;
      continue;
    }
    out.put(qp_escaped_byte(d, e));
    i = i + 3 < len ? i + 3 : len;
  }
  return i;
}

// The end of data[0, n) without its trailing line end (LF, CR LF, or a CR
// whose LF may come next): whether that line end is written depends on the
// bytes after it.
std::size_t before_line_end(const unsigned char *data, std::size_t n) {
  if (n != 0 && data[n - 1] == '\n') --n;
  if (n != 0 && data[n - 1] == '\r') --n;
  return n;
}

// A dash line that the buffered bytes hold whole, the read_dash_line would
// read: up to its LF or kLineBufferSize - 1 bytes. 0 when more bytes are
// needed first.
std::size_t whole_dash_line(const unsigned char *data, std::size_t size) {
  constexpr auto most = static_cast<std::size_t>(kLineBufferSize - 1);
  const std::size_t n = size < most ? size : most;
  const auto *lf = static_cast<const unsigned char *>(std::memchr(data, '\n', n));
  if (lf != nullptr) return static_cast<std::size_t>(lf - data) + 1;
  return n == most ? n : 0;
}

void put_to_block(void *ctx, unsigned char c) { static_cast<BlockOutput *>(ctx)->put(c); }

// With a boundary list: the block routine over PartInput's bytes up to the
// next "-" after an LF or the buffer's end, less the line end there, which
// is held; the byte-wise steps of ref::fromqp for an escape cut by the
// buffer's end, a CR held there, and the dash lines. Every line end the block
// routine writes is followed, inside the buffer, by a byte that opens no dash
// line, so none of them could have been claimed by a boundary line.
void fromqp_bounded(FILE *in, FILE *out, const char *const *boundaries, int *count) {
  PartInput input(in);
  BlockOutput output(out);
  ref::QpState s;
  flockfile(in);
  for (;;) {
    std::size_t used = 0;
    if (input.fill() && !s.cr) {
      const unsigned char *const data = input.data();
      const std::size_t n = input.size() < kMaxBlock ? input.size() : kMaxBlock;
      if (!(s.line_start && data[0] == '-')) {
        if (s.held != 0) {
          // No boundary line follows: the held line end is text.
          if (s.held == 2) output.put('\r');
          output.put('\n');
          s.held = 0;
        }
        const std::size_t cut = kernel_ops().find_dash_line(data, n);
        const std::size_t end = before_line_end(data, cut);
        used = decode_block(data, end, false, output);
        if (used == end && end < cut) {
          // The line end itself, held as the byte-wise steps hold it; a CR
          // at the buffer's end waits for the next byte.
          if (data[cut - 1] == '\n') {
            s.held = cut - end == 2 ? 2 : 1;
            s.line_start = true;
          } else {
            s.cr = true;
            s.line_start = false;
          }
          input.consume(cut);
          continue;
        }
        if (used + 1 == end && data[used] == '=' && data[cut - 1] == '\n') {
          // "=" and the held line end: a soft line break ("=" LF or "=" CR
          // LF) before a dash line, as the byte-wise step reads it.
          s.line_start = true;
          input.consume(cut);
          continue;
        }
        if (used == 0 && cut == n && input.extend()) continue;
      } else if (const std::size_t line_len = whole_dash_line(data, input.size())) {
        // The byte-wise step for the dash line, on the buffered bytes: no
        // seek back and no read of the stream for it.
        char line[kLineBufferSize];
        std::memcpy(line, data, line_len);
        line[line_len] = '\0';
        input.consume(line_len);
        if (!ref::fromqp_line(s, line, line_len, put_to_block, &output, boundaries, count)) break;
        continue;
      }
      if (used != 0) {
        s.line_start = data[used - 1] == '\n';
        input.consume(used);
        continue;
      }
    }
    // The byte-wise step reads the stream and writes `out` itself.
    input.sync();
    output.flush();
    if (!ref::fromqp_step(s, in, out, boundaries, count)) break;
  }
  input.sync();
  funlockfile(in);
  output.finish();
}

}  // namespace

extern "C" void fromqp(FILE *in, FILE *out, const char *const *boundaries, int *count) {
  if (boundaries != nullptr) {
    if (StreamWindow::available()) {
      fromqp_bounded(in, out, boundaries, count);
    } else {
      ref::fromqp(in, out, boundaries, count);
    }
    return;
  }
  BlockInput<kKeep> input(in);
  BlockOutput output(out);
  std::size_t used = 0;
  while (input.refill(used)) used = decode_block(input.data(), input.size(), input.ended(), output);
  decode_block(input.data(), input.size(), true, output);
  output.finish();
}
