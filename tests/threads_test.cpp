// Several threads decoding multipart bodies at once, each on its own streams,
// built with ThreadSanitizer: every coder keeps its state per call (or, for
// the block-size knob, per thread), so the outputs must equal those of a
// single-threaded run and TSan must report nothing.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "kernels.h"
#include "octafold.h"

namespace {

// A body of `parts` parts and a closing line, each part's text encoded by
// `coder`; CR LF line ends throughout when `crlf`.
template <typename Coder>
std::string multipart(unsigned seed, int parts, bool crlf, Coder coder) {
  std::string body;
  const std::string eol = crlf ? "\r\n" : "\n";
  for (int p = 0; p < parts; ++p) {
    std::string raw;
    unsigned x = seed * 7919U + static_cast<unsigned>(p);
    const std::size_t len = 1000U + (x % 7U) * 30000U;
    for (std::size_t i = 0; i < len; ++i) {
      x = x * 1103515245U + 12345U;
      raw.push_back(i % 61 == 60 ? '\n' : static_cast<char>("ab -=\r\txyz\x80"[(x >> 16) % 11]));
    }
    std::string text = fuzz::run(raw, coder);
    if (crlf) {
      std::string t;
      for (const char c : text) {
        if (c == '\n') t += '\r';
        t += c;
      }
      text = t;
    }
    body += text + "--b" + eol;
  }
  return body + "--b--" + eol + "epilogue" + eol;
}

// Decodes every part of `body` in turn, as a multipart reader does, on a
// memory stream or a temporary file, and returns the parts joined by "|".
std::string decode_all(const std::string &body, bool qp, int portable, bool file,
                       std::size_t block) {
  octafold::set_block_size(block);  // per thread: other threads keep theirs
  FILE *in = nullptr;
  if (file) {
    in = std::tmpfile();
    std::fwrite(body.data(), 1, body.size(), in);
    std::rewind(in);
  } else {
    in = fmemopen(const_cast<char *>(body.data()), body.size(), "r");
  }
  const char *const list[] = {"--b"};
  int count = 1;
  fuzz::Output out;
  while (count == 1 && !std::feof(in)) {
    if (qp) {
      fromqp(in, out.get(), list, &count);
    } else {
      from64(in, out.get(), list, &count, portable);
    }
    std::fputc('|', out.get());
  }
  // The rest, without a list: the block paths with this thread's block size.
  if (qp) {
    fromqp(in, out.get(), nullptr, nullptr);
  } else {
    from64(in, out.get(), nullptr, nullptr, portable);
  }
  std::fclose(in);
  return out.text();
}

struct Job {
  std::string body;
  bool qp;
  int portable;
  bool file;
  std::size_t block;
  std::string want;
  std::string got;
};

}  // namespace

int main() {
  std::vector<Job> jobs;
  for (unsigned seed = 0; seed < 8; ++seed) {
    const bool qp = seed % 2 == 1;
    const bool crlf = seed % 4 >= 2;
    const std::string body = qp ? multipart(seed, 4, crlf, [](FILE *i, FILE *o) { toqp(i, o); })
                                : multipart(seed, 4, crlf, [&](FILE *i, FILE *o) {
                                    to64(i, o, static_cast<int>(seed % 3 == 0));
                                  });
    for (int portable = 0; portable < 2; ++portable) {
      if (qp && portable == 1) continue;  // no portable mode for QP
      jobs.push_back({body, qp, portable, seed % 3 == 1, 1U + seed * 997U, {}, {}});
    }
  }
  for (Job &j : jobs) j.want = decode_all(j.body, j.qp, j.portable, j.file, j.block);
  // Each job runs in three threads at once, and all jobs together.
  std::vector<Job> copies;
  for (int r = 0; r < 3; ++r) copies.insert(copies.end(), jobs.begin(), jobs.end());
  std::vector<std::thread> threads;
  for (Job &j : copies) {
    threads.emplace_back([&j] { j.got = decode_all(j.body, j.qp, j.portable, j.file, j.block); });
  }
  for (std::thread &t : threads) t.join();
  int failures = 0;
  for (const Job &j : copies) {
    if (j.got != j.want) {
      std::fprintf(stderr, "%s portable %d %s: threaded output differs\n",
                   j.qp ? "fromqp" : "from64", j.portable, j.file ? "tmpfile" : "fmemopen");
      ++failures;
    }
  }
  std::printf("%zu decodings in %zu threads, %d differing\n", copies.size(), threads.size(),
              failures);
  return failures == 0 ? 0 : 1;
}
