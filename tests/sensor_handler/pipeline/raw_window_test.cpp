// thread_one end to end: HCI events in, PAYLOAD rows and counters out.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <regex>
#include <set>
#include <string>

#include "pipeline/statistics_writer.h"
#include "pipeline_rig.h"
#include "stdout_capture.h"

namespace {

using namespace pipeline_rig;
using sensor_handler::pipeline_counters;
using sensor_handler::service_config;

class RawWindow : public PipelineTest {
 protected:
  // Addresses (as shown) of the stored rows, in DBID order.
  static std::vector<std::string> stored_addresses() {
    std::vector<std::string> addresses;
    for (const std::string &payload : payloads()) addresses.push_back(payload.substr(0, 12));
    return addresses;
  }
};

TEST_F(RawWindow, RowCarriesTheAdvertisementAndItsReceiveTime) {
  service_config.scan_duration = 30;
  const auto before = static_cast<std::int64_t>(std::time(nullptr));
  start();
  send(Advert{address_1, -60, {0x02, 0x01, 0x06}});
  Bytes longest(31);
  for (std::size_t i = 0; i < longest.size(); ++i) longest[i] = static_cast<std::uint8_t>(0xA0 + i);
  send(Advert{address_2, 5, longest});
  ASSERT_TRUE(taken(2));
  stop();
  const auto after = static_cast<std::int64_t>(std::time(nullptr));

  auto stored = rows();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_GE(stored[0].dt, before);
  EXPECT_LE(stored[0].dt, after);
  EXPECT_EQ(stored[0].dt_type, "integer");
  EXPECT_FALSE(stored[0].payload2.has_value());
  EXPECT_EQ(stored[0].payload, "665544332211C4070201" "06" + hex8(stored[0].dt));
  // 31 data bytes: 62 digits, length byte 31 + 4; a positive RSSI as is.
  std::string data_text;
  for (std::uint8_t byte : longest) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", byte);
    data_text += digits;
  }
  EXPECT_EQ(stored[1].payload, "AABBCCDDEEFF0523" + data_text + hex8(stored[1].dt));

  // The receive time takes at least four digits and as many as it needs (a
  // board's clock before its first NTP step reads a time near 0).
  const std::uint8_t event[] = {0x04, 0x3E, 0x0F, 0x02, 0x01, 0x00, 0x00, 0x11, 0x22, 0x33,
                                0x44, 0x55, 0x66, 0x03, 0x02, 0x01, 0x06, 0xC4};
  sensor_handler::BeaconReport report;
  ASSERT_EQ(sensor_handler::parse_beacon_report(event + 5, sizeof event - 5, &report), 0);
  for (const auto &[time, text] : {std::pair<std::uint32_t, const char *>{0x0, "0000"},
                                   {0xABC, "0ABC"}, {0x1ABCD, "1ABCD"}, {0xFFFFFFFF, "FFFFFFFF"}}) {
    char row[sensor_handler::raw_row_text_size];
    EXPECT_EQ(sensor_handler::raw_row_text(report, true, time, row), 22 + static_cast<int>(std::strlen(text)));
    EXPECT_EQ(std::string(row), std::string("665544332211C407020106") + text);
    EXPECT_EQ(sensor_handler::raw_row_text(report, false, time, row), 16 + static_cast<int>(std::strlen(text)));
    EXPECT_EQ(std::string(row), std::string("665544332211C404") + text);
  }
}

TEST_F(RawWindow, WithoutPayloadOnlyEmptyAdvertisementsRepeat) {
  service_config.scan_duration = 30;
  service_config.disable_payload = 1;
  start();
  const Advert with_data{address_1, -60, {0x02, 0x01, 0x06}};
  const Advert empty{address_2, -60, {}};
  for (const Advert &report : {with_data, with_data, empty, empty}) send(report);
  ASSERT_TRUE(taken(4));
  EXPECT_EQ(pipeline_counters.L0.out.load(), 3u);
  stop();

  auto stored = rows();
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_EQ(stored[0].payload, "665544332211C404" + hex8(stored[0].dt));
  EXPECT_EQ(stored[1].payload, "665544332211C404" + hex8(stored[1].dt));
  EXPECT_EQ(stored[2].payload, "AABBCCDDEEFFC404" + hex8(stored[2].dt));
}

