// Test application and launcher for idlewatch. Runs its words as a script of
// actions, left to right:
//   exit N            end with exit code N
//   signal N          end by signal N (default action, unblocked)
//   sleep MS          sleep MS milliseconds
//   atime S           set the access time of descriptor 1 to now + S seconds
//   touch P MS        for MS milliseconds, set that access time to now every P ms
//   pid FILE          write the process id to FILE
//   stamp FILE        write CLOCK_MONOTONIC in nanoseconds to FILE
//   note-int FILE     on SIGINT, append "SIGINT\n" to FILE and carry on
//   on N CODE         on signal N, exit with CODE
//   signals FILE      write which of CHLD ALRM INT QUIT PIPE TTOU are blocked and
//                     which ignored to FILE: "blocked CHLD INT; ignored PIPE\n"
//   block N, ignore N block signal N / set it to be ignored
//   spawn MS N        fork a child that sleeps MS ms and exits with N; never wait for it
//   spawn-zombie      fork a child that exits at once; wait until it is a zombie
//   close-stdout      close descriptor 1
//   one-process       become the user nobody (65534), allowed one process only
//   stderr PATH       open PATH for writing as descriptor 2
//   stderr-no-reader  make descriptor 2 a pipe whose reader has gone; SIGPIPE default
//   stderr-stalled    make descriptor 2 a full pipe whose reader stays open and never reads
//   tty PATH          start a session with terminal PATH as its controlling
//                     terminal, on descriptors 0 and 2 (1 is left alone)
//   tostop            set tostop on the terminal on descriptor 2
//   background        fork; the child goes on in a new process group (in the
//                     background of the terminal); this process waits for it
//                     and ends with its exit code, 128 + N for signal N, or
//                     kStopped if it was stopped
//   exec PROG ARGS... replace this process by PROG with the remaining words
// Without an exit or exec the application ends with 0 after its last action.
// Any failure of the script itself ends it with kScriptError.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

constexpr int kScriptError = 120;
constexpr int kStopped = 121;
constexpr int kSignalBase = 128;
constexpr int kMaxPath = 4096;
constexpr uid_t kNobody = 65534;

char int_note_path[kMaxPath];
volatile std::sig_atomic_t exit_code_on[NSIG];

[[noreturn]] void die(const char *what) {
  std::fprintf(stderr, "watchdog_app: %s\n", what);
  _exit(kScriptError);
}

long number(const char *text) {
  char *end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0') die("bad number");
  return value;
}

int signal_number(const char *text) { return static_cast<int>(number(text)); }

void sleep_ms(long ms) {
  timespec left{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void write_text(const char *path, const std::string &text, int flags) {
  const int fd = open(path, O_WRONLY | O_CREAT | flags, 0644);
  if (fd < 0) die("cannot open output file");
  if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) die("short write");
  close(fd);
}

// Access time only; the modification time is left alone (UTIME_OMIT).
void set_atime(long offset_seconds) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const timespec times[2] = {{now.tv_sec + offset_seconds, now.tv_nsec}, {0, UTIME_OMIT}};
  futimens(STDOUT_FILENO, times);
}

// Async-signal-safe: open, write and close only.
void note_int(int /*signo*/) {
  const int saved = errno;
  const int fd = open(int_note_path, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd >= 0) {
    static constexpr char kNote[] = "SIGINT\n";
    const ssize_t ignored = write(fd, kNote, sizeof kNote - 1);
    static_cast<void>(ignored);
    close(fd);
  }
  errno = saved;
}

void exit_on(int signo) { _exit(exit_code_on[signo]); }

void catch_signal(int signo, void (*handler)(int)) {
  struct sigaction act {};
  sigemptyset(&act.sa_mask);
  act.sa_handler = handler;
  sigaction(signo, &act, nullptr);
}

[[noreturn]] void end_by_signal(int signo) {
  catch_signal(signo, SIG_DFL);
  sigset_t set{};
  sigemptyset(&set);
  sigaddset(&set, signo);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  kill(getpid(), signo);
  die("survived its own signal");
}

std::string signal_state() {
  struct Named {
    int signo;
    const char *name;
  };
  static constexpr Named kWatched[] = {{SIGCHLD, "CHLD"}, {SIGALRM, "ALRM"}, {SIGINT, "INT"},
                                       {SIGQUIT, "QUIT"}, {SIGPIPE, "PIPE"}, {SIGTTOU, "TTOU"}};
  sigset_t blocked{};
  sigprocmask(SIG_BLOCK, nullptr, &blocked);
  std::string blocked_names = "blocked";
  std::string ignored_names = "; ignored";
  for (const Named &w : kWatched) {
    struct sigaction act {};
    sigaction(w.signo, nullptr, &act);
    if (sigismember(&blocked, w.signo) == 1) blocked_names += std::string(" ") + w.name;
    if (act.sa_handler == SIG_IGN) ignored_names += std::string(" ") + w.name;
  }
  return blocked_names + ignored_names + "\n";
}

