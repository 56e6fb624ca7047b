// Differential tests: every kernel and block size must give the same output,
// the same messages on stderr and leave the input where the byte-wise
// reference coders do, for random inputs and for inputs built so that
// special bytes land on every block edge.
#include "kernels.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "octafold.h"
#include "support.h"

namespace {

using octafold::Kernel;
using testing_support::call_coder;
using testing_support::Outcome;
using testing_support::random_bytes;
using CoderFn = std::function<void(FILE *, FILE *)>;

struct Coder {
  const char *name;
  CoderFn fast;
  CoderFn ref;
  // Bytes that steer this coder off its fast path; inputs favour them.
  std::string specials;
  // Pieces that must be tried across block edges.
  std::vector<std::string> edge_pieces;
};

const std::string kB64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::vector<Coder> coders() {
  return {
      {"to64",
       [](FILE *i, FILE *o) { to64(i, o, 0); },
       [](FILE *i, FILE *o) { octafold::ref::to64(i, o, 0); },
       "\n\r",
       {"\n", "\r\n"}},
      {"to64 portable",
       [](FILE *i, FILE *o) { to64(i, o, 1); },
       [](FILE *i, FILE *o) { octafold::ref::to64(i, o, 1); },
       "\n\r",
       {"\n", "\r\n", "\n\n"}},
      {"from64",
       [](FILE *i, FILE *o) { from64(i, o, nullptr, nullptr, 0); },
       [](FILE *i, FILE *o) { octafold::ref::from64(i, o, nullptr, nullptr, 0); },
       kB64Alphabet + "= \t\n\r\v\f-\x80\xff",
       {"=", "\n", " ", "QQ==", "Q\nUJD", "\xc3", "-"}},
      {"from64 portable",
       [](FILE *i, FILE *o) { from64(i, o, nullptr, nullptr, 1); },
       [](FILE *i, FILE *o) { octafold::ref::from64(i, o, nullptr, nullptr, 1); },
       kB64Alphabet + "DQoN= \n\r",
       {"DQoK", "DQ0K", "AAAN", "DQ==", "\r\n", "="}},
      {"toqp",
       [](FILE *i, FILE *o) { toqp(i, o); },
       [](FILE *i, FILE *o) { octafold::ref::toqp(i, o); },
       "From .\n \t=\r\x7f\x80",
       {"\nFrom ", "\nFrom", "\nFr", "\n.", " \n", "\t\n", "=", "\r\n", "\n\n"}},
      {"fromqp",
       [](FILE *i, FILE *o) { fromqp(i, o, nullptr, nullptr); },
       [](FILE *i, FILE *o) { octafold::ref::fromqp(i, o, nullptr, nullptr); },
       "=0123456789ABCDEFabcdefz\n\r -\x80",
       {"=", "=\n", "=4", "=41", "=\r\n", "\n"}},
  };
}

// Fails with the first difference, naming the case.
void expect_same(const Coder &c, const std::string &input, const std::string &what) {
  const Outcome fast = call_coder(input, c.fast);
  const Outcome ref = call_coder(input, c.ref);
  ASSERT_EQ(fast.out, ref.out) << c.name << ": " << what << " (input " << input.size() << " bytes)";
  ASSERT_EQ(fast.err, ref.err) << c.name << ": " << what;
  ASSERT_EQ(fast.rest, ref.rest) << c.name << ": " << what;
}

// Plain data around the pieces: base64 text for the base64 decoder, so that
// its kernel runs up to the piece; readable text for the others.
std::string filler(const Coder &c, std::mt19937 &rng, std::size_t n) {
  const std::string name = c.name;
  if (name.rfind("from64", 0) == 0) return random_bytes(rng, n, kB64Alphabet, 1.0);
  return random_bytes(rng, n, "abcdefghijklmnopqrstuvwxyz ", 1.0);
}

struct Setup {
  Kernel kernel;
  std::size_t block;
};

class KernelsTest : public ::testing::TestWithParam<Setup> {
 protected:
  void SetUp() override {
    if (!octafold::force_kernel(GetParam().kernel)) GTEST_SKIP() << "kernel not supported here";
    octafold::set_block_size(GetParam().block);
  }
  void TearDown() override {
    octafold::set_block_size(octafold::kMaxBlock);
    octafold::force_kernel(best_);
  }
  Kernel best_ = octafold::active_kernel();
};

TEST_P(KernelsTest, ForcedKernelIsActive) {
  EXPECT_EQ(octafold::active_kernel(), GetParam().kernel);
}

// Every length up to a few blocks, of text rich in the coder's special bytes.
TEST_P(KernelsTest, EveryLengthAroundTheBlockSize) {
  const std::size_t b = GetParam().block;
  const std::size_t longest = b > 4096 ? 300 : 2 * b + 8;
  std::mt19937 rng(1);
  for (const Coder &c : coders()) {
    const std::string text = random_bytes(rng, longest, c.specials, 0.7);
    for (std::size_t n = 0; n <= longest; ++n) {
      expect_same(c, text.substr(0, n), "prefix of " + std::to_string(n));
    }
  }
}

// Each piece at each position from 5 before to 5 after the first and second
// block edges, in plain data and after a run of the same piece. At the real
// block size, whose edges cost a long input each, only the first edge.
TEST_P(KernelsTest, PiecesAtBlockEdges) {
  const std::size_t b = GetParam().block;
  const bool small = b <= 4096;
  std::mt19937 rng(2);
  for (const Coder &c : coders()) {
    for (const std::string &piece : c.edge_pieces) {
      for (const std::size_t edge : {b, 2 * b}) {
        if (!small && edge != b) continue;
        const std::size_t reach = small ? 5 : 2;
        for (std::size_t pos = edge > reach ? edge - reach : 0; pos <= edge + reach; ++pos) {
          const std::string head = filler(c, rng, pos);
          expect_same(c, head + piece + filler(c, rng, small ? b : 16),
                      "piece at " + std::to_string(pos));
          if (!small) continue;
          std::string run;
          while (run.size() < pos) run += piece;
          expect_same(c, run + filler(c, rng, 9), "run to " + std::to_string(pos));
        }
      }
    }
  }
}

// Random inputs: mostly special bytes, mostly plain data, and valid encoded
// text with damage sprinkled in.
TEST_P(KernelsTest, RandomInputs) {
  const std::size_t b = GetParam().block;
  const std::size_t longest = b > 4096 ? 3 * b : 6 * b + 100;
  std::mt19937 rng(3);
  std::uniform_int_distribution<std::size_t> length(0, longest);
  for (const Coder &c : coders()) {
    for (int round = 0; round < 12; ++round) {
      const double share = round % 3 == 0 ? 0.2 : round % 3 == 1 ? 0.6 : 0.97;
      std::string input = random_bytes(rng, length(rng), c.specials, share);
      expect_same(c, input, "random, share " + std::to_string(share));
    }
  }
}

// Encoded text as the decoders usually see it (72-column base64 and
// quoted-printable lines), with one damaged byte somewhere.
TEST_P(KernelsTest, EncodedTextWithOneFault) {
  const std::size_t b = GetParam().block;
  std::mt19937 rng(4);
  const std::string data = random_bytes(rng, 3 * b + 1000, "\r\n.F= ", 0.3);
  const std::string b64 =
      call_coder(data, [](FILE *i, FILE *o) { octafold::ref::to64(i, o, 1); }).out;
  const std::string qp = call_coder(data, [](FILE *i, FILE *o) { octafold::ref::toqp(i, o); }).out;
  std::uniform_int_distribution<std::size_t> where(0, b64.size() - 1);
  const char faults[] = {'=', '\0', '-', '\r', ' ', '\x80', '\n'};
  for (const Coder &c : coders()) {
    const std::string name = c.name;
    const bool is_b64 = name.rfind("from64", 0) == 0;
    if (!is_b64 && name != "fromqp") continue;
    const std::string &text = is_b64 ? b64 : qp;
    expect_same(c, text, "clean");
    for (const char f : faults) {
      std::string damaged = text;
      damaged[where(rng) % damaged.size()] = f;
      expect_same(c, damaged, std::string("fault ") + std::to_string(f));
      expect_same(c, damaged.substr(0, where(rng) % damaged.size()), "cut");
    }
  }
}

// Quoted-printable encoder. Lines of every length around the soft break
// ended by each piece (a blank or tab before LF, an escape that straddles
// the break, a line start with "." or "From "), shifted against the vector
// and block edges by a lead of escapes; then long inputs of tokens that mix
// escape runs, plain runs and line starts.
const Coder &toqp_coder() {
  static const std::vector<Coder> all = coders();
  for (const Coder &c : all) {
    if (std::string(c.name) == "toqp") return c;
  }
  std::abort();
}

TEST_P(KernelsTest, QpEncoderLineEdges) {
  const Coder &c = toqp_coder();
  const std::string pieces[] = {" \n",   "\t\n",     " \r\n",  "=",     "\xd0\xb1", "\xff.",
                                "\n.",   "\nFrom x", "\nFrom", "\nFr ", "F",        " From ",
                                "\n\n ", " ",        "\t",     "=\n"};
  for (const std::string &piece : pieces) {
    for (std::size_t lead = 0; lead < 34; lead += 3) {
      std::string input;
      for (std::size_t i = 0; i < lead; ++i) input += i % 3 == 0 ? "=" : "\xc3";
      for (std::size_t col = 62; col <= 78; ++col) input += std::string(col, 'x') + piece;
      expect_same(c, input, "piece after lines, lead " + std::to_string(lead));
    }
  }
}

TEST_P(KernelsTest, QpEncoderTokens) {
  const Coder &c = toqp_coder();
  const std::string tokens[] = {"\xd0\xbf", "\xce\xb1", "=", "\xff",  "\r\n", "\n",   " ", "\t",
                                " \n",      ".",        "F", "From ", "Fro",  "\x7f", "\0"};
  std::mt19937 rng(6);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(tokens) - 1), run(0, 80);
  const std::size_t size = GetParam().block > 4096 ? 100000 : 6000;
  for (int round = 0; round < 6; ++round) {
    std::string input;
    while (input.size() < size) {
      // Rounds alternate between escape-heavy and mostly plain text.
      if (rng() % 4 < static_cast<unsigned>(round % 2 == 0 ? 1 : 3)) {
        input += std::string(run(rng), static_cast<char>('a' + rng() % 26));
      } else {
        const std::string &t = tokens[pick(rng)];
        input += t.empty() ? std::string(1, '\0') : t;
      }
    }
    expect_same(c, input, "tokens, round " + std::to_string(round));
  }
}

