// The read phase of a scan cycle: reads the advertising reports off the
// raw HCI socket and hands each on to the two processing threads through
// the report hand-off (pipeline/report_handoff.h).
//
// read_advertising_reports runs on sensor_thread. It waits on the raw HCI
// socket with select, reads one event per read, and hands each report of an
// LE Advertising Report event in turn to thread_one (raw_pending) and, while
// smoothing is on, to thread_two (smooth_pending). One report is in flight at
// a time: the next report, and the next event, only once both consumers are
// done.
//
// The event buffer has process lifetime and is written only while no flag is
// pending, so a consumer still working on a report after the reader returned
// on a stop reads valid, unchanged bytes.
//
// A stop reaches the reader waiting on the socket through the hand-off's
// stop wake-up, which sits in the select set beside the device.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pipeline/beacon_report.h"

namespace sensor_handler {

// The largest HCI event with its packet indicator.
constexpr std::size_t hci_event_buffer_size = 260;

// What a read phase tells the scan controller.
struct ReadPhaseResult {
  // A read failed (anything but EAGAIN or EINTR) or met end of file: the
  // controller went away (a USB dongle re-enumerating, hci0 unregistered)
  // and this socket will never deliver again.
  bool device_gone = false;
  // LE Advertising Report events read (not counting discarded ones),
  // whether or not their reports fit: proof that the controller scans.
  std::uint32_t advertising_events = 0;
};

// The reports of one LE Advertising Report event, as read from the socket
// (packet indicator, event code, parameter length, subevent, report count,
// reports), in order: on_report(report) for each until it returns false.
// Reports follow each other whole, as the kernel and the controllers lay
// them out, each within both `length` and the length the event declares;
// one that does not fit hides where the next begins and ends the walk.
// False when on_report did.
template <typename OnReport>
bool for_each_advertising_report(const std::uint8_t *event, std::size_t length,
                                 OnReport &&on_report) {
  constexpr std::size_t parameter_length_offset = 2;
  constexpr std::size_t report_count_offset = 4;
  constexpr std::size_t first_report_offset = 5;
  if (length < first_report_offset) return true;
  const std::size_t declared = first_report_offset - 2 + event[parameter_length_offset];
  const std::size_t end = declared < length ? declared : length;
  std::size_t offset = first_report_offset;
  for (unsigned index = 0; index < event[report_count_offset] && offset < end; ++index) {
    BeaconReport report;
    if (parse_beacon_report(event + offset, end - offset, &report) != 0) break;
    offset += report.size();
    if (!on_report(report)) return false;
  }
  return true;
}

// One read phase on device_handle, lasting at most scan_duration seconds on
// the monotonic clock (a duration of 0 takes only the events already queued,
// and never more than a second of them). A negative configured scan_duration
// is taken as 0. Ends early on a stop flag (at once, also while waiting on
// the socket, once wake_handoff_waiters has run), a select failure
// ("ZENTIB_ERROR : SENSOR%d : Select error\n\r"), a read failure or a read of
// fewer than 5 bytes, and on an LE Meta event other than an advertising
// report. Each report is read within both the bytes read and the length the
// event declares; the first report that does not fit ends that event's
// reports (an event without any is skipped).
ReadPhaseResult read_advertising_reports(int device_handle, std::uint16_t scan_duration,
                                         int sensor_number);

// Reads and drops what waits on device_handle, handing nothing on, once no
// report is in flight: the scan stays on while no phase runs, and what
// queued then is old. The caller pauses the scan around it, so the queue
// runs dry however busy the air is; a second at most all the same. False
// when the device has gone (a read failed or met end of file).
bool discard_queued_events(int device_handle);

}  // namespace sensor_handler
