// octafold -q and -q -u run as a user runs them: a real process, standard
// streams or named files, and its exit status.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "octafold.h"
#include "support.h"

using namespace std::string_literals;
using testing_support::call_coder;
using testing_support::Outcome;
using testing_support::run_program;

namespace {

struct CliRow {
  std::vector<std::string> args;  // after the program name
  std::string input;              // standard input
  std::string output;             // standard output
};

Outcome run(const std::vector<std::string> &args, const std::string &input) {
  std::vector<std::string> argv{OCTAFOLD_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, input);
}

std::string joined(const std::vector<std::string> &args) {
  std::string s;
  for (const auto &a : args) s += a + " ";
  return s;
}

// A body that touches every rule of both directions.
const std::string kText = "a=b \nFrom x\n.\r\n\xff\tend\t\n" + std::string(80, 'y');
const std::string kEncoded =
    "a=3Db =\n\n=46rom x\n=2E=0D\n=FF\tend\t=\n\n" + std::string(73, 'y') + "=\nyyyyyyy=\n";

TEST(QpCli, EncodesAndDecodes) {
  const std::vector<CliRow> rows = {
      {{"-q"}, kText, kEncoded},
      {{"-q", "-u"}, kEncoded, kText},
      {{"-u", "-q"}, kEncoded, kText},
      {{"-q"}, "", ""},
      {{"-q", "-u"}, "", ""},
      // The command line passes no boundary list: dash lines are data.
      {{"-q", "-u"}, "a\n--XYZ\n--XYZ--\nb=\n", "a\n--XYZ\n--XYZ--\nb"},
      // "=" CR LF is a soft break, also in a whole program.
      {{"-q", "-u"}, "x=\r\ny", "xy"},
      {{"-b", "-q"}, "=", "=3D=\n"},
  };
  for (const CliRow &row : rows) {
    SCOPED_TRACE(joined(row.args));
    const Outcome o = run(row.args, row.input);
    EXPECT_EQ(o.out, row.output);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.status, 0);
  }
}

TEST(QpCli, PortableFlagChangesNothing) {
  // -p belongs to base64; CR and LF in quoted-printable stay as they are.
  const std::string crlf_text = "one\r\ntwo\r\n" + kText;
  const Outcome encoded = run({"-q"}, crlf_text);
  const Outcome decoded = run({"-q", "-u"}, encoded.out);
  ASSERT_EQ(decoded.out, crlf_text);
  for (const auto &args : std::vector<std::vector<std::string>>{{"-p", "-q"}, {"-q", "-p"}}) {
    SCOPED_TRACE(joined(args));
    const Outcome o = run(args, crlf_text);
    EXPECT_EQ(o.out, encoded.out);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.status, 0);
  }
  for (const auto &args :
       std::vector<std::vector<std::string>>{{"-p", "-q", "-u"}, {"-q", "-u", "-p"}}) {
    SCOPED_TRACE(joined(args));
    const Outcome o = run(args, encoded.out);
    EXPECT_EQ(o.out, crlf_text);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.status, 0);
  }
}

TEST(QpCli, NamedFilesRoundTripArbitraryBytes) {
  const std::string dir = testing_support::make_temp_dir();
  std::mt19937 rng(31337);
  const std::string data = testing_support::random_bytes(rng, 20000, "\n \t.F=", 0.3);
  testing_support::write_file(dir + "/data", data);
  const Outcome enc = run({"-q", dir + "/data", "-o", dir + "/data.qp"}, "");
  EXPECT_EQ(enc.status, 0);
  EXPECT_EQ(enc.out + enc.err, "");
  const Outcome dec = run({dir + "/data.qp", "-u", "-o", dir + "/back", "-q"}, "");
  EXPECT_EQ(dec.status, 0);
  EXPECT_EQ(dec.out + dec.err, "");
  EXPECT_EQ(testing_support::read_file(dir + "/back"), data);
  EXPECT_NE(testing_support::read_file(dir + "/data.qp"), data);
  for (const char *name : {"/data", "/data.qp", "/back"}) std::remove((dir + name).c_str());
  rmdir(dir.c_str());
}

// Interop with Python's binascii, a quoted-printable coder written
// independently of ours, driven through tests/qp_interop.py.

