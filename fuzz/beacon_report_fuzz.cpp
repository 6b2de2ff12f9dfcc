// One HCI event as the raw socket delivers it (packet indicator, event code,
// parameter length, subevent, report count, reports), walked report by
// report by the read phase's own walk, then every text and filter on each
// report. The event is copied into a block of exactly its size so that any
// read past it trips AddressSanitizer. The first byte, the packet indicator
// on the wire, picks the filter modes instead, so both list modes and both
// iBeacon positions are reached. Each report must start where the one
// before it ended and end within the bytes and the length the event
// declares.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_target.h"
#include "config/configuration.h"
#include "pipeline/beacon_report.h"
#include "scan/hci_reader.h"

using namespace sensor_handler;

namespace {

constexpr std::size_t parameter_length_offset = 2;
constexpr std::size_t first_report_offset = 5;

void check_report(const BeaconReport &report, const std::uint8_t *start, std::size_t available) {
  if (report.bytes() != start || report.size() > available) std::abort();
  if (report.data_length() > max_advertising_data) std::abort();

  char address[address_text_size];
  char payload[payload_text_size];
  if (address_text(report, address) != 12 || std::strlen(address) != 12) std::abort();
  char expected[address_text_size];
  const std::uint8_t *a = report.address();
  std::snprintf(expected, sizeof expected, "%02X%02X%02X%02X%02X%02X", a[5], a[4], a[3], a[2],
                a[1], a[0]);
  if (std::strcmp(address, expected) != 0) std::abort();
  if (payload_text(report, payload) != 2 * report.data_length()) std::abort();
  if (payload_differs(report, payload) != 0) std::abort();
  if (same_address(report.address(), report.address()) != 0) std::abort();

  // The list holds this report's own address: mode 1 keeps it, 2 and 3 drop it.
  std::snprintf(service_config.mac_list.entries[0], gw::filter_entry_size, "%s", address);
  const int mac = mac_filter(report);
  if (mac != (service_config.mac_filtering >= 2 ? 1 : 0)) std::abort();
  (void)rssi_filter(report);
  (void)uuid_filter(report);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *input, std::size_t size) {
  if (size < first_report_offset) return 0;
  auto *event = static_cast<std::uint8_t *>(std::malloc(size));
  if (event == nullptr) return 0;
  std::memcpy(event, input, size);

  service_config.mac_filtering = event[0] & 0x03;
  service_config.uuid_filtering = (event[0] >> 2) & 0x03;
  service_config.rssi_filter_enabled = (event[0] >> 4) & 0x01;
  service_config.rssi_threshold = -70;
  service_config.mac_list.count = 1;
  service_config.uuid_list.count = 1;
  std::snprintf(service_config.uuid_list.entries[0], gw::filter_entry_size,
                "E2C56DB5DFFB48D2B060D0F5A71096E0");

  std::size_t end = size;
  const std::size_t declared = first_report_offset - 2 + event[parameter_length_offset];
  if (declared < end) end = declared;
  std::size_t offset = first_report_offset;
  for_each_advertising_report(event, size, [&](const BeaconReport &report) {
    if (offset >= end) std::abort();
    check_report(report, event + offset, end - offset);
    offset += report.size();
    return true;
  });
  std::free(event);
  return 0;
}
