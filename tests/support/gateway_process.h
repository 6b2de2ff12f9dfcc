// One run of a program under test (sensor_handler by default) with its
// standard output and standard error captured, each stdout line stamped with
// its CLOCK_MONOTONIC arrival time.
//
// The child is spawned with posix_spawn, an empty signal mask and default
// signal dispositions, and inherits no descriptor but its two pipes (and
// stdin on /dev/null). In the cross build the GW_TEST_EMULATOR words come
// first for programs under GW_BINARY_DIR (everything we build); other
// programs (/bin/sh) run natively. A reader thread owned by the object
// drains both pipes.
//
// Threads: the owner's thread calls send_signal / wait_exit; the readers may
// be called from any thread.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace gwtest {

// The programs end their lines with "\n\r": a "\r" right after a "\n"
// belongs to that line's ending, so the next line's text starts with its
// message. Any other "\r" stays in the text as received (stdout_text() has
// every byte in order).
struct OutputLine {
  std::chrono::steady_clock::time_point time;  // when its "\n" arrived
  std::string text;    // up to the "\n", without it
  std::string ending;  // "\n", or "\n\r" once that "\r" arrived
};

struct ExitStatus {
  int code = -1;    // exit status when the program exited, else -1
  int signal = 0;   // the signal that ended it, else 0
  bool exited() const { return signal == 0; }
};

// Path of one of our programs: GW_BINARY_DIR "/" name.
std::string program_path(const std::string &name);

class GatewayProcess {
 public:
  // Spawns `program` (default: sensor_handler) with `arguments`; argv[0] is
  // the program path. Check ok().
  explicit GatewayProcess(const std::vector<std::string> &arguments,
                          const std::string &program = program_path("sensor_handler"));
  // The same with a chosen argv[0] (as the usage banner shows it). In the
  // cross build the emulator's -0 option carries it.
  GatewayProcess(const std::string &program, const std::string &argv0,
                 const std::vector<std::string> &arguments);
  // Kills (SIGKILL) and reaps the child if it still runs; joins the reader.
  ~GatewayProcess();
  GatewayProcess(const GatewayProcess &) = delete;
  GatewayProcess &operator=(const GatewayProcess &) = delete;

  bool ok() const { return pid_ > 0; }
  // PID of the spawned process (the emulator's in the cross build, which is
  // the process that runs the program: signals reach it).
  pid_t pid() const { return pid_; }

  // Raw bytes received so far.
  std::string stdout_text() const;
  std::string stderr_text() const;
  // Complete stdout lines so far (a trailing partial line is not included).
  std::vector<OutputLine> lines() const;

  // True once stdout contains `text`; false after `timeout` or when the
  // program closed its output without printing it.
  bool wait_for_output(const std::string &text, std::chrono::milliseconds timeout) const;
  // True once at least `count` complete lines arrived; false as above.
  bool wait_for_line_count(size_t count, std::chrono::milliseconds timeout) const;

  // kill(pid, sig); false when the process is gone or was never started.
  bool send_signal(int sig);
  // The exit status once the program ends, nothing after `timeout` (it keeps
  // running). After it returned a status it returns the same again.
  // The output readers have seen everything the program wrote by then.
  std::optional<ExitStatus> wait_exit(std::chrono::milliseconds timeout);

 private:
  struct Shared;
  void start(const std::string &program, const std::string &argv0,
             const std::vector<std::string> &arguments);

  pid_t pid_ = -1;
  std::optional<ExitStatus> status_;
  Shared *shared_ = nullptr;
};

}  // namespace gwtest
