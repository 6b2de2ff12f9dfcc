#include "led_daemon.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <span>
#include <sys/stat.h>
#include <unistd.h>

#include "gw_gpio.h"
#include "gw_output.h"

namespace status_led {
namespace {

constexpr int led_gpio = 3;
constexpr long slow_half_period_us = 1000000;
constexpr long fast_half_period_us = 100000;

enum class Mode : std::uint8_t { steady_blink = 0, heartbeat_flash = 1, firmware_update = 2 };

// One LED step: the value written (1 lights the LED, the line is active low),
// then how long it is held.
struct Step {
  int value;
  long hold_us;
};
using Pattern = std::span<const Step>;

constexpr Step heartbeat_flash[] = {{0, 1950000}, {1, 50000}};
constexpr Step firmware_update[] = {
    {0, 1000000}, {1, 100000}, {0, 100000}, {1, 100000}, {0, 100000}};
constexpr Step two_blinks[] = {
    {0, 1000000}, {1, 500000}, {0, 500000}, {1, 500000}, {0, 2000000}};
constexpr Step three_blinks[] = {{0, 1000000}, {1, 500000}, {0, 500000}, {1, 500000},
                                 {0, 500000},  {1, 500000}, {0, 2000000}};

// Names only: the numbers differ between MIPS and the other architectures.
constexpr int answered_signals[] = {SIGTERM, SIGINT,  SIGUSR1, SIGUSR2,
                                    SIGVTALRM, SIGPROF, SIGPIPE, SIGTSTP};

sigset_t led_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : answered_signals) sigaddset(&set, signal_number);
  return set;
}

// Never runs while the signals are blocked; it only keeps a disposition
// inherited as "ignored" from discarding them.
void on_blocked_signal(int) {}

std::int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::int64_t deadline_after(long hold_us) {
  return monotonic_ns() + static_cast<std::int64_t>(hold_us) * 1000;
}

// Our own write to a standard output whose reader is gone raises SIGPIPE
// against ourselves. Taking it as a BLE failure would print again, raise it
// again and end every LED step at once: the daemon would spin.
bool raised_by_own_output(const siginfo_t &info) {
  return info.si_code == SI_USER && info.si_pid == getpid();
}

void print_event(const char *event) {
  char stamp[100] = {};
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) != nullptr) {
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S.000", &local);
  }
  gw::gw_printf("%s at %s\n\r", event, stamp);
}

class LedDaemon {
 public:
  int run();

 private:
  int wait_signal(std::int64_t deadline_ns);
  void take_signal(int signal_number);
  void queue_one_time(Pattern pattern);
  void hold_mode_step(int value, long hold_us);
  void play_mode_pattern(Pattern pattern);
  void play_one_time_patterns();
  void write_led(int value);

  sigset_t signals_ = led_signals();
  // The sysfs line of LED GPIO 3 (moved by a GPIO chip base on newer kernels).
  int led_line_ = led_gpio;
  long half_period_us_ = slow_half_period_us;
  Mode mode_ = Mode::steady_blink;
  bool exit_requested_ = false;
  // The last LED write failed: its line was printed already.
  bool write_failing_ = false;
  // One-time patterns signalled while another plays, oldest first. As with a
  // pending signal, a pattern already waiting is not queued twice.
  Pattern waiting_[2];
  int waiting_count_ = 0;
};

// The next of the daemon's signals before the deadline, or 0 once it passed.
int LedDaemon::wait_signal(std::int64_t deadline_ns) {
  for (;;) {
    std::int64_t left = deadline_ns - monotonic_ns();
    if (left <= 0) return 0;
    timespec timeout{static_cast<std::time_t>(left / 1000000000),
                     static_cast<long>(left % 1000000000)};
    siginfo_t info{};
    int signal_number = sigtimedwait(&signals_, &info, &timeout);
    if (signal_number > 0) {
      if (signal_number == SIGPIPE && raised_by_own_output(info)) continue;
      return signal_number;
    }
    // EINTR after a stop and continue: the step goes on to its deadline.
    if (errno != EINTR) return 0;
  }
}

