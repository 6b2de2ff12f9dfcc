// The controller side of the HCI link: answers the commands the kernel (and
// the gateway through its raw socket) sends, keeps the LE scan state, and
// while scanning is enabled turns the scenario's advertisers into LE
// Advertising Report events, one report per event unless the scenario packs
// reports due together, and plays its replays' recorded events as they
// are. Everything it does is logged as one "<kind> key=value ..." line per
// fact.
//
// Threads: one thread owns a Controller; it is not shared. Time is passed
// in by the caller (microseconds on any monotonic clock), so the same code
// runs on /dev/vhci and under test.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "scenario.h"

namespace rig {

// HCI command opcodes the controller knows by name.
namespace opcode {
constexpr std::uint16_t reset = 0x0C03;
constexpr std::uint16_t le_set_scan_parameters = 0x200B;
constexpr std::uint16_t le_set_scan_enable = 0x200C;
}  // namespace opcode

// HCI error codes the controller answers with.
namespace status {
constexpr std::uint8_t success = 0x00;
constexpr std::uint8_t unknown_command = 0x01;
constexpr std::uint8_t command_disallowed = 0x0C;
constexpr std::uint8_t invalid_parameters = 0x12;
}  // namespace status

class Controller {
 public:
  // writer receives each packet for the host, packet indicator first.
  using Writer = std::function<void(const std::uint8_t *packet, std::size_t length)>;

  Controller(Scenario scenario, Writer writer, std::FILE *log, std::uint64_t start_us);

  // One packet from the host, packet indicator first.
  void on_host_packet(const std::uint8_t *packet, std::size_t length, std::uint64_t now_us);
  // Sends every report due by now (all of them at once when the caller
  // fell behind: a real radio does not slow down for a busy host).
  void send_due_reports(std::uint64_t now_us);
  // When send_due_reports next has work; nothing while no report can come.
  std::optional<std::uint64_t> next_due_us() const;
  // One "advertiser" line per advertiser (and replay) and a "summary" line.
  void write_summary(std::uint64_t now_us);
  // The host side of the link went away (vhci closed) or came back: the
  // controller loses its scan, as a dongle pulled out does.
  void unplugged(std::uint64_t now_us);
  void replugged(std::uint64_t now_us);

  bool scanning() const { return scan_enabled_; }
  bool muted() const { return muted_; }

 private:
  struct Progress {
    std::uint64_t next = 0;  // index of the next report
    std::uint64_t sent = 0, missed = 0, filtered = 0;
    std::optional<std::uint64_t> first_us, last_us;
  };

  void answer(std::uint16_t command, const std::vector<std::uint8_t> &return_parameters);
  std::vector<std::uint8_t> handle_command(std::uint16_t command, const std::uint8_t *parameters,
                                           std::size_t length, std::uint64_t now_us);
  // Mutes the controller once a mute time has come, after delivering what
  // was due before it.
  void check_mute_time(std::uint64_t now_us);
  // Sends (or, while not scanning, counts as missed) reports due by now.
  void deliver(std::uint64_t now_us);
  void send_report(const Advertiser &advertiser, Progress &progress, std::uint64_t now_us);
  // A replay's next recorded event, whole and on its own.
  void send_recorded(const Advertiser &advertiser, Progress &progress, std::uint64_t now_us);
  // Sends the reports gathered for one event, if any.
  void flush_event();
  std::uint64_t due_us(std::size_t index) const;
  void log_line(std::uint64_t now_us, const char *format, ...)
      __attribute__((format(printf, 3, 4)));

  Scenario scenario_;
  Writer writer_;
  std::FILE *log_;
  std::uint64_t start_us_;
  std::vector<Progress> progress_;
  std::vector<std::uint32_t> mute_seen_;  // per mute: occurrences of its command so far
  bool muted_ = false;
  std::uint64_t commands_ = 0;
  std::uint64_t events_ = 0;
  std::vector<std::uint8_t> pending_reports_;  // whole reports of the next event
  std::uint32_t pending_count_ = 0;

  bool scan_enabled_ = false;
  bool filter_duplicates_ = false;
  std::set<std::string> heard_;  // address + data of reports sent since the enable
  std::optional<std::uint64_t> clock_start_us_;  // first scan enable: the advertisers' zero
};

}  // namespace rig
