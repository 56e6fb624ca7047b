// octafold run as a user runs it: real processes in a scratch directory,
// real files, exit statuses and messages.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

const std::string kUsage = "Usage: ofold [-u] [-q] [-b] [-p] [-o outputfile] [file name]\n";
const std::string kNeedsName = "octafold: -o requires a file name.\n";
const std::string kEof = "Warning: base64 decoder saw premature EOF!\n";
const std::string kFull = "octafold: write error: No space left on device\n";
const std::string kIsDir = "octafold: read error: Is a directory\n";

// Text that each of the four coders turns into something different.
const std::string kMixed = "QUJD=3D0\n";
const std::string kMixed64 = "UVVKRD0zRDAK\n";
const std::string kMixedQp = "QUJD=3D3D0\n";
const std::string kMixedFromQp = "QUJD=0\n";

struct CliCase {
  std::string name;
  std::vector<std::string> args;
  std::string in;  // standard input
  std::string out;
  std::string err;
  int status;
  std::vector<std::pair<std::string, std::string>> files = {};  // contents afterwards
  std::vector<std::string> absent = {};
  std::string redirect = {};  // a shell redirection of octafold's own streams
};

std::string same(const std::string &name) {
  return "octafold: " + name + ": input file is output file\n";
}

// Every case starts in a fresh directory holding these.
void make_fixture(const fs::path &dir) {
  testing_support::write_file(dir / "abc", "abc");
  testing_support::write_file(dir / "xyz", "xyz");
  testing_support::write_file(dir / "b64", "QUJD");
  testing_support::write_file(dir / "-q", "-q\n");
  fs::create_directory(dir / "sub");
  fs::create_hard_link(dir / "abc", dir / "hard");
  fs::create_symlink("abc", dir / "sym");
}

