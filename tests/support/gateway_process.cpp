#include "gateway_process.h"

#include "process.h"

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace gwtest {

std::string program_path(const std::string &name) { return std::string(GW_BINARY_DIR) + "/" + name; }

// What the reader thread shares with the readers: every member below `lock`
// is guarded by it.
struct GatewayProcess::Shared {
  UniqueFd out_read, err_read;
  UniqueFd wake_read, wake_write;  // tells the reader to give up
  std::thread reader;

  mutable std::mutex lock;
  mutable std::condition_variable changed;
  std::string out_text;
  std::string err_text;
  std::vector<OutputLine> lines;
  size_t line_start = 0;  // offset in out_text of the line being received
  bool out_closed = false;
  bool err_closed = false;

  // Called with `lock` held.
  void take(bool is_stdout, const char *bytes, size_t length) {
    auto now = std::chrono::steady_clock::now();
    if (!is_stdout) {
      err_text.append(bytes, length);
    } else {
      out_text.append(bytes, length);
      for (;;) {
        if (line_start < out_text.size() && out_text[line_start] == '\r' && !lines.empty() &&
            lines.back().ending == "\n") {
          lines.back().ending += '\r';
          ++line_start;
        }
        size_t newline = out_text.find('\n', line_start);
        if (newline == std::string::npos) break;
        lines.push_back({now, out_text.substr(line_start, newline - line_start), "\n"});
        line_start = newline + 1;
      }
    }
    changed.notify_all();
  }

  void close_stream(bool is_stdout) {
    std::lock_guard<std::mutex> hold(lock);
    (is_stdout ? out_closed : err_closed) = true;
    changed.notify_all();
  }

  void read_loop() {
    char buffer[4096];
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
      struct pollfd entries[3] = {{out_open ? out_read.get() : -1, POLLIN, 0},
                                  {err_open ? err_read.get() : -1, POLLIN, 0},
                                  {wake_read.get(), POLLIN, 0}};
      int ready = ::poll(entries, 3, -1);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0 || entries[2].revents) break;
      for (int i = 0; i < 2; ++i) {
        if (!entries[i].revents) continue;
        // Read under the lock (poll said it will not block), so a holder
        // of the lock who sees an empty pipe knows every byte is stored.
        std::unique_lock<std::mutex> hold(lock);
        ssize_t got = ::read(entries[i].fd, buffer, sizeof buffer);
        if (got > 0) {
          take(i == 0, buffer, static_cast<size_t>(got));
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
          (i == 0 ? out_open : err_open) = false;
          hold.unlock();
          close_stream(i == 0);
        }
      }
    }
    close_stream(true);
    close_stream(false);
  }
};

GatewayProcess::GatewayProcess(const std::vector<std::string> &arguments,
                               const std::string &program) {
  start(program, program, arguments);
}

GatewayProcess::GatewayProcess(const std::string &program, const std::string &argv0,
                               const std::vector<std::string> &arguments) {
  start(program, argv0, arguments);
}

void GatewayProcess::start(const std::string &program, const std::string &argv0,
                           const std::vector<std::string> &arguments) {
  shared_ = new Shared;
  UniqueFd out_write, err_write;
  if (!make_pipe(shared_->out_read, out_write) || !make_pipe(shared_->err_read, err_write) ||
      !make_pipe(shared_->wake_read, shared_->wake_write)) {
    std::perror("GatewayProcess: pipe");
    return;
  }
  // Everything we build lands in GW_BINARY_DIR and needs the emulator in
  // the cross build; anything else (/bin/sh) is a host program.
  const bool emulated = !emulator_words().empty() &&
                        program.rfind(std::string(GW_BINARY_DIR) + "/", 0) == 0;
  std::vector<std::string> argv;
  if (emulated) {
    argv = emulator_words();
    // The emulator passes the chosen argv[0] on with its -0 option.
    if (argv0 != program) {
      argv.push_back("-0");
      argv.push_back(argv0);
    }
    argv.push_back(program);
  } else {
    argv.push_back(argv0);
  }
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const std::string path = emulated ? argv[0] : program;

  std::string error;
  pid_t pid = spawn_process(path, argv, out_write.get(), err_write.get(), &error);
  if (pid < 0) {
    std::fprintf(stderr, "GatewayProcess: %s\n", error.c_str());
    return;
  }
  register_child(pid);
  pid_ = pid;
  out_write.reset();
  err_write.reset();
  shared_->reader = std::thread([s = shared_] { s->read_loop(); });
}

GatewayProcess::~GatewayProcess() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    wait_child(pid_, std::chrono::seconds(10));
  }
  if (pid_ > 0) unregister_child(pid_);
  if (shared_ && shared_->reader.joinable()) {
    // A grandchild may still hold the pipes open: do not wait for their end.
    char byte = 0;
    if (::write(shared_->wake_write.get(), &byte, 1) != 1) {
      // One byte always fits an empty pipe.
    }
    shared_->reader.join();
  }
  delete shared_;
}

std::string GatewayProcess::stdout_text() const {
  std::lock_guard<std::mutex> hold(shared_->lock);
  return shared_->out_text;
}

std::string GatewayProcess::stderr_text() const {
  std::lock_guard<std::mutex> hold(shared_->lock);
  return shared_->err_text;
}

std::vector<OutputLine> GatewayProcess::lines() const {
  std::lock_guard<std::mutex> hold(shared_->lock);
  return shared_->lines;
}

bool GatewayProcess::wait_for_output(const std::string &text,
                                     std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> hold(shared_->lock);
  shared_->changed.wait_for(hold, timeout, [&] {
    return shared_->out_text.find(text) != std::string::npos || shared_->out_closed;
  });
  return shared_->out_text.find(text) != std::string::npos;
}

bool GatewayProcess::wait_for_line_count(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> hold(shared_->lock);
  shared_->changed.wait_for(hold, timeout, [&] {
    return shared_->lines.size() >= count || shared_->out_closed;
  });
  return shared_->lines.size() >= count;
}

bool GatewayProcess::send_signal(int sig) {
  if (pid_ <= 0 || status_) return false;
  return ::kill(pid_, sig) == 0;
}

std::optional<ExitStatus> GatewayProcess::wait_exit(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  if (pid_ <= 0) return std::nullopt;
  std::optional<int> raw = wait_child(pid_, timeout);
  if (!raw) return std::nullopt;
  ExitStatus status;
  if (WIFEXITED(*raw)) {
    status.code = WEXITSTATUS(*raw);
  } else if (WIFSIGNALED(*raw)) {
    status.signal = WTERMSIG(*raw);
  }
  status_ = status;
  unregister_child(pid_);

  // Whatever the program wrote before it ended is in the pipes: wait until
  // the reader has stored it. A leftover child of the program may keep the
  // pipes open, so an empty pipe counts as drained too.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  std::unique_lock<std::mutex> hold(shared_->lock);
  for (;;) {
    if (shared_->out_closed && shared_->err_closed) break;
    int out_pending = 0, err_pending = 0;
    if (!shared_->out_closed) ::ioctl(shared_->out_read.get(), FIONREAD, &out_pending);
    if (!shared_->err_closed) ::ioctl(shared_->err_read.get(), FIONREAD, &err_pending);
    if (out_pending == 0 && err_pending == 0) break;
    if (shared_->changed.wait_until(hold, deadline) == std::cv_status::timeout) break;
  }
  return status_;
}

}  // namespace gwtest
