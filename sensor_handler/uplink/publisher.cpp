#include "publisher.h"

#include <cstdio>
#include <cstdlib>

#include "config/configuration.h"
#include "config/identity.h"
#include "gw_output.h"
#include "gw_pacing.h"
#include "stop/stop_flags.h"
#include "status/broker_link.h"
#include "store/beacon_db.h"
#include "uplink/mqtt_link.h"

namespace sensor_handler {

namespace {

constexpr char smoothed_template[] =
    "{\"id\":\"%s\",\"v\":\"%s\",\"mid\":0,\"packet_count\":%d,\"raw_beacons_data\":\"%s\","
    "\"filtered_packet_count\": %d, \"filtered_beacons_data\": \"%s\"}";
constexpr char raw_template[] =
    "{\"id\":\"%s\",\"v\":\"%s\",\"mid\":0,\"packet_count\":%d,\"raw_beacons_data\":\"%s\"}";

// One template applied to a buffer: with a NULL buffer of size 0 it only
// measures, so the message is sized from the very arguments it is made of.
int format_batch(char *buffer, std::size_t size, const char *raw_text,
                 const char *filtered_text) {
  const ServiceConfig &config = service_config;
  if (config.smoothing_filter != 0) {
    return std::snprintf(buffer, size, smoothed_template, config.client_id, firmware_version,
                         static_cast<int>(raw_packet_count), raw_text,
                         static_cast<int>(filtered_packet_count), filtered_text);
  }
  return std::snprintf(buffer, size, raw_template, config.client_id, firmware_version,
                       static_cast<int>(raw_packet_count), raw_text);
}

// One posting period while connected: select, move the publish cursor,
// publish once. At QoS 1 and 2 a period whose two batches are still on
// their way selects nothing: the rows wait in the store, whose size limit
// pauses reading, rather than in the client library's unbounded queue.
void publish_next_batch(int sensor_number) {
  const ServiceConfig &config = service_config;
  if (!batch_slot_free()) return;
  if (select_batch(beacon_db, "BLE", &highest_selected_dbid, config.max_rows_upload,
                   sensor_number, batch_text_room()) == 0 &&
      beacon_db.mark_batch_published()) {
    BatchPayload payload =
        build_batch_payload(raw_batch_text.c_str(), filtered_batch_text.c_str());
    free_batch_texts();
    // A refused or failed publish loses the batch: its rows are already
    // behind the publish cursor and are deleted as published.
    if (payload) publish_batch(config.mqtt_topic, payload.c_str());
  }
  free_batch_texts();
}

// A cancelled pacing already means the run is ending: another turn would
// select (and lose) a batch and turn on a wait that returns at once.
bool publisher_running() { return service_running() && gw::pacing_cancelled.load() == 0; }

}  // namespace

BatchPayload::~BatchPayload() { std::free(text_); }

BatchPayload::BatchPayload(BatchPayload &&other) noexcept
    : text_(other.text_), length_(other.length_) {
  other.text_ = nullptr;
  other.length_ = 0;
}

BatchPayload &BatchPayload::operator=(BatchPayload &&other) noexcept {
  if (this != &other) {
    std::free(text_);
    text_ = other.text_;
    length_ = other.length_;
    other.text_ = nullptr;
    other.length_ = 0;
  }
  return *this;
}

std::size_t batch_text_room() {
  raw_packet_count = 0;
  filtered_packet_count = 0;
  const int fixed = format_batch(nullptr, 0, "", "");
  const int zero_digits = service_config.smoothing_filter != 0 ? 2 : 1;
  if (fixed < 0 || static_cast<std::size_t>(fixed - zero_digits) >= batch_message_limit) return 0;
  return batch_message_limit - static_cast<std::size_t>(fixed - zero_digits);
}

BatchPayload build_batch_payload(const char *raw_text, const char *filtered_text) {
  if (raw_text == nullptr) raw_text = "";
  if (filtered_text == nullptr) filtered_text = "";
  BatchPayload payload;
  const int length = format_batch(nullptr, 0, raw_text, filtered_text);
  char *text = length >= 0 ? static_cast<char *>(std::malloc(static_cast<std::size_t>(length) + 1))
                           : nullptr;
  if (text == nullptr) {
    gw::gw_printf("ZENTIB_ERROR : SENSOR%d : MQTT - Cannot allocate the batch message\n\r",
                  static_cast<int>(service_config.sensor_number));
    return payload;
  }
  format_batch(text, static_cast<std::size_t>(length) + 1, raw_text, filtered_text);
  payload.text_ = text;
  payload.length_ = static_cast<std::size_t>(length);
  return payload;
}

void *publish_thread(void *) {
  const int sensor_number = static_cast<int>(service_config.sensor_number);
  const auto period = static_cast<std::uint32_t>(service_config.posting_rate);
  std::uint32_t deadline = gw::pacing_clock_seconds() + period;

  while (publisher_running()) {
    if (mqtt_connected.load()) publish_next_batch(sensor_number);
    gw::wait_next_period(&deadline, period, sensor_number);
  }
  return nullptr;
}

}  // namespace sensor_handler