TEST_F(RawWindow, RepeatsWithinAWindowAreDroppedAndCounted) {
  service_config.scan_duration = 30;
  start();
  const Bytes x = {0x02, 0x01, 0x06};
  const Bytes y = {0x02, 0x01, 0x1A};
  // An event with two reports hands on both, in turn.
  send(advertising_event({{address_1, -60, x}, {address_3, -70, {0x02, 0x01}}}));
  const std::vector<Advert> stream = {
      {address_1, -70, x},                       // repeat: RSSI is no part of it
      {address_1, -60, y},                       // same address, other data
      {address_2, -60, x},                       // other address, same data
      {address_1, -60, {}}, {address_1, -60, {}},
      {address_1, -60, {0x02, 0x01}},            // a prefix of x is not x
      {address_1, -60, x},
  };
  for (const Advert &report : stream) send(report);
  ASSERT_TRUE(taken(stream.size() + 2));
  const auto &c = pipeline_counters;
  EXPECT_EQ(c.DC.in.load(), 9u);
  EXPECT_EQ(c.L0.in.load(), 9u);
  EXPECT_EQ(c.L0.out.load(), 6u);
  EXPECT_EQ(c.L1.in.load(), 6u);
  EXPECT_EQ(c.L3.out.load(), 6u);
  EXPECT_EQ(c.DC.out.load(), 6u);
  stop();

  auto texts = payloads();
  ASSERT_EQ(texts.size(), 6u);
  EXPECT_EQ(texts[0].substr(0, 22), "665544332211C407020106");
  EXPECT_EQ(texts[1].substr(0, 20), "060504030201BA060201");
  EXPECT_EQ(texts[2].substr(0, 22), "665544332211C40702011A");
  EXPECT_EQ(texts[3].substr(0, 22), "AABBCCDDEEFFC407020106");
  EXPECT_EQ(texts[4].substr(0, 16), "665544332211C404");
  EXPECT_EQ(texts[5].substr(0, 20), "665544332211C4060201");
}

TEST_F(RawWindow, TheNextWindowStoresTheAdvertisementAgain) {
  service_config.scan_duration = 0;  // windows of one second
  start();
  const Advert report{address_1, -60, {0x02, 0x01, 0x06}};
  send(report);
  ASSERT_TRUE(taken(1));
  ASSERT_TRUE(wait_until([] { return pipeline_counters.DC.in_at_window_start.load() == 1; }));
  send(report);
  ASSERT_TRUE(taken(2));
  stop();
  EXPECT_EQ(payloads().size(), 2u);
}

struct FilterCase {
  const char *name;
  std::function<void()> configure;
  std::vector<Advert> stream;
  std::vector<std::string> stored;  // addresses of the rows, in order
};

