#include "stop_flags.h"

#include <cstdint>

#include "gw_command.h"
#include "gw_output.h"
#include "gw_pacing.h"

namespace sensor_handler {

std::atomic<bool> restart_requested{false};
std::atomic<bool> exit_requested{false};

std::int32_t parent_pid = 0;
std::int32_t status_pid = 0;
std::atomic<std::uint32_t> exit_code{0};

namespace {
// Counts every raise; the run loop waits for it to move.
std::atomic<std::uint32_t> stop_raises{0};

// The registered wake-ups. A slot is claimed by moving stop_wakes_taken
// (seq_cst compare-exchange), then filled (release); a raise reads the
// claimed slots (acquire) and skips one not filled yet, whose module has no
// thread waiting. Constant-initialised (constinit), so a module's static
// initialisation may register before any other runs.
constinit std::atomic<StopWake> stop_wakes[stop_wake_capacity]{};
constinit std::atomic<std::size_t> stop_wakes_taken{0};

// Wakes the run loop and every thread blocked in a registered wait (the
// report hand-off among them), so a stop reaches them without any of them
// polling.
void wake_run_loop() {
  stop_raises.fetch_add(1);
  stop_raises.notify_all();
  const std::size_t taken = stop_wakes_taken.load();
  for (std::size_t slot = 0; slot < taken; ++slot) {
    const StopWake wake = stop_wakes[slot].load(std::memory_order_acquire);
    if (wake != nullptr) wake();
  }
}

// Stops still inside notify_and_stop. The next build waits until none is
// left before it clears the stop requests: a stopping thread that had not
// yet seen the old run's loops idle would otherwise wait for the new run's.
// seq_cst: nothing else hangs on it.
std::atomic<std::uint32_t> stops_in_progress{0};

bool is_fatal(std::uint32_t reason) {
  return reason == static_cast<std::uint32_t>(StopReason::sensor_failure) ||
         reason == static_cast<std::uint32_t>(StopReason::config_failure);
}

// Stores reason as the exit status unless a fatal reason is already there:
// the parent's SIGTERM during the teardown of a failed run must not turn the
// failure into a success.
void store_exit_code(std::uint32_t reason) {
  std::uint32_t current = exit_code.load();
  while (!(is_fatal(current) && !is_fatal(reason)) &&
         !exit_code.compare_exchange_weak(current, reason)) {
  }
}
}  // namespace

void request_restart() {
  // The flag before the cancel: a worker woken from its pacing wait finds
  // the run ending and leaves its loop rather than turning once more.
  restart_requested.store(true);
  gw::cancel_pacing();
  wake_run_loop();
}

void request_exit() {
  exit_requested.store(true);
  wake_run_loop();
}

void clear_restart_request() { restart_requested.store(false); }

void wait_for_stop_request() {
  for (;;) {
    const std::uint32_t seen = stop_raises.load();
    if (!service_running()) return;
    stop_raises.wait(seen);
  }
}

bool add_stop_wake(StopWake wake) {
  std::size_t slot = stop_wakes_taken.load();
  do {
    if (slot >= stop_wake_capacity) return false;
  } while (!stop_wakes_taken.compare_exchange_weak(slot, slot + 1));
  stop_wakes[slot].store(wake, std::memory_order_release);
  return true;
}

void notify_and_stop(std::uint32_t reason) {
  stops_in_progress.fetch_add(1);
  if (reason == static_cast<std::uint32_t>(StopReason::sensor_failure)) {
    gw::gw_printf("ZENTIB_ERROR : Restarting Program due Sensor1(BLE) Failure\n\r");
    gw::run_command_formatted("kill -SIGUSR1 %d >/dev/null 2>&1", static_cast<int>(parent_pid));
    request_exit();
  } else if (reason == static_cast<std::uint32_t>(StopReason::config_failure)) {
    gw::gw_printf("ZENTIB_ERROR : Closing Program due to Configuration Failure\n\r");
    gw::run_command_formatted("kill -SIGUSR2 %d >/dev/null 2>&1", static_cast<int>(parent_pid));
    request_exit();
  }
  // Everything goes up before the waits: while the handshakes wait for the
  // module attach and the broker connect to give up, every other loop sees
  // the run ending and leaves, instead of turning again on pacing waits that
  // now return at once.
  store_exit_code(reason);
  gw::raise_stop_requests();
  request_restart();
  gw::stop_attach_and_wait();
  gw::stop_connect_and_wait();
  if (stops_in_progress.fetch_sub(1) == 1) stops_in_progress.notify_all();
}

void wait_for_stops_in_progress() {
  for (std::uint32_t left = stops_in_progress.load(); left != 0; left = stops_in_progress.load()) {
    stops_in_progress.wait(left);
  }
}

}  // namespace sensor_handler
