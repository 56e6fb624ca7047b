// The decoders with a boundary list, as a multipart reader calls them: the
// rules for CR LF text and short groups, and the in-place path held against
// the byte-wise decoders on every kind of stream and buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "../codec/kernels.h"
#include "octafold.h"
#include "streams.h"
#include "support.h"

namespace {

using namespace std::string_literals;
using streams::Kind;
using streams::Outcome;
using streams::Setup;

const std::string kEof = "Warning: base64 decoder saw premature EOF!\n";
const std::string kIgnoring = "Ignoring unrecognized boundary line: ";

// A decoder as a caller sees it, with the portable flag bound for from64.
using Decoder = void (*)(FILE *, FILE *, const char *const *, int *, int);
void qp_public(FILE *in, FILE *out, const char *const *b, int *n, int) { fromqp(in, out, b, n); }
void qp_ref(FILE *in, FILE *out, const char *const *b, int *n, int) {
  octafold::ref::fromqp(in, out, b, n);
}

// Up to `parts` calls on one stream, each ended by a boundary line or the
// end of input; "|" marks where each call ended in the output.
Outcome decode_parts(const Setup &setup, const std::string &text, Decoder decoder,
                     std::vector<const char *> list, int count, int portable, int parts = 1) {
  Outcome o;
  const bool made = streams::run(
      setup, text,
      [&](FILE *in, FILE *out) {
        for (int i = 0; i < parts && !feof(in); ++i) {
          decoder(in, out, list.empty() ? nullptr : list.data(), list.empty() ? nullptr : &count,
                  portable);
          std::fputc('|', out);
        }
      },
      o);
  EXPECT_TRUE(made);
  o.count = count;
  return o;
}

struct RuleRow {
  const char *name;
  std::string in;
  int portable;
  std::string out;  // of two calls, each closed by "|"
  std::string err;
  std::string rest;
};

// Each row through the public decoder (in place) and the byte-wise one.
void expect_rows(const std::vector<RuleRow> &rows, Decoder decoder, Decoder reference) {
  const std::vector<const char *> list = {"--b"};
  for (const RuleRow &row : rows) {
    SCOPED_TRACE(row.name);
    for (const Decoder d : {decoder, reference}) {
      const Outcome o = decode_parts({Kind::memory, 0}, row.in, d, list, 1, row.portable, 2);
      EXPECT_EQ(o.out, row.out);
      EXPECT_EQ(o.err, row.err);
      EXPECT_EQ(o.rest, row.rest);
    }
  }
}

// "-" and n letters A: with n = 198 a line that the 199-byte read cuts.
std::string dash_a(std::size_t n) {
  std::string s(n + 1, 'A');
  s[0] = '-';
  return s;
}

TEST(FromqpRules, CrLfTextAndTheLineEndBeforeABoundary) {
  expect_rows(
      {
          // "=" CR LF is a soft line break, on the stream path and in a dash line.
          {"soft break", "long=\r\nline\r\n--b\n", 0, "longline||", "", ""},
          {"soft break in a dash line", "-a=\r\nb\r\n--b\n", 0, "-ab||", "", ""},
          {"CR elsewhere is data", "a\rb=\r=41\r\r\n--b\n", 0,
           "a\rb\xff"
           "41\r||",
           "", ""},
          // The line end before a boundary line is never written.
          {"CR LF before a boundary", "abc\r\n--b\r\nnext\r\n--b--\r\n", 0, "abc|next|", "", ""},
          {"dash line before a boundary", "-x\n--b\nz\r\n-y\r\n--b--\n", 0, "-x|z\r\n-y|", "", ""},
          {"line ends that are not the last", "a\r\n\r\n\n--b\n", 0, "a\r\n\r\n||", "", ""},
          // A piece of 199 bytes that ends in "=" CR: no soft break, and the LF
          // after the cut is a line end.
          {"= CR cut from its LF", dash_a(196) + "=\r\nb\n--b\n", 0, dash_a(196) + "\nb||", "", ""},
          // A CR ending a 199-byte piece waits for the next byte.
          {"cut CR LF", dash_a(197) + "\r\n--b\nc", 0, dash_a(197) + "|c|", "", ""},
          {"cut CR before a boundary", dash_a(197) + "\r--b\nc", 0, dash_a(197) + "\r|c|", "", ""},
          {"CR before a NUL", "-a\r\0z\n--b\n"s, 0, "-a\r||", "", ""},
      },
      qp_public, qp_ref);
}

TEST(From64Rules, ADashLineEndsAShortGroup) {
  expect_rows(
      {
          {"missing padding", "QUJDRA\n--b\nc2Vjb25k\n--b--\n", 0, "ABC|second|", kEof, ""},
          {"pads in a short group", "QQ=\n--b\nQUJD", 0, "|ABC|", kEof, ""},
          {"one call warns twice", "QU\n-x\nQU\n--b\nQUJD", 0, "|ABC|",
           kEof + kIgnoring + "-x\n\n" + kEof, ""},
          {"fresh group after a dash line", "QU\n-x\nQUJD\n--b\n", 0, "ABC||",
           kEof + kIgnoring + "-x\n\n", ""},
          // The CR held for CR LF folding is written when the group is dropped.
          {"held CR", "AAAN\nQQ\n--b\nCg==\n", 1, "\0\0\r|\n|"s, kEof, ""},
          {"a dash after a blank is data", "QUJD\nQQ -b\n--b\n", 0, "ABCA\x0F\xDB||", "", ""},
      },
      from64, octafold::ref::from64);
}

TEST(FromqpRules, SoftBreakThroughTheCommandLine) {
  const testing_support::Outcome o =
      testing_support::run_program({OCTAFOLD_BIN, "-q", "-u"}, "long=\r\nline\r\n");
  EXPECT_EQ(o.out, "longline\r\n");
  EXPECT_EQ(o.status, 0);
}

// Random multipart text: tokens that put buffer edges, dash lines, CR LF
// pairs, escapes and groups next to one another.
std::string random_text(std::mt19937 &rng, bool qp) {
  static const std::vector<std::string> common = {
      "\n", "\r\n", "\r", "-", "--b", "--b--", "--c", "--c--", "-x", " ", "\t", "\n--b\n", "\0"s};
  static const std::vector<std::string> base64 = {"QUJD", "QQ==", "QUI=", "Q",    "QU",   "QUJ",
                                                  "=",    "DQo=", "DQ0K", "AAAN", "Cg==", "////"};
  static const std::vector<std::string> quoted = {"abc", "=41", "=\r\n",  "=\n", "=4",  "=\r",
                                                  "=",   "==",  "=0D=0A", "x=",  "\xff"};
  const auto &own = qp ? quoted : base64;
  std::uniform_int_distribution<int> tokens(1, 120), pick(0, 99);
  std::string s;
  for (int n = tokens(rng); n > 0; --n) {
    const int r = pick(rng);
    if (r < 4) {
      // A run long enough to cross buffers and the 199-byte line read.
      const std::size_t len = std::uniform_int_distribution<std::size_t>(190, 5000)(rng);
      s += std::string(len, qp ? 'q' : 'A');
    } else if (r < 40) {
      s += common[std::uniform_int_distribution<std::size_t>(0, common.size() - 1)(rng)];
    } else {
      s += own[std::uniform_int_distribution<std::size_t>(0, own.size() - 1)(rng)];
    }
  }
  return s;
}

std::vector<Setup> every_setup() {
  std::vector<Setup> setups;
  for (const Kind k : {Kind::memory, Kind::file, Kind::pipe}) {
    for (int b = -1; b <= streams::kMaxTiny; ++b) setups.push_back({k, b});
  }
  return setups;
}

// The in-place path against the byte-wise decoder, three calls per stream as a
// multipart reader makes them, on every stream kind and buffer.
void differential(Decoder decoder, Decoder reference, bool qp, int portable, unsigned seed) {
  std::mt19937 rng(seed);
  const std::vector<Setup> setups = every_setup();
  const std::vector<const char *> lists[] = {{"--b"}, {"--b", "--c"}, {}};
  for (int round = 0; round < 60; ++round) {
    const std::string text = random_text(rng, qp);
    const auto &list = lists[round % 3];
    const int count = static_cast<int>(list.size());
    const Outcome want = decode_parts({Kind::memory, 0}, text, reference, list, count, portable, 3);
    for (const Setup &setup : setups) {
      if (setup.kind == Kind::pipe && text.size() > streams::kMaxPipeText) continue;
      const Outcome got = decode_parts(setup, text, decoder, list, count, portable, 3);
      if (got == want) continue;
      ADD_FAILURE() << "seed " << seed << " round " << round << " on " << streams::name(setup.kind)
                    << " buffer " << setup.buffer << " list of " << list.size();
      EXPECT_EQ(got.out, want.out);
      EXPECT_EQ(got.err, want.err);
      EXPECT_EQ(got.rest, want.rest);
      EXPECT_EQ(got.count, want.count);
      return;
    }
  }
}

TEST(DecodersDifferential, From64) {
  for (int portable = 0; portable < 2; ++portable) {
    SCOPED_TRACE(portable);
    differential(from64, octafold::ref::from64, false, portable, 1000U + unsigned(portable));
  }
}

TEST(DecodersDifferential, Fromqp) { differential(qp_public, qp_ref, true, 0, 2000U); }

// Parts longer than the in-place path's 64 KiB blocks, dense with dash lines,
// soft breaks and escapes right before them and boundary lines, so that block
// edges fall on each: a dash line is decoded from the block or, cut by its
// end, by the byte-wise step.
TEST(DecodersDifferential, FromqpAcrossBlocks) {
  static const std::vector<std::string> lines = {"-x\n", "abc=\n", "=41=\r\n", "--a\n", "q=C3=A9\n",
                                                 "-=4",  "=\n",    "---\n",    "\r\n",  "-\n"};
  std::mt19937 rng(3000U);
  std::uniform_int_distribution<std::size_t> pick(0, lines.size() - 1), run(0, 300);
  for (int round = 0; round < 4; ++round) {
    std::string text;
    // Three parts of about 70 KiB, the first two closed by boundary lines.
    for (std::size_t end = 70 * 1024; end <= 210 * 1024; end += 70 * 1024) {
      while (text.size() < end) {
        text += std::string(run(rng) == 0 ? 250 : run(rng) % 40, 'p');
        text += lines[pick(rng)];
      }
      if (end < 210 * 1024) text += round % 2 == 0 ? "\n--b\n" : "\r\n--c\n";
    }
    const std::vector<const char *> list = {"--b", "--c"};
    const Outcome want = decode_parts({Kind::memory, 0}, text, qp_ref, list, 2, 0, 3);
    ASSERT_EQ(std::count(want.out.begin(), want.out.end(), '|'), 3);
    ASSERT_GT(want.out.size(), 150 * 1024);
    const std::vector<streams::Setup> setups = {
        {Kind::file, 0}, {Kind::memory, 0}, {Kind::file, 7}};
    for (const streams::Setup &setup : setups) {
      const Outcome got = decode_parts(setup, text, qp_public, list, 2, 0, 3);
      EXPECT_TRUE(got == want) << "round " << round << " on " << streams::name(setup.kind);
    }
  }
}

}  // namespace
