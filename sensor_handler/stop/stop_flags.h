// Stopping a service run: the two process-wide stop flags that every worker
// loop of a service run polls, the wake-up that lets the run loop and every
// registered blocking wait see a raise without polling, and the stop
// routine any thread calls (notify_and_stop) with the exit status and the
// two process IDs it signals.
//
// This is the bottom of the program: it builds on gwcommon alone, so the
// subsystems (scan, pipeline, store, uplink) stop the service through it
// without reaching the run loop. The run loop, the build and teardown of a
// service run and the signal thread stand on top of it (lifecycle/service.h).
//
// restart_requested ends the current service run; exit_requested ends the
// process. Any thread raises them; only the run loop clears
// restart_requested, after the pause between runs. Both are seq_cst atomics:
// nothing else hangs on their ordering beyond their own visibility.
//
// A module whose threads block on their own (a condition variable, a
// select) registers a wake-up here once, before any of its threads can wait:
// every raise calls each registered wake-up in turn, after the run loop's,
// so that each such wait looks at the flags again. The registry is a fixed
// array filled without allocation; a raise only reads it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace sensor_handler {

extern std::atomic<bool> restart_requested;
extern std::atomic<bool> exit_requested;

// True while neither flag is set: the condition of every worker loop.
inline bool service_running() {
  return !restart_requested.load() && !exit_requested.load();
}

// Raise a flag and wake the run loop and every registered wait. A restart
// also cancels every pacing wait, so that workers sleeping for a long
// posting or ping period leave at once even when the stop did not come
// through notify_and_stop.
void request_restart();
void request_exit();

// Clears restart_requested for the next service run.
void clear_restart_request();

// Blocks (futex, no polling) until either flag is set.
void wait_for_stop_request();

// A wake-up of a blocking wait: called on the raising thread, in normal
// context (the signal thread, a worker, the main thread), after the flag is
// up. It may take its module's lock briefly; a waiter that checked the flags
// just before still wakes.
using StopWake = void (*)();

// Room for the wake-ups of the process; one module needs one.
constexpr std::size_t stop_wake_capacity = 4;

// Registers wake, which every later raise calls. False (and not registered)
// once stop_wake_capacity wake-ups are in. Register once per module, at
// static initialisation or at startup.
bool add_stop_wake(StopWake wake);

// Reasons of notify_and_stop.
enum class StopReason : std::uint32_t {
  signal = 0,          // signal handler, failed subscribe or birth packet
  client_failure = 1,  // MQTT client cannot be created or given its will
  sensor_failure = 3,  // database, UART module, threads, HCI retries
  config_failure = 4,  // configuration cannot be read
};

extern std::int32_t parent_pid;  // supervising parent; written before any thread
extern std::int32_t status_pid;  // status_led
// Reason of the last stop; the process's exit status. A sensor or
// configuration failure, once stored, is kept against later stops.
extern std::atomic<std::uint32_t> exit_code;

// Stops the service run; callable from any thread but the attach and the
// connect loop's own. Returns to the caller.
//
// It waits for the module attach (main thread) and the broker connect loop
// (mqtt thread) to become idle, so it must never run on either: the signal
// thread runs it for a signal, in normal context.
void notify_and_stop(std::uint32_t reason);
inline void notify_and_stop(StopReason reason) {
  notify_and_stop(static_cast<std::uint32_t>(reason));
}

// Blocks (futex, no polling) until no thread is inside notify_and_stop any
// more. The next service build calls it before it clears the stop requests:
// a stopping thread that had not yet seen the old run's loops idle would
// otherwise wait for the new run's.
void wait_for_stops_in_progress();

}  // namespace sensor_handler
