// The stream kinds a decoder given a boundary list must stop exactly on:
// memory streams, temporary files and pipes, each with its default buffer,
// a tiny setvbuf buffer or none, so that buffer edges fall everywhere.
// Shared by the decoders fuzz harness and the differential tests.
#ifndef OCTAFOLD_FUZZ_STREAMS_H
#define OCTAFOLD_FUZZ_STREAMS_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace streams {

// Runs `call` with file descriptor 2 writing to `err` (the coders' warnings
// go to stderr), and puts descriptor 2 back afterwards.
template <typename Call>
void with_stderr_to(FILE *err, Call call) {
  std::fflush(stderr);
  const int saved = dup(2);
  dup2(fileno(err), 2);
  call();
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
}

enum class Kind { memory, file, pipe };

// buffer: 0 keeps the stream's own buffer, -1 makes it unbuffered, n > 0
// gives it an n-byte buffer (at most kMaxTiny).
struct Setup {
  Kind kind;
  int buffer;
};
inline constexpr int kMaxTiny = 16;

// What one decoder call did: its output and messages, the boundary count,
// and the input it left unread.
struct Outcome {
  std::string out;
  std::string err;
  std::string rest;
  bool position_agrees = true;  // ftell against the bytes left, where it works
  int count = 0;
  bool operator==(const Outcome &) const = default;
};

inline const char *name(Kind k) {
  return k == Kind::memory ? "fmemopen" : k == Kind::file ? "tmpfile" : "pipe";
}

// A pipe holds the whole text before the call, so it must fit in the pipe.
inline constexpr std::size_t kMaxPipeText = 32 * 1024;

// Runs `decoder(in, out)` with `text` on a stream made as `setup` says and
// fills `result` but its count, which the caller's decoder keeps. Returns
// false when the stream could not be made. On a memory stream or a file,
// ftell must agree with the bytes left.
template <typename Decoder>
bool run(const Setup &setup, std::string_view text, Decoder decoder, Outcome &result) {
  static thread_local char tiny[kMaxTiny];
  FILE *in = nullptr;
  if (setup.kind == Kind::memory) {
    in = fmemopen(const_cast<char *>(text.empty() ? "" : text.data()), text.size(), "r");
  } else if (setup.kind == Kind::file) {
    in = std::tmpfile();
    if (in != nullptr) {
      if (!text.empty()) std::fwrite(text.data(), 1, text.size(), in);
      std::rewind(in);
    }
  } else if (text.size() <= kMaxPipeText) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    const auto written = write(fds[1], text.data(), text.size());
    close(fds[1]);
    if (written != static_cast<ssize_t>(text.size())) {
      close(fds[0]);
      return false;
    }
    in = fdopen(fds[0], "r");
  }
  if (in == nullptr) return false;
  if (setup.buffer < 0) std::setvbuf(in, nullptr, _IONBF, 0);
  if (setup.buffer > 0) std::setvbuf(in, tiny, _IOFBF, static_cast<std::size_t>(setup.buffer));
  char *out_buf = nullptr;
  std::size_t out_size = 0;
  FILE *out = open_memstream(&out_buf, &out_size);
  FILE *err = std::tmpfile();
  with_stderr_to(err, [&] { decoder(in, out); });
  const long pos = setup.kind == Kind::pipe ? -1 : std::ftell(in);
  result = Outcome{};
  for (int c; (c = std::getc(in)) != EOF;) result.rest.push_back(static_cast<char>(c));
  result.position_agrees =
      pos < 0 || static_cast<std::size_t>(pos) + result.rest.size() == text.size();
  std::fclose(out);
  result.out.assign(out_buf, out_size);
  std::free(out_buf);
  std::rewind(err);
  for (int c; (c = std::getc(err)) != EOF;) result.err.push_back(static_cast<char>(c));
  std::fclose(err);
  std::fclose(in);
  return true;
}

}  // namespace streams

#endif
