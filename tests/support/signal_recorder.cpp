#include "signal_recorder.h"

#include "process.h"
#include "sandbox.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

namespace gwtest {

SignalRecorder::SignalRecorder() {
  std::string dir = make_state_subdir("signal-recorder");
  if (dir.empty()) {
    std::fprintf(stderr, "SignalRecorder: cannot make a folder under %s\n", state_dir().c_str());
    return;
  }
  log_path_ = dir + "/signals.log";
  std::string program = std::string(GW_BINARY_DIR) + "/signal_recorder";
  std::vector<std::string> argv = emulator_words();
  argv.push_back(program);
  argv.push_back(log_path_);

  UniqueFd ready_read, ready_write;
  if (!make_pipe(ready_read, ready_write)) return;
  std::string error;
  pid_t pid = spawn_process(argv[0], argv, ready_write.get(), -1, &error);
  ready_write.reset();
  if (pid < 0) {
    std::fprintf(stderr, "SignalRecorder: %s\n", error.c_str());
    return;
  }
  register_child(pid);

  // "ready" means its signals are blocked: from then on none is lost. Under
  // an emulator the start takes a while, hence the generous bound.
  std::string got;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (got.find("ready\n") == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    struct pollfd entry = {ready_read.get(), POLLIN, 0};
    int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[64];
    ssize_t n = ::read(ready_read.get(), buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  if (got.find("ready\n") == std::string::npos) {
    std::fprintf(stderr, "SignalRecorder: %s did not get ready\n", program.c_str());
    end_child(pid, SIGKILL, std::chrono::seconds(1));
    unregister_child(pid);
    return;
  }
  pid_ = pid;
}

SignalRecorder::~SignalRecorder() {
  if (pid_ <= 0) return;
  end_child(pid_, SIGTERM, std::chrono::seconds(2));
  unregister_child(pid_);
}

std::vector<RecordedSignal> SignalRecorder::signals() const {
  std::vector<RecordedSignal> result;
  if (log_path_.empty()) return result;
  std::string text = read_file(log_path_);
  size_t start = 0;
  size_t index = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) break;
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (index++ < skipped_) continue;
    size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    result.push_back({parse_monotonic(line.substr(0, space)), line.substr(space + 1)});
  }
  return result;
}

size_t SignalRecorder::count(const std::string &name) const {
  size_t n = 0;
  for (const RecordedSignal &entry : signals())
    if (entry.name == name) ++n;
  return n;
}

bool SignalRecorder::wait_for(const std::string &name, size_t wanted,
                              std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (count(name) >= wanted) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    pause_for(std::chrono::milliseconds(5));
  }
}

void SignalRecorder::clear() {
  std::string text = read_file(log_path_);
  size_t lines = 0;
  for (char c : text)
    if (c == '\n') ++lines;
  skipped_ = lines;
}

}  // namespace gwtest
