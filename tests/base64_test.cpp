// to64, from64 and PendingBoundary through the public header, on real streams.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "octafold.h"
#include "support.h"

namespace {

using namespace std::string_literals;
using testing_support::call_coder;
using testing_support::Outcome;

const std::string kEof = "Warning: base64 decoder saw premature EOF!\n";
const std::string kIgnoring = "Ignoring unrecognized boundary line: ";

std::string rep(const std::string &s, std::size_t n) {
  std::string r;
  for (std::size_t i = 0; i < n; ++i) r += s;
  return r;
}

// "-" followed by n letters A: a line that takes the boundary path.
std::string dash_a(std::size_t n) {
  std::string s(n + 1, 'A');
  s[0] = '-';
  return s;
}

// Escapes control and high bytes so that a failing row shows what differs.
std::string visible(const std::string &s) {
  std::string r;
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7F) {
      r += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      r += hex;
    }
  }
  return r;
}

struct EncodeCase {
  std::string in;
  int portable;
  std::string out;
};

TEST(To64, Table) {
  const std::string z53(53, '\0');
  const EncodeCase cases[] = {
      {"", 0, ""},
      {"", 1, ""},
      {"abc", 0, "YWJj\n"},
      {"a", 0, "YQ==\n"},
      {"ab", 0, "YWI=\n"},
      {"\xFF\xFF\xFF", 0, "////\n"},
      {"\0\0\0"s, 0, "AAAA\n"},
      {"\x80\xFE", 0, "gP4=\n"},
      {"abc\n", 0, "YWJjCg==\n"},
      {"abc\n", 1, "YWJjDQo=\n"},  // abc CR LF
      {"\n", 1, "DQo=\n"},
      {"\r", 1, "DQ==\n"},
      {"a\r\n", 1, "YQ0NCg==\n"},  // a CR CR LF
      // One full line is 54 input bytes; no empty line after it.
      {z53 + '\0', 0, rep("A", 72) + "\n"},
      {z53 + "\0\0"s, 0, rep("A", 72) + "\nAA==\n"},
      {std::string(108, '\0'), 0, rep("A", 72) + "\n" + rep("A", 72) + "\n"},
      // The expanded LF moves the line break: 54 bytes plain, 55 portable.
      {z53 + "\n", 0, rep("A", 68) + "AAAK\n"},
      {z53 + "\n", 1, rep("A", 68) + "AAAN\nCg==\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE("input " + visible(c.in) + " portable " + std::to_string(c.portable));
    const Outcome o = call_coder(c.in, [&](FILE *in, FILE *out) { to64(in, out, c.portable); });
    EXPECT_EQ(o.out, c.out);
    EXPECT_EQ(o.err, "");
  }
}

struct DecodeCase {
  std::string in;
  int portable;
  std::string out;
  std::string err;
};

TEST(From64, Table) {
  const std::string z51(51, '\0'), z54(54, '\0');
  const DecodeCase cases[] = {
      {"QUJD", 0, "ABC", ""},
      {"QQ==", 0, "A", ""},
      {"QUI=", 0, "AB", ""},
      {"Q U\nJ\tD", 0, "ABC", ""},
      {"QQ==QUJD", 0, "A", ""},  // the first "=" ends the data
      {"QQ=A", 0, "A", ""},
      {"=AAA", 0, "", ""},
      {"", 0, "", ""},
      {" \t\n\v\f\r", 0, "", ""},
      {"QUJD=", 0, "ABC", kEof},
      {"QQ=", 0, "", kEof},
      {"DQ", 0, "", kEof},
      // Bytes outside the alphabet count as 0xFF, 0xA0 too (not white space).
      {"Q-I=", 0, "\x43\xF2", ""},
      {"-AAA", 0, "\xFC\0\0"s, ""},
      {"\xFF"
       "AAA",
       0, "\xFC\0\0"s, ""},
      {"\xA0"
       "AAA",
       0, "\xFC\0\0"s, ""},
      {"////", 0, "\xFF\xFF\xFF", ""},
      // Without a boundary list "--b" is data, and here a short group.
      {"QUJD\n--b\n", 0, "ABC", kEof},
      // Groups run across line ends: lines of 71, 72 and 73 characters.
      {rep("A", 68) + "QUJ\nD\n", 0, z51 + "ABC", ""},
      {rep("A", 72) + "\nQUJD\n", 0, z54 + "ABC", ""},
      {rep("A", 72) + "Q\nUJD\n", 0, z54 + "ABC", ""},
      // CR LF folding.
      {"DQo=", 0, "\r\n", ""},
      {"DQo=", 1, "\n", ""},
      {"DQ0K", 1, "\r\n", ""},
      {"DQ==", 1, "\r", ""},
      {"DUFC", 1, "\rAB", ""},
      {"DQ0N", 1, "\r\r\r", ""},
      {"AAANCg==", 1, "\0\0\n"s, ""},  // the pair split across two groups
      // A held CR is written however the call ends.
      {"AAANQQ", 1, "\0\0\r"s, kEof},
      {"AAANQQ", 0, "\0\0\r"s, kEof},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE("input " + visible(c.in) + " portable " + std::to_string(c.portable));
    const Outcome o = call_coder(
        c.in, [&](FILE *in, FILE *out) { from64(in, out, nullptr, nullptr, c.portable); });
    EXPECT_EQ(visible(o.out), visible(c.out));
    EXPECT_EQ(o.err, c.err);
  }
}

struct BoundaryDecodeCase {
  std::string in;
  std::vector<const char *> entries;
  int count;
  int portable;
  std::string out;
  std::string err;
  int count_after;
  std::string rest;  // input left unread
};

TEST(From64, BoundaryTable) {
  const std::vector<const char *> b = {"--b"};
  const BoundaryDecodeCase cases[] = {
      {"QUJD\n--b--\nQUJD", b, 1, 0, "ABC", "", 0, "QUJD"},
      {"QUJD\n--b\nQUJD", b, 1, 0, "ABC", "", 1, "QUJD"},
      {"QUJD\n--b", b, 1, 0, "ABC", "", 1, ""},
      {"QUJD\n-abc\nQUJD", b, 1, 0, "ABCABC", kIgnoring + "-abc\n\n", 1, ""},
      {"QUJD\n--b\nQUJD", b, 0, 0, "ABCABC", kIgnoring + "--b\n\n", 0, ""},
      // A "-" after a blank is not at a line start.
      {"QUJD --ab", b, 1, 0, "ABC\xFF\xF6\x9B", "", 1, ""},
      // A "-" at a line start cuts a group short, as the end of input would.
      {"QU\n--b\nQUJD", b, 1, 0, "", kEof, 1, "QUJD"},
      // After "=" other bytes leave the line-start flag alone; CR clears it.
      {"QQ==\nxyz--b--\nQUJD", b, 1, 0, "A", "", 0, "QUJD"},
      {"QQ==\r\n--b\nQUJD", b, 1, 0, "A", "", 1, "QUJD"},
      {"QQ==\n\r--b\n", b, 1, 0, "A", "", 1, ""},
      {"QQ==\n-abc\n", b, 1, 0, "A", kIgnoring + "-abc\n\n", 1, ""},
      {"AAAN\n--b\nQUJD", b, 1, 1, "\0\0\r"s, "", 1, "QUJD"},
      {"QUJD\n--inner--\nQUJD", {"--outer", "--inner"}, 2, 0, "ABC", "", 1, "QUJD"},
      // The line buffer holds 199 bytes: a 199-byte line is read whole, a
      // longer one is cut and its rest read as a new line.
      {dash_a(197) + "\nQUJD", b, 1, 0, "ABC", kIgnoring + dash_a(197) + "\n\n", 1, ""},
      {dash_a(198) + "\nQUJD", b, 1, 0, "ABC", kIgnoring + dash_a(198) + "\n", 1, ""},
      {dash_a(199) + "\n", b, 1, 0, "", kIgnoring + dash_a(198) + "\n" + kEof, 1, ""},
      {dash_a(250) + "\n", b, 1, 0, std::string(39, '\0'), kIgnoring + dash_a(198) + "\n", 1, ""},
      {"QUJD\n--b" + rep(" ", 196) + "x\nQUJD", b, 1, 0, "ABC", "", 1, "x\nQUJD"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE("input " + visible(c.in));
    int count = c.count;
    const Outcome o = call_coder(
        c.in, [&](FILE *in, FILE *out) { from64(in, out, c.entries.data(), &count, c.portable); });
    EXPECT_EQ(visible(o.out), visible(c.out));
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(count, c.count_after);
    EXPECT_EQ(o.rest, c.rest);
  }
}

struct PendingCase {
  const char *line;
  std::vector<const char *> entries;
  int count;
  int result;
  int count_after;
};

TEST(PendingBoundary, Table) {
  const std::vector<const char *> abc = {"--abc"};
  const PendingCase cases[] = {
      {"--abc\n", abc, 0, 0, 0},
      {"--abc\n", abc, -1, 0, -1},
      {"--abc\n", abc, 1, 1, 1},
      {"--abc--\n", abc, 1, 1, 0},
      {"--abc-x\n", abc, 1, 1, 1},
      {"--abc-", abc, 1, 1, 1},
      {"--ab\n", abc, 1, 0, 1},
      {"--abcdef\n", abc, 1, 1, 1},
      {"--abc", abc, 1, 1, 1},
      {"--abc\n", {"abc"}, 1, 0, 1},
      {"--inner--\n", {"--outer", "--inner"}, 2, 1, 1},
      {"--inner\n", {"--outer", "--inner"}, 1, 0, 1},
      {"--outer--\n", {"--outer", "--inner"}, 1, 1, 0},
      {"--ab--\n", {"--a", "--ab"}, 2, 1, 2},  // first match wins, as separator
      {"--y\n", {"--x", ""}, 2, 1, 1},         // an empty entry always closes
      {"--x--\n", {"--x", ""}, 2, 1, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string("line ") + visible(c.line) + " count " + std::to_string(c.count));
    int count = c.count;
    EXPECT_EQ(PendingBoundary(c.line, c.entries.data(), &count), c.result);
    EXPECT_EQ(count, c.count_after);
  }
}

TEST(PendingBoundary, LineWithoutTwoHyphensReadsNeitherListNorCount) {
  for (const char *line : {"-abc\n", " --abc\n", "", "-"}) {
    SCOPED_TRACE(visible(line));
    EXPECT_EQ(PendingBoundary(line, nullptr, nullptr), 0);
  }
}

}  // namespace
