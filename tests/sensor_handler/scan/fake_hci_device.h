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

  // Calls named `step` ("open", "read_commands", "scan_parameters",
  // "scan_enable 1", "ext_scan_enable 1", "get_filter", "set_filter") get
  // no answer, `times` times or always (-1).
  void fail(const std::string &step, int times = -1) {
    Hold hold(lock_);
    failing_[step] = times;
  }

  // A Bluetooth 5 controller: it has the extended scan commands, the Coded
  // PHY if asked, and, when strict, refuses the legacy ones (as after the
  // kernel's initialisation).
  void bluetooth_5(bool strict, bool coded = true) {
    Hold hold(lock_);
    extended_ = true;
    legacy_refused_ = strict;
    coded_ = coded;
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
  // The commands the scan controller sends, as text; the two reads tell
  // what bluetooth_5 made of the controller.
  int command(int handle, std::uint16_t opcode, const std::uint8_t *p, std::uint8_t length,
              std::uint8_t *reply, std::size_t reply_size, int timeout) override {
    char text[96] = "command";
    std::string step;
    bool legacy = false, extended = false;
    auto u16 = [&](int at) { return static_cast<unsigned>(p[at] | p[at + 1] << 8); };
    if (opcode == 0x1002 || opcode == 0x2003) {
      step = opcode == 0x1002 ? "read_commands" : "read_features";
      std::snprintf(text, sizeof text, "%s", step.c_str());
      std::fill(reply, reply + reply_size, 0);
      if (opcode == 0x1002 && reply_size > 37 && extended_) reply[37] = 0x60;
      if (opcode == 0x2003 && reply_size > 1 && coded_) reply[1] = 0x08;
    } else if (opcode == 0x200B && length == 7) {
      step = "scan_parameters", legacy = true;
      std::snprintf(text, sizeof text, "scan_parameters %u %04X %04X %u %u %d", p[0], u16(1), u16(3),
                    p[5], p[6], timeout);
    } else if (opcode == 0x200C && length == 2) {
      step = "scan_enable " + std::to_string(p[0]), legacy = true;
      std::snprintf(text, sizeof text, "scan_enable %u %u %d", p[0], p[1], timeout);
    } else if (opcode == 0x2041 && length >= 8 && (length - 3) % 5 == 0) {
      step = "ext_scan_parameters", extended = true;
      int at = std::snprintf(text, sizeof text, "ext_scan_parameters %u %u %u", p[0], p[1], p[2]);
      for (int entry = 3; entry < length && at > 0 && at < 64; entry += 5) {
        at += std::snprintf(text + at, sizeof text - static_cast<std::size_t>(at), " %u %04X %04X",
                            p[entry], u16(entry + 1), u16(entry + 3));
      }
    } else if (opcode == 0x2042 && length == 6) {
      step = "ext_scan_enable " + std::to_string(p[0]), extended = true;
      std::snprintf(text, sizeof text, "ext_scan_enable %u %u %04X %04X", p[0], p[1], u16(2), u16(4));
    }
    if (answer(handle, text, step) != 0) return -1;
    Hold hold(lock_);
    if (extended && !extended_) return 0x01;  // Unknown HCI Command
    if (legacy && legacy_refused_) return 0x0C;  // Command Disallowed
    return 0;
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
  bool extended_ = false;
  bool legacy_refused_ = false;
  bool coded_ = false;
};

}  // namespace scan_test
