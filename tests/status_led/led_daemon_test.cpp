// status_led seen from outside: the real program in the sandbox, LED line 3's
// value file a FIFO whose every write the test reads with its arrival time.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

#include "gateway_process.h"
#include "process.h"
#include "sandbox.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The machine is loaded: steps are checked for their order and rough length.
constexpr auto tolerance = 150ms;

struct LedStep {
  char value;
  Clock::time_point start;
};

struct Expected {
  char value;
  int hold_ms;
};

std::vector<LedStep> led_steps(const gwtest::GpioFifo &fifo) {
  std::vector<LedStep> steps;
  for (const auto &write : fifo.writes())
    for (char value : write.bytes) steps.push_back({value, write.time});
  return steps;
}

std::string describe(const std::vector<LedStep> &steps) {
  std::string text;
  for (const LedStep &step : steps) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(step.start - steps[0].start);
    text += std::string(1, step.value) + "@" + std::to_string(ms.count()) + " ";
  }
  return text;
}

// Index of the first step that starts at or after `from` and begins
// `pattern` (the last hold measured to the write after it), or -1.
int find_pattern(const std::vector<LedStep> &steps, Clock::time_point from,
                 const std::vector<Expected> &pattern) {
  for (size_t first = 0; first + pattern.size() < steps.size(); ++first) {
    if (steps[first].start < from) continue;
    bool matches = true;
    for (size_t i = 0; i < pattern.size() && matches; ++i) {
      const LedStep &step = steps[first + i];
      auto hold = steps[first + i + 1].start - step.start;
      auto expected = std::chrono::milliseconds(pattern[i].hold_ms);
      matches = step.value == pattern[i].value && hold > expected - tolerance &&
                hold < expected + tolerance;
    }
    if (matches) return static_cast<int>(first);
  }
  return -1;
}

const std::vector<Expected> slow_blink = {{'1', 1000}, {'0', 1000}};
const std::vector<Expected> fast_blink = {{'1', 100}, {'0', 100}, {'1', 100}, {'0', 100}};
const std::vector<Expected> heartbeat = {{'0', 1950}, {'1', 50}, {'0', 1950}};
const std::vector<Expected> firmware = {{'0', 1000}, {'1', 100}, {'0', 100}, {'1', 100},
                                        {'0', 100}};
const std::vector<Expected> two_blinks = {{'0', 1000}, {'1', 500}, {'0', 500}, {'1', 500},
                                          {'0', 2000}};
const std::vector<Expected> three_blinks = {{'0', 1000}, {'1', 500}, {'0', 500}, {'1', 500},
                                            {'0', 500},  {'1', 500}, {'0', 2000}};

std::string local_stamp() {
  char text[100];
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S.000", &local);
  return text;
}

class StatusLed : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(gwtest::reset_sandbox());
    ASSERT_TRUE(gwtest::make_gpio_line(3));
    fifo_ = std::make_unique<gwtest::GpioFifo>(3, "value");
    ASSERT_TRUE(fifo_->ok());
  }

  void start() {
    led_ = std::make_unique<gwtest::GatewayProcess>(std::vector<std::string>{},
                                                    gwtest::program_path("status_led"));
    ASSERT_TRUE(led_->ok());
    ASSERT_TRUE(fifo_->wait_for_writes(2, 5s));
  }

  // Sends `sig` and expects a line "<event> at <local time of the signal>".
  Clock::time_point signal_event(int sig, const std::string &event) {
    const size_t printed = led_->lines().size();
    std::string before = local_stamp();
    auto sent = Clock::now();
    led_->send_signal(sig);
    EXPECT_TRUE(led_->wait_for_line_count(printed + 1, 2s)) << event;
    std::string after = local_stamp();
    auto lines = led_->lines();
    if (lines.size() > printed) {
      EXPECT_TRUE(lines[printed].text == event + " at " + before ||
                  lines[printed].text == event + " at " + after)
          << lines[printed].text;
      EXPECT_EQ(lines[printed].ending, "\n\r");
    }
    return sent;
  }

  // Expects `pattern` to begin within `within` after `from`; returns the
  // time of the write that follows it.
  Clock::time_point expect_pattern(Clock::time_point from, const std::vector<Expected> &pattern,
                                   std::chrono::milliseconds within) {
    auto steps = led_steps(*fifo_);
    int at = find_pattern(steps, from, pattern);
    EXPECT_GE(at, 0) << describe(steps);
    if (at < 0) return Clock::now();
    EXPECT_LT(steps[static_cast<size_t>(at)].start - from, within) << describe(steps);
    return steps[static_cast<size_t>(at) + pattern.size()].start;
  }

  // Time of the next write of `value` (within `timeout`).
  Clock::time_point next_write(char value, std::chrono::milliseconds timeout) {
    for (size_t seen = led_steps(*fifo_).size(); fifo_->wait_for_writes(seen + 1, timeout);) {
      auto steps = led_steps(*fifo_);
      for (; seen < steps.size(); ++seen)
        if (steps[seen].value == value) return steps[seen].start;
    }
    ADD_FAILURE() << "no write of " << value << ": " << describe(led_steps(*fifo_));
    return Clock::now();
  }

  // Expects the clean end: the LED off, the two closing lines, status 0.
  void expect_clean_exit(std::chrono::milliseconds within) {
    auto status = led_->wait_exit(within);
    ASSERT_TRUE(status) << describe(led_steps(*fifo_));
    EXPECT_TRUE(status->exited());
    EXPECT_EQ(status->code, 0);
    // The FIFO's reader thread may not have taken the last write yet.
    for (int turn = 0; turn < 20 && led_steps(*fifo_).back().value != '0'; ++turn) {
      fifo_->wait_for_writes(led_steps(*fifo_).size() + 1, 50ms);
    }
    EXPECT_EQ(led_steps(*fifo_).back().value, '0');
    std::string output = led_->stdout_text();
    const std::string closing = "Recieved SIGINT/SIGTERM \n\rExiting Program\n\r";
    EXPECT_EQ(output.substr(output.size() - std::min(output.size(), closing.size())), closing);
  }

  std::unique_ptr<gwtest::GpioFifo> fifo_;
  std::unique_ptr<gwtest::GatewayProcess> led_;
};

