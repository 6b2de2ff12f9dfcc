#include "ping.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "config/configuration.h"
#include "config/identity.h"
#include "gw_pacing.h"
#include "stop/stop_flags.h"
#include "pipeline/pipeline_counters.h"
#include "status/broker_link.h"
#include "status/interface_failure.h"
#include "uplink/mqtt_link.h"

namespace sensor_handler {

namespace {

constexpr char failure_topic[] = "/Logs/Error";
constexpr char ping_topic[] = "/Logs/Info";

constexpr char failure_template[] =
    "{\"Tag\":\"Interface Failure\",\"LogDateTime\":\"%s\",\"Application\":\"Hardware.TobixE2\","
    "\"SourceID\":\"%s\",\"Message\":\"%.*s\"}";
constexpr char ping_template[] =
    "{\"Tag\":\"Ping\",\"Application\":\"Hardware.TobixE2\",\"SourceID\":\"%s\",\"Message\":{"
    "\"IP\":\"%s\",\"FW\":\"%s\",\"HW\":\"%s\",\"AllPacketCount\": %lld,"
    "\"FilteredPacketCount\":%lld}}";

// Every field is bounded (identity texts 19, client_id 15, the failure text
// 99 characters, two 64-bit decimals), so both packets fit with room left.
constexpr std::size_t packet_size = 500;
constexpr std::size_t time_text_size = 100;
constexpr int failure_text_length = static_cast<int>(interface_failure_text_size) - 1;

// A cancelled pacing already means the run is ending: another turn would
// only wait on a pacing that returns at once.
bool ping_running() { return service_running() && gw::pacing_cancelled.load() == 0; }

void format_local_time(char (&time_text)[time_text_size]) {
  std::memset(time_text, 0, sizeof time_text);
  std::time_t now = std::time(nullptr);
  struct tm local = {};
  if (localtime_r(&now, &local) != nullptr) {
    std::strftime(time_text, sizeof time_text, "%Y-%m-%d %H:%M:%S", &local);
  }
}

// 1 when no failure is recorded. The count is loaded (acquire) before the
// text that the scan controller filled before raising it; the text is read
// no further than its array, terminated or not.
int publish_failure_packet(const char *time_text) {
  if (interface_failure_count.load(std::memory_order_acquire) == 0) return 1;
  char packet[packet_size] = {};
  std::snprintf(packet, sizeof packet, failure_template, time_text, service_config.client_id,
                failure_text_length, interface_failure_text);
  return publish_to_broker(failure_topic, packet);
}

void publish_ping_packet(const char *ip_text) {
  char packet[packet_size] = {};
  std::snprintf(packet, sizeof packet, ping_template, service_config.client_id, ip_text,
                firmware_version, hardware_version,
                static_cast<long long>(pipeline_counters.DC.rate_in.load()),
                static_cast<long long>(pipeline_counters.DC.rate_out.load()));
  // A stop during this period (also during the pause after a failure
  // packet) suppresses the Ping.
  if (ping_running()) publish_to_broker(ping_topic, packet);
}

}  // namespace

int send_interface_failure() {
  char time_text[time_text_size];
  format_local_time(time_text);
  return publish_failure_packet(time_text);
}

namespace {
// Before any thread exists: the scan controller sends through it.
[[maybe_unused]] const bool sender_registered =
    (set_interface_failure_sender(send_interface_failure), true);
}  // namespace

void *ping_thread(void *) {
  // The client library is initialised by mqtt_thread alone: its
  // initialisation is not thread-safe, both threads start together, and
  // the ping only ever publishes through mqtt_thread's client.
  const int sensor_number = static_cast<int>(service_config.sensor_number);
  const auto period = static_cast<std::uint32_t>(service_config.lhi_rate);
  std::uint32_t next_due = gw::pacing_clock_seconds() + period;
  char ip_text[identity_text_size];
  char time_text[time_text_size];

  while (ping_running()) {
    gw::wait_next_period(&next_due, period, sensor_number);
    // A wait ended by a stop is no period: nothing is read or sent.
    if (!ping_running()) break;
    std::memset(ip_text, 0, sizeof ip_text);
    read_device_ip(ip_text);
    format_local_time(time_text);
    if (!mqtt_connected.load()) continue;

    if (interface_failure_count.load(std::memory_order_acquire) != 0) {
      // Results ignored: the next attempt is the next period.
      publish_failure_packet(time_text);
      gw::pacing_sleep(1000);
    }
    publish_ping_packet(ip_text);
  }
  return nullptr;
}

}  // namespace sensor_handler
