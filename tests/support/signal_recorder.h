// A stand-in for the processes the gateway signals: the supervising parent
// and status_led. It runs the signal_recorder program (through the target
// emulator in the cross build), which records every SIGUSR1, SIGUSR2 and
// SIGTSTP it receives with its CLOCK_MONOTONIC time, and the signals a
// faulty sender might use instead (SIGHUP, SIGINT, SIGQUIT, SIGALRM, SIGCONT,
// SIGPIPE, SIGTTIN, SIGTTOU, SIGWINCH). SIGTERM and SIGKILL end it.
//
// Threads: one test thread owns an instance; the readers may be called from
// any thread.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace gwtest {

struct RecordedSignal {
  std::chrono::steady_clock::time_point time;  // CLOCK_MONOTONIC at receipt
  std::string name;                            // "SIGUSR1", "SIGTSTP", ...
};

class SignalRecorder {
 public:
  // Starts the recorder and waits (at most 10 s) until it has its signals
  // blocked and is waiting for them; check ok().
  SignalRecorder();
  // Ends it (SIGTERM, then SIGKILL after 2 s) and reaps it.
  ~SignalRecorder();
  SignalRecorder(const SignalRecorder &) = delete;
  SignalRecorder &operator=(const SignalRecorder &) = delete;

  bool ok() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Every signal recorded so far, oldest first.
  std::vector<RecordedSignal> signals() const;
  // Signals named `name` recorded so far.
  size_t count(const std::string &name) const;
  // True once at least `count` signals named `name` are recorded; false
  // after `timeout`.
  bool wait_for(const std::string &name, size_t count,
                std::chrono::milliseconds timeout) const;
  // Forgets what was recorded so far (the recorder keeps running).
  void clear();

 private:
  pid_t pid_ = -1;
  std::string log_path_;
  size_t skipped_ = 0;  // entries dropped by clear()
};

}  // namespace gwtest
