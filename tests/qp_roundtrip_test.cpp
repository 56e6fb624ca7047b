// Properties of the quoted-printable coders over random inputs built from
// the bytes and texts that reach the rules at their edges.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "octafold.h"
#include "support.h"

using namespace std::string_literals;
using testing_support::call_coder;
using testing_support::Outcome;

namespace {

constexpr int kCases = 400;
constexpr std::size_t kLongestLine = 76;      // RFC 2045, "=" included
constexpr std::size_t kLongestHardLine = 72;  // a line ended by an input LF

// Concatenates pieces that sit at the edges of the encoder's rules: line
// ends after blanks, dots and "From " at line starts, escapes, and runs of
// 70 to 80 plain characters around the 73-column soft break.
std::string awkward_input(std::mt19937 &rng) {
  static const std::vector<std::string> pieces = {
      "\n",      " ",    "\t",   ".",    "F",   "Fr",      "Fro",  "From",
      "From ",   "=",    " \n",  "\t\n", "\n.", "\nFrom ", "\r\n", "-",
      "--XYZ\n", "\x7f", "\x80", "\xff", "\0"s, "=41",     "=\n"};
  std::uniform_int_distribution<int> piece_count(0, 40);
  std::uniform_int_distribution<std::size_t> which(0, pieces.size() - 1);
  std::uniform_int_distribution<int> kind(0, 9);
  std::uniform_int_distribution<std::size_t> run_length(70, 80);
  std::uniform_int_distribution<std::size_t> noise_length(1, 20);
  std::string s;
  for (int n = piece_count(rng); n > 0; --n) {
    switch (kind(rng)) {
      case 0: s += testing_support::random_bytes(rng, run_length(rng), "abcXYZ019 ", 1.0); break;
      case 1:
        s += testing_support::random_bytes(rng, noise_length(rng), " \t\n.F=\x80\xff", 0.6);
        break;
      default: s += pieces[which(rng)];
    }
  }
  return s;
}

std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (std::size_t lf; (lf = text.find('\n', start)) != std::string_view::npos; start = lf + 1) {
    lines.push_back(text.substr(start, lf - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

bool is_upper_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// Everything a reader of the encoded text relies on, checked line by line.
void expect_well_formed(std::string_view encoded) {
  if (!encoded.empty()) {
    EXPECT_EQ(encoded.back(), '\n') << "output ends inside a line";
  }
  const std::vector<std::string_view> lines = lines_of(encoded);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    SCOPED_TRACE("line " + std::to_string(i) + ": " + std::string(line));
    const bool soft = !line.empty() && line.back() == '=';
    EXPECT_LE(line.size(), soft ? kLongestLine : kLongestHardLine);
    if (!line.empty()) {
      EXPECT_NE(line.back(), ' ');
      EXPECT_NE(line.back(), '\t');
      EXPECT_NE(line.front(), '.');
    }
    // The first line is the only one where "From " may stand unescaped.
    if (i > 0) {
      EXPECT_NE(line.substr(0, 5), "From ");
    }
    for (std::size_t k = 0; k < line.size(); ++k) {
      const auto c = static_cast<unsigned char>(line[k]);
      EXPECT_TRUE(c == '\t' || (c >= 32 && c <= 126)) << "raw byte " << int{c};
      if (c == '=' && k + 1 < line.size()) {
        EXPECT_TRUE(k + 2 < line.size() && is_upper_hex(line[k + 1]) && is_upper_hex(line[k + 2]))
            << "bad escape at column " << k;
      }
    }
  }
}

TEST(QpRoundTrip, EncodedTextIsWellFormedAndDecodesToTheInput) {
  std::mt19937 rng(20451);
  for (int i = 0; i < kCases; ++i) {
    const std::string input = awkward_input(rng);
    SCOPED_TRACE("case " + std::to_string(i));
    const Outcome encoded = call_coder(input, [](FILE *in, FILE *out) { toqp(in, out); });
    expect_well_formed(encoded.out);
    const Outcome decoded =
        call_coder(encoded.out, [](FILE *in, FILE *out) { fromqp(in, out, nullptr, nullptr); });
    ASSERT_EQ(decoded.out, input) << "encoded as:\n" << encoded.out;
    EXPECT_EQ(encoded.err + decoded.err, "");
  }
}

// The decoder with a boundary list, over arbitrary text full of dash lines,
// long lines and broken escapes: it must stop exactly after a boundary line
// (so the input left over is what follows it) or read everything.
TEST(QpRoundTrip, DecoderStopsOnlyAfterABoundaryLine) {
  std::mt19937 rng(7702);
  std::uniform_int_distribution<std::size_t> length(0, 600);
  const char *const entries[] = {"--XYZ"};
  for (int i = 0; i < kCases; ++i) {
    std::string input = testing_support::random_bytes(rng, length(rng), "-\n=A\0"s, 0.7);
    // Long dash lines now and then, to cross the 199-byte line read.
    if (i % 4 == 0)
      input.insert(input.size() / 2,
                   "\n-" + std::string(static_cast<std::size_t>(195 + i % 8), 'a'));
    if (i % 3 == 0) input.insert(input.size() / 3, "\n--XYZ--\n");
    SCOPED_TRACE("case " + std::to_string(i));
    int count = 1;
    const Outcome o =
        call_coder(input, [&](FILE *in, FILE *out) { fromqp(in, out, entries, &count); });
    ASSERT_LE(o.rest.size(), input.size());
    const std::string_view read(input.data(), input.size() - o.rest.size());
    EXPECT_EQ(input.substr(read.size()), o.rest);
    EXPECT_LE(o.out.size(), read.size());
    if (o.rest.empty() && count == 1) continue;  // read to the end
    // The last line read is the boundary line: "--XYZ", at most 199 bytes,
    // the only LF in it its last byte.
    const std::size_t start = read.rfind("--XYZ");
    ASSERT_NE(start, std::string_view::npos);
    const std::string_view boundary = read.substr(start);
    EXPECT_LE(boundary.size(), 199u);
    EXPECT_EQ(boundary.find('\n'),
              boundary.back() == '\n' ? boundary.size() - 1 : std::string_view::npos);
    EXPECT_EQ(count, boundary.substr(0, 7) == "--XYZ--" ? 0 : 1);
  }
}

}  // namespace
