#include "report_handoff.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
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

// A sleep on a 32-bit word until another thread changes it and wakes the
// word's sleepers. The hand-off's wait and wake pair is a futex of its own
// rather than a condition variable: a thread woken from a condition wait
// takes the mutex back marked as contended, and so every report cost each
// side one more system call to release it, with nobody to wake.
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

std::uint32_t *futex_word(std::atomic<std::uint32_t> &word) {
  return reinterpret_cast<std::uint32_t *>(&word);
}

// Sleeps while word holds expected, until a wake or the deadline on the
// monotonic clock (nullptr: none). False once the deadline has passed.
bool futex_sleep(std::atomic<std::uint32_t> &word, std::uint32_t expected,
                 const timespec *deadline) {
  constexpr int op = FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG;
  long rc;
#ifdef SYS_futex_time64
  if constexpr (sizeof(time_t) > sizeof(long)) {
    // A 32-bit board with 64-bit time: the kernel's 64-bit call, or on a
    // kernel without it the old one (monotonic seconds fit in 32 bits).
    struct {
      std::int64_t sec, nsec;
    } at64{deadline ? deadline->tv_sec : 0, deadline ? deadline->tv_nsec : 0};
    rc = syscall(SYS_futex_time64, futex_word(word), op, expected, deadline ? &at64 : nullptr,
                 nullptr, FUTEX_BITSET_MATCH_ANY);
    if (rc != 0 && errno == ENOSYS) {
      struct {
        long sec, nsec;
      } at32{static_cast<long>(at64.sec), static_cast<long>(at64.nsec)};
      rc = syscall(SYS_futex, futex_word(word), op, expected, deadline ? &at32 : nullptr, nullptr,
                   FUTEX_BITSET_MATCH_ANY);
    }
  } else
#endif
  {
    rc = syscall(SYS_futex, futex_word(word), op, expected, deadline, nullptr,
                 FUTEX_BITSET_MATCH_ANY);
  }
  return rc == 0 || errno != ETIMEDOUT;
}

void futex_wake_all(std::atomic<std::uint32_t> &word) {
  syscall(SYS_futex, futex_word(word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, INT_MAX, nullptr, nullptr,
          0);
}

// Guards the changes of the three hand-off values above (not their
// lock-free reads), so that the reader raises a flag only while the service
// runs and two consumers finishing at once agree on which was the last.
// Nobody sleeps holding it: the sleeps are on the two counters below.
//
// raised counts the raises, done the finishes; every stop wake-up and reset
// adds to both. A waiter reads its counter before it looks at the flags and
// sleeps only while the counter still holds what it read, so a change after
// its look ends the sleep at once. A waker calls the kernel only while the
// sleeper count of its counter says someone sleeps or is about to: sleeper
// and waker each change one value and then read the other's, both
// sequentially consistent, so at least one sees the other.
//
// stop_wake is readable from a stop until the next phase drains it: it sits
// in the select set beside the device, so a stop need not wait out the scan
// duration. The reader drains it before it looks at the stop flags, so a
// stop raised after that look still finds the wait. -1 if it could not be
// made; a stop then ends the phase at the next event or at its deadline.
struct Handoff {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  std::atomic<std::uint32_t> raised{0};  // thread_one and thread_two sleep on it
  std::atomic<std::uint32_t> done{0};    // the reader sleeps on it
  std::atomic<std::uint32_t> raised_sleepers{0};
  std::atomic<std::uint32_t> done_sleepers{0};
  int stop_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
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

// Sleeps on counter while it holds seen. False once the deadline passed.
bool sleep_on(std::atomic<std::uint32_t> &counter, std::atomic<std::uint32_t> &sleepers,
              std::uint32_t seen, const timespec *deadline) {
  sleepers.fetch_add(1, std::memory_order_seq_cst);
  const bool in_time = futex_sleep(counter, seen, deadline);
  sleepers.fetch_sub(1, std::memory_order_relaxed);
  return in_time;
}

// Tells the sleepers of counter to look again.
void wake_on(std::atomic<std::uint32_t> &counter, std::atomic<std::uint32_t> &sleepers) {
  counter.fetch_add(1, std::memory_order_seq_cst);
  if (sleepers.load(std::memory_order_seq_cst) != 0) futex_wake_all(counter);
}

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
  return raw_pending.load(std::memory_order_seq_cst) != 0 ||
         smooth_pending.load(std::memory_order_seq_cst) != 0;
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
  bool in_time = true;
  for (;;) {
    const std::uint32_t seen = handoff().raised.load(std::memory_order_acquire);
    if (!service_running()) return nullptr;
    if (flag.load(std::memory_order_acquire) != 0) {
      return current_report.load(std::memory_order_acquire);
    }
    if (!in_time) return nullptr;
    in_time = sleep_on(handoff().raised, handoff().raised_sleepers, seen, deadline);
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
  if (last) wake_on(handoff().done, handoff().done_sleepers);
}

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
  // One wake makes both consumers runnable at once: whichever runs first,
  // the reader then finds them done without a second sleep, or sleeps once
  // and is woken once, by the last to finish.
  wake_on(handoff().raised, handoff().raised_sleepers);
  return wait_consumers_done();
}

}  // namespace

bool hand_off(const BeaconReport &report) {
  return raise_report(report, nullptr, service_config.smoothing_filter != 0);
}

bool hand_off_extended(const ExtendedAdvert &advert) {
  return raise_report(BeaconReport(), &advert, false);
}

bool wait_consumers_done() {
  // Without smoothing no thread_two runs in this service build, so a
  // smooth_pending left by an earlier build would never be cleared.
  if (service_config.smoothing_filter == 0) smooth_pending.store(0, std::memory_order_release);
  for (;;) {
    const std::uint32_t seen = handoff().done.load(std::memory_order_acquire);
    if (!service_running()) return false;
    if (!report_in_flight()) return true;
    sleep_on(handoff().done, handoff().done_sleepers, seen, nullptr);
  }
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
  wake_on(handoff().done, handoff().done_sleepers);
}

void wake_handoff_waiters() {
  if (handoff().stop_wake >= 0) {
    const std::uint64_t one = 1;
    (void)!write(handoff().stop_wake, &one, sizeof one);
  }
  wake_on(handoff().raised, handoff().raised_sleepers);
  wake_on(handoff().done, handoff().done_sleepers);
}

}  // namespace sensor_handler
