// thread_two end to end (PAYLOAD2 rows, counters, rates) and the smoothed
// row text at its field limits.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "pipeline/statistics_writer.h"
#include "pipeline_rig.h"

namespace {

using namespace pipeline_rig;
using sensor_handler::pipeline_counters;
using sensor_handler::service_config;

class SmoothingWindow : public PipelineTest {
 protected:
  void SetUp() override {
    PipelineTest::SetUp();
    service_config.scan_duration = 30;
    service_config.smoothing_filter = 1;
    service_config.smoothing_marker = 1;
    service_config.averaging_window = 10;
    // Windows start at a whole second, so a test's reports share one.
    align_to_second();
  }

  // count reports from address at rssi, each with other data so that the
  // raw path keeps them all.
  void send_many(const Bytes &address, std::int8_t rssi, int count) {
    for (int i = 0; i < count; ++i) {
      send(Advert{address, rssi, {static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)}});
    }
  }

  static std::vector<gwtest::BeaconRow> smoothed_rows() {
    std::vector<gwtest::BeaconRow> smoothed;
    for (const auto &row : rows()) {
      if (row.payload2) smoothed.push_back(row);
    }
    return smoothed;
  }
};

TEST_F(SmoothingWindow, RowFoldsTheWindowsReportsOfOneAddress) {
  const auto before = static_cast<std::int64_t>(std::time(nullptr));
  start();
  send_many(address_1, -58, 25);
  // Running value: -60, (-60 + -50) / 2 = -55, (-55 + -61) / 2 = -58.
  send(Advert{address_2, -60, {}});
  send(Advert{address_2, -50, {0x01}});
  send(Advert{address_2, -61, {0x02}});
  send_many(address_3, -60, 300);
  ASSERT_TRUE(taken(328));
  stop();  // the window cut short is flushed on the way out
  const auto after = static_cast<std::int64_t>(std::time(nullptr));

  auto smoothed = smoothed_rows();
  ASSERT_EQ(smoothed.size(), 3u);
  for (const auto &row : smoothed) {
    EXPECT_FALSE(row.payload.has_value());
    EXPECT_EQ(row.dt_type, "integer");
    EXPECT_GE(row.dt, before);
    const std::int64_t flushed = std::stoll(row.payload2->substr(18, 8), nullptr, 16);
    EXPECT_GE(flushed, row.dt);
    EXPECT_LE(flushed, after);
    EXPECT_EQ(row.payload2->substr(18, 8), smoothed[0].payload2->substr(18, 8)) << "one flush";
  }
  // Newest address first; the count takes the digits it needs.
  const std::string time = smoothed[0].payload2->substr(18, 8);
  EXPECT_EQ(smoothed[0].payload2, "060504030201110107" + time + "0AC412C");
  EXPECT_EQ(smoothed[1].payload2, "AABBCCDDEEFF110107" + time + "0AC603");
  EXPECT_EQ(smoothed[2].payload2, "665544332211110107" + time + "0AC619");
}

TEST_F(SmoothingWindow, OtherSmoothingModesKeepTheFirstReportWithoutTheBlock) {
  service_config.smoothing_filter = 2;
  start();
  send(Advert{address_1, -60, {0x01}});
  send(Advert{address_1, -40, {0x02}});
  send(Advert{address_2, -70, {0x01}});
  ASSERT_TRUE(taken(3));
  EXPECT_EQ(pipeline_counters.RC.out.load(), 3u);
  stop();
  EXPECT_EQ(payloads(true), (std::vector<std::string>{"AABBCCDDEEFF1101", "6655443322111101"}));
}

TEST_F(SmoothingWindow, EachRowKeepsItsAddressesFirstSeenTime) {
  service_config.averaging_window = 60;
  start();
  std::uint64_t sent = 0;
  for (const Bytes *address : {&address_1, &address_2, &address_3}) {
    send(Advert{*address, -60, {0x01}});
    send(Advert{*address, -60, {0x02}});
    ASSERT_TRUE(taken(sent += 2));
    const auto seen = std::time(nullptr);
    ASSERT_TRUE(wait_until([&] { return std::time(nullptr) > seen; }, 3s));
  }
  stop();
  auto smoothed = smoothed_rows();
  ASSERT_EQ(smoothed.size(), 3u);
  EXPECT_EQ(smoothed[0].payload2->substr(0, 12), "060504030201");
  EXPECT_EQ(smoothed[2].payload2->substr(0, 12), "665544332211");
  EXPECT_GT(smoothed[0].dt, smoothed[1].dt);
  EXPECT_GT(smoothed[1].dt, smoothed[2].dt);
}

TEST_F(SmoothingWindow, FiltersDropReportsWithoutTouchingTheirRecord) {
  service_config.rssi_filter_enabled = 1;
  service_config.rssi_threshold = -70;
  service_config.mac_filtering = 2;
  set_list(service_config.mac_list, {"060504030201"});
  service_config.uuid_filtering = 1;  // the raw path's filter only
  start();
  send(Advert{address_1, -60, {0x01}});
  send(Advert{address_1, -90, {0x02}});  // below the threshold
  send(Advert{address_1, -60, {0x03}});
  send(Advert{address_3, -60, {0x01}});  // listed for rejection
  ASSERT_TRUE(taken(4));
  const auto &c = pipeline_counters;
  EXPECT_EQ(c.RC_L1.in.load(), 4u);
  EXPECT_EQ(c.RC_L1.out.load(), 3u);
  EXPECT_EQ(c.RC_L2.in.load(), 3u);
  EXPECT_EQ(c.RC_L2.out.load(), 2u);
  EXPECT_EQ(c.RC.out.load(), 2u);
  EXPECT_EQ(c.DC.out.load(), 0u);
  stop();
  auto texts = payloads(true);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].substr(0, 18), "665544332211110107");
  EXPECT_EQ(texts[0].substr(26), "0AC402");
}

