// octafold under faults, run as a user runs it: output that cannot be
// written, input that cannot be read or changes under it, a reader that goes
// away, and inputs far beyond any buffer. Whatever goes wrong must show in the
// exit status and on standard error; whatever ends with status 0 must be
// complete.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "octafold.h"
#include "support.h"

// Helpers have external linkage: each of the two builds of this file (see
// OCTAFOLD_FAULTS_BIG below) uses only some of them.
namespace faults {

using testing_support::call_coder;
using testing_support::read_file;
using testing_support::write_file;

inline constexpr int kFailure = 255;
inline constexpr int kKilledBySigpipe = 128 + SIGPIPE;
inline constexpr int kClosed = -1;  // as a descriptor to hand on: leave it closed
inline constexpr std::size_t kMiB = 1024 * 1024;

std::string error_text(int err) { return std::strerror(err); }

std::string read_error(int err) { return "octafold: read error: " + error_text(err) + "\n"; }
std::string write_error(int err) { return "octafold: write error: " + error_text(err) + "\n"; }

[[noreturn]] void fail_system(const char *what) {
  throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

// A descriptor owned by the test; close-on-exec, so that a child sees only
// the three it is given.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd &operator=(Fd &&other) noexcept {
    reset();
    fd_ = std::exchange(other.fd_, -1);
    return *this;
  }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

Fd open_fd(const std::string &path, int flags) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) fail_system(path.c_str());
  return Fd(fd);
}

// An unnamed temporary file holding `data`, positioned at its start.
Fd temp_file(const std::string &data = {}) {
  const int fd = open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) fail_system("O_TMPFILE");
  Fd f(fd);
  for (std::size_t done = 0; done < data.size();) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) fail_system("write");
    done += static_cast<std::size_t>(n);
  }
  lseek(fd, 0, SEEK_SET);
  return f;
}

bool write_all(int fd, const char *p, std::size_t n) {
  while (n > 0) {
    const ssize_t k = write(fd, p, n);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<std::size_t>(k);
  }
  return true;
}

std::string contents(int fd) {
  std::string s;
  char buf[65536];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, static_cast<std::size_t>(n));
  return s;
}

// A fresh directory, removed with all it holds when the test ends.
struct TempDir {
  TempDir() = default;
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string path = testing_support::make_temp_dir();
};

struct Pipe {
  Fd read;
  Fd write;
};

Pipe make_pipe() {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) fail_system("pipe2");
  return {Fd(p[0]), Fd(p[1])};
}

// How octafold is started: its arguments, the descriptors that become its
// standard input, output and error (kClosed leaves one closed), what it does
// on SIGPIPE, and a limit on its address space.
struct Launch {
  std::vector<std::string> args;
  int in = kClosed;
  int out = kClosed;
  int err = kClosed;
  bool ignore_sigpipe = false;
  rlim_t address_space = RLIM_INFINITY;
};

pid_t start(const Launch &l) {
  std::vector<std::string> words{OCTAFOLD_BIN};
  words.insert(words.end(), l.args.begin(), l.args.end());
  std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) fail_system("fork");
  if (pid == 0) {
    // Only async-signal-safe calls from here: another thread may be running.
    const int wanted[3] = {l.in, l.out, l.err};
    int moved[3];
    for (int i = 0; i < 3; ++i) {
      moved[i] = wanted[i] == kClosed ? -1 : fcntl(wanted[i], F_DUPFD_CLOEXEC, 10);
    }
    for (int i = 0; i < 3; ++i) {
      if (moved[i] < 0) {
        close(i);
      } else {
        dup2(moved[i], i);
      }
    }
    signal(SIGPIPE, l.ignore_sigpipe ? SIG_IGN : SIG_DFL);
    if (l.address_space != RLIM_INFINITY) {
      const rlimit limit{l.address_space, l.address_space};
      setrlimit(RLIMIT_AS, &limit);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

struct Ended {
  int status = 0;  // exit status, or 128 + N after death by signal N
  long peak_rss_kib = 0;
};

Ended finish(pid_t pid) {
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) fail_system("wait4");
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), usage.ru_maxrss};
}