TEST_F(StatusLed, SetsTheLineUpThenBlinksSlowlyUntilInterrupted) {
  auto started = Clock::now();
  start();
  std::this_thread::sleep_for(3500ms);
  EXPECT_EQ(gwtest::read_gpio_export(), "");  // the line was there already
  EXPECT_EQ(gwtest::read_gpio_file(3, "direction"), "out");
  EXPECT_EQ(gwtest::read_gpio_file(3, "active_low"), "1");
  auto steps = led_steps(*fifo_);
  ASSERT_GE(steps.size(), 4u) << describe(steps);
  EXPECT_EQ(steps[0].value, '0');
  EXPECT_EQ(find_pattern(steps, started, slow_blink), 1) << describe(steps);
  led_->send_signal(SIGINT);
  expect_clean_exit(2500ms);
  EXPECT_EQ(led_->stdout_text(), "Recieved SIGINT/SIGTERM \n\rExiting Program\n\r");
}

TEST_F(StatusLed, RunsOnWhenTheLineCannotBeExported) {
  fifo_.reset();
  ASSERT_TRUE(gwtest::reset_sandbox());
  gwtest::GatewayProcess led({}, gwtest::program_path("status_led"));
  std::this_thread::sleep_for(2500ms);
  // The line appears (exported by hand) and is lost again.
  fifo_ = std::make_unique<gwtest::GpioFifo>(3, "value");
  ASSERT_TRUE(fifo_->ok());
  ASSERT_TRUE(fifo_->wait_for_writes(1, 3s));
  ASSERT_EQ(unlink(gwtest::gpio_path(3, "value").c_str()), 0);  // before no reader is left
  fifo_.reset();
  std::this_thread::sleep_for(2500ms);
  led.send_signal(SIGTERM);
  auto status = led.wait_exit(3s);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->code, 0);
  EXPECT_EQ(gwtest::read_gpio_export(), "3");

  // The routines' own lines, a missing value file's once per loss: never a
  // line per blink step, which would fill the log ring.
  const std::string no_value =
      "ZENTIB_ERROR : Failed to open gpio value for writing for GPIO 3\n\r";
  EXPECT_EQ(led.stdout_text(),
            "ZENTIB_ERROR : Failed to open gpio direction file for GPIO 3\n\r" +
                no_value +  // active_low
                no_value + no_value + "Recieved SIGINT/SIGTERM \n\rExiting Program\n\r");
}

TEST_F(StatusLed, BlinksLineThreeOfAChipNumberedFrom512) {
  ASSERT_EQ(mkdir("/sys/class/gpio/gpiochip512", 0755), 0);
  ASSERT_TRUE(gwtest::write_file("/sys/class/gpio/gpiochip512/base", "512\n"));
  ASSERT_TRUE(gwtest::make_gpio_line(515));
  fifo_ = std::make_unique<gwtest::GpioFifo>(515, "value");
  ASSERT_TRUE(fifo_->ok());
  start();
  EXPECT_EQ(gwtest::read_gpio_file(515, "active_low"), "1");
  led_->send_signal(SIGTERM);
  expect_clean_exit(2500ms);
  EXPECT_EQ(led_->lines()[0].text, "GPIO 3 is line 515 (GPIO chip base 512)");
}