TEST_F(RawWindow, FiltersDecideWhichAdvertisementsAreStored) {
  const Bytes listed_uuid = {0xE2, 0xC5, 0x6D, 0xB5, 0xDF, 0xFB, 0x48, 0xD2,
                             0xB0, 0x60, 0xD0, 0xF5, 0xA7, 0x10, 0x96, 0xE0};
  Bytes other_uuid = listed_uuid;
  other_uuid[15] = 0xE1;
  const std::string listed_uuid_text = "E2C56DB5DFFB48D2B060D0F5A71096E0";
  const Bytes flags = {0x02, 0x01, 0x06};
  const std::vector<Advert> three = {{address_1, -60, flags}, {address_2, -60, flags},
                                     {address_3, -60, flags}};
  using sensor_handler::service_config;
  const std::vector<FilterCase> cases = {
      {"mac accept listed",
       [] {
         service_config.mac_filtering = 1;
         set_list(service_config.mac_list, {"AABBCCDDEEFF", "aabbccddeeff", "06-05-04-03-02-01"});
       },
       three, {"AABBCCDDEEFF"}},
      {"mac reject listed",
       [] {
         service_config.mac_filtering = 2;
         set_list(service_config.mac_list, {"AABBCCDDEEFF"});
       },
       three, {"665544332211", "060504030201"}},
      {"mac accept with empty list", [] { service_config.mac_filtering = 1; }, three, {}},
      {"mac reject with empty list", [] { service_config.mac_filtering = 2; }, three,
       {"665544332211", "AABBCCDDEEFF", "060504030201"}},
      {"rssi threshold",
       [] {
         service_config.rssi_filter_enabled = 1;
         service_config.rssi_threshold = -70;
       },
       {{address_1, -70, flags}, {address_2, -71, flags}, {address_3, 4, flags}},
       {"665544332211", "060504030201"}},
      {"uuid accept listed",
       [&] {
         service_config.uuid_filtering = 1;
         set_list(service_config.uuid_list, {listed_uuid_text, "E2C56DB5-DFFB-48D2-B060-D0F5A71096E0"});
       },
       {{address_1, -60, ibeacon_data(listed_uuid)},
        {address_2, -60, ibeacon_data(other_uuid)},
        {address_3, -60, flags},
        {address_2, -60, ibeacon_data(listed_uuid, 1)}},
       {"665544332211", "AABBCCDDEEFF"}},
      {"uuid reject listed",
       [&] {
         service_config.uuid_filtering = 2;
         set_list(service_config.uuid_list, {listed_uuid_text});
       },
       {{address_1, -60, ibeacon_data(listed_uuid)},
        {address_2, -60, ibeacon_data(other_uuid)},
        {address_3, -60, flags}},
       {"AABBCCDDEEFF"}},
  };
  for (const FilterCase &filter : cases) {
    SCOPED_TRACE(filter.name);
    TearDown();
    SetUp();
    service_config.scan_duration = 30;
    filter.configure();
    start();
    for (const Advert &report : filter.stream) send(report);
    ASSERT_TRUE(taken(filter.stream.size()));
    EXPECT_EQ(pipeline_counters.DC.out.load(), filter.stored.size());
    stop();
    EXPECT_EQ(stored_addresses(), filter.stored);
  }
}

// A complete extended advertisement, no legacy PDU, in one report.
Bytes extended_event(const Bytes &address, std::int8_t rssi, const Bytes &data,
                     std::uint8_t primary = 1, std::uint8_t secondary = 0, std::uint8_t sid = 0) {
  Bytes event = {0x04, 0x3E, 0x00, 0x0D, 0x01, 0x00, 0x00, 0x00};
  event.insert(event.end(), address.begin(), address.end());
  event.insert(event.end(), {primary, secondary, sid, 0x7F, static_cast<std::uint8_t>(rssi), 0, 0,
                             0, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(data.size())});
  event.insert(event.end(), data.begin(), data.end());
  event[2] = static_cast<std::uint8_t>(event.size() - 3);
  return event;
}

