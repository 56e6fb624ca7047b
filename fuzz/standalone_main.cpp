// Stands in for libFuzzer when the harnesses are built without it: runs
// saved inputs through LLVMFuzzerTestOneInput, so the harnesses keep
// compiling and CTest can replay the seed corpus. Each word names a file or
// a directory of inputs; with none, the harness's own seed corpus runs.
// Words that begin with "-" are libFuzzer flags and are ignored, so one
// command line serves both builds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace {

namespace fs = std::filesystem;

void run_one(const fs::path &file) {
  std::ifstream f(file, std::ios::binary);
  const std::vector<char> data{std::istreambuf_iterator<char>(f), {}};
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(data.data()), data.size());
}

// Runs `root`, or every regular file below it in name order; returns how many ran.
std::size_t run_all(const fs::path &root) {
  if (!fs::is_directory(root)) {
    run_one(root);
    return 1;
  }
  std::vector<fs::path> files;
  for (const auto &entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  for (const auto &file : files) run_one(file);
  return files.size();
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<fs::path> roots;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '-') roots.emplace_back(argv[i]);
  }
  if (roots.empty()) roots.emplace_back(OCTAFOLD_FUZZ_CORPUS);

  LLVMFuzzerTestOneInput(nullptr, 0);
  std::size_t ran = 0;
  for (const auto &root : roots) {
    if (!fs::exists(root)) {
      std::fprintf(stderr, "%s: no such file or directory\n", root.c_str());
      return 1;
    }
    ran += run_all(root);
  }
  std::fprintf(stderr, "%zu inputs ran without a failure\n", ran);
  // An empty corpus would pass while testing nothing.
  return ran > 0 ? 0 : 1;
}