// ------------------------------------------------ decoder kernels
// The vector decoders take 32-byte steps (quoted-printable) and whole lines
// (base64); these cases put their edges at every place a step, a line or a
// block can cut them.

const Coder &coder_named(const std::string &name) {
  static const std::vector<Coder> all = coders();
  for (const Coder &c : all) {
    if (name == c.name) return c;
  }
  throw std::invalid_argument(name);
}

// Quoted-printable text dense in escapes and soft breaks of both kinds, with
// the malformed items mixed in that the kernel must decode like the rest.
std::string dense_qp(std::mt19937 &rng, std::size_t n) {
  static const char *const kItems[] = {"=D0",  "=BA", "=c3=a9", "=\n", "=\r\n", "a", " ",   "\n",
                                       "\r\n", "=\r", "==",     "=4",  "=z1",   "x", "\x80"};
  std::uniform_int_distribution<std::size_t> pick(0, std::size(kItems) - 1);
  std::string s;
  while (s.size() < n) s += kItems[pick(rng) % 3 == 0 ? pick(rng) : pick(rng) % 5];
  s.resize(n);
  return s;
}

void qp_items_at_step_edges(const Coder &c) {
  std::mt19937 rng(5);
  const char *const pieces[] = {"=41",   "=\n",    "=\r\n",    "=\r",    "=\rA",      "==41",
                                "=4=41", "=\n=41", "=\r\n=41", "===",    "=\n\n",     "=\r\r\n",
                                "=",     "=4",     "=\r=0a",   "=\n=\n", "==41=\n=41"};
  const std::size_t offsets[] = {0, 1, 29, 30, 31, 32, 33, 61, 62, 63, 64};
  for (const std::string piece : pieces) {
    for (const std::size_t k : offsets) {
      const std::string head = filler(c, rng, k);
      expect_same(c, head + piece + filler(c, rng, 40), "'" + piece + "' at " + std::to_string(k));
      expect_same(c, head + piece, "'" + piece + "' at the end after " + std::to_string(k));
    }
  }
  // Every prefix of dense text, and "=" at every place in it.
  const std::string dense = dense_qp(rng, 100);
  for (std::size_t n = 0; n <= dense.size(); ++n) {
    expect_same(c, dense.substr(0, n), "dense prefix of " + std::to_string(n));
    if (n == dense.size()) break;
    std::string t = dense;
    t[n] = '=';
    expect_same(c, t, "dense with = at " + std::to_string(n));
  }
}

