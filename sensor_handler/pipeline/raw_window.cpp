#include "raw_window.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "config/configuration.h"
#include "gw_output.h"
#include "stop/stop_flags.h"
#include "pipeline/node_index.h"
#include "pipeline/pipeline_counters.h"
#include "pipeline/report_handoff.h"
#include "store/beacon_db.h"

namespace sensor_handler {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int sqlite_done = 101;

// The repeat check finds any node with the report's address, data length
// and data. Which of several such nodes it finds never shows (the report is
// dropped all the same), so a hash index gives exactly the result of walking
// the list newest first, at a cost that does not grow with the window.
struct RepeatKey {
  const std::uint8_t *address;
  std::uint8_t length;
  const std::uint8_t *data;
};

struct RepeatTraits {
  using Node = RawBeaconNode;
  using Key = RepeatKey;

  static RepeatKey key_of(const RawBeaconNode &node) {
    return {node.address, static_cast<std::uint8_t>(node.payload_length), node.payload};
  }
  static std::uint32_t hash(const RepeatKey &key) {
    Fnv1a fnv;
    fnv.mix(key.address, report_address_size);
    fnv.mix(key.length);
    fnv.mix(key.data, key.length);
    return fnv.value();
  }
  static bool matches(const RawBeaconNode &node, const RepeatKey &key) {
    return same_address(node.address, key.address) == 0 && node.payload_length == key.length &&
           std::memcmp(node.payload, key.data, key.length) == 0;
  }
};

// When the index has no table a node stays unindexed, and its repeats are
// stored again, as if the node had not been allocated.
using RepeatIndex = NodeIndex<RepeatTraits>;

// thread_one's window: raw_list and its index (this thread only).
RawBeaconNode *raw_list = nullptr;
RepeatIndex repeat_index;

// One extended advertisement stored in the current window; its data bytes
// follow the node in the same allocation.
struct ExtendedNode {
  std::uint8_t address[report_address_size];
  std::uint16_t data_length;
  ExtendedNode *next;
  ExtendedNode *same_bucket;
  const std::uint8_t *data() const { return reinterpret_cast<const std::uint8_t *>(this + 1); }
};

struct ExtendedKey {
  const std::uint8_t *address;
  std::uint16_t length;
  const std::uint8_t *data;
};

struct ExtendedRepeatTraits {
  using Node = ExtendedNode;
  using Key = ExtendedKey;

  static ExtendedKey key_of(const ExtendedNode &node) {
    return {node.address, node.data_length, node.data()};
  }
  static std::uint32_t hash(const ExtendedKey &key) {
    Fnv1a fnv;
    fnv.mix(key.address, report_address_size);
    fnv.mix(static_cast<std::uint8_t>(key.length));
    fnv.mix(static_cast<std::uint8_t>(key.length >> 8));
    fnv.mix(key.data, key.length);
    return fnv.value();
  }
  static bool matches(const ExtendedNode &node, const ExtendedKey &key) {
    return same_address(node.address, key.address) == 0 && node.data_length == key.length &&
           std::memcmp(node.data(), key.data, key.length) == 0;
  }
};

// Extended advertisements of the window: a list of their own, bounded as
// raw_list is, by the window.
ExtendedNode *extended_list = nullptr;
NodeIndex<ExtendedRepeatTraits> extended_index;

// Off the 128 KiB worker stack: a PAYLOAD3 text may take 3.3 KiB.
char payload3_row[payload3_text_size];

void free_raw_list() {
  while (raw_list != nullptr) {
    RawBeaconNode *older = raw_list->next;
    std::free(raw_list);
    raw_list = older;
  }
  repeat_index.clear();
  while (extended_list != nullptr) {
    ExtendedNode *older = extended_list->next;
    std::free(extended_list);
    extended_list = older;
  }
  extended_index.clear();
}

void report_failed_insert(int status, int sensor_number) {
  // A row refused because the stop already took the statement away is lost
  // quietly; any other failure is reported.
  if (status != sqlite_done && (status != beacon_db_unavailable || service_running())) {
    gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Cannot step for Adding data in databse\n\r",
                  sensor_number);
    gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Status = %d\n\r", sensor_number, status);
  }
}

