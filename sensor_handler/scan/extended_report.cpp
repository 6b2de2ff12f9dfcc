#include "extended_report.h"

#include <cstring>

namespace sensor_handler {

namespace {

// Bits 0-6 of the extended event type: connectable, scannable, directed,
// scan response, legacy PDU and the data status, which a legacy PDU always
// gives as complete. Bits 7-15 are reserved and ignored on receipt.
constexpr std::uint16_t defined_type_bits = 0x007F;

struct LegacyType {
  std::uint8_t extended;
  std::uint8_t legacy;
};

// The six legacy PDUs as an extended report gives them; a scan response
// answers either an ADV_IND or an ADV_SCAN_IND, and the legacy report does
// not tell the two apart.
constexpr LegacyType legacy_types[] = {
    {0x13, 0},  // ADV_IND
    {0x15, 1},  // ADV_DIRECT_IND
    {0x12, 2},  // ADV_SCAN_IND
    {0x10, 3},  // ADV_NONCONN_IND
    {0x1B, 4},  // SCAN_RSP to an ADV_IND
    {0x1A, 4},  // SCAN_RSP to an ADV_SCAN_IND
};

}  // namespace

int parse_extended_report(const std::uint8_t *bytes, std::size_t available,
                          ExtendedReport *report) {
  if (bytes == nullptr || report == nullptr || available < extended_data_offset) return 1;
  if (extended_data_offset + bytes[extended_length_offset] > available) return 1;
  report->bytes_ = bytes;
  return 0;
}

int legacy_report_from_extended(const ExtendedReport &report,
                                std::uint8_t (&bytes)[legacy_report_capacity],
                                BeaconReport *converted) {
  if (!report.legacy_pdu() || report.data_length() > max_advertising_data) return 1;
  const std::uint16_t type = report.event_type() & defined_type_bits;
  const LegacyType *match = nullptr;
  for (const LegacyType &known : legacy_types) {
    if (known.extended == type) match = &known;
  }
  if (match == nullptr) return 1;

  const std::size_t length = report.data_length();
  bytes[0] = match->legacy;
  bytes[1] = report.address_type();
  std::memcpy(bytes + report_address_offset, report.address(), report_address_size);
  bytes[report_length_offset] = static_cast<std::uint8_t>(length);
  std::memcpy(bytes + report_data_offset, report.data(), length);
  bytes[report_data_offset + length] = report.rssi_byte();
  return parse_beacon_report(bytes, min_report_size + length, converted);
}

}  // namespace sensor_handler
