// The view of one report inside an LE Extended Advertising Report event
// (subevent 0x0D), and the turning of a legacy advertisement heard through
// such a report into the legacy report layout that the pipeline reads
// (pipeline/beacon_report.h).
//
// A controller scanning with the extended commands reports every
// advertisement this way, legacy ones included; a management client
// scanning beside the gateway makes the kernel pass such events to our
// socket as well. A legacy advertisement converted here gives the pipeline
// exactly the bytes a legacy scan would have given it, so its rows,
// counters and batches are the same.
//
// An ExtendedReport points into the HCI reader's event buffer and owns
// nothing; parse_extended_report checks that the whole report lies inside
// the bytes it may use. The conversion writes into a buffer the caller
// owns. Nothing here allocates, prints or touches shared state: it runs on
// sensor_thread inside the read phase, and in tests on any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pipeline/beacon_report.h"

namespace sensor_handler {

// Layout of one report: event type (2 bytes, little-endian), address type,
// address (6), primary PHY, secondary PHY, advertising SID, TX power, RSSI,
// periodic advertising interval (2), direct address type, direct address
// (6), data length, data.
constexpr std::size_t extended_address_type_offset = 2;
constexpr std::size_t extended_address_offset = 3;
constexpr std::size_t extended_rssi_offset = 13;
constexpr std::size_t extended_length_offset = 23;
constexpr std::size_t extended_data_offset = 24;

// Event type bits: the legacy-PDU bit, and the two bits of data status.
constexpr std::uint16_t extended_legacy_pdu = 0x0010;
enum class ExtendedDataStatus : std::uint8_t { complete, more_to_come, truncated, reserved };

// Room for the longest legacy report: 31 data bytes with the 10 around them.
constexpr std::size_t legacy_report_capacity = min_report_size + max_advertising_data;

// Made only by parse_extended_report; a default-constructed view is read
// by nothing.
class ExtendedReport {
 public:
  std::uint16_t event_type() const {
    return static_cast<std::uint16_t>(bytes_[0] | bytes_[1] << 8);
  }
  bool legacy_pdu() const { return (event_type() & extended_legacy_pdu) != 0; }
  ExtendedDataStatus data_status() const {
    return static_cast<ExtendedDataStatus>((event_type() >> 5) & 0x03);
  }
  std::uint8_t address_type() const { return bytes_[extended_address_type_offset]; }
  // Six bytes, least significant first, as received.
  const std::uint8_t *address() const { return bytes_ + extended_address_offset; }
  std::uint8_t rssi_byte() const { return bytes_[extended_rssi_offset]; }
  std::uint8_t data_length() const { return bytes_[extended_length_offset]; }
  const std::uint8_t *data() const { return bytes_ + extended_data_offset; }
  // The event-type byte; the report occupies size() bytes from here, and
  // the fields without an accessor lie at their offsets above.
  const std::uint8_t *bytes() const { return bytes_; }
  std::size_t size() const { return extended_data_offset + data_length(); }

 private:
  friend int parse_extended_report(const std::uint8_t *, std::size_t, ExtendedReport *);
  const std::uint8_t *bytes_ = nullptr;
};

// Makes *report a view of the report that starts at bytes, of which only
// available bytes exist. Returns 0, or 1 (report unchanged) when the report
// runs past them.
int parse_extended_report(const std::uint8_t *bytes, std::size_t available,
                          ExtendedReport *report);

// Writes the legacy layout of a legacy advertisement (event type 0 ADV_IND,
// 1 ADV_DIRECT_IND, 2 ADV_SCAN_IND, 3 ADV_NONCONN_IND, 4 SCAN_RSP; address
// type; address; data length; data; RSSI) into bytes and makes *converted a
// view of it. Returns 0, or 1 (nothing written) when the report is no legacy
// PDU: the legacy bit clear, a type no legacy PDU has, or more than 31 data
// bytes.
int legacy_report_from_extended(const ExtendedReport &report,
                                std::uint8_t (&bytes)[legacy_report_capacity],
                                BeaconReport *converted);

}  // namespace sensor_handler
