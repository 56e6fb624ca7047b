// Quoted-printable coders through the library API, on real tmpfile streams
// (the encoder's look-ahead and the decoder's boundary path need ungetc).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "octafold.h"
#include "support.h"

using namespace std::string_literals;
using testing_support::call_coder;
using testing_support::Outcome;

namespace {

// Input bytes and the exact text one call writes for them.
struct Row {
  const char *name;
  std::string input;
  std::string output;
};

Outcome encode(const std::string &input) {
  return call_coder(input, [](FILE *in, FILE *out) { toqp(in, out); });
}

Outcome decode(const std::string &input) {
  return call_coder(input, [](FILE *in, FILE *out) { fromqp(in, out, nullptr, nullptr); });
}

std::string letters(std::size_t n) { return std::string(n, 'A'); }

std::string escape_of(int byte) {
  char text[4];
  std::snprintf(text, sizeof text, "=%02X", static_cast<unsigned>(byte));
  return text;
}

bool is_hex_digit(int byte) {
  return byte > 0 && byte < 128 &&
         std::string_view("0123456789ABCDEFabcdef").find(static_cast<char>(byte)) !=
             std::string_view::npos;
}

int hex_value(int byte) { return byte <= '9' ? byte - '0' : (byte | 0x20) - 'a' + 10; }

// Neither coder writes to stderr or stops before the end of its input.
void expect_rows(const std::vector<Row> &rows, Outcome (*coder)(const std::string &)) {
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    const Outcome o = coder(row.input);
    EXPECT_EQ(o.out, row.output);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.rest, "");
  }
}

// ---------------------------------------------------------------- toqp

TEST(Toqp, EscapesEveryByteOutsideThePlainSet) {
  // Each byte once inside a line and once at the start of the input, where
  // only "." changes (and "F" must not start the "From " look-ahead).
  for (int byte = 0; byte < 256; ++byte) {
    if (byte == '\n') continue;
    const bool plain = byte == '\t' || (byte >= 32 && byte <= 126 && byte != '=');
    const std::string raw(1, static_cast<char>(byte));
    SCOPED_TRACE(byte);
    EXPECT_EQ(encode("x" + raw + "y\n").out, "x" + (plain ? raw : escape_of(byte)) + "y\n");
    const bool plain_first = plain && byte != '.';
    EXPECT_EQ(encode(raw + "y\n").out, (plain_first ? raw : escape_of(byte)) + "y\n");
  }
}

TEST(Toqp, Escapes) {
  expect_rows(
      {
          {"empty input", "", ""},
          {"unfinished line gets a soft break", "abc", "abc=\n"},
          {"finished line", "abc\n", "abc\n"},
          {"equals sign", "a=b\n", "a=3Db\n"},
          {"high, NUL and CR", "\xff\0\r\n"s, "=FF=00=0D\n"},
          {"DEL alone", "\x7f", "=7F=\n"},
          {"CR LF keeps a hard LF", "a\r\nb\r\n", "a=0D\nb=0D\n"},
          {"dot inside a line", "x.", "x.=\n"},
          {"dot at the very start", ".", "=2E=\n"},
          {"dot after LF", "\n.dot\n.", "\n=2Edot\n=2E=\n"},
          {"dot alone on a line", "a\n.\nb\n", "a\n=2E\nb\n"},
          {"second dot of a line", "..\n", "=2E.\n"},
          {"empty lines", "\n\n", "\n\n"},
      },
      encode);
}

