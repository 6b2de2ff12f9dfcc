// Service runs of the real sensor_handler in the sandbox: start banner,
// restart and exit signals, configuration failures.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <pthread.h>
#include <regex>
#include <string>
#include <unistd.h>

#include "config/device_files.h"
#include "gateway_process.h"
#include "gw_pacing.h"
#include "stop/stop_flags.h"
#include "sandbox.h"
#include "signal_recorder.h"

namespace {

using namespace std::chrono_literals;
using gwtest::Options;

class ServiceRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(gwtest::reset_sandbox());
    ASSERT_TRUE(parent_.ok());
    ASSERT_TRUE(status_.ok());
    ASSERT_TRUE(gwtest::write_tobixlite_config());
    ASSERT_TRUE(gwtest::write_filter_files());
  }

  std::vector<std::string> pids() const {
    return {std::to_string(parent_.pid()), std::to_string(status_.pid())};
  }

  static std::string stored_link_state() {
    std::string text = gwtest::read_file("/etc/config/tobixlite_config");
    auto at = text.find("option mqtt_status '");
    return at == std::string::npos ? "" : text.substr(at + 20, 1);
  }

  // The reader stores "0" right after its last echo line; give it a moment.
  static bool link_state_becomes(const std::string &value) {
    for (int i = 0; i < 500; ++i) {
      if (stored_link_state() == value) return true;
      usleep(10000);
    }
    return false;
  }

  gwtest::SignalRecorder parent_;
  gwtest::SignalRecorder status_;
};

const std::regex start_banner("^Tobix Voru Service Started at \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\n\r");

TEST_F(ServiceRun, StopSignalsEndTheProcessAfterAFullTeardown) {
  const std::string echo = gwtest::broker_set3_echo + gwtest::echo_from_port();
  for (int stop : {SIGTERM, SIGINT}) {
    status_.clear();
    ASSERT_TRUE(gwtest::write_tobixlite_config());  // mqtt_status '1' again
    gwtest::GatewayProcess gateway(pids());
    ASSERT_TRUE(gateway.wait_for_output("LHI Rate\t= 60\n\r", 20s)) << gateway.stdout_text();
    EXPECT_TRUE(link_state_becomes("0"));

    gateway.send_signal(stop);
    auto status = gateway.wait_exit(20s);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 0);
    std::string output = gateway.stdout_text();
    std::smatch banner;
    ASSERT_TRUE(std::regex_search(output, banner, start_banner)) << output;
    EXPECT_EQ(output.substr(banner.length()), echo + "Exiting Program\n\rExiting Program\n\r");
    EXPECT_EQ(status_.count("SIGUSR1"), 1u);
    EXPECT_TRUE(parent_.signals().empty());
    EXPECT_EQ(stored_link_state(), "0");
  }
}

TEST_F(ServiceRun, RestartSignalRebuildsTheServiceWithFreshSettings) {
  gwtest::GatewayProcess gateway(pids());
  ASSERT_TRUE(gateway.wait_for_output("LHI Rate\t= 60\n\r", 20s)) << gateway.stdout_text();

  gateway.send_signal(SIGUSR1);
  ASSERT_TRUE(gateway.wait_for_output("Restarting Service at ", 10s));
  ASSERT_TRUE(status_.wait_for("SIGUSR1", 1, 10s));
  // Changed between the runs: the next run reads it.
  ASSERT_TRUE(gwtest::write_tobixlite_config({{"LHI_RATE", "30"}}));
  ASSERT_TRUE(gateway.wait_for_output("LHI Rate\t= 30\n\r", 20s)) << gateway.stdout_text();

  std::string output = gateway.stdout_text();
  std::smatch line;
  ASSERT_TRUE(std::regex_search(output, line,
                                std::regex("LHI Rate\t= 60\n\rRestarting Service at "
                                           "\\d\\d:\\d\\d:\\d\\d\n\rMQTT SERVER Type\t= 3\n\r")))
      << output;
  EXPECT_EQ(output.find("Exiting Program"), std::string::npos);

  // The two seconds' pause lies between the teardown and the next run.
  const auto lines = gateway.lines();
  std::chrono::steady_clock::time_point restart_at{}, rebuild_at{};
  for (const auto &entry : lines) {
    if (entry.text.rfind("Restarting Service at", 0) == 0) restart_at = entry.time;
    if (restart_at.time_since_epoch().count() != 0 && rebuild_at.time_since_epoch().count() == 0 &&
        entry.text.rfind("MQTT SERVER Type", 0) == 0 && entry.time > restart_at) {
      rebuild_at = entry.time;
    }
  }
  EXPECT_GE(rebuild_at - restart_at, 1900ms);

  EXPECT_FALSE(gateway.wait_exit(100ms));  // still running
  gateway.send_signal(SIGTERM);
  auto status = gateway.wait_exit(20s);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->code, 0);
  EXPECT_EQ(status_.count("SIGUSR1"), 2u);
  EXPECT_TRUE(parent_.signals().empty());
}

