// idlewatch's command line, start-up failures and the statuses it passes on.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "support.h"
#include "watchdog_harness.h"

namespace watchdog_test {
namespace {

const std::string kIdlewatch = IDLEWATCH_BIN;

TEST(IdlewatchUsage, FewerThanTwoArgumentsPrintUsage) {
  Sandbox box;
  for (const auto &argv : std::vector<std::vector<std::string>>{{kIdlewatch}, {kIdlewatch, "5"}}) {
    const Result r = box.run(argv);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "usage: " + kIdlewatch + " max-idle-time application command line...\n");
    EXPECT_EQ(testing_support::read_file(box.path("stdout")), "");
  }
}

struct ExecFailure {
  std::string application;
  int error;
};

TEST(IdlewatchExec, FailureTextThenSystemTextOnItsOwnLine) {
  Sandbox box;
  testing_support::write_file(box.path("not-executable"), "#!/bin/sh\nexit 0\n");
  const std::vector<ExecFailure> cases = {
      {"/nonexistent/application", ENOENT},
      {"idlewatch-test-no-such-command", ENOENT},
      {box.path("not-executable"), EACCES},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.application);
    const Result r = box.run({kIdlewatch, "5", c.application, "arg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kIdlewatch + ": failed to exec application " + c.application +
                         "\n: " + std::strerror(c.error) + "\n");
  }
}

TEST(IdlewatchExec, OverlongTextIsCutAndKeepsItsLineEnd) {
  Sandbox box;
  const std::string application = "/" + std::string(3000, 'a');
  const Result r = box.run({kIdlewatch, "5", application});
  EXPECT_EQ(r.status, 1);
  const std::string prefix = kIdlewatch + ": failed to exec application /aaa";
  const std::size_t line_end = r.err.find('\n');
  ASSERT_NE(line_end, std::string::npos);
  EXPECT_EQ(r.err.substr(0, prefix.size()), prefix);
  // 512 bytes of message buffer: 510 characters, the newline and the NUL.
  EXPECT_EQ(line_end, 510U);
  EXPECT_EQ(r.err.substr(line_end - 3),
            "...\n: " + std::string(std::strerror(ENAMETOOLONG)) + "\n");
}

// Wherever the buffer's end falls inside a character of one to four bytes,
// the text before "..." is the longest prefix of whole UTF-8 characters that
// fits in the 507 bytes left before "...\n" and the NUL.
TEST(IdlewatchExec, OverlongTextIsCutAtAWholeUtf8Character) {
  constexpr std::size_t kRoom = 507;
  const std::string tail = std::string("...\n: ") + std::strerror(ENAMETOOLONG) + "\n";
  Sandbox box;
  for (const std::string character : {"\xc3\xa9", "\xe2\x82\xac", "\xf0\x9d\x84\x9e"}) {
    for (std::size_t shift = 0; shift < 4; ++shift) {
      std::string application(shift + 1, 'x');
      application[0] = '/';
      while (application.size() < 1200) application += character;
      SCOPED_TRACE(testing::Message() << character.size() << "-byte characters, shift " << shift);
      const Result r = box.run({kIdlewatch, "5", application});
      EXPECT_EQ(r.status, 1);
      const std::string full = kIdlewatch + ": failed to exec application " + application;
      const std::size_t cut = r.err.find("...\n");
      ASSERT_NE(cut, std::string::npos) << r.err;
      EXPECT_EQ(r.err.substr(cut), tail);
      EXPECT_EQ(r.err.substr(0, cut), full.substr(0, cut));
      EXPECT_LE(cut, kRoom);
      EXPECT_GT(cut + character.size(), kRoom);
      EXPECT_NE(static_cast<unsigned char>(full[cut]) & 0xC0U, 0x80U) << "cut inside a character";
    }
  }
}

// A user allowed a single process cannot fork the application. The leak
// check is off because its tracer thread would count as a second process.
TEST(IdlewatchFork, FailureTextThenSystemText) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  skip_leak_check_in_children();
  Sandbox box;
  const Result r = box.run(launch({"one-process"}, "5", {"exit", "0"}));
  if (r.err.rfind("watchdog_app:", 0) == 0) GTEST_SKIP() << r.err;  // nobody has processes here
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, kIdlewatch +
                       ": failed to fork to create application\n: " + std::strerror(EAGAIN) + "\n");
}

TEST(IdlewatchStatus, EveryExitCodeIsPassedOn) {
  skip_leak_check_in_children();
  Sandbox box;
  for (int code = 0; code <= 255; ++code) {
    const Result r = box.run(watch("5", {"exit", std::to_string(code)}));
    ASSERT_EQ(r.status, code);
    ASSERT_EQ(r.err, "");
  }
}

TEST(IdlewatchStatus, EndingSignalBecomesTheStatus) {
  Sandbox box;
  for (const int signo : {SIGHUP, SIGINT, SIGQUIT, SIGABRT, SIGKILL, SIGUSR1, SIGSEGV, SIGUSR2,
                          SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGRTMIN, SIGRTMAX}) {
    SCOPED_TRACE(strsignal(signo));
    const Result r = box.run(watch("5", {"signal", std::to_string(signo)}));
    EXPECT_EQ(r.status, signo);
    EXPECT_EQ(r.err, "");
  }
}