TEST(Toqp, ProtectsBlankOrTabBeforeLf) {
  expect_rows(
      {
          {"blank", "x \n", "x =\n\n"},
          {"tab", "x\t\n", "x\t=\n\n"},
          {"blank at end of input", "a ", "a =\n"},
          {"line of one blank", " \n", " =\n\n"},
          {"blank then tab", "a \t\n", "a \t=\n\n"},
          {"blank inside the line stays", "a b\n", "a b\n"},
          {"escape after the blank", "a =\n", "a =3D\n"},
          {"control byte after the blank", "a \x01\n", "a =01\n"},
          {"blank reaching column 72", letters(71) + " \n", letters(71) + " =\n\n"},
          // The blank itself triggers the soft break at column 73, so the
          // LF after it needs no second one.
          {"blank reaching column 73", letters(72) + " \n", letters(72) + " =\n\n"},
          {"tab reaching column 73", letters(72) + "\t\n", letters(72) + "\t=\n\n"},
          {"blank at line start after a soft break", letters(73) + " \n",
           letters(73) + "=\n =\n\n"},
      },
      encode);
}

TEST(Toqp, BreaksLinesAtColumn73) {
  expect_rows(
      {
          {"71 letters", letters(71) + "\n", letters(71) + "\n"},
          {"72 letters", letters(72) + "\n", letters(72) + "\n"},
          {"73 letters", letters(73) + "\n", letters(73) + "=\n\n"},
          {"74 letters", letters(74) + "\n", letters(73) + "=\nA\n"},
          {"75 letters", letters(75) + "\n", letters(73) + "=\nAA\n"},
          {"76 letters", letters(76) + "\n", letters(73) + "=\nAAA\n"},
          {"80 letters, no LF", letters(80), letters(73) + "=\n" + letters(7) + "=\n"},
          // The second break leaves column 0, so the end adds nothing.
          {"146 letters, no LF", letters(146), letters(73) + "=\n" + letters(73) + "=\n"},
          {"73 letters, no LF", letters(73), letters(73) + "=\n"},
          {"72 letters, no LF", letters(72), letters(72) + "=\n"},
          // Escapes that start at columns 69 to 72 end at 72 to 75.
          {"escape ending at 72", letters(69) + "=B", letters(69) + "=3DB=\n"},
          {"escape ending at 73", letters(70) + "=", letters(70) + "=3D=\n"},
          {"escape ending at 74", letters(71) + "\x01", letters(71) + "=01=\n"},
          {"escape ending at 75: a 76-character line",
           letters(72) + "==", letters(72) + "=3D=\n=3D=\n"},
          {"escape after the limit", letters(72) + "\x01" + "B", letters(72) + "=01=\nB=\n"},
          {"dot at column 72 stays plain", letters(72) + ".x", letters(72) + ".=\nx=\n"},
          {"dot after a soft break", letters(73) + ".x", letters(73) + "=\n=2Ex=\n"},
      },
      encode);
}

TEST(Toqp, EscapesFromAtLineStarts) {
  expect_rows(
      {
          {"first line is left alone", "From here\nFrom there\n", "From here\n=46rom there\n"},
          {"very start with a blank before LF", "From \n", "From =\n\n"},
          {"pushed-back blank is plain", "\nFrom  \n", "\n=46rom  =\n\n"},
          {"From at end of input", "\nFrom", "\nFrom=\n"},
          {"Fro at end of input", "\nFro", "\nFro=\n"},
          {"F at end of input", "\nF", "\nF=\n"},
          {"Fr then LF", "\nFr\n", "\nFr\n"},
          {"Fro then LF", "\nFro\n", "\nFro\n"},
          // The pushed-back LF follows a neutral byte: no soft break.
          {"From then LF", "\nFrom\n", "\nFrom\n"},
          {"Fromage", "\nFromage\n", "\nFromage\n"},
          {"Fr then a high byte", "\nFr\xff", "\nFr=FF=\n"},
          {"Fr then a blank", "\nFr \n", "\nFr =\n\n"},
          {"From then equals", "\nFrom=", "\nFrom=3D=\n"},
          {"pushed-back dot is not at column 0", "\nF.", "\nF.=\n"},
          // A pushed-back "F" must not start a second look-ahead.
          {"FFrom", "\nFFrom x\n", "\nFFrom x\n"},
          {"lower case", "\nfrom x\n", "\nfrom x\n"},
          {"not at line start", "a From x\n", "a From x\n"},
          {"after empty lines", "\n\nFrom x", "\n\n=46rom x=\n"},
          {"after an escape and LF", "=\nFrom x\n", "=3D\n=46rom x\n"},
          {"after a protected blank", " \nFrom x\n", " =\n\n=46rom x\n"},
          {"after a soft break", letters(73) + "From x\n", letters(73) + "=\n=46rom x\n"},
          {"From after a soft break, end of input", letters(73) + "From",
           letters(73) + "=\nFrom=\n"},
      },
      encode);
}

