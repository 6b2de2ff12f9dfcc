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

// Today's keys, then the extended ones only when the batch has extended
// rows: a consumer of today's messages sees the same bytes as before.
#define GW_RAW_KEYS \
  "{\"id\":\"%s\",\"v\":\"%s\",\"mid\":0,\"packet_count\":%d,\"raw_beacons_data\":\"%s\""
#define GW_FILTERED_KEYS ",\"filtered_packet_count\": %d, \"filtered_beacons_data\": \"%s\""
#define GW_EXT_KEYS ",\"ext_packet_count\":%d,\"ext_beacons_data\":\"%s\""
constexpr char smoothed_template[] = GW_RAW_KEYS GW_FILTERED_KEYS "}";
constexpr char raw_template[] = GW_RAW_KEYS "}";
constexpr char smoothed_ext_template[] = GW_RAW_KEYS GW_FILTERED_KEYS GW_EXT_KEYS "}";
constexpr char raw_ext_template[] = GW_RAW_KEYS GW_EXT_KEYS "}";
#undef GW_RAW_KEYS
#undef GW_FILTERED_KEYS
#undef GW_EXT_KEYS

// One template applied to a buffer: with a NULL buffer of size 0 it only
// measures, so the message is sized from the very arguments it is made of.
// with_ext chooses the templates with the extended keys.
int format_batch(char *buffer, std::size_t size, const char *raw_text, const char *filtered_text,
                 bool with_ext, const char *ext_text) {
  const ServiceConfig &config = service_config;
  const int raw_count = static_cast<int>(raw_packet_count);
  const int filtered_count = static_cast<int>(filtered_packet_count);
  const int ext_count = static_cast<int>(ext_packet_count);
  if (config.smoothing_filter != 0) {
    if (with_ext) {
      return std::snprintf(buffer, size, smoothed_ext_template, config.client_id,
                           firmware_version, raw_count, raw_text, filtered_count, filtered_text,
                           ext_count, ext_text);
    }
    return std::snprintf(buffer, size, smoothed_template, config.client_id, firmware_version,
                         raw_count, raw_text, filtered_count, filtered_text);
  }
  if (with_ext) {
    return std::snprintf(buffer, size, raw_ext_template, config.client_id, firmware_version,
                         raw_count, raw_text, ext_count, ext_text);
  }
  return std::snprintf(buffer, size, raw_template, config.client_id, firmware_version, raw_count,
                       raw_text);
}

// The message's fixed part with every count 0 and every text empty, less
// those zeros' digits: what the select must leave room for. Clears the
// counts (the select resets them anyway).
std::size_t fixed_length(bool with_ext) {
  raw_packet_count = filtered_packet_count = ext_packet_count = 0;
  const int length = format_batch(nullptr, 0, "", "", with_ext, "");
  const int zero_digits = (service_config.smoothing_filter != 0 ? 2 : 1) + (with_ext ? 1 : 0);
  return length > zero_digits ? static_cast<std::size_t>(length - zero_digits) : 0;
}

// One posting period while connected: select, move the publish cursor,
// publish once. At QoS 1 and 2 a period whose two batches are still on
// their way selects nothing: the rows wait in the store, whose size limit
// pauses reading, rather than in the client library's unbounded queue.
void publish_next_batch(int sensor_number) {
  const ServiceConfig &config = service_config;
  if (!batch_slot_free()) return;
  if (select_batch(beacon_db, "BLE", &highest_selected_dbid, config.max_rows_upload,
                   sensor_number, batch_text_room(), ext_keys_length()) == 0 &&
      beacon_db.mark_batch_published()) {
    BatchPayload payload = build_batch_payload(raw_batch_text.c_str(),
                                               filtered_batch_text.c_str(), ext_batch_text.c_str());
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
  // The setting is checked against its range at start; a negative one would
  // read back as a huge budget.
  const std::size_t budget =
      service_config.max_message_bytes > 0
          ? static_cast<std::size_t>(service_config.max_message_bytes)
          : 0;
  const std::size_t fixed = fixed_length(false);
  return fixed < budget ? budget - fixed : 0;
}

std::size_t ext_keys_length() { return fixed_length(true) - fixed_length(false); }

BatchPayload build_batch_payload(const char *raw_text, const char *filtered_text,
                                 const char *ext_text) {
  if (raw_text == nullptr) raw_text = "";
  if (filtered_text == nullptr) filtered_text = "";
  if (ext_text == nullptr) ext_text = "";
  const bool with_ext = ext_packet_count > 0;
  BatchPayload payload;
  const int length = format_batch(nullptr, 0, raw_text, filtered_text, with_ext, ext_text);
  char *text = length >= 0 ? static_cast<char *>(std::malloc(static_cast<std::size_t>(length) + 1))
                           : nullptr;
  if (text == nullptr) {
    gw::gw_printf("ZENTIB_ERROR : SENSOR%d : MQTT - Cannot allocate the batch message\n\r",
                  static_cast<int>(service_config.sensor_number));
    return payload;
  }
  format_batch(text, static_cast<std::size_t>(length) + 1, raw_text, filtered_text, with_ext,
               ext_text);
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