// Runs only where the kernel has decoder kernels, once per kernel: the cases
// pick their own block sizes, as a block must hold a step or a line before
// the kernel runs at all.
bool skip_decoder_kernels() {
  return octafold::kernel_ops().qp_decode == nullptr ||
         octafold::block_size() != octafold::kMaxBlock;
}

TEST_P(KernelsTest, QpDecoderItemsAtStepEdges) {
  if (skip_decoder_kernels()) GTEST_SKIP() << "no decoder kernels, or not the full block";
  const Coder &c = coder_named("fromqp");
  for (const std::size_t block : {40U, 97U, 0U}) {
    octafold::set_block_size(block != 0 ? block : octafold::kMaxBlock);
    SCOPED_TRACE("block " + std::to_string(octafold::block_size()));
    qp_items_at_step_edges(c);
  }
}

// `lines` lines of `width` random alphabet characters, each ended by `eol`.
std::string b64_lines(std::mt19937 &rng, std::size_t lines, std::size_t width,
                      const std::string &eol) {
  std::string s;
  for (std::size_t l = 0; l < lines; ++l) s += random_bytes(rng, width, kB64Alphabet, 1.0) + eol;
  return s;
}

void base64_lines_of_every_layout() {
  const Coder *const both[] = {&coder_named("from64"), &coder_named("from64 portable")};
  std::mt19937 rng(6);
  for (const Coder *c : both) {
    for (const std::size_t width : {68U, 71U, 72U, 73U, 76U, 77U, 80U}) {
      for (const std::string eol : {"\n", "\r\n", "\r", " \n"}) {
        const std::string text = b64_lines(rng, 5, width, eol);
        const std::string what =
            "width " + std::to_string(width) + ", eol of " + std::to_string(eol.size());
        expect_same(*c, text + "QUI=\n", what);
        expect_same(*c, text.substr(0, text.size() - 40), what + ", cut");
      }
    }
    // Layouts changing from line to line.
    std::uniform_int_distribution<int> coin(0, 3);
    std::string mixed;
    for (int l = 0; l < 60; ++l) {
      mixed += b64_lines(rng, 1, coin(rng) < 2 ? 72 : 76, coin(rng) < 2 ? "\n" : "\r\n");
    }
    expect_same(*c, mixed, "mixed layouts");
  }
  // One damaged byte at every place of the second line and its line ends.
  const char faults[] = {'=', ' ', '\x80', '-', '\n'};
  for (const std::string eol : {"\n", "\r\n"}) {
    const std::string text = b64_lines(rng, 4, 72, eol);
    for (std::size_t p = 72; p < 2 * (72 + eol.size()) + 2; ++p) {
      std::string t = text;
      t[p] = faults[p % std::size(faults)];
      expect_same(*both[0], t, "damage at " + std::to_string(p));
    }
  }
}