TEST_F(StatusLed, SlowBlinkComesBackAfterFastBlinkAndHeartbeat) {
  start();
  auto failure = signal_event(SIGPIPE, "BLE Failure");
  std::this_thread::sleep_for(1000ms);
  expect_pattern(failure, fast_blink, 300ms);

  auto connected = Clock::now();
  led_->send_signal(SIGUSR2);
  std::this_thread::sleep_for(4500ms);
  expect_pattern(connected, heartbeat, 300ms);

  // SIGUSR2 left the fast half period in place; SIGUSR1 must not bring it back.
  auto dropped = Clock::now();
  led_->send_signal(SIGUSR1);
  std::this_thread::sleep_for(2600ms);
  expect_pattern(dropped, slow_blink, 300ms);

  led_->send_signal(SIGTERM);
  expect_clean_exit(2500ms);
}

TEST_F(StatusLed, TwoBlinksPlayOnceAndTheHeartbeatResumes) {
  start();
  led_->send_signal(SIGUSR2);
  std::this_thread::sleep_for(2200ms);
  auto asked = Clock::now();
  led_->send_signal(SIGVTALRM);
  std::this_thread::sleep_for(4800ms);
  next_write('1', 3s);  // ends the heartbeat's long off step
  auto over = expect_pattern(asked, two_blinks, tolerance);
  expect_pattern(over, {{'0', 1950}}, 50ms + tolerance);

  // A stop cuts the long off step short; the flash still ends its pass.
  auto off = next_write('0', 3s);
  std::this_thread::sleep_for(700ms);
  auto stop = Clock::now();
  led_->send_signal(SIGTERM);
  expect_clean_exit(1000ms);
  auto steps = led_steps(*fifo_);
  ASSERT_GE(steps.size(), 2u);
  const LedStep &lit = steps[steps.size() - 2];
  EXPECT_EQ(lit.value, '1') << describe(steps);
  EXPECT_GT(lit.start, stop);
  EXPECT_LT(lit.start - off, 1950ms - tolerance);
  EXPECT_LT(steps.back().start - lit.start, 50ms + tolerance);
}

TEST_F(StatusLed, ResetBlinksKeepTheirTimingAndAStopEndsThemAtOnce) {
  start();
  auto update = signal_event(SIGTSTP, "Update Firmware");
  std::this_thread::sleep_for(3000ms);
  expect_pattern(update, firmware, 1000ms + tolerance);

  auto reset = signal_event(SIGPROF, "User triggered Reset");
  // A mode change during the three blinks waits until they are over.
  std::this_thread::sleep_for(1200ms);
  led_->send_signal(SIGUSR2);
  std::this_thread::sleep_for(5000ms);
  next_write('1', 3s);  // ends the heartbeat's long off step
  auto over = expect_pattern(reset, three_blinks, tolerance);
  // The rest of the firmware pass, then the heartbeat.
  expect_pattern(over, {{'0', 1950}}, 400ms + tolerance);

  signal_event(SIGPROF, "User triggered Reset");
  std::this_thread::sleep_for(1200ms);
  led_->send_signal(SIGTERM);
  expect_clean_exit(1000ms);
}

TEST_F(StatusLed, ABrokenOutputPipeIsNoBleFailure) {
  // Standard output whose reader is gone: every line raises SIGPIPE.
  gwtest::UniqueFd read_end, write_end;
  ASSERT_TRUE(gwtest::make_pipe(read_end, write_end));
  read_end.reset();
  std::vector<std::string> argv = gwtest::emulator_words();
  argv.push_back(gwtest::program_path("status_led"));
  std::string error;
  pid_t pid = gwtest::spawn_process(argv[0], argv, write_end.get(), -1, &error);
  ASSERT_GT(pid, 0) << error;
  gwtest::register_child(pid);
  write_end.reset();
  ASSERT_TRUE(fifo_->wait_for_writes(2, 5s));

  auto update = Clock::now();
  kill(pid, SIGTSTP);
  std::this_thread::sleep_for(3000ms);
  auto steps = led_steps(*fifo_);
  EXPECT_GE(find_pattern(steps, update, firmware), 0) << describe(steps);
  EXPECT_LT(steps.size(), 20u);

  auto status = gwtest::end_child(pid, SIGTERM, 3s);  // SIGKILL after 3 s
  gwtest::unregister_child(pid);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
}

}  // namespace
