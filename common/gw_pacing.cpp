#include "gw_pacing.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <sys/stat.h>

#include "gw_output.h"

namespace gw {

std::atomic<std::uint8_t> pacing_cancelled{0};
std::atomic<std::uint8_t> attach_stop{0};
std::atomic<std::uint8_t> attach_idle{1};
std::atomic<std::uint8_t> connect_stop{0};
std::atomic<std::uint8_t> connect_idle{1};

namespace {

// Guards nothing but the sleep of pacing waits against a missed cancel:
// cancel_pacing stores the flag and broadcasts while holding it.
struct PacingWake {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t changed;
  PacingWake() {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&changed, &attributes);
    pthread_condattr_destroy(&attributes);
  }
};

PacingWake &pacing_wake() {
  static PacingWake wake;
  return wake;
}

// A day of offset keeps the clock away from 0 right after boot.
constexpr std::uint32_t clock_offset = 86400;

void wait_until_set(std::atomic<std::uint8_t> &flag) {
  for (std::uint8_t value = flag.load(std::memory_order_acquire); value == 0;
       value = flag.load(std::memory_order_acquire)) {
    flag.wait(0, std::memory_order_acquire);
  }
}

}  // namespace

std::uint32_t pacing_clock_seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint32_t>(now.tv_sec) + clock_offset;
}

std::uint32_t next_period_wait(std::uint32_t now, std::uint32_t *deadline, std::uint32_t period) {
  const std::uint32_t previous = *deadline;
  std::uint32_t wait;
  if (now < previous) {
    wait = previous - now;
    *deadline = previous + period;
  } else {
    const std::uint32_t missed = now - previous;
    wait = missed < period ? period - missed : missed - period;
    *deadline = now + wait + period;
  }
  return wait;
}

bool pacing_sleep(std::uint32_t milliseconds) {
  PacingWake &wake = pacing_wake();
  timespec until{};
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += milliseconds / 1000;
  until.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  pthread_mutex_lock(&wake.lock);
  int result = 0;
  while (pacing_cancelled.load() == 0 && result != ETIMEDOUT) {
    result = pthread_cond_timedwait(&wake.changed, &wake.lock, &until);
  }
  bool cancelled = pacing_cancelled.load() != 0;
  pthread_mutex_unlock(&wake.lock);
  return cancelled;
}

void wait_next_period(std::uint32_t *deadline, std::uint32_t period, int /*sensor_number*/) {
  const std::uint32_t now = pacing_clock_seconds();
  if (pacing_cancelled.load() != 0) return;
  const std::uint32_t wait = next_period_wait(now, deadline, period);
  if (period == 0) {
    pacing_sleep(50);
    return;
  }
  // Waits of more than a few days cannot come from the rule on one clock;
  // the cap keeps the multiplication inside 32 bits.
  constexpr std::uint32_t longest_wait = 4000000;
  pacing_sleep((wait < longest_wait ? wait : longest_wait) * 1000u);
}

void cancel_pacing() {
  PacingWake &wake = pacing_wake();
  pthread_mutex_lock(&wake.lock);
  pacing_cancelled.store(1);
  pthread_cond_broadcast(&wake.changed);
  pthread_mutex_unlock(&wake.lock);
}

void clear_pacing_cancelled() { pacing_cancelled.store(0); }

void wake_pacing_waits() {
  PacingWake &wake = pacing_wake();
  pthread_mutex_lock(&wake.lock);
  pthread_cond_broadcast(&wake.changed);
  pthread_mutex_unlock(&wake.lock);
}

bool wait_for_connect_step(const std::atomic<std::uint8_t> &done) {
  PacingWake &wake = pacing_wake();
  pthread_mutex_lock(&wake.lock);
  while (done.load(std::memory_order_acquire) == 0 && pacing_cancelled.load() == 0 &&
         connect_stop.load(std::memory_order_acquire) == 0) {
    pthread_cond_wait(&wake.changed, &wake.lock);
  }
  const bool finished = done.load(std::memory_order_acquire) != 0;
  pthread_mutex_unlock(&wake.lock);
  return finished;
}

int file_size_mib(const char *path, float *size, int sensor_number) {
  struct stat info{};
  if (stat(path, &info) != 0) {
    int error = errno;
    gw_printf("ZENTIB_ERROR : SENSOR%d : Cannot Calculate Size\n\r", sensor_number);
    gw_printf("ZENTIB_ERROR : SENSOR%d : Error = %s\n\r", sensor_number, std::strerror(error));
    return 1;
  }
  *size = static_cast<float>(static_cast<double>(info.st_size) / 1048576.0);
  return 0;
}

void raise_stop_requests() {
  attach_stop.store(1, std::memory_order_release);
  connect_stop.store(1, std::memory_order_release);
  wake_pacing_waits();
}

void stop_attach_and_wait() {
  attach_stop.store(1, std::memory_order_release);
  wait_until_set(attach_idle);
}

void clear_attach_stop() { attach_stop.store(0, std::memory_order_release); }

void stop_connect_and_wait() {
  connect_stop.store(1, std::memory_order_release);
  wake_pacing_waits();
  wait_until_set(connect_idle);
}

void clear_connect_stop() { connect_stop.store(0, std::memory_order_release); }

void mark_attach_busy() { attach_idle.store(0, std::memory_order_release); }

void mark_attach_idle() {
  attach_idle.store(1, std::memory_order_release);
  attach_idle.notify_all();
}

void mark_connect_busy() { connect_idle.store(0, std::memory_order_release); }

void mark_connect_idle() {
  connect_idle.store(1, std::memory_order_release);
  connect_idle.notify_all();
}

}  // namespace gw