TEST_P(KernelsTest, Base64LinesOfEveryLayout) {
  if (skip_decoder_kernels()) GTEST_SKIP() << "no decoder kernels, or not the full block";
  for (const std::size_t block : {80U, 147U, 0U}) {
    octafold::set_block_size(block != 0 ? block : octafold::kMaxBlock);
    SCOPED_TRACE("block " + std::to_string(octafold::block_size()));
    base64_lines_of_every_layout();
  }
}

std::vector<Setup> setups() {
  std::vector<Setup> s;
  for (Kernel k : {Kernel::portable, Kernel::ssse3, Kernel::avx2, Kernel::avx512}) {
    for (std::size_t b : {std::size_t{7}, std::size_t{64}, std::size_t{65}, octafold::kMaxBlock}) {
      s.push_back({k, b});
    }
  }
  return s;
}

std::string setup_name(const ::testing::TestParamInfo<Setup> &info) {
  const char *k = info.param.kernel == Kernel::portable ? "portable"
                  : info.param.kernel == Kernel::ssse3  ? "ssse3"
                  : info.param.kernel == Kernel::avx2   ? "avx2"
                                                        : "avx512";
  return std::string(k) + "_block" + std::to_string(info.param.block);
}

INSTANTIATE_TEST_SUITE_P(AllKernels, KernelsTest, ::testing::ValuesIn(setups()), setup_name);

// A caller may hand over a stream it has already read from and pushed a
// byte back onto; the block paths must start with that byte.
TEST(KernelsStreamState, PushedBackByteIsRead) {
  const std::string input = "xQUJDRA==\nFrom =41\n";
  for (const Coder &c : coders()) {
    std::string outs[2];
    const CoderFn fns[2] = {c.fast, c.ref};
    for (int k = 0; k < 2; ++k) {
      outs[k] = call_coder(input, [&](FILE *i, FILE *o) {
                  ASSERT_EQ(std::getc(i), 'x');
                  ASSERT_EQ(std::ungetc('Q', i), 'Q');
                  fns[k](i, o);
                }).out;
    }
    EXPECT_EQ(outs[0], outs[1]) << c.name;
    EXPECT_FALSE(outs[0].empty()) << c.name;
  }
}

}  // namespace
