// The supervising parent (files/usr/bin/tobixlite_supervisor) running the
// unmodified status_led and sensor_handler in the sandbox, with BusyBox as
// its shell. Its pauses come from its settings file, as a device's could.
#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <thread>

#include "broker.h"
#include "config/device_files.h"
#include "gateway_process.h"
#include "sandbox.h"

namespace {

using namespace std::chrono_literals;

const std::string said = "tobixlite_supervisor: ";

class Supervisor : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(GW_TEST_EMULATOR) != "") GTEST_SKIP() << "the parent starts target programs natively";
    ASSERT_TRUE(gwtest::reset_sandbox());
    ASSERT_TRUE(gwtest::make_gpio_line(3));
    ASSERT_TRUE(gwtest::write_filter_files());
    ASSERT_TRUE(gwtest::write_file("/etc/tobixlite_supervisor",
                                   "restart_pause_min 1\nrestart_pause_max 2\nfailure_quiet 7\n"));
  }

  void start() {
    parent_ = std::make_unique<gwtest::GatewayProcess>(std::vector<std::string>{},
                                                       gwtest::program_path("tobixlite_supervisor"));
    ASSERT_TRUE(parent_->ok());
  }
  bool wait_for(const std::string &line, int count = 1, std::chrono::seconds timeout = 20s) {
    for (auto end = std::chrono::steady_clock::now() + timeout; std::chrono::steady_clock::now() < end;) {
      if (said_count(line) >= count) return true;
      std::this_thread::sleep_for(50ms);
    }
    ADD_FAILURE() << "no " << count << "x \"" << line << "\" in:\n" << parent_->stdout_text();
    return false;
  }
  int said_count(const std::string &line) const {
    int count = 0;
    for (const auto &entry : parent_->lines()) count += entry.text.starts_with(said + line);
    return count;
  }
  // PID in the last "<program> started (PID n)".
  pid_t started_pid(const std::string &program) const {
    const std::string start = said + program + " started (PID ";
    pid_t pid = -1;
    for (const auto &entry : parent_->lines())
      if (entry.text.starts_with(start)) pid = std::stoi(entry.text.substr(start.size()));
    return pid;
  }
  // Stops the parent; both programs must be gone and it must exit 0.
  void expect_clean_stop() {
    const pid_t programs[] = {started_pid("status_led"), started_pid("sensor_handler")};
    parent_->send_signal(SIGTERM);
    auto status = parent_->wait_exit(30s);
    ASSERT_TRUE(status) << parent_->stdout_text();
    EXPECT_EQ(status->code, 0);
    for (pid_t pid : programs) EXPECT_NE(kill(pid, 0), 0) << pid;
    EXPECT_TRUE(parent_->stdout_text().ends_with("Exiting Program\n\r" + said + "stopped\n"));
  }

  std::unique_ptr<gwtest::GatewayProcess> parent_;
};

TEST_F(Supervisor, RunsBothProgramsThroughNoticesReloadsAndAnLedRestart) {
  gwtest::Broker broker;
  ASSERT_TRUE(broker.start());
  ASSERT_TRUE(gwtest::write_tobixlite_config({{"mqtt_server_port", std::to_string(broker.port())}}));
  ASSERT_EQ(mkdir("/etc/tobixlite", 0755), 0);
  ASSERT_TRUE(gwtest::write_file("/etc/tobixlite/firmware_hook", "#!/bin/sh\necho hook ran\n"));
  ASSERT_EQ(chmod("/etc/tobixlite/firmware_hook", 0755), 0);
  gwtest::MqttProbe probe(broker.port());
  ASSERT_TRUE(probe.subscribe("/Logs/Info"));
  start();
  ASSERT_TRUE(probe.wait_for("/Logs/Info", 1, 20s));  // the birth packet

  // The broker side names other firmware: LED pattern and the maker's hook.
  ASSERT_TRUE(probe.publish("/Logs/Ver", "{\"Tag\":\"FW\",\"Application\":\"Hardware.TobixE2\",\"Message\":\"18.06.2\"}"));
  ASSERT_TRUE(wait_for("/etc/tobixlite/firmware_hook ended (status 0)"));
  EXPECT_TRUE(wait_for("the broker side announces other firmware"));
  EXPECT_NE(parent_->stdout_text().find("\nhook ran\n"), std::string::npos);
  EXPECT_NE(parent_->stdout_text().find("Update Firmware at "), std::string::npos);

  // A reload: sensor_handler reads its settings again, in the same process.
  const pid_t sensor = started_pid("sensor_handler");
  parent_->send_signal(SIGHUP);
  ASSERT_TRUE(parent_->wait_for_output("Restarting Service at ", 10s));
  EXPECT_EQ(said_count("configuration reloaded: SIGUSR1 to sensor_handler"), 1);

  // status_led killed: a new one, and sensor_handler started with its PID.
  std::this_thread::sleep_for(1s);  // not sooner than the shortest pause after its start
  const pid_t led = started_pid("status_led");
  ASSERT_EQ(kill(led, SIGKILL), 0);
  ASSERT_TRUE(wait_for("sensor_handler started", 2));
  EXPECT_EQ(said_count("status_led ended (status 137)"), 1);
  EXPECT_NE(started_pid("status_led"), led);
  EXPECT_NE(started_pid("sensor_handler"), sensor);
  EXPECT_EQ(gwtest::read_file("/proc/" + std::to_string(started_pid("sensor_handler")) + "/cmdline"),
            gwtest::program_path("sensor_handler") + '\0' + std::to_string(parent_->pid()) + '\0' +
                std::to_string(started_pid("status_led")) + '\0');
  expect_clean_stop();
}

TEST_F(Supervisor, SensorFailuresRestartAfterGrowingPausesAndBadSettingsWaitForAReload) {
  const gwtest::Options failing = {{"EN_S1", "1"}, {"en_usb_s1", "1"}, {"database_sensor1", "/tmp/missing/ble.db"}};
  ASSERT_TRUE(gwtest::write_tobixlite_config(failing));
  start();
  ASSERT_TRUE(wait_for("sensor_handler restarts in", 3));
  auto third_failure = std::chrono::steady_clock::now();
  // The BLE-failure blink and the parent's log of the signal.
  EXPECT_NE(parent_->stdout_text().find("BLE Failure at "), std::string::npos);
  EXPECT_EQ(said_count("sensor_handler reports a BLE sensor failure"), 3);

  gwtest::Options bad = failing;
  bad["SR_S1"] = "ten";
  ASSERT_TRUE(gwtest::write_tobixlite_config(bad));
  ASSERT_TRUE(wait_for("sensor_handler ended after a configuration failure (status 4)"));
  EXPECT_EQ(said_count("sensor_handler reports a configuration failure"), 1);
  std::this_thread::sleep_until(third_failure + 8s);  // failure_quiet passed
  EXPECT_EQ(said_count("sensor_handler started"), 4);  // held until the reload

  ASSERT_TRUE(gwtest::write_tobixlite_config(failing));
  parent_->send_signal(SIGHUP);
  ASSERT_TRUE(wait_for("sensor_handler restarts in", 4));
  std::string pauses;
  for (const auto &entry : parent_->lines())
    if (entry.text.starts_with(said + "sensor_handler restarts in ")) pauses += entry.text.substr(said.size() + 27) + ";";
  EXPECT_EQ(pauses, "1 s;2 s;2 s;1 s;");  // doubled, capped, and short again after a quiet spell
  expect_clean_stop();
}

}  // namespace
