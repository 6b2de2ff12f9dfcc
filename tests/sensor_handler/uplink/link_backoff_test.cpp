// Two minutes of damped reconnects, with the real gateway and real brokers:
// two gateways sharing a client ID take the session from each other at
// every connect, while a third, whose password the broker refuses, is
// asked again later and later until the broker's side takes it. Both
// scenarios share the two minutes; the file is a test of its own so that
// they run beside the rest of the suite.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "broker.h"
#include "config/device_files.h"
#include "gateway_process.h"
#include "sandbox.h"
#include "signal_recorder.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

size_t birth_packets(const gwtest::MqttProbe &probe, Clock::time_point from,
                     Clock::time_point to) {
  size_t count = 0;
  for (const auto &message : probe.messages("/Logs/Info")) {
    if (message.payload.rfind("{\"Tag\":\"BirthPacket\"", 0) == 0 && message.time >= from &&
        message.time < to) {
      ++count;
    }
  }
  return count;
}

double seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

TEST(LinkBackoff, SharedClientIdAndRefusedPasswordCostFewConnects) {
  ASSERT_TRUE(gwtest::reset_sandbox());
  ASSERT_TRUE(gwtest::write_filter_files());
  gwtest::SignalRecorder parent, pair_status, refused_status;
  ASSERT_TRUE(parent.ok() && pair_status.ok() && refused_status.ok());
  auto pids = [&](const gwtest::SignalRecorder &status) {
    return std::vector<std::string>{std::to_string(parent.pid()), std::to_string(status.pid())};
  };

  gwtest::Broker guarded("gwuser", "oldpass");
  ASSERT_TRUE(guarded.start());
  ASSERT_TRUE(gwtest::write_tobixlite_config({{"mqtt_server_port", std::to_string(guarded.port())},
                                              {"mqtt_username", "gwuser"},
                                              {"mqtt_password", "newpass"},
                                              {"client_id", "TBX000000000002"}}));
  gwtest::GatewayProcess refused(pids(refused_status));
  ASSERT_TRUE(refused_status.wait_for("SIGUSR1", 1, 20s)) << refused.stdout_text();

  gwtest::Broker shared;
  ASSERT_TRUE(shared.start());
  gwtest::MqttProbe probe(shared.port());
  ASSERT_TRUE(probe.ok() && probe.subscribe("/Logs/Info"));
  ASSERT_TRUE(gwtest::write_tobixlite_config({{"mqtt_server_port", std::to_string(shared.port())}}));
  const auto start = Clock::now();
  gwtest::GatewayProcess first(pids(pair_status)), second(pids(pair_status));

  // Refused again at the first retry; then the broker's side changes back.
  ASSERT_TRUE(refused_status.wait_for("SIGUSR1", 2, 40s));
  guarded.set_password("newpass");
  ASSERT_TRUE(guarded.restart());
  ASSERT_TRUE(refused_status.wait_for("SIGUSR2", 1, 80s)) << guarded.log_text();
  sleep(static_cast<unsigned>(std::max(0.0, 121.0 - seconds(Clock::now() - start))));

  const auto told = refused_status.signals();  // a refusal, a refusal, accepted
  ASSERT_EQ(told.size(), 3u);
  const double first_retry = seconds(told[1].time - told[0].time);
  const double second_retry = seconds(told[2].time - told[1].time);
  EXPECT_GE(first_retry, 29.5);
  EXPECT_LT(first_retry, 33.0);
  EXPECT_GE(second_retry, 59.5);
  EXPECT_LT(second_retry, 63.0);

  // Without damping the pair reconnects every second or two.
  const size_t births = birth_packets(probe, start, start + 120s);
  const size_t last_minute = birth_packets(probe, start + 60s, start + 120s);
  EXPECT_GE(births, 2u);
  EXPECT_LE(births, 16u);
  EXPECT_LE(last_minute, 4u);
  std::printf("[ measured ] shared client ID: %zu birth packets in 120 s, %zu in the second "
              "minute; refused password retried after %.1f s and %.1f s\n",
              births, last_minute, first_retry, second_retry);

  for (gwtest::GatewayProcess *gateway : {&refused, &first, &second}) {
    ASSERT_TRUE(gateway->send_signal(SIGTERM));
    auto status = gateway->wait_exit(20s);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 0);
    EXPECT_EQ(gateway->stderr_text(), "");
  }
}

}  // namespace