struct Result {
  std::string out;
  std::string err;
  int status = 0;
};

inline constexpr int kCapture = -2;  // as the output descriptor: collect it

// Runs octafold to its end with standard error (and, for kCapture, standard
// output) collected.
Result run(const std::vector<std::string> &args, int in, int out, bool ignore_sigpipe = false) {
  const Fd err = temp_file();
  const Fd captured = temp_file();
  const int out_fd = out == kCapture ? captured.get() : out;
  const Ended e = finish(start({args, in, out_fd, err.get(), ignore_sigpipe}));
  return {out == kCapture ? contents(captured.get()) : std::string(), contents(err.get()),
          e.status};
}

Result run_on(const std::vector<std::string> &args, const std::string &input) {
  const Fd in = temp_file(input);
  return run(args, in.get(), kCapture);
}

// One row per coder: its options and an input on which it writes something.
struct Mode {
  const char *name;
  std::vector<std::string> args;
  std::string input;
};

const std::vector<Mode> &modes() {
  static const std::vector<Mode> all = {
      {"base64 encode", {}, "hello world\n"},
      {"base64 decode", {"-u"}, "aGVsbG8gd29ybGQK\n"},
      {"qp encode", {"-q"}, "hello = world\n"},
      {"qp decode", {"-q", "-u"}, "hello =3D world\n"},
  };
  return all;
}

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string> &more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

bool decodes(const std::vector<std::string> &args) {
  return std::find(args.begin(), args.end(), "-u") != args.end();
}

// The options that encode what `args` decodes.
std::vector<std::string> encoder_of(std::vector<std::string> args) {
  args.erase(std::remove(args.begin(), args.end(), "-u"), args.end());
  return args;
}

// What the coder that `args` select writes for `input` when nothing fails.
std::string coded(const std::vector<std::string> &args, const std::string &input) {
  const bool qp = std::find(args.begin(), args.end(), "-q") != args.end();
  const bool decode = decodes(args);
  return call_coder(input,
                    [&](FILE *in, FILE *out) {
                      if (qp && decode) {
                        fromqp(in, out, nullptr, nullptr);
                      } else if (qp) {
                        toqp(in, out);
                      } else if (decode) {
                        from64(in, out, nullptr, nullptr, 0);
                      } else {
                        to64(in, out, 0);
                      }
                    })
      .out;
}

#ifndef OCTAFOLD_FAULTS_BIG

// --- Output that cannot be written ---------------------------------------

TEST(WriteFaults, EveryCoderReportsOutputThatCannotBeWritten) {
  const Fd full = open_fd("/dev/full", O_WRONLY);
  struct Sink {
    const char *name;
    std::vector<std::string> extra_args;
    int out;
    int err;
  };
  const std::vector<Sink> sinks = {
      {"-o /dev/full", {"-o", "/dev/full"}, kCapture, ENOSPC},
      {"stdout on /dev/full", {}, full.get(), ENOSPC},
      {"stdout closed", {}, kClosed, EBADF},
  };
  for (const auto &mode : modes()) {
    for (const auto &sink : sinks) {
      SCOPED_TRACE(std::string(mode.name) + ", " + sink.name);
      const Fd in = temp_file(mode.input);
      const Result r = run(with(mode.args, sink.extra_args), in.get(), sink.out);
      EXPECT_EQ(r.status, kFailure);
      EXPECT_EQ(r.err, write_error(sink.err));
      EXPECT_EQ(r.out, "");  // -o /dev/full leaves standard output alone
    }
  }
}