TEST(Toqp, LookAheadCountsItsWidth) {
  // What the look-ahead writes moves the next soft break by its width.
  expect_rows(
      {
          {"=46rom is 6 wide", "\nFrom " + letters(70),
           "\n=46rom " + letters(66) + "=\n" + letters(4) + "=\n"},
          {"From is 4 wide", "\nFrom" + letters(70), "\nFrom" + letters(69) + "=\nA=\n"},
          {"Fro is 3 wide", "\nFro" + letters(71), "\nFro" + letters(70) + "=\nA=\n"},
          {"Fr is 2 wide", "\nFr" + letters(72), "\nFr" + letters(71) + "=\nA=\n"},
          {"F is 1 wide", "\nF" + letters(73), "\nF" + letters(72) + "=\nA=\n"},
      },
      encode);
}

// -------------------------------------------------------------- fromqp

TEST(Fromqp, DecodesTheStreamPath) {
  expect_rows(
      {
          {"empty input", "", ""},
          {"no LF", "abc", "abc"},
          {"LF", "abc\n", "abc\n"},
          {"soft break at the end", "abc=\n", "abc"},
          {"soft break inside", "a=\nb\n", "ab\n"},
          {"escape", "a=3Db\n", "a=b\n"},
          {"protected blank", "x =\n\n", "x \n"},
          {"two escapes", "=41=42\n", "AB\n"},
          {"small letters are digits", "=ab", "\xab"},
          {"lower-case CR LF", "=0d=0a", "\r\n"},
          {"escaped From", "=46rom x\n", "From x\n"},
          {"run of LFs", "\n\n\n", "\n\n\n"},
          {"NUL is copied", "a\0b\n"s, "a\0b\n"s},
          {"lines beginning with dashes are data", "--XYZ\n-a=41\n", "--XYZ\n-aA\n"},
          // "=" CR LF is a soft break too; a CR without its LF is a digit.
          {"= CR LF is a soft break", "a=\r\nb", "ab"},
          {"= CR LF, then LF", "=\r\n\n", "\n"},
          {"= CR, then a digit", "=\rA", "\xfa"},
          {"= CR at end of input", "a=\r", "a\xff"},
          {"= CR CR LF", "=\r\r\n", "\xff\n"},
          {"equals at end of input", "=", "\xff"},
          {"equals and one digit at end of input", "=A", "\xff"},
          {"LF taken as the second digit", "=4\nx", "\xffx"},
          {"high byte then a digit",
           "=\x80"
           "A",
           "\xfa"},
          {"equals then a digit", "==41",
           "\xf4"
           "1"},
      },
      decode);
}

TEST(Fromqp, DigitRuleForEveryByte) {
  // "=" h "5": 0xF0 + 5 for any non-digit h; "=4" l: 0xFF for any
  // non-digit l. LF in the first place is a soft break, in the second it is
  // swallowed by the escape.
  for (int byte = 0; byte < 256; ++byte) {
    const std::string raw(1, static_cast<char>(byte));
    SCOPED_TRACE(byte);
    const int high = is_hex_digit(byte) ? hex_value(byte) * 16 + 5 : 0xF5;
    EXPECT_EQ(decode("=" + raw + "5|").out,
              byte == '\n' ? "5|"s : std::string(1, static_cast<char>(high)) + "|");
    const int low = is_hex_digit(byte) ? 0x40 + hex_value(byte) : 0xFF;
    EXPECT_EQ(decode("=4" + raw + "|").out, std::string(1, static_cast<char>(low)) + "|");
  }
}