// A SIGALRM from outside ends the wait early. With a limit of 0 or less no
// timer runs and that check finds the limit reached; a positive limit (here
// at least 2, as the application ends after 1.5 s) lets the application run.
TEST(IdlewatchLimit, TextIsReadAsALeadingNumber) {
  struct Case {
    std::string limit;
    bool stops_at_once;
  };
  const std::vector<Case> cases = {
      {"0", true},    {"", true},      {"abc", true},  {"-5", true},
      {" -1", true},  {"x10", true},   {"10s", false}, {" 10", false},
      {"+10", false}, {"10.9", false}, {"2", false},   {"99999999999", false},
  };
  Sandbox box;
  for (const auto &c : cases) {
    SCOPED_TRACE("limit \"" + c.limit + "\"");
    std::remove(box.path("app.pid").c_str());
    const Result r =
        box.run(watch(c.limit, {"pid", box.path("app.pid"), "sleep", "1500", "exit", "3"}),
                [&](pid_t watchdog) {
                  box.wait_for_file("app.pid");
                  kill(watchdog, SIGALRM);
                });
    if (c.stops_at_once) {
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.err, idle_message());
      EXPECT_LT(r.seconds, 1.0);
    } else {
      EXPECT_EQ(r.status, 3);
      EXPECT_EQ(r.err, "");
    }
  }
}

// Children the process had before it became the watchdog are collected and
// discarded; the application's own end is never confused with theirs.
TEST(IdlewatchChildren, EarlierChildEndingDuringSupervisionIsDiscarded) {
  Sandbox box;
  const Result r = box.run(launch({"spawn", "300", "42"}, "5", {"sleep", "1000", "exit", "7"}));
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(r.err, "");
  EXPECT_LT(r.seconds, 2.5);
}

// The earlier child is already a zombie and its SIGCHLD went to the launcher,
// so the application's SIGCHLD is the first the watchdog sees; collecting one
// child per signal would take the zombie and notice the application only at
// the deadline.
TEST(IdlewatchChildren, EarlierZombieDoesNotHideTheApplicationsEnd) {
  Sandbox box;
  for (int i = 0; i < 5; ++i) {
    const Result r = box.run(launch({"spawn-zombie"}, "5", {"sleep", "100", "exit", "7"}), {}, 10);
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.err, "");
    EXPECT_LT(r.seconds, 2.0);
  }
}

TEST(IdlewatchChildren, ApplicationsOwnChildrenAreNotWaitedFor) {
  Sandbox box;
  const Result r = box.run(watch("5", {"spawn", "3000", "0", "exit", "6"}));
  EXPECT_EQ(r.status, 6);
  EXPECT_LT(r.seconds, 1.5);
}

TEST(IdlewatchChildren, ApplicationClosingItsStandardOutputStillReportsItsEnd) {
  Sandbox box;
  const Result r = box.run(watch("5", {"close-stdout", "sleep", "100", "exit", "4"}));
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err, "");
}

// The launcher's signal state must not blind the watchdog (it still sees the
// application's end and its own timer), and the application gets that state
// back: the blocked mask and ignored dispositions it would have had if
// started directly.
TEST(IdlewatchInheritedSignals, BlockedOrIgnoredAtStart) {
  struct Case {
    std::vector<std::string> launcher;
    std::string seen_by_application;
  };
  const std::string chld = std::to_string(SIGCHLD);
  const std::string alrm = std::to_string(SIGALRM);
  const std::string intr = std::to_string(SIGINT);
  const std::string quit = std::to_string(SIGQUIT);
  const std::string pipe = std::to_string(SIGPIPE);
  const std::string ttou = std::to_string(SIGTTOU);
  const std::vector<Case> cases = {
      {{}, "blocked; ignored\n"},
      {{"block", chld}, "blocked CHLD; ignored\n"},
      {{"block", alrm}, "blocked ALRM; ignored\n"},
      {{"ignore", chld}, "blocked; ignored CHLD\n"},
      {{"ignore", alrm}, "blocked; ignored ALRM\n"},
      {{"block", chld, "block", alrm, "ignore", chld}, "blocked CHLD ALRM; ignored CHLD\n"},
      // The watchdog blocks and ignores these for itself (a script's `&`
      // hands it SIGINT and SIGQUIT ignored already).
      {{"ignore", intr, "ignore", quit}, "blocked; ignored INT QUIT\n"},
      {{"block", intr, "block", quit}, "blocked INT QUIT; ignored\n"},
      {{"ignore", pipe, "block", ttou}, "blocked TTOU; ignored PIPE\n"},
      {{"block", pipe, "ignore", ttou}, "blocked PIPE; ignored TTOU\n"},
  };
  Sandbox box;
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.launcher));
    const Result ended =
        box.run(launch(c.launcher, "0", {"signals", box.path("signals"), "exit", "9"}), {}, 10);
    EXPECT_EQ(ended.status, 9);
    EXPECT_EQ(testing_support::read_file(box.path("signals")), c.seen_by_application);
    const Result idle = box.run(launch(c.launcher, "1", {"sleep", "10000"}), {}, 10);
    EXPECT_EQ(idle.status, 0);
    EXPECT_EQ(idle.err, idle_message());
  }
}

}  // namespace
}  // namespace watchdog_test
