#include "pipeline/beacon_report.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "config/configuration.h"
#include "sandbox.h"

namespace sensor_handler {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes address_112233 = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
const Bytes address_aabbcc = {0xFF, 0xEE, 0xDD, 0xCC, 0xBB, 0xAA};
const Bytes uuid_bytes = {0xE2, 0xC5, 0x6D, 0xB5, 0xDF, 0xFB, 0x48, 0xD2,
                          0xB0, 0x60, 0xD0, 0xF5, 0xA7, 0x10, 0x96, 0xE0};
const char uuid_entry[] = "E2C56DB5DFFB48D2B060D0F5A71096E0";

Bytes report_bytes(const Bytes &address, const Bytes &data, std::int8_t rssi) {
  Bytes bytes = {0x03, 0x00};
  bytes.insert(bytes.end(), address.begin(), address.end());
  bytes.push_back(static_cast<std::uint8_t>(data.size()));
  bytes.insert(bytes.end(), data.begin(), data.end());
  bytes.push_back(static_cast<std::uint8_t>(rssi));
  return bytes;
}

// Flags, then the iBeacon structure `lead` bytes later than usual, then
// major, minor and TX power.
Bytes ibeacon_data(std::size_t lead = 0) {
  Bytes data = {0x02, 0x01, 0x06};
  data.insert(data.end(), lead, 0x00);
  data.insert(data.end(), {0x1A, 0xFF, 0x4C, 0x00, 0x02, 0x15});
  data.insert(data.end(), uuid_bytes.begin(), uuid_bytes.end());
  data.insert(data.end(), {0x00, 0x01, 0x00, 0x02, 0xC5});
  return data;
}

// The report is viewed in a heap block of exactly its own size, so a read
// past its end trips AddressSanitizer.
struct Held {
  explicit Held(const Bytes &bytes) : storage(bytes) {
    EXPECT_EQ(parse_beacon_report(storage.data(), storage.size(), &report), 0);
  }
  Bytes storage;
  BeaconReport report;
};

void set_list(gw::FilterList &list, std::initializer_list<const char *> entries) {
  list = {};
  for (const char *entry : entries) {
    std::snprintf(list.entries[list.count++], gw::filter_entry_size, "%s", entry);
  }
}

class BeaconReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gwtest::reset_sandbox();
    service_config = ServiceConfig{};
  }
};

TEST_F(BeaconReportTest, TextFormsAreUpperCaseMostSignificantByteFirst) {
  Held held(report_bytes(address_112233, {0x02, 0x01, 0x06, 0xAB}, -60));
  char address[address_text_size];
  char payload[payload_text_size];
  EXPECT_EQ(address_text(held.report, address), 12);
  EXPECT_STREQ(address, "665544332211");
  EXPECT_EQ(payload_text(held.report, payload), 8);
  EXPECT_STREQ(payload, "020106AB");
  EXPECT_EQ(held.report.rssi(), -60);
  EXPECT_EQ(held.report.rssi_byte(), 0xC4);

  Held full(report_bytes(address_112233, Bytes(31, 0xFE), 5));
  EXPECT_EQ(payload_text(full.report, payload), 62);
  std::string expected;
  for (int i = 0; i < 31; ++i) expected += "FE";
  EXPECT_EQ(payload, expected);
}

TEST_F(BeaconReportTest, ViewRefusesLengthsThatDoNotFit) {
  const Bytes fits = report_bytes(address_112233, {0x02, 0x01, 0x06}, -60);
  BeaconReport report;
  EXPECT_EQ(parse_beacon_report(fits.data(), fits.size(), &report), 0);
  EXPECT_EQ(report.size(), fits.size());
  EXPECT_EQ(parse_beacon_report(fits.data(), fits.size() - 1, &report), 1);

  const Bytes too_long = report_bytes(address_112233, Bytes(32, 0x00), -60);
  EXPECT_EQ(parse_beacon_report(too_long.data(), too_long.size(), &report), 1);
  EXPECT_EQ(parse_beacon_report(fits.data(), min_report_size - 1, &report), 1);

  // The empty view is a readable report with nothing in it.
  const BeaconReport empty;
  char payload[payload_text_size];
  EXPECT_EQ(payload_text(empty, payload), 0);
  EXPECT_EQ(empty.rssi(), 0);
}

