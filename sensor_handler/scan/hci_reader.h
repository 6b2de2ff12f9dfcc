// The read phase of a scan cycle and the hand-off of each advertising report
// to the two processing threads.
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
// on a stop reads valid, unchanged bytes. A consumer must not touch the
// report once it has called its finish routine.
//
// Synchronisation: the flags and current_report change only under one
// private mutex, whose two condition variables (on the monotonic clock) wake
// the consumers and the reader; a hand-off therefore takes microseconds and
// nobody polls. The reader raises a flag only while the service runs, checked
// under that mutex, so a consumer that cleared its flag on its way out after
// a stop never finds it raised again by a late hand-off.
//
// Flags (also readable without the lock, for tests and diagnostics):
//   current_report  stored (release) before a flag is raised; acquire.
//   raw_pending     1 while thread_one has the report; release on set and
//                   clear, acquire on read.
//   smooth_pending  the same for thread_two; raised only when
//                   service_config.smoothing_filter is non-zero.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "pipeline/beacon_report.h"

namespace sensor_handler {

// The largest HCI event with its packet indicator.
constexpr std::size_t hci_event_buffer_size = 260;

extern std::atomic<const BeaconReport *> current_report;
extern std::atomic<std::uint8_t> raw_pending;
extern std::atomic<std::uint8_t> smooth_pending;

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

// Consumer side, one pair per consumer thread.
//
// wait_*_report blocks until the consumer's flag is raised and returns the
// report, or returns nullptr once a stop flag is set (even with the flag
// raised: after a stop the report must not be read). The _until forms also
// return nullptr at the deadline, so a thread can close its window on time.
//
// finish_*_report clears the flag (release) and wakes the reader. Call it
// after the last read of the report, and once more on the way out of the
// thread, whether or not a report was pending.
const BeaconReport *wait_raw_report();
const BeaconReport *wait_raw_report_until(std::chrono::steady_clock::time_point deadline);
void finish_raw_report();

const BeaconReport *wait_smooth_report();
const BeaconReport *wait_smooth_report_until(std::chrono::steady_clock::time_point deadline);
void finish_smooth_report();

// Forgets a hand-off left over from the previous service run (a report
// raised before a consumer that then never ran). The run loop calls it at
// each service build, before any worker starts.
void reset_handoff();

// Wakes every thread blocked above and a reader waiting on the socket, so
// that each looks at the stop flags again. Call it after raising a stop
// flag; a waiter that checked the flags just before still wakes. It takes the
// hand-off lock briefly: call it from a thread, not a signal handler.
void wake_handoff_waiters();

}  // namespace sensor_handler