// A decoder call with a boundary list, as a multipart reader makes it.
struct BoundedRow {
  const char *name;
  std::string input;
  std::string output;
  std::string rest;  // input still unread after the call
  int count;         // boundary count after the call
};

void expect_bounded(const std::vector<BoundedRow> &rows, const std::vector<const char *> &entries,
                    int count_before) {
  for (const BoundedRow &row : rows) {
    SCOPED_TRACE(row.name);
    int count = count_before;
    const Outcome o = call_coder(
        row.input, [&](FILE *in, FILE *out) { fromqp(in, out, entries.data(), &count); });
    EXPECT_EQ(o.out, row.output);
    EXPECT_EQ(o.rest, row.rest);
    EXPECT_EQ(count, row.count);
    EXPECT_EQ(o.err, "");
  }
}

TEST(FromqpBoundary, StopsAtABoundaryLine) {
  expect_bounded(
      {
          {"separator", "abc\n--XYZ\nrest", "abc", "rest", 1},
          {"closing line", "abc\n--XYZ--\nrest", "abc", "rest", 0},
          {"at the very start", "--XYZ\nrest\n", "", "rest\n", 1},
          {"without LF at end of input", "a\n--XYZ", "a", "", 1},
          {"prefix match", "a\n--XYZabc\nrest", "a", "rest", 1},
          {"dash after the entry is a separator", "a\n--XYZ-x\nrest", "a", "rest", 1},
          {"only the last held LF is dropped", "a\n\n\n--XYZ\n", "a\n\n", "", 1},
          {"empty line before it", "abc\n\n--XYZ\n", "abc\n", "", 1},
          {"after a soft break", "a=\n--XYZ\nrest", "a", "rest", 1},
          {"after an escape that ate the LF", "=4\n--XYZ\nrest", "\xff", "rest", 1},
          {"LF of a dash line belongs to the boundary", "-x\n--XYZ\nrest", "-x", "rest", 1},
          {"NUL after the entry", "a\n--XYZ\0junk\nrest"s, "a", "rest", 1},
      },
      {"--XYZ"}, 1);
}

TEST(FromqpBoundary, DecodesOtherDashLinesAsData) {
  expect_bounded(
      {
          {"escape in a dash line", "abc\n-x=41\n", "abc\n-xA\n", "", 1},
          {"other boundary", "--other\nmore\n", "--other\nmore\n", "", 1},
          {"too short", "--XY\n", "--XY\n", "", 1},
          {"blank before the dashes", " --XYZ\nb\n", " --XYZ\nb\n", "", 1},
          {"not at line start", "a--XYZ\nb\n", "a--XYZ\nb\n", "", 1},
          {"escaped LF keeps us inside the line", "=0A--XYZ\n", "\n--XYZ\n", "", 1},
          {"equals at end of input", "-ab=", "-ab", "", 1},
          {"equals and digit at end of input", "-a=4", "-a", "", 1},
          {"lone dash", "-", "-", "", 1},
          {"malformed escape", "-=zz\n", "-\xff\n", "", 1},
          {"soft break in a dash line", "-a=\nb\n", "-ab\n", "", 1},
          // The C string read stops at the NUL; the rest of that line is lost.
          {"NUL ends the line", "-a\0b\nc\n"s, "-ac\n", "", 1},
          {"NUL hides the boundary", "--XY\0Z\nb\n"s, "--XYb\n", "", 1},
      },
      {"--XYZ"}, 1);
}

