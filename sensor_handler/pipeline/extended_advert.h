// One extended advertisement (Bluetooth 5, not a legacy PDU) as the raw path
// stores it: what the read phase reassembled from one or more LE Extended
// Advertising Reports of one advertiser, with its data cut to SP_BT5_MAXD.
//
// It points into the read phase's reassembly slot and owns nothing; the
// slot stays unchanged until thread_one is done with it (the hand-off's
// rule, as for a legacy report).
#pragma once

#include <cstddef>
#include <cstdint>

namespace sensor_handler {

// The longest extended advertising data the Core allows.
constexpr std::size_t max_extended_advert_data = 1650;

// Flags byte of a PAYLOAD3 row.
constexpr std::uint8_t advert_connectable = 0x01;
constexpr std::uint8_t advert_scannable = 0x02;
constexpr std::uint8_t advert_directed = 0x04;
constexpr std::uint8_t advert_scan_response = 0x08;
constexpr std::uint8_t advert_cut = 0x10;  // longer than SP_BT5_MAXD

struct ExtendedAdvert {
  std::uint8_t address[6] = {};     // least significant byte first; zeros when anonymous
  std::uint8_t address_type = 0;    // 0-3 as reported, 0xFF anonymous
  std::int8_t rssi = 127;           // dBm; 127 not available
  std::int8_t tx_power = 127;       // dBm; 127 not available
  std::uint8_t primary_phy = 1;     // 1 1M, 3 Coded
  std::uint8_t secondary_phy = 0;   // 0 none, 1 1M, 2 2M, 3 Coded
  std::uint8_t sid = 0xFF;          // advertising set, 0xFF none
  std::uint8_t flags = 0;           // advert_* above
  std::uint16_t periodic_interval = 0;
  std::uint16_t data_length = 0;    // bytes stored, at most SP_BT5_MAXD
  const std::uint8_t *data = nullptr;
};

// PAYLOAD3 text: upper-case hexadecimal without separators: address (most
// significant byte first, 12 zeros when anonymous), address type, RSSI, TX
// power, primary PHY, secondary PHY, SID, flags (two digits each), the data
// length in four digits, the data, the receive time in eight digits.
constexpr std::size_t payload3_text_size = 12 + 7 * 2 + 4 + 2 * max_extended_advert_data + 8 + 1;

}  // namespace sensor_handler