std::uint32_t wall_clock_seconds() { return static_cast<std::uint32_t>(std::time(nullptr)); }

void close_raw_window(std::uint64_t length) {
  PipelineCounters &c = pipeline_counters;
  close_rate_window(c.DC.in, c.DC.in_at_window_start, c.DC.rate_in, length);
  close_rate_window(c.DC.out, c.DC.out_at_window_start, c.DC.rate_out, length);
  close_rate_window(c.L0.out, c.L0.out_at_window_start, c.L0.rate_out, length);
  close_rate_window(c.L1.out, c.L1.out_at_window_start, c.L1.rate_out, length);
  close_rate_window(c.L2.out, c.L2.out_at_window_start, c.L2.rate_out, length);
  close_rate_window(c.L3.out, c.L3.out_at_window_start, c.L3.rate_out, length);
  free_raw_list();
}

}  // namespace

// The text of "%s%02X%02X%s%04lX" (address, RSSI byte, data length + 4,
// payload, receive time), put together by hand: it is made for every stored
// row, and the general formatter cost more than the rest of the row's
// processing. At most 12 + 2 + 2 + 62 + 8 characters and the NUL.
int raw_row_text(const BeaconReport &report, bool with_payload, std::uint32_t received,
                 char (&text)[raw_row_text_size]) {
  static_assert(raw_row_text_size >= address_text_size - 1 + 4 + payload_text_size - 1 + 8 + 1);
  constexpr char digits[] = "0123456789ABCDEF";
  char address[address_text_size];
  std::size_t at = static_cast<std::size_t>(address_text(report, address));
  std::memcpy(text, address, at);
  const unsigned n = with_payload ? report.data_length() : 0u;
  for (const unsigned byte : {static_cast<unsigned>(report.rssi_byte()), (n + 4u) & 0xFFu}) {
    text[at++] = digits[byte >> 4];
    text[at++] = digits[byte & 0x0Fu];
  }
  if (with_payload) {
    char payload[payload_text_size];
    const std::size_t length = static_cast<std::size_t>(payload_text(report, payload));
    std::memcpy(text + at, payload, length);
    at += length;
  }
  // At least four digits, as many as the time needs.
  int shift = 28;
  while (shift > 12 && (received >> shift) == 0) shift -= 4;
  for (; shift >= 0; shift -= 4) text[at++] = digits[(received >> shift) & 0x0Fu];
  text[at] = '\0';
  return static_cast<int>(at);
}

RawBeaconNode *add_raw_node(RawBeaconNode *head, const BeaconReport &report,
                            std::uint32_t received, int sensor_number) {
  auto *node = static_cast<RawBeaconNode *>(std::malloc(sizeof(RawBeaconNode)));
  if (node == nullptr) return head;
  const bool with_payload = service_config.disable_payload != 1;
  node->rssi = report.rssi();
  node->received = received;
  std::memcpy(node->address, report.address(), report_address_size);
  node->payload_length = with_payload ? report.data_length() : 0;
  std::memcpy(node->payload, report.data(), static_cast<std::size_t>(node->payload_length));
  node->next = head;
  node->same_bucket = nullptr;

  char row[raw_row_text_size];
  raw_row_text(report, with_payload, received, row);
  report_failed_insert(insert_beacon_row(received, row, nullptr), sensor_number);
  return node;
}

int payload3_text(const ExtendedAdvert &advert, bool with_payload, std::uint32_t received,
                  char (&text)[payload3_text_size]) {
  constexpr char digits[] = "0123456789ABCDEF";
  std::size_t at = 0;
  const auto put = [&](unsigned byte) {
    text[at++] = digits[(byte >> 4) & 0x0Fu];
    text[at++] = digits[byte & 0x0Fu];
  };
  for (std::size_t i = report_address_size; i-- > 0;) put(advert.address[i]);
  for (const std::uint8_t byte :
       {advert.address_type, static_cast<std::uint8_t>(advert.rssi),
        static_cast<std::uint8_t>(advert.tx_power), advert.primary_phy, advert.secondary_phy,
        advert.sid, advert.flags}) {
    put(byte);
  }
  std::size_t n = with_payload ? advert.data_length : 0u;
  if (n > max_extended_advert_data) n = max_extended_advert_data;
  put(static_cast<unsigned>(n >> 8));
  put(static_cast<unsigned>(n & 0xFFu));
  for (std::size_t i = 0; i < n; ++i) put(advert.data[i]);
  for (int shift = 24; shift >= 0; shift -= 8) put((received >> shift) & 0xFFu);
  text[at] = '\0';
  return static_cast<int>(at);
}

