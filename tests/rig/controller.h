// The controller side of the HCI link: answers the commands the kernel (and
// the gateway through its raw socket) sends, keeps the LE scan state, and
// while scanning is enabled turns the scenario's advertisers into LE
// Advertising Report events, one report per event unless the scenario packs
// reports due together, and plays its replays' recorded events as they
// are. A Bluetooth 5 personality adds the extended scanning commands: while
// a scan enabled with them is on, the same reports (and the replays'
// events, converted) go out as LE Extended Advertising Reports, and the
// scenario's extended advertisers are heard on the PHYs that scan scans,
// their long data chained over several reports. Everything
// it does is logged as one "<kind> key=value ..." line per fact.
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
constexpr std::uint16_t le_read_number_of_supported_advertising_sets = 0x203B;
constexpr std::uint16_t le_set_extended_scan_parameters = 0x2041;
constexpr std::uint16_t le_set_extended_scan_enable = 0x2042;
}  // namespace opcode

// HCI error codes the controller answers with.
namespace status {
constexpr std::uint8_t success = 0x00;
constexpr std::uint8_t unknown_command = 0x01;
constexpr std::uint8_t command_disallowed = 0x0C;
constexpr std::uint8_t unsupported_feature = 0x11;
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
  bool extended_scanning() const { return scan_enabled_ && extended_scan_; }
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
  std::uint8_t set_extended_scan_parameters(const std::uint8_t *parameters, std::size_t length,
                                            std::uint64_t now_us);
  void set_scan_enable(bool enable, bool filter_duplicates, bool extended, std::uint64_t now_us);
  // Mutes the controller once a mute time has come, after delivering what
  // was due before it.
  void check_mute_time(std::uint64_t now_us);
  // Sends (or, while not scanning, counts as missed) reports due by now.
  void deliver(std::uint64_t now_us);
  void send_report(const Advertiser &advertiser, Progress &progress, std::uint64_t now_us);
  // A replay's next recorded event, whole and on its own (its reports
  // converted to the extended layout while extended scanning is on).
  void send_recorded(const Advertiser &advertiser, Progress &progress, std::uint64_t now_us);
  // Whether an advertisement of this advertiser due now reaches the host:
  // scanning, not muted, and the scan in use takes its PDU and PHY.
  bool hears(const Advertiser &advertiser) const;
  // An extended advertiser's next advertisement: one LE Extended
  // Advertising Report event per fragment of its chain, and an "extended"
  // log line with the row the gateway stores of it.
  void send_extended(const Advertiser &advertiser, Progress &progress, std::uint64_t now_us);
  // A noise advertiser's next LE Meta event, on its own.
  void send_noise(const Advertiser &advertiser, Progress &progress, std::uint64_t now_us);
  // Adds one legacy advertisement to the next event in the layout of the
  // scan in use, sending the event first when the report would not fit.
  void add_report(std::uint8_t event_type, std::uint8_t address_type, const std::uint8_t *address,
                  std::int8_t rssi, const std::uint8_t *data, std::size_t length);
  // One report of an LE Extended Advertising Report event; address least
  // significant byte first. set gives the PHYs, SID, TX power and periodic
  // interval of an extended advertiser; without it those of a legacy PDU
  // (or, for a non-legacy type, a plain 1M advertisement of SID 0).
  void append_extended_report(std::vector<std::uint8_t> &out, std::uint16_t event_type,
                              std::uint8_t address_type, const std::uint8_t *address,
                              std::int8_t rssi, const std::uint8_t *data, std::size_t length,
                              const Advertiser *set = nullptr) const;
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
  std::uint64_t extended_events_ = 0;
  std::vector<std::uint8_t> pending_reports_;  // whole reports of the next event
  std::uint32_t pending_count_ = 0;

  bool scan_enabled_ = false;
  bool extended_scan_ = false;  // the scan was enabled with the extended set
  std::uint8_t scan_phys_ = 0x01;  // of the last accepted extended scan parameters
  bool extended_used_ = false;  // an extended command was accepted since the last reset
  bool filter_duplicates_ = false;
  std::set<std::string> heard_;  // address + data of reports sent since the enable
  std::optional<std::uint64_t> clock_start_us_;  // first scan enable: the advertisers' zero
};

}  // namespace rig
