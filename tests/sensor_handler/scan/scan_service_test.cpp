// The real sensor_handler with the sensor enabled, in the sandbox, whose
// kernel has no Bluetooth: the device never opens, so every run ends with
// the retry limit. Seen from outside: the lines, the exit status, the
// signals, the GPIO files, the fake tools' logs and the broker.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "broker.h"
#include "config/device_files.h"
#include "gateway_process.h"
#include "sandbox.h"
#include "signal_recorder.h"

namespace {

using namespace std::chrono_literals;
using Calls = std::vector<std::string>;

constexpr int reset_line = 17;
const std::string prefix = "ZENTIB_ERROR : SENSOR1 : ";
const std::string sensor_failure = "ZENTIB_ERROR : Restarting Program due Sensor1(BLE) Failure\n\r";

std::size_t occurrences(const std::string &text, const std::string &part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

std::size_t occurrences(const std::vector<std::string> &calls, const std::string &call) {
  return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), call));
}

class ScanService : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(gwtest::reset_sandbox());
    ASSERT_TRUE(parent_.ok());
    ASSERT_TRUE(status_.ok());
    ASSERT_TRUE(gwtest::write_filter_files());
  }

  // Runs the gateway to its end; returns its output, with the exit status.
  std::string run_to_end(const gwtest::Options &options, int *status_code) {
    EXPECT_TRUE(gwtest::write_tobixlite_config(options));
    gwtest::GatewayProcess gateway({std::to_string(parent_.pid()), std::to_string(status_.pid())});
    auto status = gateway.wait_exit(60s);
    *status_code = status ? status->code : -1;
    return gateway.stdout_text();
  }

  static std::string stored_link_state() {
    std::string text = gwtest::read_file("/etc/config/tobixlite_config");
    auto at = text.find("option mqtt_status '");
    return at == std::string::npos ? "" : text.substr(at + 20, 1);
  }

  void expect_sensor_failure_end(const std::string &output, int status) {
    EXPECT_EQ(status, 3) << output;
    EXPECT_NE(output.find(sensor_failure), std::string::npos) << output;
    EXPECT_TRUE(output.ends_with("Exiting Program\n\r")) << output;
    EXPECT_EQ(parent_.count("SIGUSR1"), 1u);
    EXPECT_EQ(parent_.signals().size(), 1u);
    EXPECT_TRUE(status_.wait_for("SIGUSR1", 1, 5s));  // the teardown ran
    EXPECT_EQ(stored_link_state(), "0");
  }

  gwtest::SignalRecorder parent_;
  gwtest::SignalRecorder status_;
  gwtest::FakeCommand hciconfig_{"hciconfig"};
  gwtest::FakeCommand hciattach_{"hciattach"};
};

TEST_F(ScanService, DongleThatNeverOpensEndsTheServiceAndTheBrokerHearsOfIt) {
  gwtest::Broker broker;
  ASSERT_TRUE(broker.start());
  gwtest::MqttProbe probe(broker.port());
  ASSERT_TRUE(probe.ok());
  ASSERT_TRUE(probe.subscribe("/Logs/Error"));

  int status = -1;
  const std::string output = run_to_end({{"EN_S1", "1"},
                                         {"en_usb_s1", "1"},
                                         {"SR_S1", "0"},
                                         {"mqtt_server_port", std::to_string(broker.port())}},
                                        &status);
  expect_sensor_failure_end(output, status);
  const std::string retries_done = prefix + "Software Retries done\n\r" + sensor_failure;
  ASSERT_NE(output.find(retries_done), std::string::npos) << output;
  EXPECT_EQ(occurrences(output.substr(0, output.find(retries_done)),
                        prefix + "Could not open device\n\r"),
            3u);

  EXPECT_EQ(occurrences(hciconfig_.calls(), "hci0 down"), 3u);
  EXPECT_TRUE(hciattach_.calls().empty());

  // Published while still connected, before the stop took the link down.
  ASSERT_TRUE(probe.wait_for("/Logs/Error", 1, 5s)) << output;
  const std::string packet = probe.messages("/Logs/Error")[0].payload;
  EXPECT_NE(packet.find("\"Tag\":\"Interface Failure\""), std::string::npos) << packet;
  EXPECT_NE(packet.find("\"Message\":\"BT4 Interface Failed\""), std::string::npos) << packet;
}

TEST_F(ScanService, UartModuleIsResetAttachedAndItsDaemonEndedWithTheService) {
  ASSERT_TRUE(gwtest::make_gpio_line(reset_line));
  gwtest::GpioFifo value(reset_line, "value");
  ASSERT_TRUE(value.ok());
  hciattach_.set_daemon(true);

  int status = -1;
  const std::string output = run_to_end({{"EN_S1", "1"}, {"SR_S1", "0"}}, &status);
  expect_sensor_failure_end(output, status);
  EXPECT_NE(output.find(prefix + "Could not open device\n\r"), std::string::npos);
  EXPECT_EQ(output.find("Cannot Execute"), std::string::npos) << output;

  EXPECT_EQ(gwtest::read_gpio_file(reset_line, "direction"), "out");
  std::string pulse;
  for (const auto &write : value.writes()) pulse += write.bytes;
  EXPECT_EQ(pulse, "010");
  EXPECT_EQ(hciattach_.calls(), Calls{"-s 115200 /dev/ttyS1 texas noflow"});
  const Calls calls = hciconfig_.calls();
  ASSERT_GE(calls.size(), 4u);
  // The attach's probe and up, then the controller's bring-up and back-off.
  EXPECT_EQ(Calls(calls.begin(), calls.begin() + 4), (Calls{"", "hci0 up", "hci0 up", "hci0 down"}));
  EXPECT_TRUE(hciattach_.wait_for_no_daemons(5s));
}

TEST_F(ScanService, FailingAttachEndsTheServiceBeforeAnyScan) {
  ASSERT_TRUE(gwtest::make_gpio_line(reset_line));
  hciattach_.set_exit_status(1);
  int status = -1;
  std::string output = run_to_end({{"EN_S1", "1"}}, &status);
  expect_sensor_failure_end(output, status);
  const std::string cannot_attach =
      prefix + "Cannot Execute hciattach -s 115200 /dev/ttyS1 texas noflow > /dev/null 2>&1\n\r";
  EXPECT_NE(output.find(cannot_attach + cannot_attach + cannot_attach + prefix +
                        "Software Retries done. Cannot attach UART BLE Module\n\r" + sensor_failure),
            std::string::npos)
      << output;
  EXPECT_EQ(hciattach_.calls().size(), 3u);
  EXPECT_EQ(output.find("Could not open device"), std::string::npos);
}

}  // namespace
