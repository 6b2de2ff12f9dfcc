// signal_recorder <log file>: stands in for the gateway's supervising parent
// and for status_led. Appends "<CLOCK_MONOTONIC seconds.nanoseconds> <NAME>"
// for every signal of the recorded set it receives, and prints "ready" on
// standard output once the set is blocked, so no signal sent after that line
// can be lost or end the process. SIGTERM and SIGKILL keep their default
// action: they end it.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

namespace {

struct Named {
  int number;
  const char *name;
};

// The signals the gateway sends (parent: USR1, USR2, TSTP; status_led: USR1,
// USR2) and a few a faulty sender might use instead.
constexpr Named recorded[] = {
    {SIGUSR1, "SIGUSR1"}, {SIGUSR2, "SIGUSR2"}, {SIGTSTP, "SIGTSTP"}, {SIGHUP, "SIGHUP"},
    {SIGINT, "SIGINT"},   {SIGCONT, "SIGCONT"}, {SIGALRM, "SIGALRM"}, {SIGQUIT, "SIGQUIT"},
    {SIGPIPE, "SIGPIPE"}, {SIGTTIN, "SIGTTIN"}, {SIGTTOU, "SIGTTOU"}, {SIGWINCH, "SIGWINCH"},
};

bool write_all(int fd, const char *text, size_t length) {
  while (length > 0) {
    ssize_t wrote = write(fd, text, length);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    text += wrote;
    length -= static_cast<size_t>(wrote);
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <log file>\n", argv[0]);
    return 2;
  }
  sigset_t set;
  sigemptyset(&set);
  for (const Named &entry : recorded) sigaddset(&set, entry.number);
  if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) {
    std::perror("sigprocmask");
    return 1;
  }
  int log = open(argv[1], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log < 0) {
    std::fprintf(stderr, "%s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  if (!write_all(1, "ready\n", 6)) return 1;

  for (;;) {
    siginfo_t info;
    int number = sigwaitinfo(&set, &info);
    if (number < 0) {
      if (errno == EINTR) continue;
      std::perror("sigwaitinfo");
      return 1;
    }
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const char *name = "UNKNOWN";
    for (const Named &entry : recorded)
      if (entry.number == number) name = entry.name;
    char line[64];
    int length = std::snprintf(line, sizeof line, "%lld.%09ld %s\n",
                               static_cast<long long>(now.tv_sec), static_cast<long>(now.tv_nsec),
                               name);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof line) continue;
    // One append per line: a reader never sees half of it.
    if (!write_all(log, line, static_cast<size_t>(length))) return 1;
  }
}
