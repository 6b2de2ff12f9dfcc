// What the virtual controller plays: its own address, the advertisers it
// hears while LE scanning is enabled, and when it stops answering. The
// text form is described at the top of virtual_controller.cpp; this is the
// parsed form, built once at start and then only read by the controller's
// one thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rig {

// Byte by byte on purpose: GCC 12 at -O2 takes vector::insert of a short
// byte range for an out-of-bounds copy (a false positive of its bounds
// checks) and the build treats warnings as errors.
template <typename Iterator>
void append(std::vector<std::uint8_t> &out, Iterator first, Iterator last) {
  for (; first != last; ++first) out.push_back(static_cast<std::uint8_t>(*first));
}

using Address = std::array<std::uint8_t, 6>;  // most significant byte first, as written

// Company identifier 0xFFFF (reserved for tests) marks the sequence AD
// structure the controller appends to each report of a sequenced
// advertiser: 07 FF FF FF followed by the report's number, big-endian.
constexpr std::uint8_t sequence_ad_length = 8;

struct Advertiser {
  std::string name;
  Address address{};
  std::uint8_t address_type = 0;  // 0 public, 1 random
  std::uint8_t event_type = 0;    // ADV_IND unless given
  std::int8_t rssi = -60;
  std::vector<std::uint8_t> data;  // advertising data, at most 31 bytes with the sequence
                                   // (max_extended_data for an extended advertiser)
  std::uint32_t devices = 1;       // report i comes from address + (i % devices)
  bool sequence = false;           // append the sequence AD structure
  std::uint64_t start_us = 0;      // after the first scan enable
  // Report i is due at start_us + i * period_numerator / period_denominator
  // microseconds: exact for rates that do not divide a second evenly.
  std::uint64_t period_numerator = 100000;
  std::uint64_t period_denominator = 1;
  std::uint64_t count = 0;  // 0: for ever
  // A replay: recorded events, event code first, sent whole in place of
  // built reports, event i being recorded[i % size]; of the fields above
  // only name, start, period and count then apply.
  std::vector<std::vector<std::uint8_t>> recorded;
  // Noise: LE Meta events other than the reports a scanner asks for, in
  // place of reports: event i is a non-legacy extended advertisement of
  // this advertiser (i even) or an LE Channel Selection Algorithm event
  // (i odd).
  bool noise = false;
  // An extended advertiser (not a legacy PDU): heard only by an extended
  // scan of its primary PHY, its data chained over as many reports as it
  // needs. event_type is then the extended event type's low four bits
  // (connectable, scannable, directed, scan response).
  bool extended = false;
  std::uint8_t primary_phy = 1;    // 1 LE 1M, 3 LE Coded
  std::uint8_t secondary_phy = 1;  // 1 LE 1M, 2 LE 2M, 3 LE Coded
  std::uint8_t sid = 0;
  std::int8_t tx_power = 127;      // 127: not available
  std::uint16_t periodic_interval = 0;
  bool truncated = false;          // the chain's last report says "truncated"
};

// The longest advertising data an extended advertiser sends, as the Core
// allows for one advertising set.
constexpr std::size_t max_extended_data = 1650;
// The address type of an anonymous extended advertisement (no address sent).
constexpr std::uint8_t anonymous_address = 0xFF;

struct Mute {
  // Stop answering when this command arrives for the occurrence-th time
  // (that one is not answered either) ...
  std::optional<std::uint16_t> command;
  std::uint32_t occurrence = 1;
  // ... or once this many milliseconds have passed since the start.
  std::optional<std::uint64_t> time_ms;
};

// A report takes at most 10 + 31 bytes: six of them fill an event's 255.
constexpr std::uint32_t max_reports_per_event = 6;

// Which controller the scenario plays: today's LE-only Bluetooth 4.0 one,
// or a Bluetooth 5 one with extended advertising and scanning that either
// accepts both command sets or, once an extended command was accepted since
// its last reset, refuses the legacy advertising and scanning commands.
enum class Bt5 { none, lenient, strict };

struct Scenario {
  Address controller_address = {0x00, 0x1B, 0xDC, 0x0F, 0x00, 0x01};
  Bt5 bt5 = Bt5::none;
  // Reports due at the same time go out together, this many to an event,
  // as busy controllers pack them.
  std::uint32_t reports_per_event = 1;
  // A Bluetooth 5 controller reports LE Coded PHY support unless this is
  // off, and then refuses an extended scan of the Coded PHY.
  bool coded = true;
  std::vector<Advertiser> advertisers;
  std::vector<Mute> mutes;
};

// Parses the scenario text, reading the files of its replays (a relative
// path is taken after folder: the scenario file's folder with its trailing
// '/', or empty for the working directory). On failure returns false with
// "line N: why" in error and leaves scenario unspecified.
bool parse_scenario(const std::string &text, Scenario &scenario, std::string &error,
                    const std::string &folder = "");

// The data of an iBeacon advertisement as the board's beacons send it:
// flags (02 01 06), then 1A FF 4C 00 02 15, UUID, major, minor, power.
// Generated advertising data of length bytes: maker-specific AD structures
// (company 0xFFFF) of at most 255 bytes each, filled with a counting byte.
std::vector<std::uint8_t> generated_data(std::size_t length);

std::vector<std::uint8_t> ibeacon_data(const std::array<std::uint8_t, 16> &uuid,
                                       std::uint16_t major, std::uint16_t minor,
                                       std::int8_t power);

}  // namespace rig
