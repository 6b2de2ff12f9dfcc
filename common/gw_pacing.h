// Pacing of the periodic workers, the database file size, and the two
// stop-and-wait handshakes with which a stop makes the UART module attach and
// the broker connect loop give up.
//
// Pacing runs on the monotonic clock: a board without a real-time clock
// boots with a stale wall time that its NTP client later steps by minutes to
// months, and a deadline on the wall clock would then make a worker sleep for
// the size of the step. Deadlines are seconds of pacing_clock_seconds();
// rows, packets and files keep wall-clock time.
//
// Flags (each written and read by several threads):
//   pacing_cancelled  set by the stop routine, cleared at each service build;
//                     seq_cst, and set under the pacing lock so that a
//                     waiter cannot miss the wake-up.
//   attach_stop / connect_stop  release on set, acquire in the loops.
//   attach_idle / connect_idle  set (release, then notify) when the loop
//                     ends; the stop waits on them with a futex.
#pragma once

#include <atomic>
#include <cstdint>

namespace gw {

extern std::atomic<std::uint8_t> pacing_cancelled;
extern std::atomic<std::uint8_t> attach_stop;
extern std::atomic<std::uint8_t> attach_idle;
extern std::atomic<std::uint8_t> connect_stop;
extern std::atomic<std::uint8_t> connect_idle;

// Seconds on the monotonic clock, never 0 (workers start their deadline at
// pacing_clock_seconds() + period).
std::uint32_t pacing_clock_seconds();

// The pacing rule without the sleep: returns the seconds to wait and moves
// *deadline, for a call at now. "Seconds since the previous deadline" is
// now - previous, so the rule holds on a clock that starts near 0.
std::uint32_t next_period_wait(std::uint32_t now, std::uint32_t *deadline, std::uint32_t period);

// Waits for the worker's next turn and advances *deadline. Returns at once
// (deadline unchanged) while pacing_cancelled is set; a cancel during the
// wait ends it within microseconds. A period of 0 waits 50 ms.
void wait_next_period(std::uint32_t *deadline, std::uint32_t period, int sensor_number);

// Sleeps up to seconds, returning early (true) once pacing is cancelled.
bool pacing_sleep(std::uint32_t milliseconds);

// Sets / clears pacing_cancelled and wakes every pacing wait.
void cancel_pacing();
void clear_pacing_cancelled();

// Blocks until done is set or the connect loop is stopped (connect_stop, a
// cancelled pacing); true when done. Whoever sets done calls
// wake_pacing_waits afterwards, as every raise of connect_stop does.
bool wait_for_connect_step(const std::atomic<std::uint8_t> &done);
void wake_pacing_waits();

// Size of the file at path in mebibytes. Returns 0, or 1 after
// "ZENTIB_ERROR : SENSOR%d : Cannot Calculate Size\n\r" and the error text.
int file_size_mib(const char *path, float *size, int sensor_number);

// Handshakes. The stop routine must not call these on the thread that runs
// the loop it waits for (the gateway's signals are taken by a thread of
// their own for that reason).
// raise_stop_requests sets attach_stop and connect_stop without waiting, so
// that a stop can raise every request before it waits for any loop.
void raise_stop_requests();
void stop_attach_and_wait();
void clear_attach_stop();
void stop_connect_and_wait();
void clear_connect_stop();

// For the loops themselves: mark the start and the end of an attach or
// connect loop (the end wakes a waiting stop).
void mark_attach_busy();
void mark_attach_idle();
void mark_connect_busy();
void mark_connect_idle();

}  // namespace gw
