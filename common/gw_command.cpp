#include "gw_command.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace gw {
namespace {


// Starts /bin/sh -c command; when stdout_fd >= 0 it becomes the child's
// standard output. Returns the child's PID or -1.
pid_t spawn_shell(const char *command, int stdout_fd) {
  posix_spawnattr_t attributes;
  if (posix_spawnattr_init(&attributes) != 0) return -1;
  sigset_t empty_mask;
  sigemptyset(&empty_mask);
  sigset_t every_signal;
  sigfillset(&every_signal);
  sigdelset(&every_signal, SIGKILL);
  sigdelset(&every_signal, SIGSTOP);
  posix_spawnattr_setsigmask(&attributes, &empty_mask);
  posix_spawnattr_setsigdefault(&attributes, &every_signal);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) {
    posix_spawnattr_destroy(&attributes);
    return -1;
  }
  if (stdout_fd >= 0) posix_spawn_file_actions_adddup2(&actions, stdout_fd, STDOUT_FILENO);
  // A library may open a descriptor without close-on-exec (the broker
  // client's sockets while it reconnects by itself); a long-lived child such
  // as hciattach would otherwise hold such a socket open for its whole life.
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
#else
  // Without a close-from action in the C library; only a descriptor opened
  // between this scan and the spawn can still slip through.
  mark_descriptors_close_on_exec(false);
#endif

  char shell[] = "sh";
  char flag[] = "-c";
  char *argv[] = {shell, flag, const_cast<char *>(command), nullptr};
  pid_t child = -1;
  int error = posix_spawn(&child, "/bin/sh", &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return error == 0 ? child : -1;
}

int wait_child(pid_t child) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

void mark_descriptors_close_on_exec(bool sockets_only) {
  DIR *folder = opendir("/proc/self/fd");
  if (folder == nullptr) return;
  const int own = dirfd(folder);
  while (const dirent *entry = readdir(folder)) {
    char *end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd <= STDERR_FILENO || fd == own) continue;
    if (sockets_only) {
      char target[16] = {};
      if (readlinkat(own, entry->d_name, target, sizeof target - 1) < 7 ||
          std::strncmp(target, "socket:", 7) != 0) {
        continue;
      }
    }
    const int flags = fcntl(static_cast<int>(fd), F_GETFD);
    if (flags >= 0 && (flags & FD_CLOEXEC) == 0) fcntl(static_cast<int>(fd), F_SETFD, flags | FD_CLOEXEC);
  }
  closedir(folder);
}

int run_command(const char *command) {
  pid_t child = spawn_shell(command, -1);
  if (child < 0) return -1;
  return wait_child(child);
}

int run_command_formatted(const char *format, ...) {
  char command[command_capacity] = {};
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(command, sizeof command, format, args);
  va_end(args);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof command) return -1;
  return run_command(command);
}

CommandPipe::CommandPipe(const char *command) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return;
  child_ = spawn_shell(command, ends[1]);
  ::close(ends[1]);
  if (child_ < 0) {
    ::close(ends[0]);
    return;
  }
  stream_ = fdopen(ends[0], "r");
  if (stream_ == nullptr) ::close(ends[0]);
}

CommandPipe::CommandPipe(CommandPipe &&other) noexcept
    : stream_(other.stream_), child_(other.child_) {
  other.stream_ = nullptr;
  other.child_ = -1;
}

CommandPipe::~CommandPipe() { close(); }

int CommandPipe::close() {
  if (stream_ != nullptr) {
    std::fclose(stream_);
    stream_ = nullptr;
  }
  if (child_ < 0) return -1;
  int status = wait_child(child_);
  child_ = -1;
  return status;
}

}  // namespace gw
