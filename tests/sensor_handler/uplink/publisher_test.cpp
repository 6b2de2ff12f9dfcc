// The batch publisher against a real broker and a real database file: the
// gateway's client is a plain libmosquitto client of the test, handed over
// with set_mqtt_client as mqtt_thread would. Also both publishing threads
// while the client is replaced under them.
#include "uplink/publisher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mosquitto.h>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

#include "broker.h"
#include "config/configuration.h"
#include "config/identity.h"
#include "gw_pacing.h"
#include "stop/stop_flags.h"
#include "sandbox.h"
#include "stdout_capture.h"
#include "store/beacon_db.h"
#include "status/broker_link.h"
#include "uplink/mqtt_link.h"
#include "uplink/test_client.h"
#include "uplink/ping.h"

namespace sensor_handler {
namespace {

using namespace std::chrono_literals;

constexpr const char *topic = "gw/batch";

using gwtest::TestClient;

template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout) {
  for (auto end = std::chrono::steady_clock::now() + timeout;
       std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(20ms)) {
    if (predicate()) return true;
  }
  return predicate();
}

class PublisherTest : public testing::Test {
 protected:
  void SetUp() override {
    close_beacon_db();
    ASSERT_TRUE(gwtest::reset_sandbox());
    ServiceConfig &config = service_config;
    std::snprintf(config.db_path, sizeof config.db_path, "/tmp/beacon.db");
    std::snprintf(config.mqtt_topic, sizeof config.mqtt_topic, "%s", topic);
    std::snprintf(config.client_id, sizeof config.client_id, "GW-1");
    std::snprintf(firmware_version, sizeof firmware_version, "FW1");
    config.posting_rate = 1;
    config.max_rows_upload = 10;
    config.smoothing_filter = 0;
    config.max_message_bytes = 122880;
    highest_selected_dbid = 0;
    last_published_dbid = 0;
    open_database();
    ASSERT_TRUE(broker_.start());
    probe_ = std::make_unique<gwtest::MqttProbe>(broker_.port());
    ASSERT_TRUE(probe_->ok() && probe_->subscribe(topic));
    client_ = std::make_unique<TestClient>(broker_.port());
    ASSERT_TRUE(client_->ok());
    set_mqtt_client(client_->client_);
    mqtt_connected = true;
  }
  void TearDown() override {
    stop_thread();
    mqtt_connected = false;
    set_mqtt_client(nullptr);
    client_.reset();
    close_beacon_db();
    gw::clear_connect_stop();
  }

  static void open_database() {
    gwtest::StdoutCapture capture;
    ASSERT_EQ(open_beacon_db(), 0) << capture.text();
  }
  void start_thread(void *(*entry)(void *) = publish_thread) {
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, entry, nullptr), 0);
    threads_.push_back(thread);
  }
  void stop_thread() {
    if (threads_.empty()) return;
    request_restart();
    for (pthread_t thread : threads_) pthread_join(thread, nullptr);
    threads_.clear();
    clear_restart_request();
    gw::clear_pacing_cancelled();
  }
  std::vector<std::string> batches() const {
    std::vector<std::string> payloads;
    for (const auto &message : probe_->messages(topic)) payloads.push_back(message.payload);
    return payloads;
  }

  gwtest::Broker broker_;
  std::unique_ptr<gwtest::MqttProbe> probe_;
  std::unique_ptr<TestClient> client_;
  std::vector<pthread_t> threads_;
};

std::string raw_message(int count, const std::string &raw) {
  return "{\"id\":\"GW-1\",\"v\":\"FW1\",\"mid\":0,\"packet_count\":" + std::to_string(count) +
         ",\"raw_beacons_data\":\"" + raw + "\"}";
}