TEST_F(BeaconReportTest, RepeatComparisons) {
  Held first(report_bytes(address_112233, {0x02, 0x01, 0x06}, -60));
  Held empty_a(report_bytes(address_112233, {}, -60));
  Held empty_b(report_bytes(address_aabbcc, {}, -70));
  EXPECT_EQ(same_address(first.report.address(), address_112233.data()), 0);
  EXPECT_EQ(same_address(first.report.address(), address_aabbcc.data()), 1);
  const Bytes last_differs = {0x11, 0x22, 0x33, 0x44, 0x55, 0x67};
  EXPECT_EQ(same_address(first.report.address(), last_differs.data()), 1);

  EXPECT_EQ(payload_differs(first.report, "020106"), 0);
  EXPECT_NE(payload_differs(first.report, "02010"), 0);
  EXPECT_NE(payload_differs(first.report, "0201060"), 0);
  EXPECT_NE(payload_differs(first.report, "020107"), 0);
  char empty_text[payload_text_size];
  payload_text(empty_b.report, empty_text);
  EXPECT_EQ(payload_differs(empty_a.report, empty_text), 0);
}

TEST_F(BeaconReportTest, MacFilterModesAndListForms) {
  Held listed(report_bytes(address_aabbcc, {}, -60));
  Held other(report_bytes(address_112233, {}, -60));

  EXPECT_EQ(mac_filter(listed.report), 0) << "mode 0 passes everything";
  service_config.mac_filtering = 1;
  EXPECT_EQ(mac_filter(listed.report), 1) << "allow list, empty";
  service_config.mac_filtering = 2;
  EXPECT_EQ(mac_filter(listed.report), 0) << "deny list, empty";

  set_list(service_config.mac_list, {"0A1B2C3D4E5F", "AABBCCDDEEFF"});
  service_config.mac_filtering = 1;
  EXPECT_EQ(mac_filter(listed.report), 0);
  EXPECT_EQ(mac_filter(other.report), 1);
  service_config.mac_filtering = 7;
  EXPECT_EQ(mac_filter(listed.report), 1);
  EXPECT_EQ(mac_filter(other.report), 0);

  // Lower case and separators the configuration reader leaves in place never
  // match; an entry past the count is not part of the list.
  service_config.mac_filtering = 1;
  for (const char *entry : {"aabbccddeeff", "AA-BB-CC-DD-EE-FF", "AABBCCDDEEF", "AABBCCDDEEFF0"}) {
    set_list(service_config.mac_list, {entry});
    EXPECT_EQ(mac_filter(listed.report), 1) << entry;
  }
  set_list(service_config.mac_list, {"000000000000", "AABBCCDDEEFF"});
  service_config.mac_list.count = 1;
  EXPECT_EQ(mac_filter(listed.report), 1);
}

TEST_F(BeaconReportTest, RssiThresholdIsInclusive) {
  Held at(report_bytes(address_112233, {}, -70));
  Held below(report_bytes(address_112233, {}, -71));
  Held positive(report_bytes(address_112233, {}, 5));
  EXPECT_EQ(rssi_filter(below.report), 0) << "no threshold configured";
  service_config.rssi_filter_enabled = 1;
  service_config.rssi_threshold = -70;
  EXPECT_EQ(rssi_filter(at.report), 0);
  EXPECT_EQ(rssi_filter(below.report), 1);
  EXPECT_EQ(rssi_filter(positive.report), 0);
}

