#include "stop_flags.h"

#include <cstdint>

#include "gw_pacing.h"
#include "scan/hci_reader.h"

namespace sensor_handler {

std::atomic<bool> restart_requested{false};
std::atomic<bool> exit_requested{false};

namespace {
// Counts every raise; the run loop waits for it to move.
std::atomic<std::uint32_t> stop_raises{0};

// Wakes the run loop and every thread blocked in the report hand-off, so a
// stop reaches them without any of them polling.
void wake_run_loop() {
  stop_raises.fetch_add(1);
  stop_raises.notify_all();
  wake_handoff_waiters();
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

}  // namespace sensor_handler
