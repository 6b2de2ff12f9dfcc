#include "process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <set>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "gw_command.h"

extern char **environ;

namespace gwtest {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

bool make_pipe(UniqueFd &read_end, UniqueFd &write_end) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  read_end.reset(fds[0]);
  write_end.reset(fds[1]);
  return true;
}

const std::vector<std::string> &emulator_words() {
  static const std::vector<std::string> words = [] {
    std::vector<std::string> result;
    std::string text = GW_TEST_EMULATOR;
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find(' ', start);
      if (end == std::string::npos) end = text.size();
      if (end > start) result.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    return result;
  }();
  return words;
}

namespace {

// Owns the spawn attribute objects so every exit path destroys them.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  bool actions_ready = false;
  bool attributes_ready = false;
  ~SpawnSetup() {
    if (actions_ready) posix_spawn_file_actions_destroy(&actions);
    if (attributes_ready) posix_spawnattr_destroy(&attributes);
  }
};

std::mutex children_lock;  // guards children()
std::set<pid_t> &children() {
  static std::set<pid_t> set;
  return set;
}

void end_registered_children() {
  std::set<pid_t> left;
  {
    std::lock_guard<std::mutex> hold(children_lock);
    left.swap(children());
  }
  for (pid_t pid : left) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
}

}  // namespace

pid_t spawn_process(const std::string &path, const std::vector<std::string> &argv,
                    int stdout_fd, int stderr_fd, std::string *error) {
  SpawnSetup setup;
  auto fail = [&](const char *step, int code) -> pid_t {
    if (error) *error = std::string(step) + ": " + std::strerror(code);
    return -1;
  };
  int rc = posix_spawn_file_actions_init(&setup.actions);
  if (rc != 0) return fail("posix_spawn_file_actions_init", rc);
  setup.actions_ready = true;
  rc = posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
  if (rc == 0) {
    rc = stdout_fd >= 0
             ? posix_spawn_file_actions_adddup2(&setup.actions, stdout_fd, 1)
             : posix_spawn_file_actions_addopen(&setup.actions, 1, "/dev/null", O_WRONLY, 0);
  }
  if (rc == 0) {
    rc = stderr_fd >= 0
             ? posix_spawn_file_actions_adddup2(&setup.actions, stderr_fd, 2)
             : posix_spawn_file_actions_addopen(&setup.actions, 2, "/dev/null", O_WRONLY, 0);
  }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  // Whatever a library opened without close-on-exec must not reach the
  // program either: a leaked socket would hide a leak of the program's own.
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
#else
  // The board's C library has no close-from action: mark them instead, as
  // the gateway's own command helper does.
  gw::mark_descriptors_close_on_exec(false);
#endif
  if (rc != 0) return fail("posix_spawn_file_actions", rc);

  rc = posix_spawnattr_init(&setup.attributes);
  if (rc != 0) return fail("posix_spawnattr_init", rc);
  setup.attributes_ready = true;
  sigset_t empty, all;
  sigemptyset(&empty);
  sigfillset(&all);
  rc = posix_spawnattr_setsigmask(&setup.attributes, &empty);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(&setup.attributes, &all);
  if (rc == 0)
    rc = posix_spawnattr_setflags(&setup.attributes,
                                  POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (rc != 0) return fail("posix_spawnattr", rc);

  std::vector<char *> args;
  args.reserve(argv.size() + 1);
  for (const std::string &word : argv) args.push_back(const_cast<char *>(word.c_str()));
  args.push_back(nullptr);

  pid_t pid = -1;
  rc = posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attributes, args.data(),
                   environ);
  if (rc != 0) return fail(("posix_spawn " + path).c_str(), rc);
  return pid;
}

std::optional<int> wait_child(pid_t pid, std::chrono::milliseconds timeout) {
  if (pid <= 0) return std::nullopt;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  pid_t got = ::waitpid(pid, &status, WNOHANG);
  if (got == pid) return status;
  if (got < 0) return std::nullopt;  // not our child (any more)

  // A pidfd lets us sleep until the end; without one (old kernel, an
  // emulator lacking the call) poll every 5 ms.
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) left = std::chrono::milliseconds(0);
    if (pidfd.valid()) {
      struct pollfd entry = {pidfd.get(), POLLIN, 0};
      int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno != EINTR) pidfd.reset();
    } else if (left.count() > 0) {
      pause_for(std::min(left, std::chrono::milliseconds(5)));
    }
    got = ::waitpid(pid, &status, WNOHANG);
    if (got == pid) return status;
    if (got < 0 && errno != EINTR) return std::nullopt;
    if (left.count() == 0) return std::nullopt;
  }
}

std::optional<int> end_child(pid_t pid, int sig, std::chrono::milliseconds grace) {
  if (pid <= 0) return std::nullopt;
  ::kill(pid, sig);
  std::optional<int> status = wait_child(pid, grace);
  if (status) return status;
  ::kill(pid, SIGKILL);
  return wait_child(pid, std::chrono::seconds(10));
}

void register_child(pid_t pid) {
  static std::once_flag once;
  std::call_once(once, [] { std::atexit(end_registered_children); });
  std::lock_guard<std::mutex> hold(children_lock);
  children().insert(pid);
}

void unregister_child(pid_t pid) {
  std::lock_guard<std::mutex> hold(children_lock);
  children().erase(pid);
}

void pause_for(std::chrono::milliseconds duration) {
  std::this_thread::sleep_for(duration);
}

std::chrono::steady_clock::time_point parse_monotonic(const std::string &text) {
  long long seconds = 0;
  long long nanoseconds = 0;
  size_t dot = text.find('.');
  seconds = std::strtoll(text.c_str(), nullptr, 10);
  if (dot != std::string::npos) {
    // Scale whatever precision was written (9 digits from the recorder,
    // 2 from /proc/uptime) to nanoseconds.
    std::string digits = text.substr(dot + 1, 9);
    while (digits.size() < 9) digits.push_back('0');
    nanoseconds = std::strtoll(digits.c_str(), nullptr, 10);
  }
  return std::chrono::steady_clock::time_point(std::chrono::seconds(seconds) +
                                               std::chrono::nanoseconds(nanoseconds));
}

}  // namespace gwtest