// Smoothing off: the row limit cuts batches, smoothed rows left from an
// earlier run are selected but not sent, and a new service run (database
// reopened, thread restarted) continues after the last selected row.
TEST_F(PublisherTest, BatchesFollowTheRowLimitAndContinueAcrossRestarts) {
  service_config.max_rows_upload = 3;
  for (const char *raw : {"AA01", "AA02", "AA03"}) ASSERT_EQ(insert_beacon_row(1, raw, nullptr), 101);
  ASSERT_EQ(insert_beacon_row(1, nullptr, "CC01"), 101);
  ASSERT_EQ(insert_beacon_row(1, "AA04", nullptr), 101);

  start_thread();
  ASSERT_TRUE(probe_->wait_for(topic, 1, 3s));
  stop_thread();
  EXPECT_EQ(batches().at(0), raw_message(3, "AA01;AA02;AA03;"));
  EXPECT_EQ(last_published_dbid.load(), 3u);
  EXPECT_EQ(highest_selected_dbid.load(), 3u);

  close_beacon_db();
  open_database();
  start_thread();
  ASSERT_TRUE(probe_->wait_for(topic, 2, 3s));
  EXPECT_EQ(batches().at(1), raw_message(1, "AA04;"));
  EXPECT_EQ(last_published_dbid.load(), 5u);

  // No new rows: periods pass without a message; a new row goes out alone.
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(batches().size(), 2u);
  ASSERT_EQ(insert_beacon_row(1, nullptr, "CC02"), 101);
  ASSERT_TRUE(probe_->wait_for(topic, 3, 3s));
  EXPECT_EQ(batches().at(2), raw_message(0, ""));
  EXPECT_EQ(last_published_dbid.load(), 6u);
}

// Smoothing on with the longest identity texts: a margin of 150 bytes over
// the two texts would cut this message.
TEST_F(PublisherTest, SmoothedTemplateHoldsTheLongestIdentity) {
  service_config.smoothing_filter = 1;
  std::snprintf(service_config.client_id, sizeof service_config.client_id, "ABCDEFGHIJKLMNO");
  std::snprintf(firmware_version, sizeof firmware_version, "OpenWrt-21.02.7-r16");
  ASSERT_EQ(insert_beacon_row(1, "AA01", nullptr), 101);
  ASSERT_EQ(insert_beacon_row(1, nullptr, "CC01"), 101);
  ASSERT_EQ(insert_beacon_row(1, "AA02", nullptr), 101);

  start_thread();
  ASSERT_TRUE(probe_->wait_for(topic, 1, 3s));
  EXPECT_EQ(batches().at(0),
            "{\"id\":\"ABCDEFGHIJKLMNO\",\"v\":\"OpenWrt-21.02.7-r16\",\"mid\":0,"
            "\"packet_count\":2,\"raw_beacons_data\":\"AA01;AA02;\","
            "\"filtered_packet_count\": 1, \"filtered_beacons_data\": \"CC01;\"}");
  EXPECT_EQ(last_published_dbid.load(), 3u);

  // The shipped budget never cuts the shipped batch of legacy rows (1,400 of
  // at most 87 bytes with their ";"); texts and counts that fill the room
  // the select is given make a message of exactly the budget.
  EXPECT_GE(batch_text_room(), 1400u * 87u + 4u + 1u);
  const std::string raw(batch_text_room() - 8 - 1, 'A');
  raw_packet_count = filtered_packet_count = 1000;
  EXPECT_EQ(build_batch_payload(raw.c_str(), "C").length(), 122880u);
}

