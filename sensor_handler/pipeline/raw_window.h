// The raw collection window: thread_one takes every advertising report the
// HCI reader hands off, drops repeats of an advertisement already stored in
// the current window, passes the rest through the MAC, RSSI and UUID filters
// and stores each survivor at once as one PAYLOAD row of table BLE.
//
// Thread: thread_one, started at every service build. It alone owns the
// window's list (and its repeat index) and alone writes the raw-path members
// of pipeline_counters (DC, L0 to L3). The report it reads belongs to the
// reader until finish_raw_report; thread_two reads the same report at the
// same time, both only read it. Rows go through insert_beacon_row, the
// store's locked insert shared with thread_two and refused once the
// statement is finalized.
//
// Extended advertisements (SP_BT5_EXT 2) take the same path through the
// same stages and counters, with a repeat list of their own keyed on
// address and data (a device sending a legacy and an extended frame gets a
// row for each; PHY and SID do not make a repeat new), the MAC filter, the
// RSSI filter (127, not available, passes: a long-range report may lack it)
// and the UUID filter's fixed-offset rule on their data; each survivor is one
// PAYLOAD3 row, counted by PHY in scan_counters.
//
// Windows are measured on the monotonic clock, so a step of the wall clock
// neither stretches nor cuts them; rows carry wall-clock time. A window runs
// until the monotonic seconds have moved scan_duration + 1 past its start,
// its length L for the rates; a negative scan_duration counts as 0 (one
// second, L = 1). While no report is pending the thread sleeps in the
// hand-off's wait and wakes at most once a second.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pipeline/beacon_report.h"
#include "pipeline/extended_advert.h"

namespace sensor_handler {

// One advertisement stored in the current window, newest first. The data
// bytes are kept instead of their text: two payload texts are equal exactly
// when their bytes are.
struct RawBeaconNode {
  std::int8_t rssi;
  std::uint32_t received;  // wall-clock seconds of processing
  std::uint8_t address[report_address_size];  // least significant byte first
  std::uint8_t payload[max_advertising_data];
  std::int32_t payload_length;  // 0 when payloads are disabled
  RawBeaconNode *next;          // next older node
  RawBeaconNode *same_bucket;   // repeat index chain
};

// Address 12, RSSI 2, length 2, data 62, time up to 8, NUL.
constexpr std::size_t raw_row_text_size = 96;

// Thread entry. Returns nullptr after a stop flag, with the raw-path
// counters at 0 and raw_pending cleared.
void *thread_one(void *);

// One report through repeat check, filters and storing (counters as it
// goes). Only thread_one calls it, on the window it owns.
void process_raw_report(const BeaconReport &report, int sensor_number);

// Creates the node for report at the head of the list and writes its row.
// Returns the new head, or head unchanged when no memory was left (nothing
// stored, nothing printed). A failed insert prints its two lines and keeps
// the node, so the report's repeats are still dropped.
RawBeaconNode *add_raw_node(RawBeaconNode *head, const BeaconReport &report,
                            std::uint32_t received, int sensor_number);

// The PAYLOAD text of a row: address, RSSI byte, n + 4, n data bytes (n is
// 0 without payload), receive time with at least four hexadecimal digits.
// Returns its length.
int raw_row_text(const BeaconReport &report, bool with_payload, std::uint32_t received,
                 char (&text)[raw_row_text_size]);

// The extended advertisement's way through repeat check, filters and
// storing. Only thread_one calls it, on the window it owns.
void process_extended_advert(const ExtendedAdvert &advert, int sensor_number);

// The PAYLOAD3 text of a row (layout in pipeline/extended_advert.h); without
// payload the data length reads 0000 and no data follows. Returns its length.
int payload3_text(const ExtendedAdvert &advert, bool with_payload, std::uint32_t received,
                  char (&text)[payload3_text_size]);

}  // namespace sensor_handler
