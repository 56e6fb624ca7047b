#include "watchdog_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support.h"

namespace watchdog_test {
namespace {

constexpr double kNsPerSecond = 1e9;
constexpr int kExecFailed = 127;
constexpr int kSignalBase = 128;
constexpr long kPollStepNs = 200000;  // fallback when pidfd_open is missing

std::string slurp(const std::string &path) { return testing_support::read_file(path); }

int open_or_throw(const std::string &path, int flags) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  return fd;
}

// Waits for child `pid` to end within `timeout` seconds; kills it otherwise.
// Returns the wait status, or kTimedOut.
int wait_child(pid_t pid, double timeout) {
  const std::int64_t deadline = monotonic_ns() + static_cast<std::int64_t>(timeout * kNsPerSecond);
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  int status = 0;
  for (;;) {
    const pid_t got = waitpid(pid, &status, WNOHANG);
    if (got == pid) break;
    if (got < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
    const std::int64_t left = deadline - monotonic_ns();
    if (left <= 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      status = kTimedOut;
      break;
    }
    if (pidfd >= 0) {
      pollfd p{pidfd, POLLIN, 0};
      poll(&p, 1, static_cast<int>(left / 1000000 + 1));
    } else {
      const timespec step{0, kPollStepNs};
      nanosleep(&step, nullptr);
    }
  }
  if (pidfd >= 0) close(pidfd);
  return status;
}

int exit_status(int wait_status) {
  if (wait_status == kTimedOut) return kTimedOut;
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : kSignalBase + WTERMSIG(wait_status);
}

void append(std::vector<std::string> &to, const std::vector<std::string> &words) {
  to.insert(to.end(), words.begin(), words.end());
}

}  // namespace

std::int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000000LL + now.tv_nsec;
}

Sandbox::Sandbox() : dir_(testing_support::make_temp_dir()) {
  prctl(PR_SET_CHILD_SUBREAPER, 1L, 0L, 0L, 0L);
}

Sandbox::~Sandbox() {
  for (const pid_t pid : adopted_processes()) kill(pid, SIGKILL);
  while (waitpid(-1, nullptr, 0) > 0) {
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

Result Sandbox::run(const std::vector<std::string> &argv,
                    const std::function<void(pid_t)> &meanwhile, double timeout) const {
  const int in = open_or_throw("/dev/null", O_RDONLY);
  const int out = open_or_throw(path("stdout"), O_WRONLY | O_CREAT | O_TRUNC);
  const int err = open_or_throw(path("stderr"), O_WRONLY | O_CREAT | O_TRUNC);
  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  const std::int64_t started = monotonic_ns();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    execv(args[0], args.data());
    _exit(kExecFailed);
  }
  close(in);
  close(out);
  close(err);
  if (pid < 0) throw std::runtime_error("fork failed");
  if (meanwhile) meanwhile(pid);
  const int wait_status = wait_child(pid, timeout);
  Result r;
  r.ended_ns = monotonic_ns();
  r.status = exit_status(wait_status);
  r.seconds = static_cast<double>(r.ended_ns - started) / kNsPerSecond;
  r.err = slurp(path("stderr"));
  return r;
}

std::string Sandbox::wait_for_file(const std::string &name, double timeout) const {
  const std::int64_t deadline = monotonic_ns() + static_cast<std::int64_t>(timeout * kNsPerSecond);
  for (;;) {
    const std::string text = slurp(path(name));
    if (!text.empty() || monotonic_ns() > deadline) return text;
    const timespec step{0, 5000000};
    nanosleep(&step, nullptr);
  }
}

int Sandbox::wait_adopted(pid_t pid, double timeout) const { return wait_child(pid, timeout); }

void skip_leak_check_in_children() {
  const char *options = std::getenv("ASAN_OPTIONS");
  const std::string base = options != nullptr ? std::string(options) + ":" : "";
  setenv("ASAN_OPTIONS", (base + "detect_leaks=0").c_str(), 1);
}

std::vector<pid_t> adopted_processes() {
  std::vector<pid_t> found;
  const std::string me = std::to_string(getpid());
  for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream status(entry.path() / "status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("PPid:", 0) != 0) continue;
      std::istringstream fields(line.substr(5));
      std::string ppid;
      fields >> ppid;
      if (ppid == me) found.push_back(static_cast<pid_t>(std::stol(name)));
      break;
    }
  }
  return found;
}

std::vector<std::string> app(const std::vector<std::string> &actions) {
  std::vector<std::string> argv{WATCHDOG_APP};
  append(argv, actions);
  return argv;
}

std::vector<std::string> watch(const std::string &limit, const std::vector<std::string> &actions) {
  std::vector<std::string> argv{IDLEWATCH_BIN, limit};
  append(argv, app(actions));
  return argv;
}

std::vector<std::string> launch(const std::vector<std::string> &launcher_actions,
                                const std::string &limit, const std::vector<std::string> &actions) {
  std::vector<std::string> argv = app(launcher_actions);
  argv.emplace_back("exec");
  append(argv, watch(limit, actions));
  return argv;
}

const std::string &idle_message() {
  static const std::string text = "\nMAX IDLE TIME REACHED.\n";
  return text;
}

}  // namespace watchdog_test
