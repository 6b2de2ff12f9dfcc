// The read phase of a scan cycle: reads the advertising reports off the
// raw HCI socket and hands each on to the two processing threads through
// the report hand-off (pipeline/report_handoff.h).
//
// read_advertising_reports runs on sensor_thread. It reads one event per
// read (those that waited in the raw HCI socket while the controller paced
// with one call each, later ones after a select that waits for them) and
// hands each report of an LE Advertising Report event in turn to thread_one
// (raw_pending) and, while smoothing is on, to thread_two (smooth_pending).
// One report is in flight at a time: the next report, and the next event,
// only once both consumers are done. Legacy advertisements that come in LE
// Extended Advertising Reports (a controller scanning with the extended
// commands, or a management client scanning beside us) are turned into the
// legacy layout and handed on the same way. With SP_BT5_EXT 2 other extended
// advertisements are joined from their chained reports
// (scan/extended_reassembly.h) and handed to thread_one alone; otherwise
// they are counted and dropped. Every other LE Meta event is counted and
// read past (scan_counters, written on this thread only).
//
// The event buffer and the buffer of the converted report have process
// lifetime and are written only while no flag is pending, so a consumer
// still working on a report after the reader returned on a stop reads valid,
// unchanged bytes.
//
// A stop reaches the reader waiting on the socket through the hand-off's
// stop wake-up, which sits in the select set beside the device.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pipeline/beacon_report.h"
#include "scan/extended_report.h"

namespace sensor_handler {

// The largest HCI event with its packet indicator.
constexpr std::size_t hci_event_buffer_size = 260;

// What a read phase tells the scan controller.
struct ReadPhaseResult {
  // A read failed (anything but EAGAIN or EINTR) or met end of file: the
  // controller went away (a USB dongle re-enumerating, hci0 unregistered)
  // and this socket will never deliver again.
  bool device_gone = false;
  // LE Advertising Report and LE Extended Advertising Report events read
  // (not counting discarded ones), whether or not their reports fit or are
  // handed on: proof that the controller scans.
  std::uint32_t advertising_events = 0;
};

// Walks the reports of one LE Advertising Report or LE Extended Advertising
// Report event, as read from the socket (packet indicator, event code,
// parameter length, subevent, report count, reports), in order:
// on_report(report) for each until it returns false. Reports follow each
// other whole, as the kernel and the controllers lay them out, each within
// both `length` and the length the event declares; one that does not fit
// hides where the next begins and ends the walk. False when on_report did.
template <typename Report, typename Parse, typename OnReport>
bool for_each_report(const std::uint8_t *event, std::size_t length, Parse &&parse,
                     OnReport &&on_report) {
  constexpr std::size_t parameter_length_offset = 2;
  constexpr std::size_t report_count_offset = 4;
  constexpr std::size_t first_report_offset = 5;
  if (length < first_report_offset) return true;
  const std::size_t declared = first_report_offset - 2 + event[parameter_length_offset];
  const std::size_t end = declared < length ? declared : length;
  std::size_t offset = first_report_offset;
  for (unsigned index = 0; index < event[report_count_offset] && offset < end; ++index) {
    Report report;
    if (parse(event + offset, end - offset, &report) != 0) break;
    offset += report.size();
    if (!on_report(report)) return false;
  }
  return true;
}

// The reports of an LE Advertising Report event (subevent 0x02).
template <typename OnReport>
bool for_each_advertising_report(const std::uint8_t *event, std::size_t length,
                                 OnReport &&on_report) {
  return for_each_report<BeaconReport>(event, length, parse_beacon_report, on_report);
}

// The reports of an LE Extended Advertising Report event (subevent 0x0D).
template <typename OnReport>
bool for_each_extended_report(const std::uint8_t *event, std::size_t length,
                              OnReport &&on_report) {
  return for_each_report<ExtendedReport>(event, length, parse_extended_report, on_report);
}

// One read phase on device_handle, lasting at most scan_duration seconds on
// the monotonic clock (a duration of 0 takes only the events already queued,
// and never more than a second of them). A negative configured scan_duration
// is taken as 0. Ends early on a stop flag (at once, also while waiting on
// the socket, once wake_handoff_waiters has run), a select failure
// ("ZENTIB_ERROR : SENSOR%d : Select error\n\r") and a read failure. Any other
// LE Meta event is counted in scan_counters.other_subevents and read past; a
// read too short to hold a report count is one short event, skipped. Each
// report is read within both the bytes read and the length the event
// declares; the first report that does not fit ends that event's reports (an
// event without any is skipped). Of an extended report event, a legacy PDU
// is handed on in the legacy layout (scan_counters.legacy_in_extended); one
// that claims more than 31 data bytes or a type no legacy PDU has is
// malformed and skipped uncounted; any other advertisement is, with
// SP_BT5_EXT 2, reassembled and handed to thread_one once complete, and
// otherwise counted once in scan_counters.extended_not_stored, by the report
// that completes or truncates it (not by the fragments before), and dropped.
ReadPhaseResult read_advertising_reports(int device_handle, std::uint16_t scan_duration,
                                         int sensor_number);

// Reads and drops what waits on device_handle, handing nothing on, once no
// report is in flight: the scan stays on while no phase runs, and what
// queued then is old. The caller pauses the scan around it, so the queue
// runs dry however busy the air is; a second at most all the same. False
// when the device has gone (a read failed or met end of file).
bool discard_queued_events(int device_handle);

}  // namespace sensor_handler