TEST_F(BeaconReportTest, UuidFilterModesAndPrefixPositions) {
  Held usual(report_bytes(address_112233, ibeacon_data(0), -60));
  Held shifted(report_bytes(address_112233, ibeacon_data(1), -60));
  Held flags_only(report_bytes(address_112233, {0x02, 0x01, 0x06}, -60));

  EXPECT_EQ(uuid_filter(flags_only.report), 0) << "mode 0 passes everything";
  service_config.uuid_filtering = 1;
  EXPECT_EQ(uuid_filter(usual.report), 1) << "allow list, empty";
  set_list(service_config.uuid_list, {"00000000000000000000000000000000", uuid_entry});
  EXPECT_EQ(uuid_filter(usual.report), 0);
  EXPECT_EQ(uuid_filter(shifted.report), 0) << "prefix one byte late, UUID from data byte 10";
  EXPECT_EQ(uuid_filter(flags_only.report), 1);

  service_config.uuid_filtering = 2;
  EXPECT_EQ(uuid_filter(usual.report), 1);
  EXPECT_EQ(uuid_filter(flags_only.report), 1) << "not an iBeacon in a deny list either";
  set_list(service_config.uuid_list, {"11111111111111111111111111111111"});
  EXPECT_EQ(uuid_filter(usual.report), 0);

  service_config.uuid_filtering = 1;
  for (const char *entry :
       {"e2c56db5dffb48d2b060d0f5a71096e0", "E2C56DB5-DFFB-48D2-B060-D0F5A71096E0"}) {
    set_list(service_config.uuid_list, {entry});
    EXPECT_EQ(uuid_filter(usual.report), 1) << entry;
  }

  // The prefix at byte 3 wins: byte 4 is not looked at even when the UUID
  // read from byte 9 is not listed.
  Bytes data = ibeacon_data(0);
  set_list(service_config.uuid_list, {uuid_entry});
  data[9] ^= 0xFF;
  Held other_uuid(report_bytes(address_112233, data, -60));
  EXPECT_EQ(uuid_filter(other_uuid.report), 1);
}

TEST_F(BeaconReportTest, UuidFilterNeverReadsPastShortData) {
  set_list(service_config.uuid_list, {uuid_entry});
  for (std::int32_t mode : {1, 2}) {
    service_config.uuid_filtering = mode;
    for (std::size_t lead : {0u, 1u}) {
      const Bytes full = ibeacon_data(lead);
      const std::size_t uuid_end = 9 + lead + 16;
      for (std::size_t length = 0; length < uuid_end; ++length) {
        Held cut(report_bytes(address_112233, Bytes(full.begin(), full.begin() + length), -60));
        EXPECT_EQ(uuid_filter(cut.report), 1) << "mode " << mode << " length " << length;
      }
      Held just(report_bytes(address_112233, Bytes(full.begin(), full.begin() + uuid_end), -60));
      EXPECT_EQ(uuid_filter(just.report), mode == 1 ? 0 : 1);
    }
  }
}

// Random bytes of every length, each in a block of its own size: whatever
// parses must be readable by every routine without touching a byte beyond.
TEST_F(BeaconReportTest, RandomReportsStayInsideTheirBytes) {
  std::mt19937 random(20240611);
  service_config.mac_filtering = 1;
  service_config.uuid_filtering = 2;
  service_config.rssi_filter_enabled = 1;
  set_list(service_config.uuid_list, {uuid_entry});
  std::size_t parsed = 0;
  for (int round = 0; round < 20000; ++round) {
    Bytes bytes(random() % 48);
    for (auto &byte : bytes) byte = static_cast<std::uint8_t>(random());
    if (round % 3 == 0 && bytes.size() > report_length_offset) {
      bytes[report_length_offset] = static_cast<std::uint8_t>(random() % 34);
    }
    if (round % 5 == 0 && bytes.size() >= 9 + 4 + 6) {
      std::memcpy(&bytes[9 + 3 + round % 2], "\x1A\xFF\x4C\x00\x02\x15", 6);
    }
    BeaconReport report;
    if (parse_beacon_report(bytes.data(), bytes.size(), &report) != 0) continue;
    ++parsed;
    ASSERT_LE(report.size(), bytes.size());
    char address[address_text_size];
    char payload[payload_text_size];
    address_text(report, address);
    payload_text(report, payload);
    (void)payload_differs(report, payload);
    (void)mac_filter(report);
    (void)rssi_filter(report);
    (void)uuid_filter(report);
  }
  EXPECT_GT(parsed, 1000u);
}

}  // namespace
}  // namespace sensor_handler