// Extended rows follow today's keys; the budget cuts the batch before the
// row that would pass it by one byte, and the rest, without extended rows,
// goes out next period as today's message.
TEST_F(PublisherTest, ExtendedRowsFollowTodaysKeysWithinTheBudget) {
  service_config.smoothing_filter = 1;
  service_config.max_message_bytes = 4096;
  const std::string head =
      "{\"id\":\"GW-1\",\"v\":\"FW1\",\"mid\":0,\"packet_count\":1,\"raw_beacons_data\":\"AA01;\","
      "\"filtered_packet_count\": 1, \"filtered_beacons_data\": \"CC01;\","
      "\"ext_packet_count\":2,\"ext_beacons_data\":\"";
  const std::string first(1000, 'E');
  const std::string second(4096 - head.size() - first.size() - 4, 'F');
  ASSERT_EQ(insert_beacon_row(1, "AA01", nullptr), 101);
  ASSERT_EQ(insert_beacon_row(1, nullptr, nullptr, first.c_str()), 101);
  ASSERT_EQ(insert_beacon_row(1, nullptr, "CC01"), 101);
  ASSERT_EQ(insert_beacon_row(1, nullptr, nullptr, second.c_str()), 101);
  ASSERT_EQ(insert_beacon_row(1, "AA02", nullptr), 101);

  start_thread();
  ASSERT_TRUE(probe_->wait_for(topic, 2, 4s));
  stop_thread();
  EXPECT_EQ(batches(),
            (std::vector<std::string>{
                head + first + ";" + second + ";\"}",
                "{\"id\":\"GW-1\",\"v\":\"FW1\",\"mid\":0,\"packet_count\":1,"
                "\"raw_beacons_data\":\"AA02;\",\"filtered_packet_count\": 0, "
                "\"filtered_beacons_data\": \"\"}"}));
  EXPECT_EQ(last_published_dbid.load(), 5u);
}

// Disconnected: nothing selected. A refused publish (a stop in progress)
// still moves the publish cursor, and the lost rows are never sent later.
// The stop routine cancels pacing before it raises the stop flags (it waits
// for its handshakes in between): the thread ends on the cancel alone,
// without a batch that the stop would lose.
TEST_F(PublisherTest, RefusedPublishMovesTheCursorAndAStopSelectsNoMore) {
  mqtt_connected = false;
  ASSERT_EQ(insert_beacon_row(1, "AA01", nullptr), 101);
  ASSERT_EQ(insert_beacon_row(1, "AA02", nullptr), 101);
  start_thread();
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(highest_selected_dbid.load(), 0u);

  gw::stop_connect_and_wait();
  mqtt_connected = true;
  ASSERT_TRUE(eventually([] { return last_published_dbid.load() == 2; }, 3s));
  gw::clear_connect_stop();
  ASSERT_EQ(insert_beacon_row(1, "AA03", nullptr), 101);
  ASSERT_TRUE(probe_->wait_for(topic, 1, 3s));
  EXPECT_EQ(batches(), std::vector<std::string>{raw_message(1, "AA03;")});

  ASSERT_EQ(insert_beacon_row(1, "AA04", nullptr), 101);
  gw::cancel_pacing();
  timespec until{};
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += 3;
  ASSERT_EQ(pthread_timedjoin_np(threads_.at(0), nullptr, &until), 0);
  threads_.clear();
  gw::clear_pacing_cancelled();
  EXPECT_EQ(highest_selected_dbid.load(), 3u);
}

// Both publishing threads keep going while mqtt_thread's part is played by
// the test: a new client is set and the old one destroyed, again and again.
// Run under ThreadSanitizer.
TEST_F(PublisherTest, PublishersSurviveClientReplacement) {
  service_config.lhi_rate = 1;
  ASSERT_TRUE(probe_->subscribe("/Logs/Info"));
  start_thread(publish_thread);
  start_thread(ping_thread);

  for (int round = 0; round < 8; ++round) {
    ASSERT_EQ(insert_beacon_row(1, "AA01", nullptr), 101);
    auto next = std::make_unique<TestClient>(broker_.port());
    ASSERT_TRUE(next->ok());
    set_mqtt_client(next->client_);
    client_ = std::move(next);  // the old client is destroyed here
    std::this_thread::sleep_for(450ms);
  }
  stop_thread();
  EXPECT_GE(probe_->messages("/Logs/Info").size(), 2u);
  EXPECT_GE(batches().size(), 2u);
}

TEST_F(PublisherTest, RowLimitZeroPublishesNothing) {
  service_config.max_rows_upload = 0;
  ASSERT_EQ(insert_beacon_row(1, "AA01", nullptr), 101);
  start_thread();
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(batches().empty());
  EXPECT_EQ(last_published_dbid.load(), 0u);
}

}  // namespace
}  // namespace sensor_handler