TEST(WriteFaults, NothingWrittenIsNothingLost) {
  // Empty input writes no byte, so even a full device is no failure.
  const Fd full = open_fd("/dev/full", O_WRONLY);
  for (const auto &mode : modes()) {
    SCOPED_TRACE(mode.name);
    const Fd in = temp_file();
    const Result r = run(mode.args, in.get(), full.get());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
  }
}

TEST(WriteFaults, ClosedStdoutTakenByTheInputFile) {
  // With descriptor 1 closed the input file is opened on it; writing to
  // standard output then hits a read-only descriptor and must still fail.
  const TempDir tmp;
  const std::string &dir = tmp.path;
  write_file(dir + "/in", "hello world\n");
  const Result r = run({dir + "/in"}, kClosed, kClosed);
  EXPECT_EQ(r.status, kFailure);
  EXPECT_EQ(r.err, write_error(EBADF));
}

TEST(WriteFaults, ClosedStdoutIsNoFaultWithAnOutputFile) {
  const TempDir tmp;
  const std::string &dir = tmp.path;
  const Fd in = temp_file("hello world\n");
  const Result r = run({"-o", dir + "/out"}, in.get(), kClosed);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(dir + "/out"), "aGVsbG8gd29ybGQK\n");
}

TEST(WriteFaults, StatusReportsTheFailureWhenStderrIsClosedToo) {
  const Fd in = temp_file("hello world\n");
  const Fd full = open_fd("/dev/full", O_WRONLY);
  const Ended e = finish(start({{}, in.get(), full.get(), kClosed}));
  EXPECT_EQ(e.status, kFailure);
}

// --- A reader that goes away ----------------------------------------------

// An input for `mode` whose output is far larger than a pipe's buffer.
std::string large_input(const Mode &mode) {
  std::mt19937 rng(7);
  const std::string data = testing_support::random_bytes(rng, kMiB, "", 0.0);
  return decodes(mode.args) ? coded(encoder_of(mode.args), data) : data;
}

TEST(ReaderGone, PipeClosedEarlyEndsTheRunLikeAnyFilter) {
  for (const auto &mode : modes()) {
    const Fd in = temp_file(large_input(mode));
    for (const bool ignore_sigpipe : {false, true}) {
      SCOPED_TRACE(std::string(mode.name) + (ignore_sigpipe ? ", SIGPIPE ignored" : ""));
      lseek(in.get(), 0, SEEK_SET);
      Pipe p = make_pipe();
      const Fd err = temp_file();
      const pid_t pid = start({mode.args, in.get(), p.write.get(), err.get(), ignore_sigpipe});
      p.write.reset();
      char head[100];
      EXPECT_GT(read(p.read.get(), head, sizeof head), 0);  // it has started writing
      p.read.reset();
      const Ended e = finish(pid);
      if (ignore_sigpipe) {
        EXPECT_EQ(e.status, kFailure);
        EXPECT_EQ(contents(err.get()), write_error(EPIPE));
      } else {
        EXPECT_EQ(e.status, kKilledBySigpipe);
        EXPECT_EQ(contents(err.get()), "");
      }
    }
  }
}

// --- Descriptors left in non-blocking mode by the caller -----------------------

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

TEST(NonBlocking, EmptyInputPipeIsAReadErrorNotAnEnd) {
  // A read that would block fails with EAGAIN: the input has not ended, so
  // an empty output must not pass for a complete one.
  for (const auto &mode : modes()) {
    SCOPED_TRACE(mode.name);
    Pipe p = make_pipe();
    set_nonblocking(p.read.get());
    const Result r = run(mode.args, p.read.get(), kCapture);
    EXPECT_EQ(r.status, kFailure);
    EXPECT_EQ(r.err, read_error(EAGAIN));
    EXPECT_EQ(r.out, "");
  }
}

TEST(NonBlocking, FullOutputPipeIsAWriteError) {
  for (const auto &mode : modes()) {
    SCOPED_TRACE(mode.name);
    const Fd in = temp_file(large_input(mode));
    Pipe p = make_pipe();  // never read while octafold runs
    set_nonblocking(p.write.get());
    const Result r = run(mode.args, in.get(), p.write.get());
    EXPECT_EQ(r.status, kFailure);
    EXPECT_EQ(r.err, write_error(EAGAIN));
  }
}