TEST_F(ServiceRun, ConfigurationFailureEndsTheProcessWithoutTeardown) {
  const std::string closing =
      "ZENTIB_ERROR : Cannot Read configuration file\n\r"
      "ZENTIB_ERROR : Closing Program due to Configuration Failure\n\r"
      "Exiting Program\n\r";
  struct Case {
    const char *what;
    Options config;
    std::string filters;  // smoothing options, "" for off
    const char *removed_file;
    std::string failure;
  } cases[] = {
      {"empty value", {{"mqtt_topic", ""}}, "", nullptr,
       "ZENTIB_ERROR : Cannot Read Parameter\n\r"},
      {"not a number", {{"SR_S1", "ten"}}, "", nullptr,
       "ZENTIB_ERROR : Invalid value\nZENTIB_ERROR : Invalid Sensor 1 Sensing Rate Value\n"},
      {"out of range", {{"PR_S1", "4294967296"}}, "", nullptr,
       "ZENTIB_ERROR : Out of range\nZENTIB_ERROR : Invalid Sensor 1 Posting Rate Value\n"},
      {"bad server set", {{"server", "2"}}, "", "/etc/tobixlite_config2",
       "ZENTIB_ERROR : Cannot Lookup for /etc/tobixlite_config2.@mqtt[0].mqtt_password2\n\r"
       "ZENTIB_ERROR : Cannot Read Parameter\n\r"},
      {"missing package", {}, "", "/etc/config/tobixlite_uuid_filter",
       "ZENTIB_ERROR : Cannot Lookup for tobixlite_uuid_filter.@UUID[0].uuid_filtering\n\r"
       "ZENTIB_ERROR : Cannot Read Parameter\n\r"},
      {"missing LHI_RATE", {{"LHI_RATE", std::nullopt}}, "", nullptr,
       "Smoothing Filtering = 0\n\rZENTIB_ERROR : Cannot Read Parameter\n\r"},
      {"smoothing without window", {}, "\toption smoothing_filter '1'\n", nullptr,
       "Smoothing Filtering = 1\n\rZENTIB_ERROR : Cannot Read Parameter\n\r"},
      {"firmware version missing", {}, "", "/etc/openwrt_version",
       "LHI Rate\t= 60\n\r"
       "ZENTIB_ERROR : Firmware Version not found\n\r"
       "ZENTIB_ERROR : Cannot get firmware version\n\r"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(gwtest::reset_sandbox());
    parent_.clear();
    status_.clear();
    ASSERT_TRUE(gwtest::write_tobixlite_config(c.config));
    ASSERT_TRUE(gwtest::write_filter_files(
        "", "\toption uuid_filtering '0'\n", "\toption mac_filtering '0'\n",
        c.filters.empty() ? "\toption smoothing_filter '0'\n" : c.filters));
    if (c.removed_file != nullptr) {
      // An empty version file is what a broken image leaves.
      if (std::string(c.removed_file) == "/etc/openwrt_version") {
        ASSERT_TRUE(gwtest::write_file(c.removed_file, ""));
      } else {
        ASSERT_EQ(unlink(c.removed_file), 0);
      }
    }

    gwtest::GatewayProcess gateway(pids());
    auto status = gateway.wait_exit(20s);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 4);
    EXPECT_TRUE(gateway.stdout_text().ends_with(c.failure + closing)) << gateway.stdout_text();
    EXPECT_EQ(parent_.count("SIGUSR2"), 1u);
    EXPECT_EQ(parent_.signals().size(), 1u);
    EXPECT_TRUE(status_.signals().empty());
    if (std::string(c.what) != "firmware version missing") {
      EXPECT_EQ(stored_link_state(), "1");  // no teardown wrote "0"
    }
  }
}

}  // namespace