const CliCase kCases[] = {
    // Dispatch: the last of -b and -q wins, only the second character counts.
    {"no_args", {}, kMixed, kMixed64, "", 0},
    {"b", {"-b"}, kMixed, kMixed64, "", 0},
    {"q", {"-q"}, kMixed, kMixedQp, "", 0},
    {"u", {"-u"}, kMixed, "ABC", "", 0},
    {"q_u", {"-q", "-u"}, kMixed, kMixedFromQp, "", 0},
    {"u_q", {"-u", "-q"}, kMixed, kMixedFromQp, "", 0},
    {"q_b", {"-q", "-b"}, kMixed, kMixed64, "", 0},
    {"b_q", {"-b", "-q"}, kMixed, kMixedQp, "", 0},
    {"u_twice", {"-u", "-u"}, kMixed, "ABC", "", 0},
    {"uq_word_decodes_base64", {"-uq"}, kMixed, "ABC", "", 0},
    {"bogus_selects_base64", {"-q", "-bogus"}, kMixed, kMixed64, "", 0},
    {"p_encodes_lf_as_crlf", {"-p"}, "a\n", "YQ0K\n", "", 0},
    {"p_u_folds_crlf", {"-p", "-u"}, "YQ0K", "a\n", "", 0},
    {"u_keeps_crlf", {"-u"}, "YQ0K", "a\r\n", "", 0},
    {"p_q_as_q", {"-p", "-q"}, kMixed, kMixedQp, "", 0},
    {"q_p_u_as_q_u", {"-q", "-p", "-u"}, "a=0D\r\n", "a\r\r\n", "", 0},
    {"warning_keeps_status_0", {"-u"}, "QUJD=", "ABC", kEof, 0},
    {"held_cr_after_premature_end", {"-p", "-u"}, "AAANQQ", "\0\0\r"s, kEof, 0},
    {"cr_without_p", {"-u"}, "AAANQQ", "\0\0\r"s, kEof, 0},
    {"no_boundaries_from_command_line", {"-u"}, "QUJD\n--b\n", "ABC", kEof, 0},
    // Usage errors.
    {"lone_dash", {"-"}, "abc", "", kUsage, 255},
    {"two_dashes", {"--"}, "abc", "", kUsage, 255},
    {"x", {"-x"}, "abc", "", kUsage, 255},
    {"upper_case", {"-U"}, "abc", "", kUsage, 255},
    {"high_byte", {"-\xC3\xBC"}, "abc", "", kUsage, 255},
    {"empty_option", {"-u", "-"}, "abc", "", kUsage, 255},
    {"first_bad_word_decides", {"-x", "-o"}, "abc", "", kUsage, 255},
    {"o_last", {"-u", "-p", "-o"}, "abc", "", kNeedsName, 255},
    // Output files.
    {"o", {"-o", "out"}, "abc", "", "", 0, {{"out", "YWJj\n"}}},
    {"o_names_dash_u", {"-o", "-u"}, "abc", "", "", 0, {{"-u", "YWJj\n"}}},
    {"o_glued", {"-ofile", "data"}, "abc", "", "", 0, {{"data", "YWJj\n"}}, {"file"}},
    {"o_twice", {"-o", "a", "-o", "b"}, "abc", "", "", 0, {{"a", ""}, {"b", "YWJj\n"}}},
    {"o_then_usage", {"-o", "out", "-x"}, "abc", "", kUsage, 255, {{"out", ""}}},
    {"o_then_o_last", {"-o", "out", "-o"}, "abc", "", kNeedsName, 255, {{"out", ""}}},
    {"o_directory", {"-o", "sub"}, "abc", "", "sub: Is a directory\n", 255},
    {"o_missing_dir", {"-o", "no/out"}, "abc", "", "no/out: No such file or directory\n", 255},
    {"o_then_missing_input",
     {"-o", "out", "missing"},
     "abc",
     "",
     "missing: No such file or directory\n",
     255,
     {{"out", ""}}},
    // Input files.
    {"input", {"abc"}, "zzz", "YWJj\n", "", 0},
    {"input_then_u", {"b64", "-u"}, "zzz", "ABC", "", 0},
    {"two_inputs_second_read", {"abc", "xyz"}, "", "eHl6\n", "", 0},
    {"first_input_missing",
     {"missing", "xyz"},
     "",
     "",
     "missing: No such file or directory\n",
     255},
    {"second_input_missing",
     {"abc", "missing"},
     "",
     "",
     "missing: No such file or directory\n",
     255},
    {"dash_named_input", {"./-q"}, "", "LXEK\n", "", 0},
    // Read and write errors end with 255; output written before stays.
    {"o_full", {"-o", "/dev/full"}, "abc", "", kFull, 255},
    {"o_full_nothing_written", {"-o", "/dev/full"}, "", "", "", 0},
    {"u_o_full", {"-u", "-o", "/dev/full"}, "QUJD", "", kFull, 255},
    {"q_o_full", {"-q", "-o", "/dev/full"}, "abc", "", kFull, 255},
    {"q_u_o_full", {"-q", "-u", "-o", "/dev/full"}, "abc", "", kFull, 255},
    {"stdout_full", {}, "abc", "", kFull, 255, {}, {}, ">/dev/full"},
    {"u_stdout_full", {"-u"}, "QUJD", "", kFull, 255, {}, {}, ">/dev/full"},
    {"directory_input", {"sub"}, "", "", kIsDir, 255},
    {"u_directory_input", {"-u", "sub"}, "", "", kIsDir, 255},
    {"q_directory_input", {"-q", "sub"}, "", "", kIsDir, 255},
    {"q_u_directory_input", {"-q", "-u", "sub"}, "", "", kIsDir, 255},
    {"stdin_directory", {"-u"}, "", "", kIsDir, 255, {}, {}, "<sub"},
    // An output file that is the input stream is refused before truncation.
    {"same_file", {"abc", "-o", "abc"}, "", "", same("abc"), 255, {{"abc", "abc"}}},
    {"same_file_other_spelling",
     {"abc", "-o", "./abc"},
     "",
     "",
     same("./abc"),
     255,
     {{"abc", "abc"}}},
    {"same_file_hard_link", {"abc", "-o", "hard"}, "", "", same("hard"), 255, {{"abc", "abc"}}},
    {"same_file_symlink", {"-u", "sym", "-o", "abc"}, "", "", same("abc"), 255, {{"abc", "abc"}}},
    {"output_named_as_input", {"-o", "abc", "abc"}, "", "", same("abc"), 255, {{"abc", ""}}},
    {"output_is_stdin", {"-o", "abc"}, "", "", same("abc"), 255, {{"abc", "abc"}}, {}, "<abc"},
    {"input_is_stdout", {"abc"}, "", "", same("abc"), 255, {{"abc", ""}}, {}, ">abc"},
    {"only_current_input_counts", {"abc", "xyz", "-o", "abc"}, "", "", "", 0, {{"abc", "eHl6\n"}}},
    {"only_current_output_counts",
     {"-o", "abc", "-o", "out", "abc"},
     "",
     "",
     "",
     0,
     {{"abc", ""}, {"out", ""}}},
    {"dev_null_both", {"/dev/null", "-o", "/dev/null"}, "", "", "", 0},
    {"dev_null_redirected", {"-o", "/dev/null"}, "", "", "", 0, {}, {}, "</dev/null"},
};

