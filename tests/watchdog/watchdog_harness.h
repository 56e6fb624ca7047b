// Runs idlewatch as a user would, with real processes: standard output is a
// regular file in a private directory, standard error is captured, and the
// test process adopts whatever the watchdog leaves behind (it is made a
// child subreaper), so applications that outlive the watchdog can be
// examined and are always cleaned up.
#ifndef OCTAFOLD_TESTS_WATCHDOG_HARNESS_H
#define OCTAFOLD_TESTS_WATCHDOG_HARNESS_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace watchdog_test {

constexpr int kTimedOut = -1;

struct Result {
  int status = kTimedOut;     // exit status; 128 + N when ended by signal N
  std::string err;            // everything written to standard error
  double seconds = 0;         // from the start of the run to the exit
  std::int64_t ended_ns = 0;  // CLOCK_MONOTONIC when the exit was seen
};

std::int64_t monotonic_ns();

class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox &) = delete;
  Sandbox &operator=(const Sandbox &) = delete;

  std::string path(const std::string &name) const { return dir_ + "/" + name; }

  // Runs argv[0] with argv and a fresh, empty standard output file. `meanwhile`
  // runs in the test process once the program has started and gets its pid.
  // After `timeout` seconds the program is killed and the status is kTimedOut.
  Result run(const std::vector<std::string> &argv, const std::function<void(pid_t)> &meanwhile = {},
             double timeout = 30) const;

  // Waits up to `timeout` seconds for a file that an application writes.
  std::string wait_for_file(const std::string &name, double timeout = 10) const;

  // Waits for the adopted process `pid` to end; returns its wait status or
  // kTimedOut (the process is then killed).
  int wait_adopted(pid_t pid, double timeout = 10) const;

 private:
  std::string dir_;
};

// For tests that start idlewatch hundreds of times: the sanitizer build's
// leak check at every exit dominates their run time, while idlewatch
// allocates nothing. The tests that start it a few times keep the check.
void skip_leak_check_in_children();

// Processes whose parent is the test process (running or zombie).
std::vector<pid_t> adopted_processes();

// {idlewatch, limit, watchdog_app, actions...}
std::vector<std::string> watch(const std::string &limit, const std::vector<std::string> &actions);

// {watchdog_app, launcher actions..., exec, idlewatch, limit, watchdog_app, actions...}
std::vector<std::string> launch(const std::vector<std::string> &launcher_actions,
                                const std::string &limit, const std::vector<std::string> &actions);

std::vector<std::string> app(const std::vector<std::string> &actions);

const std::string &idle_message();

}  // namespace watchdog_test

#endif