namespace {

TEST_F(ServiceRun, DatabaseThatCannotBeCreatedEndsTheProcessAfterTheTeardown) {
  ASSERT_TRUE(gwtest::write_tobixlite_config(
      {{"EN_S1", "1"}, {"en_usb_s1", "1"}, {"database_sensor1", "/tmp/missing/ble.db"}}));
  gwtest::GatewayProcess gateway(pids());
  auto status = gateway.wait_exit(30s);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->code, 3);
  const std::string output = gateway.stdout_text();
  EXPECT_NE(output.find("ZENTIB_ERROR : SENSOR1 : Cannot create database sensor 5\n\r"
                        "ZENTIB_ERROR : Restarting Program due Sensor1(BLE) Failure\n\r"),
            std::string::npos)
      << output;
  EXPECT_TRUE(output.ends_with("Exiting Program\n\r")) << output;
  EXPECT_EQ(parent_.count("SIGUSR1"), 1u);
  EXPECT_EQ(parent_.signals().size(), 1u);
  EXPECT_TRUE(status_.wait_for("SIGUSR1", 1, 5s));  // the teardown ran
  EXPECT_EQ(stored_link_state(), "0");
}

TEST_F(ServiceRun, StatisticsFileIsWrittenWhileTheServiceRuns) {
  gwtest::GatewayProcess gateway(pids());
  ASSERT_TRUE(gateway.wait_for_output("LHI Rate", 20s));
  std::string stats;
  for (int i = 0; i < 300 && stats.empty(); ++i) {
    usleep(10000);
    stats = gwtest::read_file("/tmp/tobixlite_stats");
  }
  EXPECT_EQ(stats.size(), 663u) << stats;
  EXPECT_EQ(stats.rfind("{\"DC\":{\"in\": 0, ", 0), 0u) << stats;
  gateway.send_signal(SIGTERM);
  auto status = gateway.wait_exit(20s);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->code, 0);
}

// While the stop waits for a connect loop to give up, every other loop
// must already see the run ending, or it spins on pacing that returns at once.
TEST(StopRoutine, RaisesEverythingBeforeItWaits) {
  gw::mark_connect_busy();  // a connect loop that has not given up yet
  pthread_t stopper;
  ASSERT_EQ(pthread_create(&stopper, nullptr, [](void *) -> void * {
    sensor_handler::notify_and_stop(sensor_handler::StopReason::client_failure);
    return nullptr;
  }, nullptr), 0);
  // All of it while the connect loop still holds the stop (raised one after
  // the other: on a slow board the last may come a moment after the first).
  const auto all_up = [] {
    return !sensor_handler::service_running() && gw::pacing_cancelled.load() &&
           gw::connect_stop.load() && gw::attach_stop.load();
  };
  for (int i = 0; i < 500 && !all_up(); ++i) usleep(10000);
  EXPECT_TRUE(all_up());
  EXPECT_EQ(sensor_handler::exit_code.load(), 1u);
  gw::mark_connect_idle();
  pthread_join(stopper, nullptr);
  sensor_handler::clear_restart_request();
}

// Waits that block on their own (the report hand-off) hear a stop only
// through their registered wake-up: every raise must call each one, and a
// full registry refuses rather than write past its room.
TEST(StopRoutine, EveryRaiseWakesTheRegisteredWaits) {
  static std::atomic<int> wakes{0};
  ASSERT_TRUE(sensor_handler::add_stop_wake([] { wakes.fetch_add(1); }));
  while (sensor_handler::add_stop_wake([] {})) {
  }
  sensor_handler::request_restart();
  EXPECT_EQ(wakes.load(), 1);
  sensor_handler::request_exit();
  EXPECT_EQ(wakes.load(), 2);
  sensor_handler::exit_requested.store(false);
  sensor_handler::clear_restart_request();
  gw::clear_pacing_cancelled();
}

}  // namespace