void replace_stderr(int fd) {
  if (fd < 0 || dup2(fd, STDERR_FILENO) < 0) die("cannot replace standard error");
  if (fd != STDERR_FILENO) close(fd);
}

void take_terminal(const char *path) {
  if (setsid() < 0) die("setsid failed");
  const int fd = open(path, O_RDWR);  // the first terminal a session leader opens is its own
  if (fd < 0 || dup2(fd, STDIN_FILENO) < 0) die("cannot open terminal");
  replace_stderr(fd);
}

[[noreturn]] void wait_in_foreground(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, WUNTRACED) < 0) {
    if (errno != EINTR) die("waitpid failed");
  }
  if (WIFSTOPPED(status)) _exit(kStopped);
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : kSignalBase + WTERMSIG(status));
}

void spawn(long ms, int status) {
  const pid_t pid = fork();
  if (pid < 0) die("fork failed");
  if (pid == 0) {
    sleep_ms(ms);
    _exit(status);
  }
}

void spawn_zombie() {
  const pid_t pid = fork();
  if (pid < 0) die("fork failed");
  if (pid == 0) _exit(0);
  siginfo_t info{};
  if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0) die("waitid failed");
}

}  // namespace

int main(int argc, char *argv[]) {
  int i = 1;
  auto word = [&]() -> const char * {
    if (i >= argc) die("missing argument");
    return argv[i++];
  };
  while (i < argc) {
    const std::string action = word();
    if (action == "exit") {
      _exit(static_cast<int>(number(word())));
    } else if (action == "signal") {
      end_by_signal(signal_number(word()));
    } else if (action == "sleep") {
      sleep_ms(number(word()));
    } else if (action == "atime") {
      set_atime(number(word()));
    } else if (action == "touch") {
      const long period = number(word());
      const long total = number(word());
      for (long done = 0; done < total; done += period) {
        set_atime(0);
        sleep_ms(period);
      }
    } else if (action == "pid") {
      write_text(word(), std::to_string(getpid()), O_TRUNC);
    } else if (action == "stamp") {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      write_text(word(), std::to_string(now.tv_sec * 1000000000LL + now.tv_nsec), O_TRUNC);
    } else if (action == "note-int") {
      std::snprintf(int_note_path, sizeof int_note_path, "%s", word());
      catch_signal(SIGINT, note_int);
    } else if (action == "on") {
      const int signo = signal_number(word());
      if (signo <= 0 || signo >= NSIG) die("bad signal");
      exit_code_on[signo] = static_cast<int>(number(word()));
      catch_signal(signo, exit_on);
    } else if (action == "signals") {
      write_text(word(), signal_state(), O_TRUNC);
    } else if (action == "block") {
      sigset_t set{};
      sigemptyset(&set);
      sigaddset(&set, signal_number(word()));
      sigprocmask(SIG_BLOCK, &set, nullptr);
    } else if (action == "ignore") {
      catch_signal(signal_number(word()), SIG_IGN);
    } else if (action == "spawn") {
      const long ms = number(word());
      spawn(ms, static_cast<int>(number(word())));
    } else if (action == "spawn-zombie") {
      spawn_zombie();
    } else if (action == "close-stdout") {
      close(STDOUT_FILENO);
    } else if (action == "one-process") {
      const rlimit one{1, 1};
      if (setrlimit(RLIMIT_NPROC, &one) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) {
        die("cannot become nobody");
      }
    } else if (action == "stderr") {
      replace_stderr(open(word(), O_WRONLY));
    } else if (action == "stderr-no-reader") {
      int ends[2];
      if (pipe(ends) != 0) die("pipe failed");
      close(ends[0]);
      replace_stderr(ends[1]);
      catch_signal(SIGPIPE, SIG_DFL);
    } else if (action == "stderr-stalled") {
      int ends[2];
      if (pipe(ends) != 0) die("pipe failed");
      // The reader stays open in this process and what it execs, unread.
      const int flags = fcntl(ends[1], F_GETFL);
      fcntl(ends[1], F_SETFL, flags | O_NONBLOCK);
      static const char kFill[4096] = {};
      while (write(ends[1], kFill, sizeof kFill) > 0) {
      }
      while (write(ends[1], kFill, 1) > 0) {
      }
      fcntl(ends[1], F_SETFL, flags);
      replace_stderr(ends[1]);
    } else if (action == "tty") {
      take_terminal(word());
    } else if (action == "tostop") {
      termios mode{};
      if (tcgetattr(STDERR_FILENO, &mode) != 0) die("not a terminal");
      mode.c_lflag |= TOSTOP;
      if (tcsetattr(STDERR_FILENO, TCSANOW, &mode) != 0) die("tcsetattr failed");
    } else if (action == "background") {
      const pid_t pid = fork();
      if (pid < 0) die("fork failed");
      if (pid > 0) wait_in_foreground(pid);
      if (setpgid(0, 0) != 0) die("setpgid failed");
    } else if (action == "exec") {
      execv(argv[i], argv + i);
      die("exec failed");
    } else {
      die("unknown action");
    }
  }
  return 0;
}
