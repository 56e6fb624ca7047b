// Test helpers: run a coder on an in-memory input, run a program as a user
// would, and build random inputs.
#ifndef OCTAFOLD_TESTS_SUPPORT_H
#define OCTAFOLD_TESTS_SUPPORT_H

#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace testing_support {

// What a coder call or a program run produced.
struct Outcome {
  std::string out;
  std::string err;
  int status = 0;    // exit status of a program run; 0 for in-process calls
  std::string rest;  // input left unread after an in-process call
};

// Runs `coder` with a tmpfile holding `input` and a tmpfile for output,
// capturing what it writes to stderr.
Outcome call_coder(const std::string &input, const std::function<void(FILE *, FILE *)> &coder);

// Runs the program `argv[0]` with `input` on its standard input and returns its output, standard
// error and exit status (128 + N for death by signal N). A non-empty `cwd` is the directory the
// program starts in, so that tests can name files as a user types them.
Outcome run_program(const std::vector<std::string> &argv, const std::string &input = {},
                    const std::string &cwd = {});

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);

// A fresh, empty directory under the system's temporary directory.
std::string make_temp_dir();

// Random bytes drawn mostly from `favoured`, else uniformly from 0-255.
std::string random_bytes(std::mt19937 &rng, std::size_t length, const std::string &favoured,
                         double favoured_share = 0.5);

// Names each instance of a parameterised test after its row's `name` member
// (letters, digits and underscores), so that test names are readable and the
// same in every build instead of printing the row's bytes:
//   INSTANTIATE_TEST_SUITE_P(Table, Suite, testing::ValuesIn(kRows), testing_support::RowName{});
struct RowName {
  template <class ParamInfo>
  std::string operator()(const ParamInfo &info) const {
    return std::string(info.param.name);
  }
};

}  // namespace testing_support

#endif
