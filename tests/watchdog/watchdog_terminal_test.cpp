// idlewatch on a real pseudo-terminal and with a standard error that cannot
// be written: its own messages never end or stop it, and the keys typed at
// the terminal are for the application.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "support.h"
#include "watchdog_harness.h"

namespace watchdog_test {
namespace {

const std::string kIdlewatch = IDLEWATCH_BIN;
constexpr double kRunTimeout = 10;

// The test holds the master end, and the slave end too (never as its
// controlling terminal), so what was written there stays readable after the
// session on it has gone.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      throw std::runtime_error("no pseudo-terminal");
    }
    name_ = ptsname(master_);
    slave_ = open(name_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) throw std::runtime_error("cannot open " + name_);
  }
  ~Pty() {
    close(slave_);
    close(master_);
  }
  Pty(const Pty &) = delete;
  Pty &operator=(const Pty &) = delete;

  const std::string &name() const { return name_; }

  // Types the terminal's character for `key` (VINTR, VQUIT), which makes the
  // terminal signal its foreground process group.
  void type(int key) const {
    termios mode{};
    ASSERT_EQ(tcgetattr(slave_, &mode), 0);
    const cc_t c = mode.c_cc[key];
    ASSERT_EQ(write(master_, &c, 1), 1);
  }

  // What was written to the terminal, once nothing more comes for 200 ms.
  std::string output() const {
    std::string text;
    char buf[256];
    pollfd p{master_, POLLIN, 0};
    while (poll(&p, 1, 200) > 0) {
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) break;
      text.append(buf, static_cast<std::size_t>(n));
    }
    return text;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string name_;
};

void expect_ended_by_sigint(const Sandbox &box) {
  const pid_t application = std::stoi(box.wait_for_file("app.pid"));
  const int status = box.wait_adopted(application);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGINT);
}

// The watchdog runs in a background process group of the session, as `&` or
// an interactive shell's job control puts it. Were SIGTTOU to stop it (or
// the created process reporting a failed exec) at its message, the launcher
// would end with 121 and the application run on.
TEST(IdlewatchTerminal, TostopInTheBackgroundStopsNeitherWatchdogNorApplication) {
  struct Case {
    const char *name;
    std::vector<std::string> words;  // after the limit
    int status;
    std::string shown;  // the terminal turns LF into CR LF
  };
  const std::string missing = "/nonexistent/application";
  const std::vector<Case> cases = {
      {"idle stop",
       {app({}).front(), "pid", "@pid", "sleep", "20000"},
       0,
       "\r\nMAX IDLE TIME REACHED.\r\n"},
      {"exec failure",
       {missing},
       1,
       kIdlewatch + ": failed to exec application " + missing + "\r\n: " + std::strerror(ENOENT) +
           "\r\n"},
      {"usage", {}, 1, "usage: " + kIdlewatch + " max-idle-time application command line...\r\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Pty pty;
    Sandbox box;
    std::vector<std::string> argv =
        app({"tty", pty.name(), "tostop", "background", "exec", kIdlewatch});
    if (!c.words.empty()) argv.emplace_back("1");
    for (const auto &w : c.words) argv.push_back(w == "@pid" ? box.path("app.pid") : w);
    const Result r = box.run(argv, {}, kRunTimeout);
    EXPECT_EQ(r.status, c.status);
    if (r.status != c.status) continue;
    EXPECT_EQ(pty.output(), c.shown);
    if (c.status == 0) expect_ended_by_sigint(box);
  }
}

// The watchdog leads the session in the terminal's foreground group, with
// the application: a typed key signals both, and only the application may
// decide what it means.
TEST(IdlewatchTerminal, KeyboardSignalsAreTheApplicationsToDecide) {
  struct Case {
    const char *name;
    int key;
    std::vector<std::string> actions;
    int status;
    std::string noted;
  };
  const std::string intr = std::to_string(SIGINT);
  const std::string quit = std::to_string(SIGQUIT);
  const std::vector<Case> cases = {
      {"Ctrl-C, the application exits 5 on SIGINT",
       VINTR,
       {"on", intr, "5", "sleep", "20000"},
       5,
       ""},
      {"Ctrl-C, the application catches it and goes on",
       VINTR,
       {"sleep", "1500", "exit", "3"},
       3,
       "SIGINT\n"},
      {"Ctrl-\\, the application exits 6 on SIGQUIT",
       VQUIT,
       {"on", quit, "6", "sleep", "20000"},
       6,
       ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Pty pty;
    Sandbox box;
    std::vector<std::string> actions{"note-int", box.path("note"), "pid", box.path("app.pid")};
    actions.insert(actions.end(), c.actions.begin(), c.actions.end());
    const Result r = box.run(
        launch({"tty", pty.name()}, "30", actions),
        [&](pid_t) {
          box.wait_for_file("app.pid");
          pty.type(c.key);
        },
        kRunTimeout);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(testing_support::read_file(box.path("note")), c.noted);
  }
}

// Standard error a pipe whose reader has gone or has stopped reading, or a
// full device: every message fails, and each run still ends as if it had
// been written.
TEST(IdlewatchStderr, UnwritableMessagesChangeNothing) {
  struct Case {
    const char *name;
    std::vector<std::string> argv;
    int status;
    bool interrupts;  // an idle stop: the application must get its SIGINT
  };
  skip_leak_check_in_children();  // the fork case runs as a user allowed one process
  Sandbox box;
  const std::vector<std::string> idle{"pid", box.path("app.pid"), "sleep", "20000"};
  const std::vector<std::string> exec_idlewatch{"exec", kIdlewatch, "5"};
  auto failing = [&](std::vector<std::string> launcher, const std::vector<std::string> &rest) {
    launcher.insert(launcher.end(), exec_idlewatch.begin(), exec_idlewatch.end());
    launcher.insert(launcher.end(), rest.begin(), rest.end());
    return app(launcher);
  };
  const std::vector<Case> cases = {
      {"idle stop, no reader", launch({"stderr-no-reader"}, "1", idle), 0, true},
      {"idle stop, full device", launch({"stderr", "/dev/full"}, "1", idle), 0, true},
      {"idle stop, reader stalled", launch({"stderr-stalled"}, "1", idle), 0, true},
      {"exec failure, no reader", failing({"stderr-no-reader"}, {"/nonexistent/application"}), 1,
       false},
      {"exec failure, full device", failing({"stderr", "/dev/full"}, {"/nonexistent/application"}),
       1, false},
      {"usage, no reader", failing({"stderr-no-reader"}, {}), 1, false},
      {"fork failure, no reader", failing({"one-process", "stderr-no-reader"}, {"true"}), 1, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(box.path("app.pid").c_str());
    const Result r = box.run(c.argv, {}, kRunTimeout);
    if (r.err.rfind("watchdog_app:", 0) == 0) {  // one-process needs root and a free user
      std::printf("skipped %s: %s", c.name, r.err.c_str());
      continue;
    }
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, "");
    if (c.interrupts && r.status == 0) expect_ended_by_sigint(box);
  }
}

}  // namespace
}  // namespace watchdog_test
