// The hand-off of each advertising report from the read phase
// (scan/hci_reader.h, on sensor_thread) to the two processing threads:
// thread_one (raw_pending) and, while smoothing is on, thread_two
// (smooth_pending). One report is in flight at a time: the reader hands on
// the next report, and reads the next event, only once both consumers are
// done.
//
// The report handed on, and the event bytes it points into, have process
// lifetime and are written only while no flag is pending, so a consumer
// still working on a report after the reader returned on a stop reads
// valid, unchanged bytes. A consumer must not touch the report once it has
// called its finish routine.
//
// Synchronisation: the flags and current_report change only under one
// private mutex, which nobody sleeps holding. The consumers sleep on a futex
// word counting the raises, the reader on one counting the finishes (the
// consumers' deadlines on the monotonic clock), and a waker enters the
// kernel only when someone sleeps there; a hand-off therefore takes
// microseconds and nobody polls. The reader raises a flag only while the
// service runs, checked under that mutex, so a consumer that cleared its
// flag on its way out after a stop never finds it raised again by a late
// hand-off. Every stop raise wakes all of them (wake_handoff_waiters,
// registered with the stop flags at static initialisation), and the reader
// waiting on its socket through an eventfd it puts beside the device in its
// select set.
//
// Flags (also readable without the lock, for tests and diagnostics):
//   current_report  stored (release) before a flag is raised; acquire.
//   current_extended the kind of the report in flight: non-null while it
//                   is an extended advertisement, handed to thread_one only
//                   (current_report is then an empty report, smoothing
//                   being for legacy reports); stored (release) before
//                   raw_pending is raised, acquire.
//   raw_pending     1 while thread_one has the report; release on set and
//                   clear, acquire on read.
//   smooth_pending  the same for thread_two; raised only when
//                   service_config.smoothing_filter is non-zero.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "pipeline/beacon_report.h"
#include "pipeline/extended_advert.h"

namespace sensor_handler {

extern std::atomic<const BeaconReport *> current_report;
extern std::atomic<const ExtendedAdvert *> current_extended;
extern std::atomic<std::uint8_t> raw_pending;
extern std::atomic<std::uint8_t> smooth_pending;

// Reader side.
//
// hand_off publishes report to the consumers and waits until they are done
// with it. False on a stop, possibly with the report still pending. The
// bytes the report points into stay unchanged until then.
bool hand_off(const BeaconReport &report);

// The same for an extended advertisement, to thread_one only; the slot it
// points into stays unchanged until then.
bool hand_off_extended(const ExtendedAdvert &advert);

// Sleeps until both consumers are done with the report in flight, if any.
// False when a stop ended the wait instead.
bool wait_consumers_done();

// The stop wake-up's eventfd, for the reader's select set: readable from a
// stop until drain_stop_wake empties it. -1 if it could not be made; a stop
// then ends the phase at the next event or at its deadline.
int stop_wake_descriptor();

// Empties the stop wake-up. The reader drains it before it looks at the
// stop flags, so a stop raised after that look still finds the wait.
void drain_stop_wake();

// Consumer side, one pair per consumer thread.
//
// wait_*_report blocks until the consumer's flag is raised and returns the
// report (for thread_one, an extended advertisement when current_extended
// is non-null), or returns nullptr once a stop flag is set (even with the flag
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
// that each looks at the stop flags again. request_restart and request_exit
// call it after raising their flag (registered with the stop flags); a flag
// stored by hand needs a call of its own. A waiter that checked the flags
// just before still wakes.
void wake_handoff_waiters();

}  // namespace sensor_handler
