// The ping and the Interface Failure packet against a real broker, with the
// sandbox's eth0 (198.51.100.7) as the address.
#include "uplink/ping.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mosquitto.h>
#include <pthread.h>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "broker.h"
#include "config/configuration.h"
#include "config/identity.h"
#include "gw_pacing.h"
#include "stop/stop_flags.h"
#include "pipeline/pipeline_counters.h"
#include "sandbox.h"
#include "status/broker_link.h"
#include "status/interface_failure.h"
#include "uplink/mqtt_link.h"
#include "uplink/test_client.h"

namespace sensor_handler {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using gwtest::TestClient;

class PingTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(gwtest::reset_sandbox());
    std::snprintf(service_config.client_id, sizeof service_config.client_id, "GW-1");
    std::snprintf(firmware_version, sizeof firmware_version, "FW1");
    std::snprintf(hardware_version, sizeof hardware_version, "HW1");
    service_config.lhi_rate = 1;
    interface_failure_count.store(0, std::memory_order_release);
    // Above 32 bits, so a 32-bit format would show.
    pipeline_counters.DC.rate_in.store(5000000000ULL);
    pipeline_counters.DC.rate_out.store(3);

    ASSERT_TRUE(broker_.start());
    probe_ = std::make_unique<gwtest::MqttProbe>(broker_.port());
    ASSERT_TRUE(probe_->ok() && probe_->subscribe("#"));
    client_ = std::make_unique<TestClient>(broker_.port());
    ASSERT_TRUE(client_->ok());
    set_mqtt_client(client_->client_);
    mqtt_connected = true;
  }
  void TearDown() override {
    stop_ping();
    mqtt_connected = false;
    set_mqtt_client(nullptr);
    client_.reset();
    interface_failure_count.store(0, std::memory_order_release);
    gw::clear_connect_stop();
    gwtest::restore_eth0_address();
  }

  void start_ping() { ASSERT_EQ(pthread_create(&thread_, nullptr, ping_thread, nullptr), 0); }
  void stop_ping() {
    if (thread_ == pthread_t{}) return;
    request_restart();
    pthread_join(thread_, nullptr);
    thread_ = pthread_t{};
    clear_restart_request();
    gw::clear_pacing_cancelled();
  }
  std::vector<gwtest::ReceivedMessage> on(const char *topic) const {
    return probe_->messages(topic);
  }

  gwtest::Broker broker_;
  std::unique_ptr<gwtest::MqttProbe> probe_;
  std::unique_ptr<TestClient> client_;
  pthread_t thread_{};
};

std::string ping_payload(const std::string &ip) {
  return "{\"Tag\":\"Ping\",\"Application\":\"Hardware.TobixE2\",\"SourceID\":\"GW-1\","
         "\"Message\":{\"IP\":\"" + ip + "\",\"FW\":\"FW1\",\"HW\":\"HW1\","
         "\"AllPacketCount\": 5000000000,\"FilteredPacketCount\":3}}";
}

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// Silent while disconnected, then one Ping a period on the schedule set at
// the thread's start, with the address eth0 has at that moment.
TEST_F(PingTest, PingFollowsTheScheduleWithTheCurrentAddress) {
  mqtt_connected = false;
  const Clock::time_point start = Clock::now();
  start_ping();
  std::this_thread::sleep_for(1600ms);
  EXPECT_TRUE(probe_->messages().empty());

  mqtt_connected = true;
  ASSERT_TRUE(probe_->wait_for("/Logs/Info", 2, 4s));
  ASSERT_TRUE(gwtest::remove_eth0_address());
  ASSERT_TRUE(probe_->wait_for("/Logs/Info", 3, 3s));
  stop_ping();

  std::vector<gwtest::ReceivedMessage> pings = on("/Logs/Info");
  EXPECT_EQ(pings.at(0).payload, ping_payload(gwtest::eth0_address));
  EXPECT_EQ(pings.at(1).payload, ping_payload(gwtest::eth0_address));
  EXPECT_EQ(pings.at(2).payload, ping_payload(""));
  // Ping k of the schedule is due k periods after the start; period 1 was
  // spent disconnected.
  for (std::size_t i = 0; i < 3; ++i) {
    double due = static_cast<double>(i + 2);
    EXPECT_GT(seconds_between(start, pings[i].time), due - 0.1) << "ping " << i;
    EXPECT_LT(seconds_between(start, pings[i].time), due + 0.9) << "ping " << i;
  }
  EXPECT_TRUE(on("/Logs/Error").empty());
}

// A recorded failure: each period sends the Interface Failure packet, one
// second later the Ping; a stop during that second suppresses the Ping.
TEST_F(PingTest, InterfaceFailurePrecedesThePingByOneSecond) {
  service_config.lhi_rate = 2;
  std::snprintf(interface_failure_text, interface_failure_text_size, "BT4 Interface Failed");
  interface_failure_count.store(1, std::memory_order_release);

  start_ping();
  ASSERT_TRUE(probe_->wait_for("/Logs/Info", 1, 5s));
  ASSERT_TRUE(probe_->wait_for("/Logs/Error", 2, 4s));
  stop_ping();
  std::this_thread::sleep_for(1200ms);

  std::vector<gwtest::ReceivedMessage> failures = on("/Logs/Error");
  std::vector<gwtest::ReceivedMessage> pings = on("/Logs/Info");
  ASSERT_EQ(pings.size(), 1u);
  double pause = seconds_between(failures.at(0).time, pings[0].time);
  EXPECT_GT(pause, 0.9);
  EXPECT_LT(pause, 1.6);
  EXPECT_TRUE(std::regex_match(
      failures[0].payload,
      std::regex("\\{\"Tag\":\"Interface Failure\",\"LogDateTime\":\"\\d{4}-\\d\\d-\\d\\d "
                 "\\d\\d:\\d\\d:\\d\\d\",\"Application\":\"Hardware.TobixE2\","
                 "\"SourceID\":\"GW-1\",\"Message\":\"BT4 Interface Failed\"\\}")))
      << failures[0].payload;

  // The scan controller's own publish at its retry limit; refused once the
  // stop has taken the connection, and never sent without a failure.
  EXPECT_EQ(publish_interface_failure(), 0);
  EXPECT_TRUE(probe_->wait_for("/Logs/Error", 3, 3s));
  gw::stop_connect_and_wait();
  EXPECT_EQ(publish_interface_failure(), 1);
  gw::clear_connect_stop();
  interface_failure_count.store(0, std::memory_order_release);
  EXPECT_EQ(publish_interface_failure(), 1);
}

}  // namespace
}  // namespace sensor_handler
