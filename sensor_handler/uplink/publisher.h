// The batch publisher: once per posting period, while the broker is
// connected, publish_thread selects the next batch of rows after the select
// cursor and publishes it as one JSON message on the configured topic.
//
// At most once: the publish cursor (last_published_dbid, store/beacon_db.h)
// jumps to the select cursor before the message is handed to the broker and
// stays there whatever the publish's outcome, so a batch is never selected
// twice and never retried; sensor_thread deletes the rows up to it.
//
// Thread: publish_thread only, one per service run. It owns the batch texts
// of the store and the message it builds from them; it shares the database
// (under the store's lock, taken by select_batch and mark_batch_published)
// and the client (under the client lock, taken by publish_batch).
// mqtt_connected and the stop flags are read without a lock.
#pragma once

#include <cstddef>

namespace sensor_handler {

void *publish_thread(void *unused);

// The JSON message of one batch, on the heap; freed once by its owner.
class BatchPayload {
 public:
  BatchPayload() = default;
  ~BatchPayload();
  BatchPayload(BatchPayload &&other) noexcept;
  BatchPayload &operator=(BatchPayload &&other) noexcept;
  BatchPayload(const BatchPayload &) = delete;
  BatchPayload &operator=(const BatchPayload &) = delete;

  explicit operator bool() const { return text_ != nullptr; }
  const char *c_str() const { return text_ != nullptr ? text_ : ""; }
  std::size_t length() const { return length_; }

 private:
  friend BatchPayload build_batch_payload(const char *raw_text, const char *filtered_text,
                                          const char *ext_text);

  char *text_ = nullptr;
  std::size_t length_ = 0;
};

// Formats the batch message of the template that smoothing_filter selects
// (the filtered part only while it is on) with client_id, firmware_version,
// the packet counts of the last select and the texts. A batch with extended
// rows (ext_packet_count above 0) carries them after today's keys as
// "ext_packet_count":M,"ext_beacons_data":"<texts>"; without, the message is
// today's byte for byte. The buffer is sized from exactly what is formatted
// into it. An empty payload (false) after "ZENTIB_ERROR : SENSOR%d : MQTT -
// Cannot allocate the batch message\n\r" when memory is short.
BatchPayload build_batch_payload(const char *raw_text, const char *filtered_text,
                                 const char *ext_text = "");

// The message budget, max_message_bytes (hosted brokers drop larger
// messages, and two of them on their way at QoS 1 and 2 are what the
// board's memory holds for the uplink), less the fixed part of the template
// of smoothing_filter with client_id and firmware_version: the room the
// select leaves for the texts and the counts' digits. Clears the counts.
std::size_t batch_text_room();

// What the extended keys add to a message besides their text and count.
// Clears the counts.
std::size_t ext_keys_length();

}  // namespace sensor_handler
