// Process and descriptor plumbing shared by the test support classes:
// a move-only descriptor owner, spawning with a clean signal state and no
// inherited descriptors, bounded waits for a child.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace gwtest {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
  UniqueFd &operator=(UniqueFd &&other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  [[nodiscard]] int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Both ends close-on-exec; false on failure.
bool make_pipe(UniqueFd &read_end, UniqueFd &write_end);

// The GW_TEST_EMULATOR words (empty natively).
const std::vector<std::string> &emulator_words();

// Spawns `path` with `argv` (argv[0] included) and the current environment.
// The child starts with an empty signal mask, every signal at its default
// action, stdin/stdout/stderr on the given descriptors (-1: /dev/null) and no
// other descriptor. Returns the PID, or -1 with *error set.
pid_t spawn_process(const std::string &path, const std::vector<std::string> &argv,
                    int stdout_fd, int stderr_fd, std::string *error);

// Waits at most `timeout` for `pid` (our child) to end and reaps it.
// Returns the raw wait status, or nothing when it still runs.
std::optional<int> wait_child(pid_t pid, std::chrono::milliseconds timeout);

// Sends `sig`, waits `grace` for the end, then SIGKILL and reaps. Safe on a
// PID that is already reaped (returns nothing then).
std::optional<int> end_child(pid_t pid, int sig, std::chrono::milliseconds grace);

// Children the support classes own; ended at exit if a test leaves one
// running (a failed assertion that skips a destructor, std::exit).
void register_child(pid_t pid);
void unregister_child(pid_t pid);

// Sleeps `duration` (used for bounded polling at ≥ 1 ms periods).
void pause_for(std::chrono::milliseconds duration);

// A CLOCK_MONOTONIC "seconds.nanoseconds" text as a steady_clock time.
std::chrono::steady_clock::time_point parse_monotonic(const std::string &text);

}  // namespace gwtest
