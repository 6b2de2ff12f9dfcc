#include "report_handoff.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "config/configuration.h"
#include "stop/stop_flags.h"

namespace sensor_handler {

std::atomic<const BeaconReport *> current_report{nullptr};
std::atomic<const ExtendedAdvert *> current_extended{nullptr};
std::atomic<std::uint8_t> raw_pending{0};
std::atomic<std::uint8_t> smooth_pending{0};

namespace {

// Guards the three hand-off values above (their changes, not their lock-free
// reads) and the sleeps on the two conditions, so that neither a raise, a
// finish nor a stop wake-up is lost between a check and a wait.
//
// stop_wake is readable from a stop until the next phase drains it: it sits
// in the select set beside the device, so a stop need not wait out the scan
// duration. The reader drains it before it looks at the stop flags, so a
// stop raised after that look still finds the wait. -1 if it could not be
// made; a stop then ends the phase at the next event or at its deadline.
struct Handoff {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  // The consumers sleep on one condition, the reader on another. A report
  // is always for every consumer of the build (thread_two runs only with
  // smoothing on), so one broadcast makes both runnable at once: whichever
  // runs first, the reader then finds them done without a second sleep, or
  // sleeps once and is woken once, by the last to finish. Three switches a
  // report, where a wake per consumer let each preempt the reader in turn.
  pthread_cond_t report_raised;  // thread_one and thread_two wait here
  pthread_cond_t report_done;    // the reader waits here
  int stop_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  Handoff() {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&report_raised, &attributes);
    pthread_cond_init(&report_done, &attributes);
    pthread_condattr_destroy(&attributes);
  }
};

Handoff &handoff() {
  static Handoff state;
  return state;
}

class HandoffLock {
 public:
  HandoffLock() { pthread_mutex_lock(&handoff().lock); }
  ~HandoffLock() { pthread_mutex_unlock(&handoff().lock); }
  HandoffLock(const HandoffLock &) = delete;
  HandoffLock &operator=(const HandoffLock &) = delete;
};

// Every stop raise wakes the waits below. Registered before main, so before
// any thread can wait here; the registry has room for it (it is the
// process's only one), so a refusal is a build fault and ends the program
// at once rather than leave stops unheard.
const bool wake_registered = [] {
  if (!add_stop_wake(wake_handoff_waiters)) std::abort();
  return true;
}();

// Process lifetime, off the 128 KiB worker stack, and written only while no
// flag is pending: a consumer that outlives the read phase after a stop
// still reads the report it was given (the reader's event buffer, which the
// report points into, is kept the same way).
BeaconReport handed_report;

bool report_in_flight() {
  return raw_pending.load(std::memory_order_acquire) != 0 ||
         smooth_pending.load(std::memory_order_acquire) != 0;
}

// With the lock held: sleeps until both consumers are done. False when a
// stop ended the wait instead.
bool wait_consumers_done_locked() {
  // Without smoothing no thread_two runs in this service build, so a
  // smooth_pending left by an earlier build would never be cleared.
  if (service_config.smoothing_filter == 0) smooth_pending.store(0, std::memory_order_release);
  while (report_in_flight() && service_running()) {
    pthread_cond_wait(&handoff().report_done, &handoff().lock);
  }
  return service_running();
}

timespec to_timespec(std::chrono::steady_clock::time_point deadline) {
  const std::int64_t total =
      std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
  timespec result{};
  if (total <= 0) return result;
  result.tv_sec = static_cast<time_t>(total / 1000000000LL);
  result.tv_nsec = static_cast<long>(total % 1000000000LL);
  return result;
}

const BeaconReport *wait_report(std::atomic<std::uint8_t> &flag, const timespec *deadline) {
  HandoffLock hold;
  bool timed_out = false;
  for (;;) {
    if (!service_running()) return nullptr;
    if (flag.load(std::memory_order_acquire) != 0) {
      return current_report.load(std::memory_order_acquire);
    }
    if (timed_out) return nullptr;
    if (deadline == nullptr) {
      pthread_cond_wait(&handoff().report_raised, &handoff().lock);
    } else if (pthread_cond_timedwait(&handoff().report_raised, &handoff().lock, deadline) ==
               ETIMEDOUT) {
      timed_out = true;
    }
  }
}

void finish_report(std::atomic<std::uint8_t> &flag) {
  bool last;
  {
    HandoffLock hold;
    flag.store(0, std::memory_order_release);
    last = !report_in_flight();
  }
  // The reader has nothing to do until the other consumer is done too.
  // Woken after the unlock, it takes the lock at once instead of sleeping
  // on it a second time; a reader about to wait holds the lock while it
  // checks the flags, so it either sees the clear or already waits.
  if (last) pthread_cond_broadcast(&handoff().report_done);
}

}  // namespace

namespace {

bool raise_report(const BeaconReport &report, const ExtendedAdvert *extended, bool smoothing) {
  {
    HandoffLock hold;
    if (!service_running()) return false;
    handed_report = report;
    current_extended.store(extended, std::memory_order_release);
    current_report.store(&handed_report, std::memory_order_release);
    raw_pending.store(1, std::memory_order_release);
    if (smoothing) smooth_pending.store(1, std::memory_order_release);
  }
  // Raised under the lock, woken after it, as in finish_report: a consumer
  // woken while the reader still held the lock would only sleep again on it.
  pthread_cond_broadcast(&handoff().report_raised);
  HandoffLock hold;
  return wait_consumers_done_locked();
}

}  // namespace

bool hand_off(const BeaconReport &report) {
  return raise_report(report, nullptr, service_config.smoothing_filter != 0);
}

bool hand_off_extended(const ExtendedAdvert &advert) {
  return raise_report(BeaconReport(), &advert, false);
}

bool wait_consumers_done() {
  HandoffLock hold;
  return wait_consumers_done_locked();
}

int stop_wake_descriptor() { return handoff().stop_wake; }

void drain_stop_wake() {
  std::uint64_t count;
  if (handoff().stop_wake >= 0) {
    while (read(handoff().stop_wake, &count, sizeof count) > 0) {
    }
  }
}

const BeaconReport *wait_raw_report() { return wait_report(raw_pending, nullptr); }

const BeaconReport *wait_raw_report_until(std::chrono::steady_clock::time_point deadline) {
  const timespec until = to_timespec(deadline);
  return wait_report(raw_pending, &until);
}

void finish_raw_report() { finish_report(raw_pending); }

const BeaconReport *wait_smooth_report() { return wait_report(smooth_pending, nullptr); }

const BeaconReport *wait_smooth_report_until(std::chrono::steady_clock::time_point deadline) {
  const timespec until = to_timespec(deadline);
  return wait_report(smooth_pending, &until);
}

void finish_smooth_report() { finish_report(smooth_pending); }

void reset_handoff() {
  HandoffLock hold;
  raw_pending.store(0, std::memory_order_release);
  smooth_pending.store(0, std::memory_order_release);
  current_report.store(nullptr, std::memory_order_release);
  current_extended.store(nullptr, std::memory_order_release);
  pthread_cond_broadcast(&handoff().report_done);
}

void wake_handoff_waiters() {
  if (handoff().stop_wake >= 0) {
    const std::uint64_t one = 1;
    (void)!write(handoff().stop_wake, &one, sizeof one);
  }
  HandoffLock hold;
  pthread_cond_broadcast(&handoff().report_raised);
  pthread_cond_broadcast(&handoff().report_done);
}

}  // namespace sensor_handler
