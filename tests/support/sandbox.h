// The test sandbox: the unmodified programs run with their real fixed paths
// inside a private mount and network namespace that each test executable
// enters from its own main, before any thread exists.
//
// Inside the sandbox:
//   /etc        overlayfs: the host's /etc below, a throw-away upper layer;
//               reset_sandbox() starts a new empty upper layer and copies
//               files/etc/** then tests/data/etc/** into it.
//   /tmp        a fresh tmpfs, emptied by every reset.
//   /var/run    the same (the host's /run stays untouched).
//   /sys/class  a bind of a private folder holding gpio/export and
//               gpio/unexport (plain files); lines are made by the test.
//   /bin/sh     BusyBox (its ash runs its own applets: ifconfig, pgrep,
//               kill, grep, cut, awk, sed, ... exactly like the device).
//   PATH        starts with a folder holding the fakes `hciconfig` and
//               `hciattach` (see FakeCommand).
//   network     lo up, a veth pair whose `eth0` end carries 198.51.100.7/24.
//
// The sandbox's own state (overlay layers, the /sys/class folder, the fakes,
// broker configs and logs) lives on a private tmpfs mounted over
// <build tree>/sandbox-state inside this executable's mount namespace only:
// two test executables run by ctest at once each see their own tmpfs there,
// the host sees an empty folder, and nothing is left behind on exit.
//
// Threads: enter_sandbox() must run before any other thread exists. The other
// routines are meant for the test's main thread (SetUp and test bodies).
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace gwtest {

enum class SandboxEntry {
  entered,      // the sandbox is up and reset
  unavailable,  // not root and no user namespaces: the executable skips (77)
  failed,       // something that should work did not; `why` says what
};

// Enters the namespaces and builds everything listed above, then resets.
// On anything other than `entered`, *why (if given) holds the reason.
SandboxEntry enter_sandbox(std::string *why = nullptr);

// Brings the sandbox back to its just-entered state: new empty /etc upper
// layer plus the shipped and test /etc files, empty /tmp and /var/run, /sys/class/gpio
// with only export/unexport (both empty), fakes' logs and controls cleared
// and their daemons ended, eth0's address restored. Call it in SetUp.
// Returns false (and records a gtest failure with the cause) on failure.
bool reset_sandbox();

// The private state folder (on the sandbox's own tmpfs, not under /tmp).
const std::string &state_dir();
// A new, empty, uniquely named folder under state_dir(), e.g. for a broker.
std::string make_state_subdir(const std::string &prefix);

// --- files ------------------------------------------------------------------
// Creates or truncates `path` (parents must exist) and writes `text`.
bool write_file(const std::string &path, const std::string &text);
// Whole content of `path`; empty when it cannot be read.
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);

// --- GPIO under /sys/class/gpio ---------------------------------------------
// "/sys/class/gpio/gpio<n>/<file>" (file may be empty for the folder).
std::string gpio_path(int n, const char *file = "");
// Creates gpio<n>/{direction,active_low,value} as empty plain files.
// A plain file keeps old bytes past a shorter write: read back only what was
// written once, or use a FIFO.
bool make_gpio_line(int n);
// Replaces (or creates) gpio<n>/<file> with a FIFO, creating the line folder
// if needed. The test must open it O_RDWR (GpioFifo does) before the program
// writes: a write-only open by the program then does not block and the
// reader never sees end of file.
bool make_gpio_fifo(int n, const char *file);
// Content of gpio<n>/<file> (plain files); empty when missing.
std::string read_gpio_file(int n, const char *file);
// Content of /sys/class/gpio/export (what the program wrote to export a line).
std::string read_gpio_export();

// Reads every write to a GPIO FIFO with its arrival time, on its own thread.
// Writes that arrive faster than the thread reads may be merged into one.
class GpioFifo {
 public:
  struct Write {
    std::chrono::steady_clock::time_point time;  // CLOCK_MONOTONIC
    std::string bytes;
  };
  // Makes the FIFO (make_gpio_fifo) and opens it O_RDWR; check ok().
  GpioFifo(int n, const char *file);
  ~GpioFifo();
  GpioFifo(const GpioFifo &) = delete;
  GpioFifo &operator=(const GpioFifo &) = delete;

  bool ok() const;
  std::vector<Write> writes() const;
  // True once at least `count` writes arrived, false after `timeout`.
  bool wait_for_writes(size_t count, std::chrono::milliseconds timeout) const;

 private:
  struct State;
  State *state_;
};

// --- /var/tmp ---------------------------------------------------------------
// /tmp bound over /var/tmp for the object's life, as on the board, where
// SQLite puts a VACUUM's copy. A checkout under /var/tmp stays where it was:
// its top folder there is bound back in, so the programs, the test data and
// the state folder are never hidden. Failures are recorded with gtest; check
// ok().
class VarTmpOnTmp {
 public:
  VarTmpOnTmp();
  ~VarTmpOnTmp();
  VarTmpOnTmp(const VarTmpOnTmp &) = delete;
  VarTmpOnTmp &operator=(const VarTmpOnTmp &) = delete;
  bool ok() const { return ok_; }

 private:
  bool mounted_ = false;
  bool ok_ = false;
};

// --- network ----------------------------------------------------------------
constexpr const char *eth0_address = "198.51.100.7";
// Removes / puts back 198.51.100.7/24 on eth0 (the interface stays up).
bool remove_eth0_address();
bool restore_eth0_address();

// --- shell ------------------------------------------------------------------
struct ShellResult {
  int status = -1;      // exit status, or -1 when killed / not run / timed out
  std::string output;   // standard output (standard error is discarded)
};
// Runs `/bin/sh -c command` (BusyBox inside the sandbox) natively and waits,
// killing it after `timeout`.
ShellResult run_shell(const std::string &command,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));

// --- fakes of commands the machine lacks ------------------------------------
// `hciconfig` and `hciattach` are BusyBox shell scripts first in PATH. Each
// call appends one line to its log (time and arguments), prints the control
// output text and exits with the control status. `hciattach` in daemon mode
// leaves a background process named `hciattach` (found by `pgrep hciattach`,
// ended by `kill`) and returns at once, like the real one detaching.
// Defaults after reset: no output, status 0, no daemon.
class FakeCommand {
 public:
  struct Call {
    std::chrono::steady_clock::time_point time;  // ~10 ms resolution
    std::string arguments;                        // joined by single spaces
  };
  explicit FakeCommand(const std::string &name);  // "hciconfig" or "hciattach"

  // Arguments of each call so far, oldest first, joined by single spaces
  // (without the command name): e.g. {"", "hci0 up"}.
  std::vector<std::string> calls() const;
  std::vector<Call> call_records() const;
  // True once at least `count` calls are logged, false after `timeout`.
  bool wait_for_calls(size_t count, std::chrono::milliseconds timeout) const;

  void set_exit_status(int status);
  void set_output(const std::string &text);  // printed as is on stdout
  void set_daemon(bool daemon);              // only meaningful for hciattach
  // PIDs of daemons this fake left that still run. A daemon that was
  // killed counts as gone at once, though `pgrep` lists it until init reaps
  // the zombie.
  std::vector<pid_t> daemon_pids() const;
  // True once no daemon of this fake runs; false after `timeout`.
  bool wait_for_no_daemons(std::chrono::milliseconds timeout) const;
  // Empties the log, restores the defaults and ends any daemons.
  void clear();

 private:
  std::string name_;
  std::string dir_;  // control folder: log, output, exit_status, daemon
};

}  // namespace gwtest
