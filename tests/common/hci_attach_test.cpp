// The UART module attach and the HCI back-off step through the sandbox's
// fake hciconfig / hciattach and its /sys/class/gpio folder.
#include "gw_hci.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "gw_pacing.h"
#include "sandbox.h"
#include "stdout_capture.h"

namespace {

using namespace std::chrono_literals;
using Calls = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

constexpr int reset_line = 17;
const std::int32_t hci0 = 0;
const std::string attach_arguments = "-s 115200 /dev/ttyS1 texas noflow";
const std::string prefix = "ZENTIB_ERROR : SENSOR1 : ";
const std::string retries_done = prefix + "Software Retries done. Cannot attach UART BLE Module\n\r";

class HciAttachTest : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override {
    gw::clear_pacing_cancelled();
    gw::clear_attach_stop();
  }
  void reset() {
    ASSERT_TRUE(gwtest::reset_sandbox());
    ASSERT_TRUE(gwtest::make_gpio_line(reset_line));
    gw::clear_pacing_cancelled();
    gw::clear_attach_stop();
  }

  int attach(std::uint32_t tries, std::string *output) {
    gwtest::StdoutCapture capture;
    int result = gw::attach_uart_module(reset_line, "ttyS1", hci0, 115200, tries, 1);
    *output = capture.text();
    return result;
  }

  gwtest::FakeCommand hciconfig_{"hciconfig"};
  gwtest::FakeCommand hciattach_{"hciattach"};
};

TEST_F(HciAttachTest, MissingDeviceIsResetAttachedAndBroughtUp) {
  gwtest::GpioFifo value(reset_line, "value");
  ASSERT_TRUE(value.ok());
  std::string output;
  EXPECT_EQ(attach(3, &output), 0);
  EXPECT_EQ(output, "");
  EXPECT_EQ(gwtest::read_gpio_export(), "");  // the line was there already
  EXPECT_EQ(gwtest::read_gpio_file(reset_line, "direction"), "out");
  ASSERT_TRUE(value.wait_for_writes(3, 2s));
  const auto writes = value.writes();
  EXPECT_EQ(writes[0].bytes + writes[1].bytes + writes[2].bytes, "010");
  EXPECT_GE(writes[2].time - writes[1].time, 900ms);
  EXPECT_EQ(hciconfig_.calls(), (Calls{"", "hci0 up"}));  // probe, then up
  EXPECT_EQ(hciattach_.calls(), Calls{attach_arguments});

  // The device exists: no pulse, no attach. A missing line is exported.
  ASSERT_TRUE(gwtest::reset_sandbox());
  hciconfig_.set_output("hci0:\tType: Primary  Bus: UART\n");
  EXPECT_EQ(attach(3, &output), 0);
  EXPECT_EQ(gwtest::read_gpio_export(), "17");
  EXPECT_EQ(hciconfig_.calls(), (Calls{"", "hci0 up"}));
  EXPECT_TRUE(hciattach_.calls().empty());
}

TEST_F(HciAttachTest, FailedTurnsUseUpTheTries) {
  hciattach_.set_exit_status(1);
  std::string output;
  EXPECT_EQ(attach(2, &output), 1);
  const std::string cannot_attach = prefix + "Cannot Execute hciattach " + attach_arguments +
                                    " > /dev/null 2>&1\n\r";
  EXPECT_EQ(output, cannot_attach + cannot_attach + retries_done);
  EXPECT_EQ(hciattach_.calls().size(), 2u);
  EXPECT_EQ(gw::attach_stop.load(), 1);
  EXPECT_EQ(gw::attach_idle.load(), 1);

  // Attached but the interface stays down: the next probe finds the device
  // and only the up command is repeated.
  reset();
  hciconfig_.set_output("hci0:\n");
  hciconfig_.set_exit_status(1);
  EXPECT_EQ(attach(2, &output), 1);
  const std::string cannot_up = prefix + "Cannot Execute hciconfig hci0 up > /dev/null 2>&1\n\r";
  EXPECT_EQ(output, cannot_up + cannot_up + retries_done);
  EXPECT_EQ(hciconfig_.calls(), (Calls{"", "hci0 up", "", "hci0 up"}));
}

// The stop routine cancels pacing, then waits for attach_idle: it must not
// wait out the reset pulse.
TEST_F(HciAttachTest, StopDuringTheResetPulseEndsTheAttachAtOnce) {
  std::atomic<int> result{-1};
  std::thread attach_thread([&] { result = gw::attach_uart_module(reset_line, "ttyS1", hci0, 115200, 3, 1); });
  ASSERT_TRUE(hciconfig_.wait_for_calls(1, 5s));  // the probe; the pulse follows
  std::this_thread::sleep_for(100ms);
  const auto stop_at = Clock::now();
  gw::cancel_pacing();
  gw::stop_attach_and_wait();
  EXPECT_LT(Clock::now() - stop_at, 700ms);
  attach_thread.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_TRUE(hciattach_.calls().empty());
  EXPECT_EQ(gwtest::read_gpio_file(reset_line, "value").back(), '0');
}

TEST_F(HciAttachTest, BackOffCountsARetryAndCyclesTheInterface) {
  std::uint32_t retries = 5;
  auto started = Clock::now();
  EXPECT_EQ(gw::restart_hci_interface(hci0, 1, retries), 0);
  EXPECT_GE(Clock::now() - started, 2900ms);  // 1 s down, 2 s settling
  const auto calls = hciconfig_.call_records();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].arguments + "," + calls[1].arguments, "hci0 down,hci0 up");
  EXPECT_GE(calls[1].time - calls[0].time, 900ms);

  // A stop cuts the pauses short; the interface still comes up again.
  hciconfig_.clear();
  gw::cancel_pacing();
  started = Clock::now();
  EXPECT_EQ(gw::restart_hci_interface(hci0, 1, retries), 0);
  EXPECT_LT(Clock::now() - started, 900ms);
  EXPECT_EQ(hciconfig_.calls(), (Calls{"hci0 down", "hci0 up"}));

  // A failing down still counts, and tries no up.
  hciconfig_.clear();
  hciconfig_.set_exit_status(1);
  gwtest::StdoutCapture capture;
  EXPECT_EQ(gw::restart_hci_interface(hci0, 1, retries), 1);
  EXPECT_EQ(capture.text(), prefix + "Cannot Execute hciconfig hci0 down >/dev/null 2>&1\n\r");
  EXPECT_EQ(retries, 8u);
  EXPECT_EQ(hciconfig_.calls(), Calls{"hci0 down"});
  EXPECT_EQ(gw::attach_idle.load(), 1);
}

}  // namespace
