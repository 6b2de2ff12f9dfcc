// Running the system's shell commands (kill, pgrep, hciconfig, hciattach,
// the identity pipelines, sed on the banner).
//
// Every command goes through here rather than system()/popen(): the gateway
// keeps its stop signals blocked for the one thread that takes them, and a
// child started by system() would inherit that mask (hciattach would then
// ignore the kill meant to stop it). The child starts /bin/sh -c with an
// empty signal mask and every disposition at its default, and inherits no
// descriptor above standard error. Thread-safe.
#pragma once

#include <cstdio>
#include <sys/types.h>

namespace gw {

// Size of the zeroed buffer every command is formatted into.
constexpr std::size_t command_capacity = 100;

// Runs command and waits for it. Returns the shell's exit status, or -1 when
// it could not be started or did not exit normally.
int run_command(const char *command);

// Marks every descriptor above standard error close-on-exec (only the
// sockets when sockets_only). Nothing of ours relies on a descriptor
// crossing an exec, so marking another thread's descriptor is harmless.
// Thread-safe.
void mark_descriptors_close_on_exec(bool sockets_only);

// Formats into a zeroed 100-byte buffer and runs it; a command that would
// not fit is not run (returns -1): a cut command could do something else.
int run_command_formatted(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A command whose standard output is read, as popen(command, "r") would.
// Move-only; the destructor closes the stream and waits for the child.
class CommandPipe {
 public:
  explicit CommandPipe(const char *command);
  ~CommandPipe();
  CommandPipe(const CommandPipe &) = delete;
  CommandPipe &operator=(const CommandPipe &) = delete;
  CommandPipe(CommandPipe &&other) noexcept;
  CommandPipe &operator=(CommandPipe &&other) = delete;

  // nullptr when the command could not be started.
  std::FILE *stream() const { return stream_; }
  // Closes the stream and waits; returns the exit status or -1.
  int close();

 private:
  std::FILE *stream_ = nullptr;
  pid_t child_ = -1;
};

}  // namespace gw
