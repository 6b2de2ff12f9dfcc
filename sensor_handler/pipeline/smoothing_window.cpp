#include "smoothing_window.h"

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

// A window holds at most one node per address (a node is made only when
// none matches), so looking the address up in a hash index finds the very
// node the newest-first walk would.
struct AddressTraits {
  using Node = SmoothedBeaconNode;
  using Key = const std::uint8_t *;

  static const std::uint8_t *key_of(const SmoothedBeaconNode &node) { return node.address; }
  static std::uint32_t hash(const std::uint8_t *address) {
    Fnv1a fnv;
    fnv.mix(address, report_address_size);
    return fnv.value();
  }
  static bool matches(const SmoothedBeaconNode &node, const std::uint8_t *address) {
    return same_address(node.address, address) == 0;
  }
};

// When the index has no table a node stays unindexed: its address then
// makes a new node at its next report, as after a failed allocation.
using AddressIndex = NodeIndex<AddressTraits>;

// thread_two's window (this thread only).
SmoothedBeaconNode *smooth_list = nullptr;
AddressIndex address_index;

void free_smooth_list() {
  while (smooth_list != nullptr) {
    SmoothedBeaconNode *older = smooth_list->next;
    std::free(smooth_list);
    smooth_list = older;
  }
  address_index.clear();
}

std::uint32_t wall_clock_seconds() { return static_cast<std::uint32_t>(std::time(nullptr)); }

// Window length and rate divisor: the setting, or one second when it would
// give an empty window.
std::uint64_t window_seconds() {
  const std::int32_t setting = service_config.averaging_window;
  return setting > 0 ? static_cast<std::uint64_t>(setting) : 1;
}

void close_smoothing_window(std::uint64_t length) {
  PipelineCounters &c = pipeline_counters;
  close_rate_window(c.RC.in, c.RC.in_at_window_start, c.RC.rate_in, length);
  close_rate_window(c.RC.out, c.RC.out_at_window_start, c.RC.rate_out, length);
  close_rate_window(c.RC_L1.out, c.RC_L1.out_at_window_start, c.RC_L1.rate_out, length);
  close_rate_window(c.RC_L2.out, c.RC_L2.out_at_window_start, c.RC_L2.rate_out, length);
  if (smooth_list != nullptr) {
    flush_smoothed_list(smooth_list, 1);
    free_smooth_list();
  }
}

}  // namespace

int smoothed_row_text(const SmoothedBeaconNode &node, std::uint32_t flush_time,
                      char (&text)[smoothed_row_text_size]) {
  char block[smoothed_row_text_size] = "";
  if (service_config.smoothing_filter == 1) {
    // The count goes out as a signed 16-bit value widened to 32 bits, as
    // the uploaded format has always shown it.
    const auto count = static_cast<std::int32_t>(static_cast<std::int16_t>(node.sample_count));
    std::snprintf(block, sizeof block, "%02X%04lX%02X%02X%02X", 7u,
                  static_cast<unsigned long>(flush_time),
                  static_cast<unsigned>(service_config.averaging_window),
                  static_cast<unsigned>(static_cast<std::uint8_t>(node.average_rssi)),
                  static_cast<unsigned>(count));
  }
  const std::uint8_t *a = node.address;
  char address[address_text_size];
  std::snprintf(address, sizeof address, "%02X%02X%02X%02X%02X%02X", a[5], a[4], a[3], a[2],
                a[1], a[0]);
  const int length = std::snprintf(text, sizeof text, "%s%02X%02X%s", address, 17u,
                                   static_cast<unsigned>(service_config.smoothing_marker), block);
  return length < 0 ? 0 : length;
}

SmoothedBeaconNode *add_smoothed_node(SmoothedBeaconNode *head, const BeaconReport &report,
                                      std::uint32_t now, int /*sensor_number*/) {
  auto *node = static_cast<SmoothedBeaconNode *>(std::malloc(sizeof(SmoothedBeaconNode)));
  if (node == nullptr) return head;
  node->average_rssi = report.rssi();
  node->first_seen = now;
  std::memcpy(node->address, report.address(), report_address_size);
  node->sample_count = 1;
  node->next = head;
  node->same_bucket = nullptr;
  return node;
}

void update_running_average(SmoothedBeaconNode &node, const BeaconReport &report) {
  // A report RSSI of 0 to 127 enters as that value minus 256, as it always
  // has; every real (negative) RSSI enters as itself.
  const auto sum = static_cast<std::int16_t>(report.rssi_byte() + node.average_rssi - 256);
  node.average_rssi = static_cast<std::int8_t>(sum / 2);
  node.sample_count = static_cast<std::uint16_t>(node.sample_count + 1);
}

void flush_smoothed_list(const SmoothedBeaconNode *head, int sensor_number) {
  const std::uint32_t flush_time = wall_clock_seconds();
  Counter64 &rows = pipeline_counters.RC_L0.rate_out;
  rows.store(0);
  for (const SmoothedBeaconNode *node = head; node != nullptr; node = node->next) {
    rows.increment();
    char text[smoothed_row_text_size];
    smoothed_row_text(*node, flush_time, text);
    const int status = insert_beacon_row(node->first_seen, nullptr, text);
    if (status != sqlite_done && (status != beacon_db_unavailable || service_running())) {
      gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Cannot step for Adding data in databse\n\r",
                    sensor_number);
      gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Status = %d\n\r", sensor_number, status);
    }
  }
}

void process_smoothed_report(const BeaconReport &report, int sensor_number) {
  PipelineCounters &c = pipeline_counters;
  c.RC.in.increment();
  const std::uint32_t now = wall_clock_seconds();
  c.RC_L1.in.increment();
  if (mac_filter(report) != 0) return;
  c.RC_L1.out.increment();
  c.RC_L2.in.increment();
  if (rssi_filter(report) != 0) return;

  // The filters do not look at the node, so looking it up after them finds
  // what a lookup before them would.
  SmoothedBeaconNode *match = address_index.find(report.address());
  if (match == nullptr) {
    SmoothedBeaconNode *head = add_smoothed_node(smooth_list, report, now, sensor_number);
    if (head != smooth_list) {
      smooth_list = head;
      address_index.add(head);
    }
  } else if (service_config.smoothing_filter == 1) {
    update_running_average(*match, report);
  }
  c.RC.out.increment();
  c.RC_L2.out.increment();
}

void *thread_two(void *) {
  free_smooth_list();
  while (service_running()) {
    const std::uint64_t length = window_seconds();
    const Clock::time_point start = std::chrono::floor<std::chrono::seconds>(Clock::now());
    const Clock::time_point end = start + std::chrono::seconds(length);
    // Every stop wakes the hand-off's waiters, so the wait may last the
    // whole window.
    while (Clock::now() < end && service_running()) {
      const BeaconReport *report = wait_smooth_report_until(end);
      if (report != nullptr) {
        process_smoothed_report(*report, 1);
        finish_smooth_report();
      }
    }
    close_smoothing_window(length);
  }
  reset_smoothing_path_counters();
  finish_smooth_report();
  return nullptr;
}

}  // namespace sensor_handler
