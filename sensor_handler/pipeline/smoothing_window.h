// The smoothing window: thread_two folds every report of one address within
// an averaging window into one record (a running RSSI value and a report
// count) and at the window's end writes one PAYLOAD2 row per address,
// newest address first.
//
// Thread: thread_two, started at a service build only while
// smoothing_filter is non-zero. It alone owns smooth_list (and its address
// index) and alone writes the smoothing-path members of pipeline_counters
// (RC, RC_L0 to RC_L2). It reads the handed-off report beside thread_one
// until finish_smooth_report. Rows go through insert_beacon_row, the store's
// locked insert shared with thread_one.
//
// Windows run on the monotonic clock until its whole seconds reach start +
// averaging_window; rows and their texts carry wall-clock time. A window of
// 0 or less would be empty (no report taken, the reader blocked, a rate
// divided by 0, a loop without pause): it is taken as one second, rated
// over one second, while the rows still show the configured value. A window
// cut short by a stop is rated and flushed before the thread ends; its rows
// reach the table, because the statement lives until the teardown's close
// after thread_two is joined. Only a stop that caught a reclaim with its
// database closed drops them, without a message.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pipeline/beacon_report.h"

namespace sensor_handler {

struct SmoothedBeaconNode {
  std::int8_t average_rssi;    // first report's RSSI, then the running value
  std::uint32_t first_seen;    // wall-clock seconds of the address's first report
  std::uint8_t address[report_address_size];  // least significant byte first
  std::uint16_t sample_count;  // wraps from 65535 to 0
  SmoothedBeaconNode *next;    // next older node
  SmoothedBeaconNode *same_bucket;  // address index chain
};

// Address 12, 11, marker, 07, time 8, window up to 8, RSSI 2, count 8, NUL.
constexpr std::size_t smoothed_row_text_size = 64;

// Thread entry. Returns nullptr after a stop flag, with the smoothing-path
// counters at 0 and smooth_pending cleared.
void *thread_two(void *);

void process_smoothed_report(const BeaconReport &report, int sensor_number);

// New node at the head for report, first seen at now. Returns the new head,
// or head unchanged when no memory was left.
SmoothedBeaconNode *add_smoothed_node(SmoothedBeaconNode *head, const BeaconReport &report,
                                      std::uint32_t now, int sensor_number);

// Folds report into node: the mean of the running value and the report's
// RSSI (each report weighs as much as all before it), one more sample.
void update_running_average(SmoothedBeaconNode &node, const BeaconReport &report);

// Writes one row per node from head on, all with one flush time in their
// text, DT their first_seen; RC_L0.rate_out counts the rows tried.
void flush_smoothed_list(const SmoothedBeaconNode *head, int sensor_number);

// The PAYLOAD2 text: address, 11, smoothing_marker and, with
// smoothing_filter 1, the block 07, flush time, averaging_window, RSSI byte
// and count (as a signed 16-bit number: 32768 shows FFFF8000). Returns its
// length.
int smoothed_row_text(const SmoothedBeaconNode &node, std::uint32_t flush_time,
                      char (&text)[smoothed_row_text_size]);

}  // namespace sensor_handler
