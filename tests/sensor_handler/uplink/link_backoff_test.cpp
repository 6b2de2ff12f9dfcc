// Two minutes of the real gateway against real brokers: two gateways
// sharing a client ID take the session from each other at every connect,
// and meanwhile a third, whose password the broker refuses until its side
// changes back, is asked again later and later. A file of its own, so its
// two minutes run beside the rest of the suite.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <thread>

#include "broker.h"
#include "config/device_files.h"
#include "gateway_process.h"
#include "process.h"
#include "sandbox.h"
#include "signal_recorder.h"

namespace {

using namespace std::chrono_literals;

double seconds(std::chrono::steady_clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

// A gateway with a /tmp of its own: each rewrites the statistics file every
// second through one temporary name, and a rename that another gateway's
// beat took away restarts that service run, and its pauses with it.
std::unique_ptr<gwtest::GatewayProcess> start_gateway(std::vector<std::string> pids) {
  std::string run = "mount -t tmpfs tmpfs /tmp && exec";
  for (const std::string &word : gwtest::emulator_words()) run += " " + word;
  std::vector<std::string> arguments = {"-m", "/bin/sh", "-c", run + " \"$0\" \"$@\"",
                                        gwtest::program_path("sensor_handler")};
  arguments.insert(arguments.end(), pids.begin(), pids.end());
  return std::make_unique<gwtest::GatewayProcess>("/usr/bin/unshare", "unshare", arguments);
}

TEST(LinkBackoff, SharedClientIdAndRefusedPasswordCostFewConnects) {
  ASSERT_TRUE(gwtest::reset_sandbox() && gwtest::write_filter_files());
  gwtest::SignalRecorder parent, pair_status, refused_status;
  auto pids = [&](const gwtest::SignalRecorder &status) {
    return std::vector<std::string>{std::to_string(parent.pid()), std::to_string(status.pid())};
  };
  gwtest::Broker guarded("gwuser", "oldpass"), shared;
  ASSERT_TRUE(guarded.start() && shared.start());
  ASSERT_TRUE(gwtest::write_tobixlite_config({{"mqtt_server_port", std::to_string(guarded.port())},
                                              {"mqtt_username", "gwuser"},
                                              {"mqtt_password", "newpass"},
                                              {"client_id", "TBX000000000002"}}));
  auto refused = start_gateway(pids(refused_status));
  ASSERT_TRUE(refused_status.wait_for("SIGUSR1", 1, 20s)) << refused->stdout_text();

  gwtest::MqttProbe probe(shared.port());
  ASSERT_TRUE(probe.ok() && probe.subscribe("/Logs/Info"));
  ASSERT_TRUE(gwtest::write_tobixlite_config({{"mqtt_server_port", std::to_string(shared.port())}}));
  const auto start = std::chrono::steady_clock::now();
  auto first = start_gateway(pids(pair_status)), second = start_gateway(pids(pair_status));

  ASSERT_TRUE(refused_status.wait_for("SIGUSR1", 2, 40s));  // refused again at the first retry
  guarded.set_password("newpass");
  ASSERT_TRUE(guarded.restart());
  ASSERT_TRUE(refused_status.wait_for("SIGUSR2", 1, 80s)) << guarded.log_text();
  std::this_thread::sleep_until(start + 121s);

  const auto told = refused_status.signals();  // refused, refused, accepted
  ASSERT_EQ(told.size(), 3u);
  const double first_retry = seconds(told[1].time - told[0].time);
  const double second_retry = seconds(told[2].time - told[1].time);
  EXPECT_NEAR(first_retry, 31.0, 1.5);
  EXPECT_NEAR(second_retry, 61.0, 1.5);

  size_t births = 0, last_minute = 0;
  for (const auto &message : probe.messages("/Logs/Info")) {
    if (message.payload.rfind("{\"Tag\":\"BirthPacket\"", 0) != 0 || message.time >= start + 120s)
      continue;
    ++births;
    if (message.time >= start + 60s) ++last_minute;
  }
  for (const auto *gateway : {&refused, &first, &second}) {  // one service run each
    EXPECT_EQ((*gateway)->stdout_text().find("LHI Rate"), (*gateway)->stdout_text().rfind("LHI Rate"));
  }
  // Undamped, the pair takes the session from each other every second or two.
  EXPECT_GE(births, 2u);
  EXPECT_LE(births, 16u) << shared.log_text();
  EXPECT_LE(last_minute, 4u);
  std::printf("[ measured ] shared client ID: %zu birth packets in 120 s, %zu in the second "
              "minute; refused password asked again after %.1f s and %.1f s\n",
              births, last_minute, first_retry, second_retry);
}

}  // namespace