// --- Input that cannot be read ----------------------------------------------

TEST(ReadFaults, FilesThatCannotBeUsed) {
  const TempDir tmp;
  const std::string &dir = tmp.path;
  const std::string missing = dir + "/missing";
  struct Row {
    const char *name;
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<Row> rows = {
      {"missing input", {missing}, missing + ": " + error_text(ENOENT) + "\n"},
      {"output in a missing directory",
       {"-o", missing + "/out"},
       missing + "/out: " + error_text(ENOENT) + "\n"},
      {"directory as output", {"-o", dir}, dir + ": " + error_text(EISDIR) + "\n"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    const Result r = run_on(row.args, "data");
    EXPECT_EQ(r.status, kFailure);
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(r.out, "");
  }
}

TEST(ReadFaults, EveryCoderReportsUnreadableInput) {
  const TempDir tmp;
  const std::string &dir = tmp.path;
  for (const auto &mode : modes()) {
    SCOPED_TRACE(mode.name);
    // A directory opens for reading, but every read of it fails.
    const Result by_name = run_on(with(mode.args, {dir}), "");
    EXPECT_EQ(by_name.status, kFailure);
    EXPECT_EQ(by_name.err, read_error(EISDIR));
    EXPECT_EQ(by_name.out, "");

    const Result closed = run(mode.args, kClosed, kCapture);
    EXPECT_EQ(closed.status, kFailure);
    EXPECT_EQ(closed.err, read_error(EBADF));
    EXPECT_EQ(closed.out, "");
  }
}

// Runs octafold on a stream socket that delivers `data` and then fails: its
// peer closes with data of its own left unread, so the read after `data`
// reports ECONNRESET, a read error after a known number of good bytes.
Ended run_on_reset_socket(const std::vector<std::string> &args, const std::string &data, int out,
                          int err) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) fail_system("socketpair");
  Fd ours(sv[0]), theirs(sv[1]);
  if (write(theirs.get(), "x", 1) != 1) fail_system("write");  // left unread in our queue
  const pid_t pid = start({args, theirs.get(), out, err});
  theirs.reset();
  if (!write_all(ours.get(), data.data(), data.size())) fail_system("write");
  ours.reset();
  return finish(pid);
}

std::string mode_text(const Mode &mode) {
  std::string data;
  while (data.size() < 200 * 1024) data += mode.input;
  return data;
}

TEST(ReadFaults, ReadErrorInMidStreamKeepsWhatWasCoded) {
  for (const auto &mode : modes()) {
    SCOPED_TRACE(mode.name);
    const std::string data = mode_text(mode);
    const Fd out = temp_file();
    const Fd err = temp_file();
    const Ended e = run_on_reset_socket(mode.args, data, out.get(), err.get());
    EXPECT_EQ(e.status, kFailure);
    EXPECT_EQ(contents(err.get()), read_error(ECONNRESET));
    EXPECT_EQ(contents(out.get()), coded(mode.args, data));
  }
}

TEST(ReadFaults, ReadAndWriteErrorsInOneRunAreBothReported) {
  // Which of the two failures errno describes at the end is not known, so
  // neither message may carry the other's cause.
  const Fd full = open_fd("/dev/full", O_WRONLY);
  for (const auto &mode : modes()) {
    SCOPED_TRACE(mode.name);
    const Fd err = temp_file();
    const Ended e = run_on_reset_socket(mode.args, mode_text(mode), full.get(), err.get());
    EXPECT_EQ(e.status, kFailure);
    const std::string text = contents(err.get());
    const std::size_t lf = text.find('\n');
    ASSERT_NE(lf, std::string::npos) << text;
    const std::string first = text.substr(0, lf + 1), second = text.substr(lf + 1);
    EXPECT_EQ(first.rfind("octafold: read error: ", 0), 0U) << text;
    EXPECT_NE(first, read_error(ENOSPC));
    EXPECT_EQ(second.rfind("octafold: write error: ", 0), 0U) << text;
    EXPECT_NE(second, write_error(ECONNRESET));
    EXPECT_EQ(second.find('\n'), second.size() - 1) << "one line each";
  }
}

