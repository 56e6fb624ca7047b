// Decodes one body part with or without a boundary list, for bench.py's
// rows that set the boundary path against the plain one: the command line
// never passes a list.
//
//     boundary_bench base64|qp list|nolist [FILE]
//
// Reads FILE (or standard input), writes the decoded part to standard
// output. With "list" the part must end in the boundary line "--b" or its
// closing line "--b--"; exits 1 when it was not found. OCTAFOLD_BENCH_BUFFER
// in the environment gives the input stream a buffer of that many bytes
// (setvbuf): a stream that cannot seek is read through its own buffer.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "octafold.h"

int main(int argc, char **argv) {
  if (argc < 3 || argc > 4) {
    std::fputs("usage: boundary_bench base64|qp list|nolist [FILE]\n", stderr);
    return 2;
  }
  const bool qp = std::strcmp(argv[1], "qp") == 0;
  const bool list = std::strcmp(argv[2], "list") == 0;
  FILE *in = argc == 4 ? std::fopen(argv[3], "r") : stdin;
  if (in == nullptr) {
    std::perror(argv[3]);
    return 2;
  }
  static char buffer[1 << 20];
  if (const char *size = std::getenv("OCTAFOLD_BENCH_BUFFER")) {
    const auto n = std::strtoul(size, nullptr, 10);
    if (n > 0 && n <= sizeof buffer) std::setvbuf(in, buffer, _IOFBF, n);
  }
  const char *const entries[] = {"--b"};
  int count = 1;
  const char *const *boundaries = list ? entries : nullptr;
  if (qp) {
    fromqp(in, stdout, boundaries, list ? &count : nullptr);
  } else {
    from64(in, stdout, boundaries, list ? &count : nullptr, 0);
  }
  // A closing line lowers the count; a separator leaves the input after it.
  if (list && count != 0 && !std::ferror(in) && std::feof(in)) {
    std::fputs("boundary_bench: no boundary line in the input\n", stderr);
    return 1;
  }
  return 0;
}
