// The broker the uplink tests rely on: a real mosquitto on the sandbox's
// loopback, and a probe that sees exactly the bytes a client published.
#include "broker.h"
#include "sandbox.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

bool port_accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  struct sockaddr_in address {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool accepted = connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == 0;
  close(fd);
  return accepted;
}

class BrokerTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(gwtest::reset_sandbox()); }
};

TEST_F(BrokerTest, RelaysPublishedBytesExactlyAndStopsListening) {
  gwtest::Broker broker;
  ASSERT_TRUE(broker.start());
  ASSERT_GT(broker.port(), 0);

  gwtest::MqttProbe subscriber(broker.port());
  ASSERT_TRUE(subscriber.ok());
  ASSERT_TRUE(subscriber.subscribe("/Logs/#"));
  gwtest::MqttProbe sender(broker.port());
  ASSERT_TRUE(sender.ok());

  const std::string payload("{\"HW\":\"ZX400\"}\0\xff\n", 18);
  ASSERT_TRUE(sender.publish("/Logs/Info", payload));
  ASSERT_TRUE(subscriber.wait_for("/Logs/Info", 1, 5s));
  std::vector<gwtest::ReceivedMessage> got = subscriber.messages("/Logs/Info");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].payload, payload);
  EXPECT_FALSE(got[0].retain);

  broker.stop();
  EXPECT_FALSE(broker.running());
  EXPECT_FALSE(port_accepts(broker.port()));
}

TEST_F(BrokerTest, RestartKeepsThePortAndTheProbeResubscribes) {
  gwtest::Broker broker;
  ASSERT_TRUE(broker.start());
  int port = broker.port();
  gwtest::MqttProbe probe(port);
  ASSERT_TRUE(probe.subscribe("/Logs/Ver"));

  broker.kill();
  EXPECT_FALSE(port_accepts(port));
  ASSERT_TRUE(broker.restart());
  EXPECT_EQ(broker.port(), port);

  // The probe reconnects on its own within about a second; publish until its
  // renewed subscription lets one through.
  gwtest::MqttProbe sender(port);
  ASSERT_TRUE(sender.ok());
  bool received = false;
  for (int attempt = 0; attempt < 50 && !received; ++attempt) {
    ASSERT_TRUE(sender.publish("/Logs/Ver", "{\"Message\":\"18.06.2\"}"));
    received = probe.wait_for("/Logs/Ver", 1, 100ms);
  }
  EXPECT_TRUE(received);
}

TEST_F(BrokerTest, CredentialsAreRequiredWhenConfigured) {
  gwtest::Broker broker("gateway", "s3cret");
  ASSERT_TRUE(broker.start());
  EXPECT_TRUE(gwtest::MqttProbe(broker.port(), "gateway", "s3cret").ok());
  EXPECT_FALSE(gwtest::MqttProbe(broker.port(), "gateway", "wrong").ok());
  EXPECT_FALSE(gwtest::MqttProbe(broker.port()).ok());
}

}  // namespace
