// The idle limit: when idlewatch stops an application, and when it must not.
// Standard output is a regular file whose access time the application sets
// itself (futimens), so nothing here depends on mount options.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <ostream>

#include "support.h"
#include "watchdog_harness.h"

namespace watchdog_test {
namespace {

// Whole seconds: a deadline is met up to one second late, and the access
// deadline up to one second early (access times are truncated). Scheduling on
// a loaded machine gets another half second.
constexpr double kSlack = 0.5;

struct IdleCase {
  const char *name;
  std::string limit;
  std::vector<std::string> actions;
  double earliest;  // seconds after the start
  double latest;
};

void PrintTo(const IdleCase &c, std::ostream *os) { *os << c.name; }

class IdleStop : public testing::TestWithParam<IdleCase> {};

TEST_P(IdleStop, MessageSigintAndStatusZeroNearTheDeadline) {
  const IdleCase &c = GetParam();
  Sandbox box;
  std::vector<std::string> actions{"pid", box.path("app.pid")};
  actions.insert(actions.end(), c.actions.begin(), c.actions.end());
  actions.insert(actions.end(), {"sleep", "20000"});
  const Result r = box.run(watch(c.limit, actions));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, idle_message());
  EXPECT_GE(r.seconds, c.earliest);
  EXPECT_LE(r.seconds, c.latest + kSlack);
  // The application, adopted by the test once the watchdog has gone, ends by
  // the SIGINT it was sent.
  const pid_t application = std::stoi(box.wait_for_file("app.pid"));
  const int status = box.wait_adopted(application);
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGINT);
}

INSTANTIATE_TEST_SUITE_P(
    Idlewatch, IdleStop,
    testing::Values(IdleCase{"Untouched", "2", {}, 2.0, 3.0},
                    // The first max-idle-time seconds are granted whatever the access time.
                    IdleCase{"AccessOlderThanStart", "2", {"atime", "-100"}, 2.0, 3.0},
                    IdleCase{"AccessInTheFuture", "1", {"atime", "2"}, 2.0, 4.0},
                    // Touched every 0.2 s for 2 s: the deadline follows the last touch.
                    IdleCase{"ActivityThenSilence", "2", {"touch", "200", "2000"}, 2.8, 5.0},
                    // Its own descriptor 1 is the application's business; the watchdog's
                    // stays open.
                    IdleCase{"ApplicationClosesStandardOutput", "1", {"close-stdout"}, 1.0, 2.0}),
    testing_support::RowName{});

TEST(IdlewatchActivity, AccessWithinTheLimitKeepsTheApplicationRunning) {
  Sandbox box;
  const Result r = box.run(watch("2", {"touch", "200", "4000", "exit", "7"}));
  EXPECT_EQ(r.status, 7);
  EXPECT_EQ(r.err, "");
  EXPECT_GE(r.seconds, 4.0);
}

TEST(IdlewatchActivity, ApplicationIgnoringSigintOutlivesTheWatchdog) {
  Sandbox box;
  const Result r = box.run(
      watch("1", {"pid", box.path("app.pid"), "note-int", box.path("sigint"), "sleep", "20000"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, idle_message());
  EXPECT_EQ(box.wait_for_file("sigint"), "SIGINT\n");
  const pid_t application = std::stoi(box.wait_for_file("app.pid"));
  int status = 0;
  EXPECT_EQ(waitpid(application, &status, WNOHANG), 0) << "the application has ended";
}

// Without a status for descriptor 1 the last access counts as the start:
// the limit runs from the start and no activity can extend it.
TEST(IdlewatchActivity, ClosedStandardOutputCountsFromTheStart) {
  Sandbox box;
  const Result r = box.run(launch({"close-stdout"}, "1", {"touch", "100", "5000"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, idle_message());
  EXPECT_GE(r.seconds, 1.0);
  EXPECT_LE(r.seconds, 2.0 + kSlack);
}

// Each stop and continue of the application reaches the watchdog as SIGCHLD.
// Neither is an end, and the early checks they cause must re-arm the timer
// rather than stop the application before its time.
void stop_and_continue(const Sandbox &box, double seconds) {
  const pid_t application = std::stoi(box.wait_for_file("app.pid"));
  const std::int64_t until = monotonic_ns() + static_cast<std::int64_t>(seconds * 1e9);
  while (monotonic_ns() < until) {
    kill(application, SIGSTOP);
    usleep(2000);
    kill(application, SIGCONT);
    usleep(2000);
  }
}

TEST(IdlewatchStops, StormBeforeTheEndPassesTheStatusOn) {
  Sandbox box;
  const Result r = box.run(watch("3", {"pid", box.path("app.pid"), "sleep", "1500", "exit", "5"}),
                           [&](pid_t) { stop_and_continue(box, 1.0); });
  EXPECT_EQ(r.status, 5);
  EXPECT_EQ(r.err, "");
}

TEST(IdlewatchStops, StormBeforeTheDeadlineDoesNotStopEarly) {
  Sandbox box;
  const Result r = box.run(watch("2", {"pid", box.path("app.pid"), "sleep", "20000"}),
                           [&](pid_t) { stop_and_continue(box, 1.5); });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, idle_message());
  EXPECT_GE(r.seconds, 2.0);
  EXPECT_LE(r.seconds, 3.0 + kSlack);
}

}  // namespace
}  // namespace watchdog_test