void process_extended_advert(const ExtendedAdvert &advert, int sensor_number) {
  PipelineCounters &c = pipeline_counters;
  c.DC.in.increment();
  c.L0.in.increment();
  if (extended_index.find({advert.address, advert.data_length, advert.data}) != nullptr) return;

  const std::uint32_t now = wall_clock_seconds();
  c.L0.out.increment();
  c.L1.in.increment();
  if (mac_filter(advert.address) != 0) return;
  c.L1.out.increment();
  c.L2.in.increment();
  if (advert.rssi != 127 && service_config.rssi_filter_enabled != 0 &&
      advert.rssi < service_config.rssi_threshold) {
    return;
  }
  c.L2.out.increment();
  c.L3.in.increment();
  if (uuid_filter(advert.data, advert.data_length) != 0) return;

  // As for a legacy report, a node that cannot be had leaves the row stored
  // and its repeats stored again.
  auto *node = static_cast<ExtendedNode *>(std::malloc(sizeof(ExtendedNode) + advert.data_length));
  if (node != nullptr) {
    std::memcpy(node->address, advert.address, report_address_size);
    node->data_length = advert.data_length;
    std::memcpy(node + 1, advert.data, advert.data_length);
    node->next = extended_list;
    node->same_bucket = nullptr;
    extended_list = node;
    extended_index.add(node);
  }
  payload3_text(advert, service_config.disable_payload != 1, now, payload3_row);
  report_failed_insert(insert_beacon_row(now, nullptr, nullptr, payload3_row), sensor_number);
  if (advert.primary_phy == 1) scan_counters.extended_stored_1m.increment();
  if (advert.primary_phy == 3) scan_counters.extended_stored_coded.increment();
  if (advert.secondary_phy == 2) scan_counters.extended_stored_2m.increment();
  c.L3.out.increment();
  c.DC.out.increment();
}

void process_raw_report(const BeaconReport &report, int sensor_number) {
  PipelineCounters &c = pipeline_counters;
  c.DC.in.increment();
  c.L0.in.increment();
  if (repeat_index.find({report.address(), report.data_length(), report.data()}) != nullptr) {
    return;
  }

  const std::uint32_t now = wall_clock_seconds();
  c.L0.out.increment();
  c.L1.in.increment();
  if (mac_filter(report) != 0) return;
  c.L1.out.increment();
  c.L2.in.increment();
  if (rssi_filter(report) != 0) return;
  c.L2.out.increment();
  c.L3.in.increment();
  if (uuid_filter(report) != 0) return;

  RawBeaconNode *head = add_raw_node(raw_list, report, now, sensor_number);
  if (head != raw_list) {
    raw_list = head;
    repeat_index.add(head);
  }
  c.L3.out.increment();
  c.DC.out.increment();
}

void *thread_one(void *) {
  free_raw_list();
  while (service_running()) {
    const std::int32_t duration = service_config.scan_duration;
    const std::uint64_t length = static_cast<std::uint64_t>(duration < 0 ? 0 : duration) + 1;
    // The window ends when the clock's whole seconds pass start + duration.
    const Clock::time_point start = std::chrono::floor<std::chrono::seconds>(Clock::now());
    const Clock::time_point end = start + std::chrono::seconds(length);
    // Every stop wakes the hand-off's waiters, so the wait may last the
    // whole window.
    while (Clock::now() < end && service_running()) {
      const BeaconReport *report = wait_raw_report_until(end);
      if (report != nullptr) {
        const ExtendedAdvert *extended = current_extended.load(std::memory_order_acquire);
        if (extended != nullptr) {
          process_extended_advert(*extended, 1);
        } else {
          process_raw_report(*report, 1);
        }
        finish_raw_report();
      }
    }
    close_raw_window(length);
  }
  reset_raw_path_counters();
  finish_raw_report();
  return nullptr;
}

}  // namespace sensor_handler
