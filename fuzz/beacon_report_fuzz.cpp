// libFuzzer target: one HCI event as the raw socket delivers it, viewed the
// way the read phase views it, then every text and filter on the report.
// The input is copied into a block of exactly its size so that any read
// past the event trips AddressSanitizer. The first byte also picks the
// filter modes, so both list modes and both iBeacon positions are reached.
//
// Not part of the CMake build (GCC has no libFuzzer). From the repository:
//   clang++ -std=c++20 -g -fsanitize=fuzzer,address,undefined \
//     -Isensor_handler -Icommon fuzz/beacon_report_fuzz.cpp \
//     sensor_handler/pipeline/beacon_report.cpp sensor_handler/config/*.cpp \
//     common/*.cpp $(pkg-config --libs sqlite3 libmosquitto json-c bluez) \
//     -o /tmp/beacon_report_fuzz
//   /tmp/beacon_report_fuzz fuzz/beacon_report_corpus
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/configuration.h"
#include "pipeline/beacon_report.h"

using namespace sensor_handler;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *input, std::size_t size) {
  if (size < 5) return 0;
  std::uint8_t *event = static_cast<std::uint8_t *>(std::malloc(size));
  if (event == nullptr) return 0;
  std::memcpy(event, input, size);

  service_config.mac_filtering = event[0] & 0x03;
  service_config.uuid_filtering = (event[0] >> 2) & 0x03;
  service_config.rssi_filter_enabled = (event[0] >> 4) & 0x01;
  service_config.rssi_threshold = -70;
  service_config.mac_list.count = 1;
  std::snprintf(service_config.mac_list.entries[0], gw::filter_entry_size, "AABBCCDDEEFF");
  service_config.uuid_list.count = 1;
  std::snprintf(service_config.uuid_list.entries[0], gw::filter_entry_size,
                "E2C56DB5DFFB48D2B060D0F5A71096E0");

  std::size_t usable = size;
  if (3u + event[2] < usable) usable = 3u + event[2];
  BeaconReport report;
  if (event[4] != 0 && usable > 5 && parse_beacon_report(event + 5, usable - 5, &report) == 0) {
    if (5 + report.size() > usable) std::abort();
    char address[address_text_size];
    char payload[payload_text_size];
    address_text(report, address);
    payload_text(report, payload);
    if (payload_differs(report, payload) != 0) std::abort();
    (void)same_address(report.address(), report.address());
    (void)mac_filter(report);
    (void)rssi_filter(report);
    (void)uuid_filter(report);
  }
  std::free(event);
  return 0;
}
