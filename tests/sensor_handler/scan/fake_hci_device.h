// The HCI device double: open hands out one end of a fresh SOCK_SEQPACKET
// socketpair (one datagram per event, as the raw socket delivers them) and
// keeps the other end for the test to write `04 3E len 02 ...` into. Every
// call is recorded as text with its arguments, the handle left out; a call
// on a handle that is not open counts as misuse. A step can be made to fail.
// One lock guards everything: sensor_thread calls, the test thread reads.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "scan/hci_device.h"

namespace scan_test {

inline std::string filter_text(const hci_filter &f) {
  char text[64];
  std::snprintf(text, sizeof text, "set_filter %08X %08X %08X %04X", f.type_mask, f.event_mask[0],
                f.event_mask[1], f.opcode);
  return text;
}

// What a fresh socket reports, so that a restore is visible.
constexpr hci_filter saved_filter{0x16, {0x1234, 0x5678}, 0x0C03};

class FakeHciDevice final : public sensor_handler::HciDevice {
 public:
  ~FakeHciDevice() override {
    if (open_ >= 0) close(open_);
    for (int fd : peers_) close(fd);
  }

  // Calls named `step` ("open", "scan_parameters", "scan_enable 1",
  // "get_filter", "set_filter") fail, `times` times or always (-1).
  void fail(const std::string &step, int times = -1) {
    Hold hold(lock_);
    failing_[step] = times;
  }

  std::vector<std::string> calls() const {
    Hold hold(lock_);
    return calls_;
  }
  std::size_t count(const std::string &call) const {
    Hold hold(lock_);
    return static_cast<std::size_t>(std::count(calls_.begin(), calls_.end(), call));
  }
  int misuse() const {
    Hold hold(lock_);
    return misuse_;
  }
  int open_handle() const {
    Hold hold(lock_);
    return open_;
  }
  int peer() const {
    Hold hold(lock_);
    return peers_.empty() ? -1 : peers_.back();
  }

  int open_device(int index) override {
    Hold hold(lock_);
    calls_.push_back("open " + std::to_string(index));
    int ends[2];
    if (failing("open") || socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return -1;
    peers_.push_back(ends[1]);
    open_ = ends[0];
    return open_;
  }
  void close_device(int handle) override {
    Hold hold(lock_);
    record(handle, "close");
    if (handle == open_ && open_ >= 0) {
      close(open_);
      open_ = -1;
    }
  }
  int set_scan_parameters(int handle, std::uint8_t type, std::uint16_t interval, std::uint16_t window,
                          std::uint8_t own_type, std::uint8_t policy, int timeout) override {
    char text[96];
    std::snprintf(text, sizeof text, "scan_parameters %u %04X %04X %u %u %d", type, interval, window,
                  own_type, policy, timeout);
    return answer(handle, text, "scan_parameters");
  }
  int set_scan_enable(int handle, std::uint8_t enable, std::uint8_t duplicates, int timeout) override {
    char text[64];
    std::snprintf(text, sizeof text, "scan_enable %u %u %d", enable, duplicates, timeout);
    return answer(handle, text, "scan_enable " + std::to_string(enable));
  }
  int get_filter(int handle, hci_filter *filter) override {
    if (answer(handle, "get_filter", "get_filter") != 0) return -1;
    *filter = saved_filter;
    return 0;
  }
  int set_filter(int handle, const hci_filter &filter) override {
    return answer(handle, filter_text(filter), "set_filter");
  }

 private:
  using Hold = std::lock_guard<std::mutex>;

  int answer(int handle, const std::string &call, const std::string &step) {
    Hold hold(lock_);
    record(handle, call);
    return failing(step) ? -1 : 0;
  }
  void record(int handle, const std::string &call) {
    calls_.push_back(call);
    if (handle != open_ || open_ < 0) ++misuse_;
  }
  bool failing(const std::string &step) {
    auto it = failing_.find(step);
    if (it == failing_.end() || it->second == 0) return false;
    if (it->second > 0) --it->second;
    return true;
  }

  mutable std::mutex lock_;
  std::vector<std::string> calls_;
  std::map<std::string, int> failing_;
  int open_ = -1;
  std::vector<int> peers_;
  int misuse_ = 0;
};

}  // namespace scan_test
