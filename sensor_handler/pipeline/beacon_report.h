// The view through which every pipeline stage reads one LE advertising
// report, the texts derived from it, the two comparisons that recognise a
// repeat, and the MAC, RSSI and UUID filters.
//
// A BeaconReport points into the HCI reader's event buffer (scan/hci_reader.h)
// and owns nothing. It is made only by parse_beacon_report, which checks that
// the whole report (its data length at most 31 and its RSSI byte) lies inside
// the bytes actually read; every accessor below therefore stays inside what
// the controller delivered. A default-constructed view reads as an empty
// report (address 000000000000, no data, RSSI 0).
//
// Threads: thread_one and thread_two call everything here at the same time
// on the same report. Nothing here prints, allocates or writes shared state;
// the filters only read service_config, which no worker writes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sensor_handler {

// Layout of one report inside an LE Advertising Report event.
constexpr std::size_t report_address_offset = 2;
constexpr std::size_t report_address_size = 6;
constexpr std::size_t report_length_offset = 8;
constexpr std::size_t report_data_offset = 9;
// A legacy advertisement carries at most 31 data bytes.
constexpr std::size_t max_advertising_data = 31;
// Event type, address type, address, length, RSSI: a report with no data.
constexpr std::size_t min_report_size = report_data_offset + 1;

// Text buffer sizes, NUL included.
constexpr std::size_t address_text_size = 2 * report_address_size + 1;   // 13
constexpr std::size_t payload_text_size = 2 * max_advertising_data + 1;  // 63
constexpr std::size_t uuid_text_size = 2 * 16 + 1;                       // 33

class BeaconReport {
 public:
  BeaconReport();

  std::uint8_t event_type() const { return bytes_[0]; }
  std::uint8_t address_type() const { return bytes_[1]; }
  // Six bytes, least significant first, as received.
  const std::uint8_t *address() const { return bytes_ + report_address_offset; }
  // N, at most 31.
  std::uint8_t data_length() const { return bytes_[report_length_offset]; }
  const std::uint8_t *data() const { return bytes_ + report_data_offset; }
  // The RSSI byte as sent (two's complement dBm) and as a signed value.
  std::uint8_t rssi_byte() const { return bytes_[report_data_offset + data_length()]; }
  std::int8_t rssi() const { return static_cast<std::int8_t>(rssi_byte()); }
  // The event-type byte; the report occupies size() bytes from here.
  const std::uint8_t *bytes() const { return bytes_; }
  std::size_t size() const { return min_report_size + data_length(); }

 private:
  friend int parse_beacon_report(const std::uint8_t *, std::size_t, BeaconReport *);
  const std::uint8_t *bytes_;
};

// Makes *report a view of the report that starts at bytes, of which only
// available bytes exist. Returns 0, or 1 (report unchanged) when the data
// length exceeds 31 or the report runs past the available bytes.
int parse_beacon_report(const std::uint8_t *bytes, std::size_t available, BeaconReport *report);

// Texts, upper-case hexadecimal without separators, always NUL-terminated.
// Address: most significant byte first (bytes 11 22 33 44 55 66 read
// 665544332211). Payload: the N data bytes in received order. Both return
// the number of characters written.
int address_text(const BeaconReport &report, char (&text)[address_text_size]);
int address_text(const std::uint8_t *address, char (&text)[address_text_size]);
int payload_text(const BeaconReport &report, char (&text)[payload_text_size]);

// 0 when all six bytes are equal, 1 otherwise.
int same_address(const std::uint8_t *address, const std::uint8_t *other);

// 0 when the report's payload text equals stored, otherwise the sign of the
// string comparison (stored is read up to its NUL only).
int payload_differs(const BeaconReport &report, const char *stored);

// Filters: 1 rejects the report, 0 lets it pass. Modes and lists come from
// service_config (mac_filtering / mac_list, rssi_filter_enabled /
// rssi_threshold, uuid_filtering / uuid_list); list entries are compared
// whole and case-sensitively with the upper-case texts.
int mac_filter(const BeaconReport &report);
int rssi_filter(const BeaconReport &report);
// An advertisement whose data is too short to hold the iBeacon prefix and
// the 16 UUID bytes behind it is not an iBeacon: rejected in both modes,
// and nothing beyond its data is read.
int uuid_filter(const BeaconReport &report);

// The MAC and UUID filters on an address (six bytes, least significant
// first) and on advertising data of any length, for extended advertisements.
int mac_filter(const std::uint8_t *address);
int uuid_filter(const std::uint8_t *data, std::size_t length);

}  // namespace sensor_handler