TEST_F(SmoothingWindow, RatesAndRowCountAfterAWindow) {
  service_config.averaging_window = 2;
  service_config.rssi_filter_enabled = 1;
  service_config.rssi_threshold = -70;
  start();
  send_many(address_1, -60, 3);
  send_many(address_2, -60, 1);
  send_many(address_2, -80, 1);
  send_many(address_3, -60, 1);
  ASSERT_TRUE(taken(6));
  // The rates close first, then the flush counts its rows.
  ASSERT_TRUE(wait_until([] {
    return pipeline_counters.RC.in_at_window_start.load() == 6 &&
           pipeline_counters.RC_L0.rate_out.load() == 3;
  }));
  ASSERT_EQ(sensor_handler::write_statistics_file(sensor_handler::statistics_file_path), 0);
  const std::string record = gwtest::read_file("/tmp/tobixlite_stats");
  EXPECT_NE(record.find("\"RC\":{\"in\": 6, \"out\": 5, \"rate_in\": 3, \"rate_out\": 2}, "
                        "\"RC_L0\":{\"in\": 0, \"out\": 0, \"rate_out\": 3}, "
                        "\"RC_L1\":{\"in\": 6, \"out\": 6, \"rate_out\": 3}, "
                        "\"RC_L2\":{\"in\": 6, \"out\": 5, \"rate_out\": 2}, \"SCAN\""),
            std::string::npos)
      << record;
  EXPECT_EQ(payloads(true).size(), 3u);

  stop();
  const auto &c = pipeline_counters;
  for (auto *stage : {&c.RC, &c.RC_L0, &c.RC_L1, &c.RC_L2}) {
    for (auto *value : {&stage->in, &stage->out, &stage->rate_in, &stage->rate_out,
                        &stage->in_at_window_start, &stage->out_at_window_start}) {
      EXPECT_EQ(value->load(), 0u);
    }
  }
  EXPECT_EQ(sensor_handler::smooth_pending.load(), 0);
}

TEST_F(SmoothingWindow, ZeroWindowFlushesEverySecond) {
  // Taken literally, a window of 0 takes no report and divides by 0.
  service_config.averaging_window = 0;
  start();
  send(Advert{address_1, -60, {0x01}});
  ASSERT_TRUE(taken(1));
  // The window closes its rates, then flushes its row.
  ASSERT_TRUE(wait_until([] { return payloads(true).size() == 1; }));
  EXPECT_EQ(pipeline_counters.RC.rate_in.load(), 1u);
  auto texts = payloads(true);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].substr(26), "00C401");
}

TEST(SmoothedRow, FieldsWidenAndWrapAsUploaded) {
  service_config = sensor_handler::ServiceConfig{};
  service_config.smoothing_filter = 1;
  service_config.smoothing_marker = 1;
  service_config.averaging_window = 10;
  sensor_handler::SmoothedBeaconNode node{};
  for (std::size_t i = 0; i < 6; ++i) node.address[i] = address_1[i];
  node.average_rssi = -58;
  node.sample_count = 5;
  char text[sensor_handler::smoothed_row_text_size];
  EXPECT_EQ(sensor_handler::smoothed_row_text(node, 0x5F5E1000, text), 32);
  EXPECT_STREQ(text, "6655443322111101075F5E10000AC605");

  struct Count {
    std::uint16_t count;
    const char *shown;
  };
  for (const Count &count : {Count{256, "100"}, Count{32767, "7FFF"}, Count{32768, "FFFF8000"},
                             Count{65535, "FFFFFFFF"}}) {
    node.sample_count = count.count;
    sensor_handler::smoothed_row_text(node, 0x5F5E1000, text);
    EXPECT_EQ(std::string(text).substr(30), count.shown) << count.count;
  }
  // Early times keep four digits; a window of 256 seconds takes three.
  node.sample_count = 1;
  service_config.averaging_window = 256;
  sensor_handler::smoothed_row_text(node, 0x12, text);
  EXPECT_STREQ(text, "6655443322111101070012100C601");

  // The 65536th report brings the count to 0; a positive RSSI enters as
  // itself minus 256.
  std::uint8_t bytes[10] = {0x00, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x00, 0x0A};
  sensor_handler::BeaconReport report;
  ASSERT_EQ(sensor_handler::parse_beacon_report(bytes, sizeof bytes, &report), 0);
  node.sample_count = 65535;
  node.average_rssi = -60;
  sensor_handler::update_running_average(node, report);
  EXPECT_EQ(node.sample_count, 0);
  EXPECT_EQ(node.average_rssi, static_cast<std::int8_t>((10 - 60 - 256) / 2));
}

}  // namespace
