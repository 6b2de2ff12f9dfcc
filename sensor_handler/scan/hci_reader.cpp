#include "hci_reader.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "config/configuration.h"
#include "gw_output.h"
#include "lifecycle/stop_flags.h"

namespace sensor_handler {

std::atomic<const BeaconReport *> current_report{nullptr};
std::atomic<std::uint8_t> raw_pending{0};
std::atomic<std::uint8_t> smooth_pending{0};

namespace {

// Event layout behind the packet indicator (0x04) and event code (0x3E),
// which the socket filter guarantees.
constexpr std::size_t parameter_length_offset = 2;
constexpr std::size_t subevent_offset = 3;
constexpr std::size_t report_count_offset = 4;
constexpr std::size_t first_report_offset = 5;
constexpr std::uint8_t advertising_report_subevent = 0x02;

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
  // Each consumer sleeps on its own condition and the reader on a third,
  // so a raise wakes only the consumers it is for and the reader wakes once,
  // when the last of them is done: three switches a report at the least.
  pthread_cond_t raw_raised;     // thread_one waits here
  pthread_cond_t smooth_raised;  // thread_two waits here
  pthread_cond_t report_done;    // the reader waits here
  int stop_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  Handoff() {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&raw_raised, &attributes);
    pthread_cond_init(&smooth_raised, &attributes);
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

// Process lifetime, off the 128 KiB worker stack, and written only while no
// flag is pending: a consumer that outlives the read phase after a stop
// still reads the bytes it was given.
alignas(4) std::uint8_t event_buffer[hci_event_buffer_size];
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

// Publishes report to the consumers and waits until they are done with it.
// False on a stop, possibly with the report still pending.
bool hand_off(const BeaconReport &report) {
  HandoffLock hold;
  if (!service_running()) return false;
  handed_report = report;
  current_report.store(&handed_report, std::memory_order_release);
  raw_pending.store(1, std::memory_order_release);
  pthread_cond_broadcast(&handoff().raw_raised);
  if (service_config.smoothing_filter != 0) {
    smooth_pending.store(1, std::memory_order_release);
    pthread_cond_broadcast(&handoff().smooth_raised);
  }
  return wait_consumers_done_locked();
}

void drain_stop_wake() {
  std::uint64_t count;
  if (handoff().stop_wake >= 0) {
    while (read(handoff().stop_wake, &count, sizeof count) > 0) {
    }
  }
}

timespec monotonic_now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

std::int64_t nanoseconds(const timespec &time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1000000000LL + time.tv_nsec;
}

// Reads and drops what is queued on the device until nothing is left or
// until the deadline. False when the device has gone. The event buffer is
// free: no report is pending.
bool drop_queued_events(int device_handle, std::int64_t deadline) {
  while (service_running() && nanoseconds(monotonic_now()) < deadline) {
    const ssize_t got = recv(device_handle, event_buffer, sizeof event_buffer, MSG_DONTWAIT);
    if (got > 0) continue;
    if (got == 0) return false;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  }
  return true;
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

pthread_cond_t &raised_condition(const std::atomic<std::uint8_t> &flag) {
  return &flag == &raw_pending ? handoff().raw_raised : handoff().smooth_raised;
}

const BeaconReport *wait_report(std::atomic<std::uint8_t> &flag, const timespec *deadline) {
  pthread_cond_t &raised = raised_condition(flag);
  HandoffLock hold;
  bool timed_out = false;
  for (;;) {
    if (!service_running()) return nullptr;
    if (flag.load(std::memory_order_acquire) != 0) {
      return current_report.load(std::memory_order_acquire);
    }
    if (timed_out) return nullptr;
    if (deadline == nullptr) {
      pthread_cond_wait(&raised, &handoff().lock);
    } else if (pthread_cond_timedwait(&raised, &handoff().lock, deadline) ==
               ETIMEDOUT) {
      timed_out = true;
    }
  }
}

void finish_report(std::atomic<std::uint8_t> &flag) {
  HandoffLock hold;
  flag.store(0, std::memory_order_release);
  // The reader has nothing to do until the other consumer is done too.
  if (!report_in_flight()) pthread_cond_broadcast(&handoff().report_done);
}

}  // namespace

ReadPhaseResult read_advertising_reports(int device_handle, std::uint16_t scan_duration,
                                         int sensor_number) {
  ReadPhaseResult result;
  if (device_handle < 0 || device_handle >= FD_SETSIZE) {
    gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Select error\n\r", sensor_number);
    return result;
  }
  // The caller hands over the low 16 bits: a negative setting would read as
  // a phase of up to 18 hours without size checks or trimming.
  const std::int64_t seconds = service_config.scan_duration < 0 ? 0 : scan_duration;
  // Linux's select writes the time left back, musl's does not, and on both
  // a socket that always has an event ready would keep the phase open: the
  // phase is measured on the monotonic clock and ends at its deadline. A
  // duration of 0 drains what is queued, for a second at most.
  const std::int64_t start = nanoseconds(monotonic_now());
  const std::int64_t deadline = start + seconds * 1000000000LL;
  const std::int64_t phase_end = seconds > 0 ? deadline : start + 1000000000LL;

  drain_stop_wake();
  {
    HandoffLock hold;
    if (!wait_consumers_done_locked()) return result;
  }
  const int stop_wake = handoff().stop_wake < FD_SETSIZE ? handoff().stop_wake : -1;
  const int highest = stop_wake > device_handle ? stop_wake : device_handle;

  while (service_running()) {
    const std::int64_t now = nanoseconds(monotonic_now());
    if (now >= phase_end) break;
    const std::int64_t left = deadline > now ? deadline - now : 0;
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(left / 1000000000LL);
    timeout.tv_usec = static_cast<suseconds_t>((left % 1000000000LL) / 1000);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(device_handle, &readable);
    if (stop_wake >= 0) FD_SET(stop_wake, &readable);
    const int ready = select(highest + 1, &readable, nullptr, nullptr, &timeout);
    if (ready < 0) {
      gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Select error\n\r", sensor_number);
      break;
    }
    if (ready == 0) break;
    if (stop_wake >= 0 && FD_ISSET(stop_wake, &readable)) {
      // A wake-up without a stop behind it is used up here, not spun on.
      drain_stop_wake();
      continue;
    }

    const ssize_t got = read(device_handle, event_buffer, sizeof event_buffer);
    if (got < 0) {
      // A spurious wake-up goes back to select with the time left; an
      // interrupted read ends the phase, a stop being the usual reason.
      if (errno == EAGAIN || errno == EWOULDBLOCK) continue;
      if (errno != EINTR) result.device_gone = true;
      break;
    }
    if (got == 0) {
      result.device_gone = true;
      break;
    }
    // Shorter than a header with its report count: no event at all.
    if (got < static_cast<ssize_t>(first_report_offset)) break;
    if (event_buffer[subevent_offset] != advertising_report_subevent) break;
    ++result.advertising_events;

    // Each report is read only within both the bytes read and the length
    // the event declares for itself. Reports follow each other whole, as the
    // kernel and the controllers lay them out; one that does not fit hides
    // where the next begins.
    std::size_t event_end = static_cast<std::size_t>(got);
    const std::size_t declared = first_report_offset - 2 + event_buffer[parameter_length_offset];
    if (declared < event_end) event_end = declared;
    const unsigned count = event_buffer[report_count_offset];
    std::size_t offset = first_report_offset;
    bool stopped = false;
    for (unsigned index = 0; index < count && offset < event_end && !stopped; ++index) {
      BeaconReport report;
      if (parse_beacon_report(event_buffer + offset, event_end - offset, &report) != 0) break;
      offset += report.size();
      stopped = !hand_off(report);
    }
    if (stopped) break;
  }
  return result;
}

bool discard_queued_events(int device_handle) {
  {
    HandoffLock hold;
    if (!wait_consumers_done_locked()) return true;
  }
  return drop_queued_events(device_handle, nanoseconds(monotonic_now()) + 1000000000LL);
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
  pthread_cond_broadcast(&handoff().report_done);
}

void wake_handoff_waiters() {
  if (handoff().stop_wake >= 0) {
    const std::uint64_t one = 1;
    (void)!write(handoff().stop_wake, &one, sizeof one);
  }
  HandoffLock hold;
  pthread_cond_broadcast(&handoff().raw_raised);
  pthread_cond_broadcast(&handoff().smooth_raised);
  pthread_cond_broadcast(&handoff().report_done);
}

}  // namespace sensor_handler
