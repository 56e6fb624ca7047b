// idlewatch: runs an application as its child process and interrupts it with
// SIGINT once the last access to the standard output they share lies
// max-idle-time seconds or more in the past.
//
// Exit statuses:
//   1  fewer than two arguments (usage message); the application process
//      could not be created; the application could not be started (its
//      process reports the failure and ends with 1, which is passed on)
//   0  the idle limit was reached and SIGINT was sent to the application
//   n  the application exited with code n (0 to 255)
//   s  the application was ended by signal s (the core-dump bit is dropped)
//
// Signals: SIGCHLD and SIGALRM stay blocked in the watchdog except inside
// sigsuspend, so every check of app_running runs with the handlers held off
// and an end that arrives between two checks still ends the next wait.
// SIGINT and SIGQUIT are ignored by the watchdog: typed at a terminal they
// reach the application through the process group they share, and the
// application decides. The watchdog's own messages never end or stop it
// (SIGPIPE and SIGTTOU are ignored before each one). The application starts
// with the signal mask and dispositions the watchdog was given.

#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr int kStatusFailure = 1;
constexpr int kStatusIdle = 0;
constexpr std::size_t kMsgSize = 512;  // failure texts, terminating NUL included
// How long the idle message may wait for a reader that has stopped reading.
constexpr unsigned kMessageSeconds = 1;
constexpr char kDefaultName[] = "idlewatch";

// Shared with the handlers. app_pid is written once, with SIGCHLD blocked,
// before any end of the application can be collected.
volatile std::sig_atomic_t app_pid = 0;
volatile std::sig_atomic_t app_running = 0;
volatile std::sig_atomic_t app_exit_status = 0;

// What the watchdog was started with; the application gets it back.
struct OriginalSignals {
  sigset_t mask;
  struct sigaction chld;
  struct sigaction alrm;
};

// Collects every ended child without blocking: SIGCHLDs that arrive close
// together coalesce into one, so collecting one child per signal could lose
// the application's end. A child that is not the application (one the
// process had before it became the watchdog) is collected and discarded.
// Stops and continues are not reported without WUNTRACED/WCONTINUED.
// Touches app_running and app_exit_status (status first, so app_running at 0
// always comes with the status set); calls only waitpid, which is
// async-signal-safe.
void collect_ended_children() {
  int status = 0;
  pid_t pid = 0;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
    if (pid != app_pid) continue;
    if (WIFEXITED(status)) {
      app_exit_status = WEXITSTATUS(status);
      app_running = 0;
    } else if (WIFSIGNALED(status)) {
      app_exit_status = WTERMSIG(status);
      app_running = 0;
    }
  }
}

// SIGCHLD handler. Touches errno (saved and restored) and, through
// collect_ended_children, app_running and app_exit_status; every call in it
// (waitpid) is async-signal-safe.
void child(int /*signo*/) {
  const int saved_errno = errno;
  collect_ended_children();
  errno = saved_errno;
}

// SIGALRM handler. Touches nothing and calls nothing: catching the signal is
// enough to end sigsuspend.
void wakeup(int /*signo*/) {}

// Called before each message, the last thing its process does, so nothing
// is restored. With no reader on a pipe the write then fails with EPIPE
// instead of raising SIGPIPE, and a background write to a terminal in tostop
// mode goes through: the terminal raises SIGTTOU only when the writer neither
// ignores nor blocks it, and then for the writer's whole process group, the
// application included. A full device just fails; nothing is retried.
void shield_from_stderr_faults() {
  struct sigaction ignore {};
  sigemptyset(&ignore.sa_mask);
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, nullptr);
  sigaction(SIGTTOU, &ignore, nullptr);
}

constexpr bool is_utf8_continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0U) == 0x80U;
}

// snprintf cuts a long text at the buffer's end, wherever that falls: past
// the final newline and maybe inside a UTF-8 character. The cut moves back to
// the start of that character (three continuation bytes at most; a longer run
// is not UTF-8 anyway) and ends in "...\n", which keeps perror's system text
// on a line of its own.
void mark_if_cut(char (&msg)[kMsgSize], int written) {
  if (written >= 0 && static_cast<std::size_t>(written) < kMsgSize) return;
  static constexpr char kCut[] = "...\n";
  static_assert(sizeof kCut + 3 < kMsgSize);
  std::size_t end = kMsgSize - sizeof kCut;
  for (int back = 0; back < 3 && is_utf8_continuation(msg[end]); ++back) --end;
  std::memcpy(msg + end, kCut, sizeof kCut);
}