TEST(FromqpBoundary, ReadsAtMost199BytesOfALine) {
  const std::string dash = "-";
  expect_bounded(
      {
          {"198-byte line", dash + letters(196) + "\n--XYZ\nrest", dash + letters(196), "rest", 1},
          {"199-byte line", dash + letters(197) + "\n--XYZ\nrest", dash + letters(197), "rest", 1},
          // The LF beyond the cut goes through the stream path and is held,
          // so the boundary line after it drops it.
          {"200-byte line", dash + letters(198) + "\n--XYZ\nrest", dash + letters(198), "rest", 1},
          {"200-byte line at end of input", dash + letters(198) + "\n", dash + letters(198) + "\n",
           "", 1},
          {"rest of a long line is tested as a line", dash + letters(198) + "--XYZ\nrest",
           dash + letters(198), "rest", 1},
          {"rest of a long line that is no boundary", dash + letters(198) + "-x\n",
           dash + letters(198) + "-x\n", "", 1},
          {"rest of a long line without a dash", dash + letters(198) + "xy\n--XYZ\n",
           dash + letters(198) + "xy", "", 1},
          {"escape inside the piece", dash + letters(195) + "=41\n", dash + letters(195) + "A\n",
           "", 1},
          {"escape cut after its first digit", dash + letters(196) + "=41\n",
           dash + letters(196) + "1\n", "", 1},
          {"escape cut after the equals", dash + letters(197) + "=41\n",
           dash + letters(197) + "41\n", "", 1},
          {"soft break ending the piece", dash + letters(196) + "=\n--XYZ\nrest",
           dash + letters(196), "rest", 1},
          // The "=" ends the piece and its LF becomes a hard line end.
          {"soft break cut by the bound", dash + letters(197) + "=\nb\n",
           dash + letters(197) + "\nb\n", "", 1},
          {"boundary line longer than 199 bytes", "a\n--XYZ" + letters(300) + "\nrest", "a",
           letters(106) + "\nrest", 1},
      },
      {"--XYZ"}, 1);
}

TEST(FromqpBoundary, FollowsTheBoundaryCount) {
  expect_bounded(
      {
          {"closing line of the inner part", "a\n--inner--\nb", "a", "b", 1},
          {"closing line of the outer part", "a\n--outer--\nb", "a", "b", 0},
          {"separator of the outer part", "a\n--outer\nb", "a", "b", 2},
      },
      {"--outer", "--inner"}, 2);
  expect_bounded(
      {
          {"retired entry is data", "a\n--inner\nb\n", "a\n--inner\nb\n", "", 1},
          {"active entry still ends the part", "a\n--outer--\nb", "a", "b", 0},
      },
      {"--outer", "--inner"}, 1);
  expect_bounded({{"count 0 ends nothing", "a\n--XYZ\nb\n", "a\n--XYZ\nb\n", "", 0}}, {"--XYZ"}, 0);
  expect_bounded({{"negative count ends nothing", "a\n--XYZ\nb\n", "a\n--XYZ\nb\n", "", -1}},
                 {"--XYZ"}, -1);
  // The first matching entry wins: "--ab--" is a separator of "--a".
  expect_bounded({{"first entry wins", "x\n--ab--\ny", "x", "y", 2}}, {"--a", "--ab"}, 2);
  expect_bounded({{"entry without dashes", "x\n--abc\n", "x\n--abc\n", "", 1}}, {"abc"}, 1);
}

TEST(FromqpBoundary, ReadsANestedMultipartBodyPartByPart) {
  // One stream, one call per body part, as a reader walks nested parts.
  const char *const entries[] = {"--outer", "--inner"};
  int count = 2;
  std::vector<int> counts;
  const Outcome o =
      call_coder("first\n--inner\nsec=\nond\n--inner--\nouter tail\n--inner\n--outer--\nepilogue\n",
                 [&](FILE *in, FILE *out) {
                   for (int part = 0; part < 3; ++part) {
                     fromqp(in, out, entries, &count);
                     counts.push_back(count);
                     std::fputc('|', out);
                   }
                 });
  EXPECT_EQ(o.out, "first|second|outer tail\n--inner|");
  EXPECT_EQ(counts, (std::vector<int>{2, 1, 0}));
  EXPECT_EQ(o.rest, "epilogue\n");
}

}  // namespace