// --- Input that shrinks while it is read --------------------------------------

// Encodes an 8 MiB file, reads 1 MiB of the output (so octafold has read
// over 750 KiB of input, and is ahead of that by no more than its buffers and
// the pipe's), then cuts the file to `cut` bytes and collects the rest.
std::string encode_while_truncating(const std::string &path, off_t cut) {
  Pipe p = make_pipe();
  const Fd in = open_fd(path, O_RDONLY);
  const Fd err = temp_file();
  const pid_t pid = start({{}, in.get(), p.write.get(), err.get()});
  p.write.reset();
  std::string out;
  char buf[65536];
  for (ssize_t n; out.size() < kMiB && (n = read(p.read.get(), buf, sizeof buf)) > 0;) {
    out.append(buf, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(truncate(path.c_str(), cut), 0);
  for (ssize_t n; (n = read(p.read.get(), buf, sizeof buf)) > 0;) {
    out.append(buf, static_cast<std::size_t>(n));
  }
  const Ended e = finish(pid);
  // The system reports end of file where the file now ends: no error, and
  // the output is a whole encoding of what was read.
  EXPECT_EQ(e.status, 0);
  EXPECT_EQ(contents(err.get()), "");
  return out;
}

TEST(ShrinkingInput, OutputEncodesExactlyWhatWasRead) {
  std::mt19937 rng(11);
  const std::string original = testing_support::random_bytes(rng, 8 * kMiB, "", 0.0);
  const TempDir tmp;
  const std::string &dir = tmp.path;
  const std::string path = dir + "/shrinking";
  const off_t ahead = 4 * kMiB;   // beyond where octafold can have read to
  const off_t behind = kMiB / 4;  // before it

  write_file(path, original);
  const std::string cut_ahead = encode_while_truncating(path, ahead);
  EXPECT_EQ(cut_ahead, coded({}, original.substr(0, static_cast<std::size_t>(ahead))));

  write_file(path, original);
  const std::string cut_behind = encode_while_truncating(path, behind);
  const std::string read_back = coded({"-u"}, cut_behind);
  EXPECT_EQ(cut_behind, coded({}, read_back)) << "not one whole encoding";
  EXPECT_GE(read_back.size(), kMiB / 73 * 54);  // 54 bytes a line: the output read before the cut
  EXPECT_LT(read_back.size(), static_cast<std::size_t>(ahead));
  EXPECT_TRUE(original.compare(0, read_back.size(), read_back) == 0) << "not a prefix of the file";
}

// --- Awkward but valid input ------------------------------------------------

TEST(AwkwardInput, LinesOfMebibytesThroughAllFourCoders) {
  std::mt19937 rng(3);
  std::string data = testing_support::random_bytes(rng, 3 * kMiB, "", 0.0);
  std::replace(data.begin(), data.end(), '\n', 'n');
  struct Encoding {
    const char *name;
    std::vector<std::string> args;
    std::size_t longest_line;
    std::string line_break;  // removed from the encoding to make one line
  };
  const std::vector<Encoding> encodings = {
      {"base64", {}, 72, "\n"},
      {"quoted-printable", {"-q"}, 76, "=\n"},
  };
  for (const auto &enc : encodings) {
    SCOPED_TRACE(enc.name);
    const Result encoded = run_on(enc.args, data);
    ASSERT_EQ(encoded.status, 0);
    EXPECT_EQ(encoded.err, "");
    std::size_t longest = 0;
    for (std::size_t at = 0, lf; at < encoded.out.size(); at = lf + 1) {
      lf = encoded.out.find('\n', at);
      longest = std::max(longest, lf - at);
    }
    EXPECT_EQ(longest, enc.longest_line);

    std::string one_line;
    for (std::size_t at = 0, next; at < encoded.out.size(); at = next + enc.line_break.size()) {
      next = std::min(encoded.out.find(enc.line_break, at), encoded.out.size());
      one_line.append(encoded.out, at, next - at);
    }
    ASSERT_GT(one_line.size(), 3 * kMiB);
    for (const auto &text : {encoded.out, one_line}) {
      const Result decoded = run_on(with(enc.args, {"-u"}), text);
      EXPECT_EQ(decoded.status, 0);
      EXPECT_EQ(decoded.err, "");
      EXPECT_TRUE(decoded.out == data) << "decoded " << decoded.out.size() << " bytes";
    }
  }
}

TEST(AwkwardInput, NulBytesAreDataInEveryCoder) {
  using namespace std::string_literals;
  struct Row {
    std::vector<std::string> args;
    std::string input;
    std::string out;
  };
  const std::vector<Row> rows = {
      {{}, "a\0b"s, "YQBi\n"},
      {{}, "\0\0\0"s, "AAAA\n"},
      {{"-u"}, "YQBi\n", "a\0b"s},
      // A NUL in base64 text lies outside the alphabet: it counts as 0xFF
      // and does not end the text.
      {{"-u"}, "QUJD\0UJD"s, "ABC\xFD\x42\x43"s},
      {{"-q"}, "a\0b\n"s, "a=00b\n"},
      {{"-q", "-u"}, "a\0b\n=00\n"s, "a\0b\n\0\n"s},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args) + " " + ::testing::PrintToString(row.input));
    const Result r = run_on(row.args, row.input);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, row.out);
  }
}