void check_usage(int argc, const char *name) {
  if (argc >= 3) return;
  shield_from_stderr_faults();
  std::fprintf(stderr, "usage: %s max-idle-time application command line...\n", name);
  std::exit(kStatusFailure);
}

// atoi's conversion (leading blanks, a sign, digits, anything after them
// ignored, no number at all giving 0), but a value out of range saturates
// instead of being undefined.
int parse_limit(const char *text) {
  const long value = std::strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// Blocks SIGCHLD and SIGALRM before the application exists, so that neither
// its end nor a timer can slip past a check, and installs the handlers. A
// parent may have started the watchdog with either signal blocked or
// ignored; the handlers replace an ignored disposition (which would also
// have reaped the application behind our back) and the wait unblocks both.
// SIGINT and SIGQUIT are blocked too, until ignore_keyboard_signals.
OriginalSignals take_over_signals(struct sigaction &sigact) {
  OriginalSignals original{};
  sigset_t watched{};
  sigemptyset(&watched);
  sigaddset(&watched, SIGCHLD);
  sigaddset(&watched, SIGALRM);
  sigaddset(&watched, SIGINT);
  sigaddset(&watched, SIGQUIT);
  sigprocmask(SIG_BLOCK, &watched, &original.mask);
  sigaction(SIGCHLD, nullptr, &original.chld);
  sigaction(SIGALRM, nullptr, &original.alrm);
  sigact.sa_handler = child;
  sigaction(SIGCHLD, &sigact, nullptr);
  sigact.sa_handler = wakeup;
  sigaction(SIGALRM, &sigact, nullptr);
  return original;
}

// In the created process: give the application the signal state the watchdog
// was started with, so running under the watchdog changes nothing for it. exec
// would reset our handlers to the default on its own, but an ignored SIGCHLD
// or SIGALRM of the parent would then be lost, and the mask would keep four
// signals blocked. SIGINT and SIGQUIT still have their original dispositions
// here (the watchdog ignores them only after the fork), and SIGPIPE and
// SIGTTOU are changed only before a message.
[[noreturn]] void exec_application(const char *name, char *const app_argv[],
                                   const OriginalSignals &original) {
  sigaction(SIGCHLD, &original.chld, nullptr);
  sigaction(SIGALRM, &original.alrm, nullptr);
  sigprocmask(SIG_SETMASK, &original.mask, nullptr);
  execvp(app_argv[0], app_argv);
  char msg[kMsgSize];
  mark_if_cut(msg, std::snprintf(msg, sizeof msg, "%s: failed to exec application %s\n", name,
                                 app_argv[0]));
  shield_from_stderr_faults();
  std::perror(msg);
  _exit(kStatusFailure);  // no atexit handlers or stream flushes inherited from the watchdog
}

// A keyboard signal that reaches the process group after the fork, while
// SIGINT and SIGQUIT are still blocked, is pending in both processes: the
// application's process meets it with the original disposition when it
// restores the mask, and here ignoring it discards it. So the application
// gets every one, and none ends the watchdog once the application exists.
// (One that came before the fork found no application yet and is discarded.)
void ignore_keyboard_signals(const sigset_t &original_mask) {
  struct sigaction ignore {};
  sigemptyset(&ignore.sa_mask);
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGINT, &ignore, nullptr);
  sigaction(SIGQUIT, &ignore, nullptr);
  sigset_t supervising = original_mask;
  sigaddset(&supervising, SIGCHLD);
  sigaddset(&supervising, SIGALRM);
  sigprocmask(SIG_SETMASK, &supervising, nullptr);
}

