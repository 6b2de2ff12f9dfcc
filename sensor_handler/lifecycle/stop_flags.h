// The two process-wide stop flags that every worker loop of a service run
// polls, and the wake-up that lets the run loop block until one is raised.
//
// restart_requested ends the current service run; exit_requested ends the
// process. Any thread raises them; only the run loop clears
// restart_requested, after the pause between runs. Both are seq_cst atomics:
// nothing else hangs on their ordering beyond their own visibility.
#pragma once

#include <atomic>

namespace sensor_handler {

extern std::atomic<bool> restart_requested;
extern std::atomic<bool> exit_requested;

// True while neither flag is set: the condition of every worker loop.
inline bool service_running() {
  return !restart_requested.load() && !exit_requested.load();
}

// Raise a flag and wake the run loop. A restart also cancels every pacing
// wait, so that workers sleeping for a long posting or ping period leave at
// once even when the stop did not come through notify_and_stop.
void request_restart();
void request_exit();

// Clears restart_requested for the next service run.
void clear_restart_request();

// Blocks (futex, no polling) until either flag is set.
void wait_for_stop_request();

}  // namespace sensor_handler