// --- Output that would overwrite the input --------------------------------------

TEST(SameFile, OutputOntoTheInputIsRefusedAndTheInputKept) {
  const TempDir tmp;
  const std::string &dir = tmp.path;
  const std::string file = dir + "/f";
  const std::string link = dir + "/link";
  const std::string text = "keep me\n";
  write_file(file, text);
  ASSERT_EQ(::link(file.c_str(), link.c_str()), 0);

  // Appending to the input: without the refusal, encoding would never reach
  // the end of a file that grows with every line written.
  {
    const Fd append = open_fd(file, O_WRONLY | O_APPEND);
    const Result r = run({file}, kClosed, append.get());
    EXPECT_EQ(r.status, kFailure);
    EXPECT_EQ(r.err, "octafold: " + file + ": input file is output file\n");
  }
  // -o onto standard input, and onto another name of the input file: the
  // refusal comes before the output file is truncated.
  {
    const Fd in = open_fd(file, O_RDONLY);
    const Result r = run({"-o", file}, in.get(), kCapture);
    EXPECT_EQ(r.status, kFailure);
    EXPECT_EQ(r.err, "octafold: " + file + ": input file is output file\n");
  }
  {
    const Result r = run_on({file, "-o", link}, "");
    EXPECT_EQ(r.status, kFailure);
    EXPECT_EQ(r.err, "octafold: " + link + ": input file is output file\n");
  }
  EXPECT_EQ(read_file(file), text);

  // -o before the input name: the single left-to-right pass has created the
  // output before it meets the input word, so the text is gone, but the run
  // still fails instead of passing off an empty encoding as a success.
  const Result r = run_on({"-o", file, file}, "");
  EXPECT_EQ(r.status, kFailure);
  EXPECT_EQ(r.err, "octafold: " + file + ": input file is output file\n");
  EXPECT_EQ(read_file(file), "");
}