std::string find_in_path(const std::string &name) {
  const char *path = std::getenv("PATH");
  std::string_view dirs = path != nullptr ? path : "";
  while (!dirs.empty()) {
    const std::size_t colon = dirs.find(':');
    const std::string dir(dirs.substr(0, colon));
    dirs = colon == std::string_view::npos ? "" : dirs.substr(colon + 1);
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

std::string interop_script() {
  std::string dir = OCTAFOLD_TEST_DATA;
  dir.erase(dir.rfind('/'));
  return dir + "/qp_interop.py";
}

std::string decode_with_fromqp(const std::string &text) {
  return call_coder(text, [](FILE *in, FILE *out) { fromqp(in, out, nullptr, nullptr); }).out;
}

std::string encode_with_toqp(const std::string &data) {
  return call_coder(data, [](FILE *in, FILE *out) { toqp(in, out); }).out;
}

// Inputs that reach the rules where coders differ: blanks and tabs before
// LF and at the end, dots and "From " at line starts, "=", control and high
// bytes, and lines around 76 characters.
std::vector<std::string> interop_inputs() {
  std::vector<std::string> inputs = {"",
                                     "abc",
                                     "a=b\n",
                                     "x \n",
                                     "x\t\n",
                                     "a ",
                                     " \n",
                                     "\xff\0\r\n"s,
                                     "\x7f",
                                     "From here\nFrom there\n",
                                     "\nFrom  \n",
                                     "\nFr\xff",
                                     "\n.dot\n.",
                                     ".\n",
                                     "x.",
                                     std::string(72, 'A') + "==",
                                     std::string(73, 'A') + "From x\n",
                                     std::string(76, 'A') + " \n",
                                     std::string(200, '=')};
  std::mt19937 rng(4242);
  std::uniform_int_distribution<std::size_t> length(0, 300);
  std::uniform_int_distribution<std::size_t> run(70, 80);
  for (int i = 0; i < 200; ++i) {
    std::string s = testing_support::random_bytes(rng, length(rng), "\n\n \t.F=\r", 0.4);
    s.insert(s.size() / 2, "\nFrom " + std::string(run(rng), 'w') + (i % 2 != 0 ? " \n." : "\t"));
    inputs.push_back(s);
  }
  return inputs;
}

class QpInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    python_ = find_in_path("python3");
    if (python_.empty()) GTEST_SKIP() << "python3 not on PATH: interop with binascii not checked";
  }

  // Runs one binascii coder over every record in a single process.
  std::vector<std::string> binascii(const std::string &mode, const std::vector<std::string> &in) {
    std::string framed;
    for (const auto &record : in) framed += std::to_string(record.size()) + "\n" + record;
    const Outcome o = run_program({python_, interop_script(), mode}, framed);
    EXPECT_EQ(o.status, 0) << o.err;
    std::vector<std::string> out;
    for (std::size_t pos = 0; pos < o.out.size();) {
      const std::size_t lf = o.out.find('\n', pos);
      const std::size_t n = std::stoul(o.out.substr(pos, lf - pos));
      out.push_back(o.out.substr(lf + 1, n));
      pos = lf + 1 + n;
    }
    EXPECT_EQ(out.size(), in.size());
    out.resize(in.size());
    return out;
  }

  std::string python_;
};

TEST_F(QpInterop, BinasciiDecodesToqpOutput) {
  const std::vector<std::string> inputs = interop_inputs();
  std::vector<std::string> encoded;
  for (const auto &input : inputs) encoded.push_back(encode_with_toqp(input));
  const std::vector<std::string> decoded = binascii("decode", encoded);
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    EXPECT_EQ(decoded[i], inputs[i]) << "encoded as:\n" << encoded[i];
  }
}

// b2a_qp takes its line end from the first LF of its input: CR LF there
// makes every soft break "=" CR LF, which is no soft break for an LF-only
// decoder. With istext (the default) it also turns each CR LF of the text
// into that line end. So the text inputs carry no CR LF at all (lone CRs
// stay), and the binary ones (istext=False: CR and LF escaped) none before
// their first LF.
TEST_F(QpInterop, FromqpDecodesBinasciiOutput) {
  std::vector<std::string> binary = interop_inputs();
  std::vector<std::string> text = binary;
  for (auto &s : text) {
    for (std::size_t at; (at = s.find("\r\n")) != std::string::npos;) s.erase(at, 1);
  }
  for (auto &s : binary) {
    for (std::size_t lf = s.find('\n'); lf != std::string::npos && lf > 0 && s[lf - 1] == '\r';
         --lf) {
      s.erase(lf - 1, 1);
    }
  }
  using Run = std::pair<const char *, const std::vector<std::string> *>;
  for (const auto &[mode, inputs] :
       {Run{"encode-text", &text}, Run{"encode-tabs", &text}, Run{"encode-binary", &binary}}) {
    SCOPED_TRACE(mode);
    const std::vector<std::string> encoded = binascii(mode, *inputs);
    for (std::size_t i = 0; i < inputs->size(); ++i) {
      EXPECT_EQ(decode_with_fromqp(encoded[i]), (*inputs)[i]) << "encoded as:\n" << encoded[i];
    }
  }
}

}  // namespace