void LedDaemon::take_signal(int signal_number) {
  switch (signal_number) {
    case SIGINT:
    case SIGTERM:
      gw::gw_printf("Recieved SIGINT/SIGTERM \n\r");
      exit_requested_ = true;
      break;
    case SIGPIPE:
      print_event("BLE Failure");
      half_period_us_ = fast_half_period_us;
      mode_ = Mode::steady_blink;
      break;
    case SIGUSR1:
      half_period_us_ = slow_half_period_us;
      mode_ = Mode::steady_blink;
      break;
    case SIGUSR2:
      mode_ = Mode::heartbeat_flash;
      break;
    case SIGTSTP:
      print_event("Update Firmware");
      mode_ = Mode::firmware_update;
      break;
    case SIGVTALRM:
      queue_one_time(two_blinks);
      break;
    case SIGPROF:
      print_event("User triggered Reset");
      queue_one_time(three_blinks);
      break;
    default:
      break;
  }
}

// A missing line fails every step, a line a second at the slow blink and
// ten at the fast one: the log ring would hold nothing else. Its failure is
// printed once, and again only after the line has worked in between.
void LedDaemon::write_led(int value) {
  write_failing_ = gw::gpio_write_value(led_line_, value, !write_failing_) != 0;
}

void LedDaemon::queue_one_time(Pattern pattern) {
  for (int i = 0; i < waiting_count_; ++i) {
    if (waiting_[i].data() == pattern.data()) return;
  }
  if (waiting_count_ < 2) waiting_[waiting_count_++] = pattern;
}

// A step of the mode's pattern. A signal ends it early; a one-time pattern
// it asks for plays at once, before the mode's pattern goes on.
void LedDaemon::hold_mode_step(int value, long hold_us) {
  write_led(value);
  int signal_number = wait_signal(deadline_after(hold_us));
  if (signal_number == 0) return;
  take_signal(signal_number);
  play_one_time_patterns();
}

void LedDaemon::play_mode_pattern(Pattern pattern) {
  for (const Step &step : pattern) hold_mode_step(step.value, step.hold_us);
}

// One-time patterns keep their full timing: a mode change meanwhile is
// printed and recorded at once and shows when the mode's pattern resumes. A
// stop abandons them, so the daemon ends promptly.
void LedDaemon::play_one_time_patterns() {
  while (waiting_count_ > 0 && !exit_requested_) {
    Pattern pattern = waiting_[0];
    waiting_[0] = waiting_[1];
    --waiting_count_;
    for (const Step &step : pattern) {
      write_led(step.value);
      std::int64_t deadline = deadline_after(step.hold_us);
      while (int signal_number = wait_signal(deadline)) {
        take_signal(signal_number);
        if (exit_requested_) {
          waiting_count_ = 0;
          return;
        }
      }
    }
  }
}

int LedDaemon::run() {
  // Blocked before the handlers exist, so none of them ever runs.
  sigprocmask(SIG_BLOCK, &signals_, nullptr);
  struct sigaction action {};
  action.sa_handler = on_blocked_signal;
  sigemptyset(&action.sa_mask);
  for (int signal_number : answered_signals) sigaction(signal_number, &action, nullptr);

  led_line_ = gw::gpio_line_number(led_gpio);
  char line_path[100];
  std::snprintf(line_path, sizeof line_path, "/sys/class/gpio/gpio%d", led_line_);
  struct stat line_status {};
  if (stat(line_path, &line_status) != 0) gw::gpio_export(led_line_);
  // Without a line the daemon still runs (see write_led).
  gw::gpio_set_direction(led_line_, "out");
  gw::gpio_set_active_low(led_line_, 1);
  write_led(0);

  while (!exit_requested_) {
    switch (mode_) {
      case Mode::heartbeat_flash:
        play_mode_pattern(heartbeat_flash);
        break;
      case Mode::firmware_update:
        play_mode_pattern(firmware_update);
        break;
      case Mode::steady_blink:
        // A fast/slow change takes effect at the next half.
        hold_mode_step(1, half_period_us_);
        hold_mode_step(0, half_period_us_);
        break;
    }
  }

  write_led(0);
  gw::gw_printf("Exiting Program\n\r");
  return 0;
}

}  // namespace

int run_led_daemon(int, char **) {
  LedDaemon daemon;
  return daemon.run();
}

}  // namespace status_led
