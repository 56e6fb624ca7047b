// Quoted-printable encoder (RFC 2045, section 6.7), with two extra escapes
// that keep the text safe in transit: a "." that starts an output line (SMTP
// dot-stuffing) and the "F" of a "From " that starts a line (mbox quoting).
// Reads whole blocks; inside a line, runs of bytes that need no escape are
// found by the kernel and copied whole.
#include <array>
#include <cstring>

#include "block_io.h"
#include "kernels.h"
#include "octafold.h"
#include "scalar.h"
#include "tables.h"

namespace {

using namespace octafold;

constexpr char kFromRest[] = "rom ";
constexpr std::size_t kFromRestLen = sizeof kFromRest - 1;
// Bytes the "From " look-ahead may need beyond the "F", kept across blocks.
constexpr std::size_t kKeep = kFromRestLen;

// The most one step below writes: a run that fills a line, and its "=" LF.
constexpr std::size_t kStepOutput = static_cast<std::size_t>(kSoftBreakColumn) + 2;
constexpr std::size_t kChunkOutput = 4096;
// With a kernel that encodes whole lines, fewer and longer chunks.
constexpr std::size_t kKernelChunkOutput = 16384;

constexpr bool needs_escape(unsigned char c, int column) {
  return (c < 32 && c != '\t' && c != '\n') || c == '=' || c > 126 || (c == '.' && column == 0);
}

// Inside a line (column above 0) every byte but LF is written either as
// itself or as "=HH": its text, padded to 4 bytes for one store, and width.
struct Item {
  unsigned char text[4];
  unsigned char width;
};
constexpr std::array<Item, 256> make_items() {
  std::array<Item, 256> t{};
  for (unsigned c = 0; c < 256; ++c) {
    const auto b = static_cast<unsigned char>(c);
    if (needs_escape(b, 1)) {
      t[c] = {{'=', static_cast<unsigned char>(hex_digits[c >> 4]),
               static_cast<unsigned char>(hex_digits[c & 0xF]), 0},
              3};
    } else {
      t[c] = {{b, 0, 0, 0}, 1};
    }
  }
  return t;
}
constexpr std::array<Item, 256> kItems = make_items();
static_assert(kItems['='].width == 3 && kItems['.'].width == 1 && kItems[' '].width == 1 &&
              kItems[0x7F].width == 3 && kItems['\t'].width == 1);

bool plain4(const unsigned char *p) {
  return (kItems[p[0]].width | kItems[p[1]].width | kItems[p[2]].width | kItems[p[3]].width) == 1;
}

struct Encoder {
  int column = 0;
  int prev = kNeutral;  // the byte last written unchanged, LF, or neutral
};

// Encodes from data[0, len); returns the bytes consumed, fewer than len only
// when a "From " look-ahead needs bytes of the next block. `with_kernel`:
// the kernel's qp_encode does most of the work, the steps below the rest.
template <bool with_kernel>
std::size_t encode_block(Encoder &e, const unsigned char *data, std::size_t len, bool last,
                         BlockOutput &out) {
  constexpr std::size_t chunk = with_kernel ? kKernelChunkOutput : kChunkOutput;
  const KernelOps &ops = kernel_ops();
  std::size_t i = 0;
  bool waiting = false;  // for the look-ahead's bytes in the next block
  while (i < len && !waiting) {
    // The 4-byte stores of single items may write one byte past the step's
    // output; kSlack covers it.
    unsigned char *const begin = out.room(chunk + kStepOutput);
    unsigned char *o = begin;
    while (i < len && o < begin + chunk) {
      if constexpr (with_kernel) {
        QpState state{e.column, e.prev};
        i += ops.qp_encode(data + i, len - i, &o, begin + chunk + kStepOutput, state);
        e.column = state.column;
        e.prev = state.prev;
        // The kernel leaves a look-ahead short of bytes and the end of the
        // chunk to the steps below.
        if (i == len) break;
      }
      const unsigned char c = data[i];
      const bool in_line = e.column > 0 && c != '\n';
      // Inside a line "." and "F" are plain too: the rules that escape them
      // look at line starts only. Where four plain bytes follow, the kernel
      // finds the run; otherwise one item is one store, without branches
      // that random data would mispredict.
      if (in_line && !(i + 4 <= len && plain4(data + i))) {
        const Item &item = kItems[c];
        std::memcpy(o, item.text, sizeof item.text);
        o += item.width;
        e.column += item.width;
        e.prev = item.width == 1 ? c : kNeutral;
        ++i;
      } else if (in_line) {
        const std::size_t room = static_cast<std::size_t>(kSoftBreakColumn - e.column);
        const std::size_t avail = len - i < room ? len - i : room;
        const std::size_t run = ops.qp_plain_run(data + i, avail);
        std::memcpy(o, data + i, run);
        o += run;
        i += run;
        e.column += static_cast<int>(run);
        e.prev = data[i - 1];
      } else if (needs_escape(c, e.column)) {
        *o++ = '=';
        *o++ = static_cast<unsigned char>(hex_digits[c >> 4]);
        *o++ = static_cast<unsigned char>(hex_digits[c & 0xF]);
        e.column += 3;
        e.prev = kNeutral;
        ++i;
      } else if (c == '\n') {
        // A blank or tab at the end of a line may be stripped in transit.
        if (e.prev == ' ' || e.prev == '\t') *o++ = '=', *o++ = '\n';
        *o++ = '\n';
        e.column = 0;
        e.prev = '\n';
        ++i;
      } else if (c == 'F' && e.prev == '\n') {
        if (len - i - 1 < kFromRestLen && !last) {
          waiting = true;
          break;
        }
        std::size_t matched = 0;
        while (matched < kFromRestLen && i + 1 + matched < len &&
               data[i + 1 + matched] == kFromRest[matched]) {
          ++matched;
        }
        if (matched == kFromRestLen) {
          std::memcpy(o, "=46rom", 6);  // the blank stays for the main loop
          o += 6;
          e.column += 6;
          i += kFromRestLen;
        } else {
          std::memcpy(o, data + i, matched + 1);
          o += matched + 1;
          e.column += static_cast<int>(matched + 1);
          i += matched + 1;
        }
        e.prev = kNeutral;
      } else {
        *o++ = c;
        ++e.column;
        e.prev = c;
        ++i;
      }
      if (e.column >= kSoftBreakColumn) {
        *o++ = '=';
        *o++ = '\n';
        e.column = 0;
        e.prev = '\n';
      }
    }
    out.commit(static_cast<std::size_t>(o - begin));
  }
  return i;
}

}  // namespace

extern "C" void toqp(FILE *in, FILE *out) {
  BlockInput<kKeep> input(in);
  BlockOutput output(out);
  Encoder e;
  const auto encode = kernel_ops().qp_encode != nullptr ? encode_block<true> : encode_block<false>;
  std::size_t used = 0;
  while (input.refill(used)) used = encode(e, input.data(), input.size(), input.ended(), output);
  // A look-ahead that waited for a block that never came ends at the end.
  encode(e, input.data(), input.size(), true, output);
  // An unfinished last line ends in a soft line break.
  if (e.column != 0) output.put("=\n", 2);
  output.finish();
}
