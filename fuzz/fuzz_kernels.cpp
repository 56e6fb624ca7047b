// Fuzz harness: the block path of a coder, under a chosen kernel and block
// size, must write the same bytes and the same stderr text, and leave the
// same unread input, as the byte-wise reference coder.
//
// Input layout: byte 0 picks the coder, byte 1 the kernel, byte 2 the block
// size; the rest is the coder's input. With the top bit of byte 0 set, the
// rest is shaped first: with bit 2 also set, read as tokens for the
// quoted-printable encoder (see qp_tokens), so that short inputs reach long
// escape runs, lines near the soft break and line starts; otherwise turned
// into text for the decoder kernels (see qp_text and b64_text).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "../codec/kernels.h"
#include "../codec/tables.h"
#include "harness.h"
#include "octafold.h"
#include "streams.h"

namespace {

using Coder = void (*)(FILE *, FILE *);

struct Pair {
  Coder fast;
  Coder ref;
};

constexpr Pair kCoders[] = {
    {[](FILE *i, FILE *o) { to64(i, o, 0); },
     [](FILE *i, FILE *o) { octafold::ref::to64(i, o, 0); }},
    {[](FILE *i, FILE *o) { to64(i, o, 1); },
     [](FILE *i, FILE *o) { octafold::ref::to64(i, o, 1); }},
    {[](FILE *i, FILE *o) { from64(i, o, nullptr, nullptr, 0); },
     [](FILE *i, FILE *o) { octafold::ref::from64(i, o, nullptr, nullptr, 0); }},
    {[](FILE *i, FILE *o) { from64(i, o, nullptr, nullptr, 1); },
     [](FILE *i, FILE *o) { octafold::ref::from64(i, o, nullptr, nullptr, 1); }},
    {[](FILE *i, FILE *o) { toqp(i, o); }, [](FILE *i, FILE *o) { octafold::ref::toqp(i, o); }},
    {[](FILE *i, FILE *o) { fromqp(i, o, nullptr, nullptr); },
     [](FILE *i, FILE *o) { octafold::ref::fromqp(i, o, nullptr, nullptr); }},
};

constexpr octafold::Kernel kKernels[] = {octafold::Kernel::portable, octafold::Kernel::ssse3,
                                         octafold::Kernel::avx2, octafold::Kernel::avx512};
// 100 and 147 cut base64 lines of 73 bytes (new sizes go last: the seeds keep theirs).
constexpr std::size_t kBlocks[] = {1,   2,  3, 4, 7, 53, 54, 55, 64, 65, 4096, octafold::kMaxBlock,
                                   100, 147};

// Each byte: its low four bits pick a token, or for 14 and 15 a plain run
// whose length comes from the high four bits.
std::string qp_tokens(std::string_view in) {
  static constexpr std::string_view kTokens[] = {"\xd0\xbf", "=",   "\xff",    "\r\n", "\n",
                                                 " ",        "\t",  " \n",     ".",    "From ",
                                                 "F",        "\n.", "\nFrom ", "\t\n"};
  std::string out;
  for (const char ch : in) {
    const auto b = static_cast<unsigned char>(ch);
    if ((b & 15) < std::size(kTokens)) {
      out += kTokens[b & 15];
    } else {
      out.append(static_cast<std::size_t>(b >> 4) * 5 + 1, static_cast<char>('a' + (b & 1)));
    }
  }
  return out;
}

struct Result {
  std::string out;
  std::string err;
  std::string rest;
};

// Runs one coder with stderr sent to a temporary file.
Result run(Coder coder, std::string_view input) {
  FILE *err = std::tmpfile();
  fuzz::check(err != nullptr, "tmpfile");
  fuzz::Input in(input);
  fuzz::Output out;
  streams::with_stderr_to(err, [&] { coder(in.get(), out.get()); });
  Result r{out.text(), {}, in.rest()};
  std::rewind(err);
  for (int c; (c = std::getc(err)) != EOF;) r.err.push_back(static_cast<char>(c));
  std::fclose(err);
  return r;
}

// Decoder kernels: with bit 7 of byte 0 set, the input is turned into the
// text those kernels take (quoted-printable items; base64 lines of 72 or 76
// characters), so that the fuzzer reaches their edges rather than noise.
constexpr std::string_view kQpPieces[] = {"=41",
                                          "=\n",
                                          "=\r\n",
                                          "=\r",
                                          "=",
                                          "=d0",
                                          "=B",
                                          "=z1",
                                          "\n",
                                          "\r\n",
                                          "a",
                                          "bcdefgh",
                                          " ",
                                          "==",
                                          "=4",
                                          "\x80",
                                          "\r",
                                          "=\n=C3",
                                          "ijklmnopqrstuvwxyz0123456789"};

// Each byte names a piece.
std::string qp_text(std::string_view raw) {
  std::string s;
  for (const char c : raw) s += kQpPieces[static_cast<unsigned char>(c) % std::size(kQpPieces)];
  return s;
}

// The first byte sets the layout and the number of damaged bytes, the next
// pairs say where and what; the rest is encoded in lines of that layout.
std::string b64_text(std::string_view raw) {
  if (raw.empty()) return {};
  const auto layout = static_cast<unsigned char>(raw[0]);
  raw.remove_prefix(1);
  const std::size_t width = (layout & 1U) != 0 ? 76 : 72;
  const std::string_view eol = (layout & 2U) != 0 ? "\r\n" : "\n";
  std::size_t damage = (layout >> 2) & 7U;
  const std::size_t damage_bytes = std::min(raw.size(), 2 * damage);
  const std::string_view where = raw.substr(0, damage_bytes);
  raw.remove_prefix(damage_bytes);
  std::string s;
  std::size_t column = 0;
  for (std::size_t i = 0; i < raw.size(); i += 3) {
    unsigned v = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      v = v << 8 | (i + k < raw.size() ? static_cast<unsigned char>(raw[i + k]) : 0U);
    }
    for (int k = 3; k >= 0; --k) s += octafold::base64_digits[(v >> (6 * k)) & 0x3F];
    column += 4;
    if (column == width) {
      s += eol;
      column = 0;
    }
  }
  constexpr std::string_view kFaults = "= \n\r-\x80\x00A";
  for (damage = 0; !s.empty() && damage + 1 < where.size(); damage += 2) {
    s[static_cast<unsigned char>(where[damage]) * 7 % s.size()] =
        kFaults[static_cast<unsigned char>(where[damage + 1]) % kFaults.size()];
  }
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 3) return 0;
  if (!octafold::force_kernel(kKernels[data[1] % std::size(kKernels)])) return 0;
  octafold::set_block_size(kBlocks[data[2] % std::size(kBlocks)]);
  const std::string_view raw = fuzz::bytes(data + 3, size - 3);
  // The coder and its input: as given, tokens for the quoted-printable
  // encoder (bits 7 and 2), or text shaped for the decoder kernels (bit 7;
  // bit 0 picks quoted-printable, bit 1 the portable base64 decoder).
  const Pair *coder = &kCoders[data[0] % std::size(kCoders)];
  std::string text;
  std::string_view input = raw;
  if ((data[0] & 0x80U) != 0) {
    if ((data[0] & 0x04U) != 0) {
      coder = &kCoders[4];
      text = qp_tokens(raw);
    } else if ((data[0] & 1U) != 0) {
      coder = &kCoders[5];
      text = qp_text(raw);
    } else {
      coder = &kCoders[(data[0] & 2U) != 0 ? 3 : 2];
      text = b64_text(raw);
    }
    input = text;
  }
  const Result fast = run(coder->fast, input);
  const Result ref = run(coder->ref, input);
  fuzz::check(fast.out == ref.out, "block path output differs from the byte-wise coder");
  fuzz::check(fast.err == ref.err, "block path stderr differs from the byte-wise coder");
  fuzz::check(fast.rest == ref.rest, "block path left other input unread");
  return 0;
}
