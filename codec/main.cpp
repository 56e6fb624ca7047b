// octafold: converts a message body to or from base64 or quoted-printable.
//
// Exit statuses:
//   0    the coder ran and every read and write succeeded (a decoder's
//        warning about damaged input does not change this)
//   255  a usage error, a file that cannot be opened, an output file that is
//        the input file, or a read or write error while coding
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "octafold.h"

namespace {

constexpr int kExitFailure = 255;

enum class Encoding { base64, quoted_printable };

struct Settings {
  Encoding encoding = Encoding::base64;
  bool decode = false;
  int portable = 0;
  FILE *in = stdin;
  FILE *out = stdout;
};

[[noreturn]] void fail() { std::exit(kExitFailure); }

[[noreturn]] void usage() {
  std::fputs("Usage: ofold [-u] [-q] [-b] [-p] [-o outputfile] [file name]\n", stderr);
  fail();
}

[[noreturn]] void fail_open(const char *name) {
  std::perror(name);
  fail();
}

// Device and inode of a regular file; false for anything else, so that
// /dev/null, terminals and pipes never count as the same file.
bool regular_file_id(const struct stat &st, dev_t &dev, ino_t &ino) {
  if (!S_ISREG(st.st_mode)) return false;
  dev = st.st_dev;
  ino = st.st_ino;
  return true;
}

bool same_regular_file(const struct stat &a, const struct stat &b) {
  dev_t d1{}, d2{};
  ino_t i1{}, i2{};
  return regular_file_id(a, d1, i1) && regular_file_id(b, d2, i2) && d1 == d2 && i1 == i2;
}

bool same_regular_file(const char *name, FILE *stream) {
  struct stat by_name {};
  struct stat by_stream {};
  if (stat(name, &by_name) != 0 || fstat(fileno(stream), &by_stream) != 0) return false;
  return same_regular_file(by_name, by_stream);
}

// Opening the input as output would truncate it before a byte was read.
void refuse_same_file(const char *name, FILE *other) {
  if (!same_regular_file(name, other)) return;
  std::fprintf(stderr, "octafold: %s: input file is output file\n", name);
  fail();
}

// The names are checked as they are opened; what is left is standard input
// and standard output on one file (`octafold < f >> f`), where the encoder
// would chase its own output for ever. Checked on the descriptors before a
// byte is read or written.
void refuse_same_standard_streams(const Settings &s) {
  if (s.in != stdin || s.out != stdout) return;
  struct stat in {};
  struct stat out {};
  if (fstat(fileno(stdin), &in) != 0 || fstat(fileno(stdout), &out) != 0) return;
  if (!same_regular_file(in, out)) return;
  std::fputs("octafold: standard input: input file is output file\n", stderr);
  fail();
}

FILE *open_input(const char *name, FILE *out) {
  refuse_same_file(name, out);
  FILE *f = std::fopen(name, "r");
  if (f == nullptr) fail_open(name);
  return f;
}

FILE *open_output(const char *name, FILE *in) {
  refuse_same_file(name, in);
  FILE *f = std::fopen(name, "w");
  if (f == nullptr) fail_open(name);
  return f;
}

// One left-to-right pass. Only the second character of an option word
// counts, options may follow file names, and each file is opened when its
// word is met, so the first bad word decides which failure is reported.
Settings parse_arguments(int argc, char **argv) {
  Settings s;
  for (int i = 1; i < argc; ++i) {
    const char *word = argv[i];
    if (word[0] != '-') {
      s.in = open_input(word, s.out);
      continue;
    }
    switch (word[1]) {
      case 'b': s.encoding = Encoding::base64; break;
      case 'q': s.encoding = Encoding::quoted_printable; break;
      case 'u': s.decode = true; break;
      case 'p': s.portable = 1; break;
      case 'o':
        if (i + 1 >= argc) {
          std::fputs("octafold: -o requires a file name.\n", stderr);
          fail();
        }
        s.out = open_output(argv[++i], s.in);
        break;
      default: usage();
    }
  }
  return s;
}

void run_coder(const Settings &s) {
  if (s.encoding == Encoding::base64) {
    if (s.decode) {
      from64(s.in, s.out, nullptr, nullptr, s.portable);
    } else {
      to64(s.in, s.out, s.portable);
    }
  } else if (s.decode) {
    fromqp(s.in, s.out, nullptr, nullptr);
  } else {
    toqp(s.in, s.out);
  }
}

// The coders leave I/O errors in the streams' error flags; a run that lost
// data must not end with status 0. What was written before stays. errno
// still holds the last failure of the coding, unless the flush fails anew.
int report_stream_errors(const Settings &s) {
  int status = 0;
  // When both streams failed, errno may be either side's (a write that
  // failed after the read did), so neither message borrows it.
  const int coding_errno = std::ferror(s.in) && std::ferror(s.out) ? EIO : errno;
  if (std::ferror(s.in)) {
    std::fprintf(stderr, "octafold: read error: %s\n", std::strerror(coding_errno));
    status = kExitFailure;
  }
  errno = coding_errno;
  if (std::fflush(s.out) != 0 || std::ferror(s.out)) {
    std::fprintf(stderr, "octafold: write error: %s\n", std::strerror(errno != 0 ? errno : EIO));
    status = kExitFailure;
  }
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  const Settings settings = parse_arguments(argc, argv);
  refuse_same_standard_streams(settings);
  run_coder(settings);
  return report_stream_errors(settings);
}