// Extended advertisements go through the same filters (an RSSI of 127 is
// "not available" and passes), the UUID rule on their longer data, and a
// repeat list of their own that ignores PHY and SID; a legacy frame of the
// same device is no repeat of them.
TEST_F(RawWindow, ExtendedAdvertisementsPassTheFiltersAndTheirOwnRepeatList) {
  using sensor_handler::scan_counters;
  const Bytes uuid = {0xE2, 0xC5, 0x6D, 0xB5, 0xDF, 0xFB, 0x48, 0xD2,
                      0xB0, 0x60, 0xD0, 0xF5, 0xA7, 0x10, 0x96, 0xE0};
  Bytes other_uuid = uuid;
  other_uuid[0] = 0;
  Bytes long_ibeacon = ibeacon_data(uuid);
  long_ibeacon.resize(90, 0x5A);
  Bytes long_other = ibeacon_data(other_uuid);
  long_other.resize(90, 0x5A);
  const Bytes d1(40, 0xD1), d2(40, 0xD2), flags = {0x02, 0x01, 0x06};
  struct Case {
    const char *name;
    std::function<void()> configure;
    std::vector<Bytes> stream;
    std::uint64_t stored, stored_1m, stored_coded, stored_2m, legacy_rows;
  };
  const std::vector<Case> cases = {
      {"mac, rssi and repeats",
       [] {
         service_config.mac_filtering = 2;
         set_list(service_config.mac_list, {"AABBCCDDEEFF"});
         service_config.rssi_filter_enabled = 1;
         service_config.rssi_threshold = -70;
       },
       {extended_event(address_1, -60, d1, 1, 2), extended_event(address_1, -60, d1, 3, 0, 7),
        advertising_event(Advert{address_1, -60, flags}), extended_event(address_1, -60, d2),
        extended_event(address_3, 127, d1, 3), extended_event(address_3, -80, d2),
        extended_event(address_2, -60, d2)},
       4, 2, 1, 1, 1},
      {"uuid at its fixed offset in long data",
       [&] {
         service_config.uuid_filtering = 1;
         set_list(service_config.uuid_list, {"E2C56DB5DFFB48D2B060D0F5A71096E0"});
       },
       {extended_event(address_1, -60, long_ibeacon), extended_event(address_2, -60, long_other),
        extended_event(address_3, -60, d1)},
       1, 1, 0, 0, 0},
  };
  for (const Case &test : cases) {
    SCOPED_TRACE(test.name);
    TearDown();
    SetUp();
    service_config.scan_duration = 30;
    service_config.extended_scanning = 2;
    test.configure();
    start();
    for (const Bytes &event : test.stream) send(event);
    ASSERT_TRUE(taken(test.stream.size()));
    EXPECT_EQ(pipeline_counters.DC.out.load(), test.stored);
    EXPECT_EQ(scan_counters.extended_stored_1m.load(), test.stored_1m);
    EXPECT_EQ(scan_counters.extended_stored_coded.load(), test.stored_coded);
    EXPECT_EQ(scan_counters.extended_stored_2m.load(), test.stored_2m);
    stop();
    EXPECT_EQ(payloads().size(), test.legacy_rows);
    EXPECT_EQ(gwtest::DbReader(database_path).text("SELECT COUNT(PAYLOAD3) FROM BLE"),
              std::to_string(test.stored - test.legacy_rows));
  }
}

TEST_F(RawWindow, EachStageCountsWhatEnteredAndLeftIt) {
  service_config.scan_duration = 30;
  service_config.rssi_filter_enabled = 1;
  service_config.rssi_threshold = -70;
  start();
  send(Advert{address_1, -90, {0x02, 0x01, 0x06}});
  ASSERT_TRUE(taken(1));
  const auto &c = pipeline_counters;
  // Rejected by the RSSI filter: everything up to L2.in moved, nothing after.
  for (auto *moved : {&c.DC.in, &c.L0.in, &c.L0.out, &c.L1.in, &c.L1.out, &c.L2.in}) {
    EXPECT_EQ(moved->load(), 1u);
  }
  for (auto *still : {&c.L2.out, &c.L3.in, &c.L3.out, &c.DC.out}) EXPECT_EQ(still->load(), 0u);
}

