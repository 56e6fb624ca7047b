// Fuzz harness: the block path of a coder, under a chosen kernel and block
// size, must write the same bytes and the same stderr text, and leave the
// same unread input, as the byte-wise reference coder.
//
// Input layout: byte 0 picks the coder, byte 1 the kernel, byte 2 the block
// size; the rest is the coder's input. With the top bit of byte 0 set, the
// rest is read as tokens for the quoted-printable encoder instead (see
// qp_tokens), so that short inputs reach long escape runs, lines near the
// soft break and line starts.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "../codec/kernels.h"
#include "harness.h"
#include "octafold.h"

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
constexpr std::size_t kBlocks[] = {1, 2, 3, 4, 7, 53, 54, 55, 64, 65, 4096, octafold::kMaxBlock};

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
  std::fflush(stderr);
  FILE *err = std::tmpfile();
  fuzz::check(err != nullptr, "tmpfile");
  const int saved = dup(2);
  dup2(fileno(err), 2);
  fuzz::Input in(input);
  fuzz::Output out;
  coder(in.get(), out.get());
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  Result r{out.text(), {}, in.rest()};
  std::rewind(err);
  for (int c; (c = std::getc(err)) != EOF;) r.err.push_back(static_cast<char>(c));
  std::fclose(err);
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 3) return 0;
  const bool tokens = (data[0] & 0x80) != 0;
  const Pair &coder = tokens ? kCoders[4] : kCoders[data[0] % std::size(kCoders)];
  if (!octafold::force_kernel(kKernels[data[1] % std::size(kKernels)])) return 0;
  octafold::set_block_size(kBlocks[data[2] % std::size(kBlocks)]);
  const std::string expanded = tokens ? qp_tokens(fuzz::bytes(data + 3, size - 3)) : std::string();
  const std::string_view input =
      tokens ? std::string_view(expanded) : fuzz::bytes(data + 3, size - 3);
  const Result fast = run(coder.fast, input);
  const Result ref = run(coder.ref, input);
  fuzz::check(fast.out == ref.out, "block path output differs from the byte-wise coder");
  fuzz::check(fast.err == ref.err, "block path stderr differs from the byte-wise coder");
  fuzz::check(fast.rest == ref.rest, "block path left other input unread");
  return 0;
}
