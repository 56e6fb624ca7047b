// Many short runs: no application's end may be lost or confused, whatever
// moment of the watchdog's start-up it falls into.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>

#include "support.h"
#include "watchdog_harness.h"

namespace watchdog_test {
namespace {

// A limit of 0 arms no timer: an end the watchdog missed would leave it
// waiting until the run's timeout.
TEST(IdlewatchStress, ThousandShortApplicationsNoStatusLostNoZombieLeft) {
  skip_leak_check_in_children();
  Sandbox box;
  for (int i = 0; i < 1000; ++i) {
    const int code = i % 256;
    const Result r = box.run(watch("0", {"exit", std::to_string(code)}), {}, 10);
    ASSERT_EQ(r.status, code) << "run " << i;
    ASSERT_EQ(r.err, "") << "run " << i;
    // The watchdog collects its application before it exits; one left
    // uncollected would have been handed to this (subreaper) process.
    ASSERT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "run " << i;
    ASSERT_EQ(errno, ECHILD);
  }
}

// Ends spread over the first milliseconds, by exit and by signal, so that
// some land before the watchdog has finished starting.
TEST(IdlewatchStress, QuickApplicationsEndingAtEveryMomentOfStartUp) {
  skip_leak_check_in_children();
  Sandbox box;
  const int signals[] = {SIGTERM, SIGKILL, SIGUSR1, SIGHUP};
  for (int i = 0; i < 200; ++i) {
    const std::string delay = std::to_string(i % 4);
    const bool by_signal = i % 3 == 0;
    const int expected = by_signal ? signals[i % 4] : (i * 7) % 256;
    const Result r = box.run(
        watch("2", {"sleep", delay, by_signal ? "signal" : "exit", std::to_string(expected)}), {},
        10);
    ASSERT_EQ(r.status, expected) << "run " << i;
    ASSERT_EQ(r.err, "") << "run " << i;
  }
}

// The watchdog should leave as soon as its application has ended: the delay
// from the application's last act to the watchdog's exit, over 100 runs.
TEST(IdlewatchStress, ExitFollowsTheApplicationsEndPromptly) {
  skip_leak_check_in_children();
  Sandbox box;
  std::vector<double> delays;
  for (int i = 0; i < 100; ++i) {
    const Result r = box.run(watch("5", {"sleep", "10", "stamp", box.path("stamp"), "exit", "0"}));
    ASSERT_EQ(r.status, 0);
    const std::int64_t stamp = std::stoll(testing_support::read_file(box.path("stamp")));
    delays.push_back(static_cast<double>(r.ended_ns - stamp) / 1e6);
  }
  std::sort(delays.begin(), delays.end());
  const double median = (delays[49] + delays[50]) / 2;
  std::printf("exit delay over %zu runs: median %.3f ms, max %.3f ms\n", delays.size(), median,
              delays.back());
  RecordProperty("median_ms", std::to_string(median));
  RecordProperty("max_ms", std::to_string(delays.back()));
  EXPECT_LT(delays.back(), 500.0);
}

}  // namespace
}  // namespace watchdog_test