// `octafold < f >> f` names no file, so only the descriptors can tell; an
// encoder that ran would grow f without end. The same regular file on both
// standard streams is refused by every coder before a byte moves; the other
// sorts of file that can sit on both never count as the same.
TEST(SameFile, StandardInputAndOutputOnOneRegularFileAreRefused) {
  const TempDir tmp;
  const std::string file = tmp.path + "/f";
  for (const Mode &mode : modes()) {
    SCOPED_TRACE(mode.name);
    const std::string &text = mode.input;
    write_file(file, text);
    const Fd in = open_fd(file, O_RDONLY);
    const Fd append = open_fd(file, O_WRONLY | O_APPEND);
    const Result r = run(mode.args, in.get(), append.get());
    EXPECT_EQ(r.status, kFailure);
    EXPECT_EQ(r.err, "octafold: standard input: input file is output file\n");
    EXPECT_EQ(read_file(file), text);
    // Nothing was read: the input offset has not moved.
    EXPECT_EQ(lseek(in.get(), 0, SEEK_CUR), 0);
  }

  // One descriptor open for reading and writing, given as both streams.
  {
    const std::string text = "keep me\n";
    write_file(file, text);
    const Fd both = open_fd(file, O_RDWR | O_APPEND);
    const Result r = run({}, both.get(), both.get());
    EXPECT_EQ(r.status, kFailure);
    EXPECT_EQ(read_file(file), text);
  }

  // /dev/null on both sides, and a pipe: not regular files, so they run.
  {
    const Fd null_in = open_fd("/dev/null", O_RDONLY);
    const Fd null_out = open_fd("/dev/null", O_WRONLY);
    const Result r = run({}, null_in.get(), null_out.get());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
  }
  {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const Fd read_end(fds[0]);
    Fd write_end(fds[1]);
    ASSERT_EQ(write(write_end.get(), "ABC", 3), 3);
    write_end.reset();
    const Result r = run({}, read_end.get(), kCapture);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "QUJD\n");
  }
  // Two different regular files are no conflict.
  {
    write_file(file, "ABC");
    const std::string other = tmp.path + "/g";
    write_file(other, "");
    const Fd in = open_fd(file, O_RDONLY);
    const Fd out = open_fd(other, O_WRONLY | O_APPEND);
    const Result r = run({}, in.get(), out.get());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(other), "QUJD\n");
  }
}

#else  // OCTAFOLD_FAULTS_BIG: the streams too long for the quick suite

#if defined(__SANITIZE_ADDRESS__)
#define OCTAFOLD_FAULTS_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OCTAFOLD_FAULTS_ASAN 1
#endif
#endif

// xorshift64*: a reproducible byte stream, cheap enough to make and check
// gigabytes of it on both ends of a pipe.
class ByteStream {
 public:
  explicit ByteStream(std::uint64_t seed) : state_(seed) {}
  void fill(std::vector<char> &buf) {
    for (std::size_t i = 0; i + 8 <= buf.size(); i += 8) {
      state_ ^= state_ >> 12;
      state_ ^= state_ << 25;
      state_ ^= state_ >> 27;
      const std::uint64_t v = state_ * 0x2545F4914F6CDD1DULL;
      std::memcpy(buf.data() + i, &v, sizeof v);
    }
  }

 private:
  std::uint64_t state_;
};

inline constexpr std::size_t kChunk = kMiB;
inline constexpr rlim_t kAddressSpace = 64 * kMiB;  // as ulimit -v 65536
inline constexpr long kMaxRssKib = 16 * 1024;
inline constexpr std::uint64_t kSeed = 0x6f6374616661ULL;

struct Streamed {
  std::uint64_t received = 0;
  std::uint64_t first_difference = UINT64_MAX;
  Ended encoder, decoder;
  std::string encoder_err, decoder_err;
};