class Cli : public testing::TestWithParam<CliCase> {
 protected:
  void SetUp() override {
    dir_ = testing_support::make_temp_dir();
    make_fixture(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_P(Cli, Run) {
  const CliCase &c = GetParam();
  const bool wants_full = c.redirect == ">/dev/full" ||
                          std::find(c.args.begin(), c.args.end(), "/dev/full") != c.args.end();
  if (wants_full && access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no writable /dev/full here";
  std::vector<std::string> argv = {OCTAFOLD_BIN};
  if (!c.redirect.empty())
    argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" " + c.redirect, OCTAFOLD_BIN};
  argv.insert(argv.end(), c.args.begin(), c.args.end());

  const auto o = testing_support::run_program(argv, c.in, dir_);
  EXPECT_EQ(o.out, c.out);
  EXPECT_EQ(o.err, c.err);
  EXPECT_EQ(o.status, c.status);
  for (const auto &[name, contents] : c.files) {
    EXPECT_TRUE(fs::exists(dir_ / name)) << name;
    EXPECT_EQ(testing_support::read_file(dir_ / name), contents) << name;
  }
  for (const auto &name : c.absent) EXPECT_FALSE(fs::exists(dir_ / name)) << name;
}

INSTANTIATE_TEST_SUITE_P(Table, Cli, testing::ValuesIn(kCases), testing_support::RowName{});

// A write that fails part way keeps what went out before it: with a file
// size limit of one block the output file holds a prefix of the text.
TEST(CliWriteError, OutputWrittenBeforeTheErrorStays) {
  const fs::path dir = testing_support::make_temp_dir();
  std::string data;
  for (int i = 0; i < 300; ++i) data += "abcdefghij";
  testing_support::write_file(dir / "in", data);
  const std::string full = testing_support::run_program({OCTAFOLD_BIN, "in"}, "", dir).out;

  const auto o = testing_support::run_program(
      {"/bin/sh", "-c", "ulimit -f 1; trap '' XFSZ; exec \"$0\" \"$@\"", OCTAFOLD_BIN, "in", "-o",
       "out"},
      "", dir);
  const std::string kept = testing_support::read_file(dir / "out");
  fs::remove_all(dir);
  EXPECT_EQ(o.status, 255);
  EXPECT_EQ(o.err, "octafold: write error: File too large\n");
  EXPECT_GT(kept.size(), 0u);
  EXPECT_LT(kept.size(), full.size());
  EXPECT_EQ(kept, full.substr(0, kept.size()));
}

}  // namespace
