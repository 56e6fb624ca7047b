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
//   signals FILE      write "blocked CHLD ALRM ignored CHLD ALRM" as 0/1 flags to FILE
//   block N, ignore N block signal N / set it to be ignored
//   spawn MS N        fork a child that sleeps MS ms and exits with N; never wait for it
//   spawn-zombie      fork a child that exits at once; wait until it is a zombie
//   close-stdout      close descriptor 1
//   one-process       become the user nobody (65534), allowed one process only
//   exec PROG ARGS... replace this process by PROG with the remaining words
// Without an exit or exec the application ends with 0 after its last action.
// Any failure of the script itself ends it with kScriptError.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
constexpr int kMaxPath = 4096;
constexpr uid_t kNobody = 65534;

char int_note_path[kMaxPath];

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
  sigset_t blocked{};
  sigprocmask(SIG_BLOCK, nullptr, &blocked);
  struct sigaction chld {};
  struct sigaction alrm {};
  sigaction(SIGCHLD, nullptr, &chld);
  sigaction(SIGALRM, nullptr, &alrm);
  return "blocked " + std::to_string(sigismember(&blocked, SIGCHLD)) + " " +
         std::to_string(sigismember(&blocked, SIGALRM)) + " ignored " +
         std::to_string(chld.sa_handler == SIG_IGN ? 1 : 0) + " " +
         std::to_string(alrm.sa_handler == SIG_IGN ? 1 : 0) + "\n";
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
    } else if (action == "exec") {
      execv(argv[i], argv + i);
      die("exec failed");
    } else {
      die("unknown action");
    }
  }
  return 0;
}
