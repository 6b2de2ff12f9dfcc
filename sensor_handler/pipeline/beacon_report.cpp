#include "beacon_report.h"

#include <cstring>

#include "config/configuration.h"

namespace sensor_handler {

namespace {

constexpr std::uint8_t empty_report[min_report_size] = {};

// An AD structure of 26 bytes, manufacturer data of company 0x004C, iBeacon
// type 0x02 with 0x15 bytes: the text form "1AFF4C000215".
constexpr std::uint8_t ibeacon_prefix[6] = {0x1A, 0xFF, 0x4C, 0x00, 0x02, 0x15};
constexpr std::size_t uuid_size = 16;

constexpr char hex_digits[] = "0123456789ABCDEF";

// Writes the "%02X" form of each byte; text has room for 2 * count + 1.
int hex_text(const std::uint8_t *bytes, std::size_t count, char *text) {
  for (std::size_t i = 0; i < count; ++i) {
    text[2 * i] = hex_digits[bytes[i] >> 4];
    text[2 * i + 1] = hex_digits[bytes[i] & 0x0F];
  }
  text[2 * count] = '\0';
  return static_cast<int>(2 * count);
}

// True when text equals one of the list's entries. An entry lacking its NUL
// is compared only within its 35 bytes.
bool listed(const char *text, const gw::FilterList &list) {
  const std::size_t count =
      list.count < gw::filter_entry_count ? list.count : gw::filter_entry_count;
  for (std::size_t i = 0; i < count; ++i) {
    if (std::strncmp(text, list.entries[i], gw::filter_entry_size) == 0) return true;
  }
  return false;
}

// Mode 1 keeps only listed texts; any other non-zero mode drops them.
int list_verdict(std::int32_t mode, bool is_listed) {
  if (mode == 1) return is_listed ? 0 : 1;
  return is_listed ? 1 : 0;
}

}  // namespace

BeaconReport::BeaconReport() : bytes_(empty_report) {}

int parse_beacon_report(const std::uint8_t *bytes, std::size_t available, BeaconReport *report) {
  if (bytes == nullptr || report == nullptr || available < min_report_size) return 1;
  const std::size_t length = bytes[report_length_offset];
  if (length > max_advertising_data) return 1;
  if (min_report_size + length > available) return 1;
  report->bytes_ = bytes;
  return 0;
}

int address_text(const std::uint8_t *address, char (&text)[address_text_size]) {
  std::uint8_t reversed[report_address_size];
  for (std::size_t i = 0; i < report_address_size; ++i) {
    reversed[i] = address[report_address_size - 1 - i];
  }
  return hex_text(reversed, report_address_size, text);
}

int address_text(const BeaconReport &report, char (&text)[address_text_size]) {
  return address_text(report.address(), text);
}

int payload_text(const BeaconReport &report, char (&text)[payload_text_size]) {
  return hex_text(report.data(), report.data_length(), text);
}

int same_address(const std::uint8_t *address, const std::uint8_t *other) {
  for (std::size_t i = 0; i < report_address_size; ++i) {
    if (address[i] != other[i]) return 1;
  }
  return 0;
}

int payload_differs(const BeaconReport &report, const char *stored) {
  char text[payload_text_size];
  payload_text(report, text);
  return std::strcmp(text, stored);
}

int mac_filter(const BeaconReport &report) { return mac_filter(report.address()); }

int mac_filter(const std::uint8_t *address) {
  if (service_config.mac_filtering == 0) return 0;
  char text[address_text_size];
  address_text(address, text);
  return list_verdict(service_config.mac_filtering, listed(text, service_config.mac_list));
}

int rssi_filter(const BeaconReport &report) {
  return service_config.rssi_filter_enabled != 0 && report.rssi() < service_config.rssi_threshold
             ? 1
             : 0;
}

int uuid_filter(const BeaconReport &report) {
  return uuid_filter(report.data(), report.data_length());
}

int uuid_filter(const std::uint8_t *data, std::size_t length) {
  if (service_config.uuid_filtering == 0) return 0;
  // The prefix normally follows a 3-byte flags structure; some beacons put
  // one byte more in front of it.
  std::size_t uuid_start;
  if (length >= 3 + sizeof ibeacon_prefix && std::memcmp(data + 3, ibeacon_prefix, 6) == 0) {
    uuid_start = 9;
  } else if (length >= 4 + sizeof ibeacon_prefix && std::memcmp(data + 4, ibeacon_prefix, 6) == 0) {
    uuid_start = 10;
  } else {
    return 1;
  }
  if (uuid_start + uuid_size > length) return 1;
  char text[uuid_text_size];
  hex_text(data + uuid_start, uuid_size, text);
  return list_verdict(service_config.uuid_filtering, listed(text, service_config.uuid_list));
}

}  // namespace sensor_handler
