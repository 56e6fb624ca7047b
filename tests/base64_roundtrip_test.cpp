// Properties of the base64 coders over random inputs: decoding undoes
// encoding, the line layout holds, white space in the text does not matter,
// and the plain encoding is the common RFC 2045 layout at 72 columns.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>

#include "octafold.h"
#include "support.h"

namespace {

using testing_support::call_coder;
using testing_support::random_bytes;

constexpr int kCases = 300;

// Lengths cluster around multiples of 3 (a group) and 54 (a line).
std::size_t random_length(std::mt19937 &rng) {
  std::uniform_int_distribution<int> shape(0, 3), lines(0, 4), jitter(-2, 2), any(0, 400);
  const int base = shape(rng) == 0 ? any(rng) : 54 * lines(rng) + 3 * shape(rng);
  return static_cast<std::size_t>(std::max(0, base + jitter(rng)));
}

// Line ends are what the portable flag rewrites, so they come often.
std::string random_input(std::mt19937 &rng) {
  return random_bytes(rng, random_length(rng), "\n\r\r\n", 0.4);
}

std::string encode(const std::string &data, int portable) {
  return call_coder(data, [&](FILE *in, FILE *out) { to64(in, out, portable); }).out;
}

testing_support::Outcome decode(const std::string &text, int portable) {
  return call_coder(text,
                    [&](FILE *in, FILE *out) { from64(in, out, nullptr, nullptr, portable); });
}

// Every line 72 characters but the last, which holds a whole number of
// groups; each line ends with one LF and no CR anywhere.
void expect_layout(const std::string &text) {
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t lf = text.find('\n', start);
    ASSERT_NE(lf, std::string::npos) << "unterminated last line";
    const std::size_t length = lf - start;
    if (lf + 1 < text.size()) {
      EXPECT_EQ(length, 72u) << "at offset " << start;
    } else {
      EXPECT_TRUE(length > 0 && length <= 72 && length % 4 == 0) << "last line " << length;
    }
    start = lf + 1;
  }
  EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST(Base64RoundTrip, DecodeUndoesEncodeWithAndWithoutPortable) {
  std::mt19937 rng(20261208);
  for (int i = 0; i < kCases && !HasFailure(); ++i) {
    const std::string data = random_input(rng);
    for (int portable : {0, 1}) {
      SCOPED_TRACE("case " + std::to_string(i) + " length " + std::to_string(data.size()) +
                   " portable " + std::to_string(portable));
      const std::string text = encode(data, portable);
      expect_layout(text);
      const auto back = decode(text, portable);
      EXPECT_EQ(back.out, data);
      EXPECT_EQ(back.err, "");
    }
  }
}

TEST(Base64RoundTrip, WhiteSpaceInsideTheTextIsSkipped) {
  std::mt19937 rng(45);
  std::uniform_int_distribution<int> gap(0, 5);
  std::uniform_int_distribution<std::size_t> which(0, 5);
  const std::string blanks = " \t\n\v\f\r";
  for (int i = 0; i < kCases / 3 && !HasFailure(); ++i) {
    const std::string data = random_input(rng);
    std::string spaced;
    for (char c : encode(data, 0)) {
      if (gap(rng) == 0) spaced += blanks[which(rng)];
      spaced += c;
    }
    SCOPED_TRACE("case " + std::to_string(i));
    EXPECT_EQ(decode(spaced, 0).out, data);
  }
}

TEST(Base64RoundTrip, PlainEncodingMatchesCoreutilsAt72Columns) {
  const std::string tool = "/usr/bin/base64";
  if (access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << tool << " not installed; comparison skipped";
  std::mt19937 rng(7);
  for (int i = 0; i < 60 && !HasFailure(); ++i) {
    const std::string data = random_input(rng);
    SCOPED_TRACE("case " + std::to_string(i) + " length " + std::to_string(data.size()));
    const auto ref = testing_support::run_program({tool, "-w", "72"}, data);
    ASSERT_EQ(ref.status, 0) << ref.err;
    EXPECT_EQ(encode(data, 0), ref.out);
  }
}

}  // namespace
