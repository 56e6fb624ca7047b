#include "support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "streams.h"

namespace testing_support {
namespace {

std::string slurp(FILE *f) {
  std::string s;
  std::rewind(f);
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  return s;
}

FILE *tmp_with(const std::string &data) {
  FILE *f = std::tmpfile();
  if (f == nullptr) throw std::runtime_error("tmpfile failed");
  std::fwrite(data.data(), 1, data.size(), f);
  std::rewind(f);
  return f;
}

}  // namespace

Outcome call_coder(const std::string &input, const std::function<void(FILE *, FILE *)> &coder) {
  FILE *in = tmp_with(input);
  FILE *out = std::tmpfile();
  FILE *err = std::tmpfile();
  streams::with_stderr_to(err, [&] {
    coder(in, out);
    std::fflush(out);
  });
  Outcome o;
  // What the coder left unread: the stream's own buffer first, then the file.
  int c;
  while ((c = std::getc(in)) != EOF) o.rest.push_back(static_cast<char>(c));
  o.out = slurp(out);
  o.err = slurp(err);
  std::fclose(in);
  std::fclose(out);
  std::fclose(err);
  return o;
}

Outcome run_program(const std::vector<std::string> &argv, const std::string &input,
                    const std::string &cwd) {
  FILE *in = tmp_with(input);
  FILE *out = std::tmpfile();
  FILE *err = std::tmpfile();
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fileno(in), 0);
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  Outcome o;
  o.out = slurp(out);
  o.err = slurp(err);
  o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::fclose(in);
  std::fclose(out);
  std::fclose(err);
  return o;
}

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

void write_file(const std::string &path, const std::string &data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << data;
}

std::string make_temp_dir() {
  const char *base = std::getenv("TMPDIR");
  std::string templ = std::string(base != nullptr ? base : "/tmp") + "/octafold-test-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return templ;
}

std::string random_bytes(std::mt19937 &rng, std::size_t length, const std::string &favoured,
                         double favoured_share) {
  std::bernoulli_distribution pick_favoured(favoured.empty() ? 0.0 : favoured_share);
  std::uniform_int_distribution<std::size_t> which(0, favoured.empty() ? 0 : favoured.size() - 1);
  std::uniform_int_distribution<int> any(0, 255);
  std::string s;
  s.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    s.push_back(pick_favoured(rng) ? favoured[which(rng)] : static_cast<char>(any(rng)));
  }
  return s;
}

}  // namespace testing_support