// Streams `size` bytes through "octafold ARGS | octafold ARGS -u", both
// limited to kAddressSpace, and compares what comes out with what went in.
Streamed stream_through(const std::vector<std::string> &args, std::uint64_t size) {
  Pipe feed = make_pipe(), middle = make_pipe(), result = make_pipe();
  const Fd err1 = temp_file(), err2 = temp_file();
  const pid_t encoder =
      start({args, feed.read.get(), middle.write.get(), err1.get(), false, kAddressSpace});
  const pid_t decoder = start({with(args, {"-u"}), middle.read.get(), result.write.get(),
                               err2.get(), false, kAddressSpace});
  feed.read.reset();
  middle.read.reset();
  middle.write.reset();
  result.write.reset();

  std::thread writer([&feed, size] {
    ByteStream gen(kSeed);
    std::vector<char> chunk(kChunk);
    for (std::uint64_t sent = 0; sent < size; sent += kChunk) {
      gen.fill(chunk);
      if (!write_all(feed.write.get(), chunk.data(), chunk.size())) break;
    }
    feed.write.reset();
  });

  Streamed s;
  ByteStream expected(kSeed);
  std::vector<char> want(kChunk), got(kChunk);
  std::size_t at = kChunk;  // in `want`
  for (ssize_t n; (n = read(result.read.get(), got.data(), got.size())) > 0;) {
    for (std::size_t i = 0; i < static_cast<std::size_t>(n);) {
      if (at == kChunk) {
        expected.fill(want);
        at = 0;
      }
      const std::size_t k = std::min(static_cast<std::size_t>(n) - i, kChunk - at);
      if (s.first_difference == UINT64_MAX &&
          std::memcmp(got.data() + i, want.data() + at, k) != 0) {
        s.first_difference = s.received + i;
      }
      i += k;
      at += k;
    }
    s.received += static_cast<std::uint64_t>(n);
  }
  writer.join();
  s.encoder = finish(encoder);
  s.decoder = finish(decoder);
  s.encoder_err = contents(err1.get());
  s.decoder_err = contents(err2.get());
  return s;
}

TEST(BigStream, ThroughPipesInBoundedMemory) {
#ifdef OCTAFOLD_FAULTS_ASAN
  GTEST_SKIP() << "the sanitizer runtime needs far more address space than the limit";
#endif
#ifndef NDEBUG
  GTEST_SKIP() << "gigabytes through the byte-wise coders need an optimised build";
#endif
  // The 4 GiB run takes base64 past every 32-bit count on both sides (the
  // encoded text is over 5 GiB). Quoted-printable of random bytes is nearly
  // three times as long as its input, so it runs a smaller stream to stay
  // within CI time.
  struct Row {
    const char *name;
    std::vector<std::string> args;
    std::uint64_t size;
  };
  const std::vector<Row> rows = {
      {"base64", {}, std::uint64_t{4} << 30},
      {"quoted-printable", {"-q"}, std::uint64_t{256} << 20},
  };
  struct sigaction ignore {
  }, saved{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &saved);  // a coder that dies must fail the test, not end it
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    const auto began = std::chrono::steady_clock::now();
    const Streamed s = stream_through(row.args, row.size);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    EXPECT_EQ(s.encoder.status, 0);
    EXPECT_EQ(s.decoder.status, 0);
    EXPECT_EQ(s.encoder_err, "");
    EXPECT_EQ(s.decoder_err, "");
    EXPECT_EQ(s.received, row.size);
    EXPECT_EQ(s.first_difference, UINT64_MAX) << "output differs from input at this offset";
    EXPECT_LT(s.encoder.peak_rss_kib, kMaxRssKib);
    EXPECT_LT(s.decoder.peak_rss_kib, kMaxRssKib);
    std::printf("%s: %llu bytes in %.1f s, peak RSS %ld KiB (encoder), %ld KiB (decoder)\n",
                row.name, static_cast<unsigned long long>(s.received), took.count(),
                s.encoder.peak_rss_kib, s.decoder.peak_rss_kib);
  }
  sigaction(SIGPIPE, &saved, nullptr);
}

#endif  // OCTAFOLD_FAULTS_BIG

}  // namespace faults