TEST_F(RawWindow, RatesAndStatisticsAfterTheFirstWindow) {
  service_config.scan_duration = 1;  // L = 2
  align_to_second();
  start();
  // Ten reports, four of them repeats.
  const std::vector<Advert> distinct = {
      {address_1, -60, {0x01}}, {address_1, -60, {0x02}}, {address_1, -60, {0x03}},
      {address_2, -60, {0x01}}, {address_2, -60, {0x02}}, {address_3, -60, {0x01}}};
  for (const Advert &report : distinct) send(report);
  for (std::size_t i = 0; i < 4; ++i) send(distinct[i]);
  ASSERT_TRUE(taken(10));
  // The last stage's rate closes last.
  ASSERT_TRUE(wait_until([] {
    return pipeline_counters.DC.in_at_window_start.load() == 10 &&
           pipeline_counters.L3.out_at_window_start.load() == 6;
  }));

  const auto &c = pipeline_counters;
  EXPECT_EQ(c.DC.rate_in.load(), 5u);
  EXPECT_EQ(c.L0.rate_out.load(), 3u);
  ASSERT_EQ(sensor_handler::write_statistics_file(sensor_handler::statistics_file_path), 0);
  EXPECT_EQ(gwtest::read_file("/tmp/tobixlite_stats"),
            "{\"DC\":{\"in\": 10, \"out\": 6, \"rate_in\": 5, \"rate_out\": 3}, "
            "\"L0\":{\"in\": 10, \"out\": 6, \"rate_out\": 3}, "
            "\"L1\":{\"in\": 6, \"out\": 6, \"rate_out\": 3}, "
            "\"L2\":{\"in\": 6, \"out\": 6, \"rate_out\": 3}, "
            "\"L3\":{\"in\": 6, \"out\": 6, \"rate_out\": 3},    "
            "\"RC\":{\"in\": 0, \"out\": 0, \"rate_in\": 0, \"rate_out\": 0}, "
            "\"RC_L0\":{\"in\": 0, \"out\": 0, \"rate_out\": 0}, "
            "\"RC_L1\":{\"in\": 0, \"out\": 0, \"rate_out\": 0}, "
            "\"RC_L2\":{\"in\": 0, \"out\": 0, \"rate_out\": 0}, "
            "\"SCAN\":{\"mode\": \"none\", \"other_subevents\": 0, \"legacy_in_extended\": 0, "
            "\"extended_not_stored\": 0, \"extended_stored_1m\": 0, \"extended_stored_coded\": 0, "
    "\"extended_secondary_2m\": 0, \"extended_chains_dropped\": 0, \"extended_cut\": 0, "
    "\"extended_periodic\": 0}} \n");

  // Everything counts from 0 again once the thread has ended.
  stop();
  char record[sensor_handler::statistics_record_size];
  sensor_handler::format_statistics_record(record, sizeof record);
  EXPECT_FALSE(std::regex_search(record, std::regex(": [1-9]"))) << record;
  EXPECT_EQ(sensor_handler::raw_pending.load(), 0);
}

TEST_F(RawWindow, NegativeScanDurationGivesOneSecondWindows) {
  // 4294967295 in UCI reads back as -1: a window that would end before it
  // starts and a rate divided by 0.
  service_config.scan_duration = -1;
  start();
  send(Advert{address_1, -60, {0x02}});
  ASSERT_TRUE(taken(1));
  ASSERT_TRUE(wait_until([] { return pipeline_counters.DC.in_at_window_start.load() == 1; }));
  EXPECT_EQ(pipeline_counters.DC.rate_in.load(), 1u);
  send(Advert{address_1, -60, {0x02}});
  ASSERT_TRUE(taken(2));
  stop();
  EXPECT_EQ(payloads().size(), 2u);
}

TEST_F(RawWindow, FailedInsertIsReportedAndStillDropsRepeats) {
  service_config.scan_duration = 30;
  ASSERT_EQ(sensor_handler::close_beacon_db(), 0);
  gwtest::StdoutCapture capture;
  start();
  const Advert report{address_1, -60, {0x02, 0x01, 0x06}};
  send(report);
  send(report);
  ASSERT_TRUE(taken(2));
  EXPECT_EQ(pipeline_counters.DC.out.load(), 1u);
  stop();
  EXPECT_EQ(capture.text(),
            "ZENTIB_ERROR : SENSOR1 : Cannot step for Adding data in databse\n\r"
            "ZENTIB_ERROR : SENSOR1 : Status = -1\n\r");
}

}  // namespace
