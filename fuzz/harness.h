// Shared by the fuzz harnesses: in-memory streams for the coders and a check
// that stops the run, so that libFuzzer keeps the input that broke it.
#ifndef OCTAFOLD_FUZZ_HARNESS_H
#define OCTAFOLD_FUZZ_HARNESS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz {

[[noreturn]] inline void fail(const char *what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

inline void check(bool ok, const char *what) {
  if (!ok) fail(what);
}

inline std::string_view bytes(const std::uint8_t *data, std::size_t size) {
  return {reinterpret_cast<const char *>(data), size};
}

// A read-only stream over `text`, which must outlive it. fmemopen gives the
// coders a real FILE, with ungetc and the bounded line read they rely on.
class Input {
 public:
  explicit Input(std::string_view text)
      : f_(fmemopen(const_cast<char *>(text.empty() ? "" : text.data()), text.size(), "r")) {
    check(f_ != nullptr, "fmemopen");
  }
  ~Input() { std::fclose(f_); }
  Input(const Input &) = delete;
  Input &operator=(const Input &) = delete;

  FILE *get() const { return f_; }

  // What the coder left unread, ungetc push-back included.
  std::string rest() {
    std::string s;
    for (int c; (c = std::getc(f_)) != EOF;) s.push_back(static_cast<char>(c));
    return s;
  }

 private:
  FILE *f_;
};

// A stream that collects what a coder writes.
class Output {
 public:
  Output() : f_(open_memstream(&buf_, &size_)) { check(f_ != nullptr, "open_memstream"); }
  ~Output() {
    std::fclose(f_);
    std::free(buf_);
  }
  Output(const Output &) = delete;
  Output &operator=(const Output &) = delete;

  FILE *get() const { return f_; }

  std::string text() {
    check(std::fflush(f_) == 0 && std::ferror(f_) == 0, "output stream error");
    return {buf_, size_};
  }

 private:
  char *buf_ = nullptr;
  std::size_t size_ = 0;
  FILE *f_;
};

// Runs `coder(in, out)` over `input` and returns what it wrote.
template <typename Coder>
std::string run(std::string_view input, Coder coder) {
  Input in(input);
  Output out;
  coder(in.get(), out.get());
  return out.text();
}

}  // namespace fuzz

#endif