void start_application(const char *name, char *const app_argv[], const OriginalSignals &original) {
  const pid_t pid = fork();
  app_pid = pid;
  if (pid == 0) exec_application(name, app_argv, original);
  ignore_keyboard_signals(original.mask);
  if (pid > 0) return;
  char msg[kMsgSize];
  mark_if_cut(msg,
              std::snprintf(msg, sizeof msg, "%s: failed to fork to create application\n", name));
  shield_from_stderr_faults();
  std::perror(msg);
  std::exit(kStatusFailure);
}

// Seconds until the next deadline; 0 once the limit is reached. The start
// deadline comes first, so the first maxidle seconds are always granted;
// after it, the deadline follows the last access to standard output. Without
// a status for descriptor 1 (closed, say) the last access is taken to be the
// start.
int seconds_left(const timeval &start, int maxidle) {
  struct stat stbuf {};
  const bool have_status = fstat(STDOUT_FILENO, &stbuf) == 0;
  timeval now{};
  gettimeofday(&now, nullptr);
  std::time_t ttl = start.tv_sec + maxidle - now.tv_sec;
  // In whole seconds, an early check (a stop of the application, say) in the
  // last second before the start deadline would find it passed already.
  if (ttl == 0 && now.tv_usec < start.tv_usec) ttl = 1;
  if (ttl <= 0) {
    const std::time_t last_access = have_status ? stbuf.st_atim.tv_sec : start.tv_sec;
    ttl = last_access + maxidle - now.tv_sec;
  }
  if (ttl > INT_MAX) return INT_MAX;
  return ttl > 0 ? static_cast<int>(ttl) : 0;
}

[[noreturn]] void pass_on_exit_status() { std::exit(app_exit_status); }

// Runs with SIGCHLD blocked. An application that has ended since the last
// wait is collected here and its status passed on rather than signalled. One
// that ends after this collection stays an uncollected zombie until the
// watchdog exits, so its process id cannot have been reused when SIGINT
// arrives.
[[noreturn]] void stop_idle_application() {
  collect_ended_children();
  if (app_running == 0) pass_on_exit_status();
  shield_from_stderr_faults();
  // A reader that keeps standard error open but has stopped reading (a full
  // pipe) would block the message for good. The timer's SIGALRM, whose
  // handler is installed without SA_RESTART, ends such a write after
  // kMessageSeconds, and the application is stopped all the same.
  alarm(kMessageSeconds);
  sigset_t alrm;
  sigemptyset(&alrm);
  sigaddset(&alrm, SIGALRM);
  sigprocmask(SIG_UNBLOCK, &alrm, nullptr);
  std::fprintf(stderr, "\nMAX IDLE TIME REACHED.\n");
  kill(app_pid, SIGINT);
  std::exit(kStatusIdle);
}

// The wait unblocks SIGCHLD and SIGALRM atomically, whatever the mask the
// watchdog was started with; a signal that came during a check is pending
// and ends the wait at once. A limit of 0 or less arms no timer.
[[noreturn]] void supervise(int maxidle, const sigset_t &original_mask) {
  sigset_t wait_mask = original_mask;
  sigdelset(&wait_mask, SIGCHLD);
  sigdelset(&wait_mask, SIGALRM);
  timeval start{};
  gettimeofday(&start, nullptr);
  int ttl = maxidle;
  for (;;) {
    if (app_running == 0) pass_on_exit_status();
    alarm(ttl > 0 ? static_cast<unsigned>(ttl) : 0U);
    sigsuspend(&wait_mask);
    // Also reached early when the application stops or continues, another
    // child ends or a stray SIGALRM comes: the check then re-arms the timer.
    if (app_running == 0) pass_on_exit_status();
    ttl = seconds_left(start, maxidle);
    if (ttl <= 0) stop_idle_application();
  }
}

}  // namespace

int main(int argc, char *argv[]) {
  struct sigaction sigact {};
  sigemptyset(&sigact.sa_mask);
  sigact.sa_flags = 0;  // stops and continues reach child too; they cause an early check
  const char *name = argc > 0 && argv[0] != nullptr ? argv[0] : kDefaultName;
  check_usage(argc, name);
  const int maxidle = parse_limit(argv[1]);
  app_running = 1;
  const OriginalSignals original = take_over_signals(sigact);
  start_application(name, argv + 2, original);
  supervise(maxidle, original.mask);
}
