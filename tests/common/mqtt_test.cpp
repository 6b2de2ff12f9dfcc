// The common broker routines: the stops of the endless connect, the refused
// publish, and the client library's sockets kept from commands. (Retrying
// until the broker comes is shown through the gateway in mqtt_link_test.)
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <mosquitto.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include "broker.h"
#include "gw_command.h"
#include "gw_mqtt.h"
#include "gw_pacing.h"
#include "process.h"
#include "sandbox.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Connect {
  struct mosquitto *client = mosquitto_new(nullptr, true, nullptr);
  int port = 0;
  const char *host;
  std::atomic<int> result{-1};  // seq_cst: read by the test thread
  Clock::time_point ended;
  pthread_t thread{};

  explicit Connect(int broker_port, const char *broker_host = "127.0.0.1")
      : port(broker_port), host(broker_host) {
    pthread_create(&thread, nullptr, run, this);
  }
  ~Connect() { mosquitto_destroy(client); }

  static void *run(void *arg) {
    auto *self = static_cast<Connect *>(arg);
    const int result = gw::connect_with_retry(&self->client, self->host, self->port, 5, false);
    self->ended = Clock::now();
    self->result.store(result);
    return nullptr;
  }
  int join() {
    pthread_join(thread, nullptr);
    return result.load();
  }
};

class MqttRoutines : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { mosquitto_lib_init(); }
  static void TearDownTestSuite() { mosquitto_lib_cleanup(); }
  void SetUp() override {
    ASSERT_TRUE(gwtest::reset_sandbox());
    gw::clear_connect_stop();
    gw::clear_pacing_cancelled();
  }
};

TEST_F(MqttRoutines, StopsEndTheRetries) {
  gwtest::Broker broker;
  ASSERT_TRUE(broker.start());
  broker.stop();
  for (bool through_pacing : {false, true}) {
    SCOPED_TRACE(through_pacing ? "pacing cancelled" : "connect stop");
    gw::clear_connect_stop();
    gw::clear_pacing_cancelled();
    Connect connect(broker.port());
    sleep(1);
    const auto asked = Clock::now();
    if (through_pacing) {
      gw::cancel_pacing();
    } else {
      gw::stop_connect_and_wait();
    }
    EXPECT_EQ(connect.join(), 1);
    // A cancelled pacing also cuts the 2 s pause short.
    EXPECT_LT(connect.ended - asked, through_pacing ? 1s : 2500ms);
  }
}

TEST_F(MqttRoutines, ConnectedClientKeepsItsSocketsFromCommands) {
  gwtest::Broker broker;
  ASSERT_TRUE(broker.start());
  Connect connect(broker.port());
  ASSERT_EQ(connect.join(), 0);
  ASSERT_GE(mosquitto_socket(connect.client), 0);
  gw::CommandPipe listing("ls -l /proc/$$/fd 2>/dev/null | grep -c socket");
  ASSERT_NE(listing.stream(), nullptr);
  char count[16] = {};
  ASSERT_NE(fgets(count, sizeof count, listing.stream()), nullptr);
  EXPECT_STREQ(count, "0\n");

  // A stop refuses publishes before they reach the library.
  EXPECT_EQ(gw::publish_message(connect.client, "/t", "x", 0), 0);
  gw::stop_connect_and_wait();
  EXPECT_EQ(gw::publish_message(connect.client, "/t", "x", 0), 1);
}

// A broker name with two addresses, the broker's 127.0.0.1 second in the
// resolver's order (glibc sorts ::1 first and follows gai.conf's
// precedence; musl keeps the order of /etc/hosts among IPv4 addresses).
// The first refuses, or is silent: a listener whose one queue slot is taken
// drops every further handshake, as a dead host does. Either way the
// connect goes on to the broker, and the next one starts with the address
// that answered.
TEST_F(MqttRoutines, EveryAddressOfTheBrokerNameIsTried) {
  struct Case {
    const char *what;
    const char *first;  // the address before the broker's
    bool silent;
  } cases[] = {
      {"::1 refuses", "::1", false},
      {"::1 silent", "::1", true},
      {"127.0.0.2 silent", "127.0.0.2", true},
  };
  unlink("/etc/hosts");  // a link would lead out of the overlay
  unlink("/etc/gai.conf");
  ASSERT_TRUE(gwtest::write_file("/etc/gai.conf", "precedence ::1/128 50\nprecedence ::/0 40\n"
                                                  "precedence ::ffff:127.0.0.2/128 60\n"));
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    gwtest::Broker broker;  // a port of its own: no address of it answered before
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(gwtest::write_file("/etc/hosts", std::string(c.first) + " broker.test\n" +
                                                     "127.0.0.1 broker.test\n"));
    const int family = std::strchr(c.first, ':') != nullptr ? AF_INET6 : AF_INET;
    sockaddr_storage address{};
    address.ss_family = static_cast<sa_family_t>(family);
    auto *ip4 = reinterpret_cast<sockaddr_in *>(&address);
    auto *ip6 = reinterpret_cast<sockaddr_in6 *>(&address);
    ip4->sin_port = ip6->sin6_port = htons(static_cast<uint16_t>(broker.port()));
    inet_pton(family, c.first, family == AF_INET ? static_cast<void *>(&ip4->sin_addr) : &ip6->sin6_addr);
    const socklen_t size = family == AF_INET ? sizeof *ip4 : sizeof *ip6;
    gwtest::UniqueFd listener(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    gwtest::UniqueFd slot(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const auto *raw = reinterpret_cast<sockaddr *>(&address);
    ASSERT_TRUE(!c.silent || (bind(listener.get(), raw, size) == 0 && listen(listener.get(), 0) == 0 &&
                              connect(slot.get(), raw, size) == 0));
    for (const char *attempt : {"first", "next"}) {
      const auto asked = Clock::now();
      Connect connect(broker.port(), "broker.test");
      while (connect.result.load() < 0 && Clock::now() - asked < 45s) usleep(10000);
      if (connect.result.load() < 0) gw::stop_connect_and_wait();
      ASSERT_EQ(connect.join(), 0) << attempt;
      EXPECT_LT(connect.ended - asked, attempt[0] == 'f' ? 8s : 2s) << attempt;
      std::printf("[ measured ] %s, %s connect: %lld ms\n", c.what, attempt,
                  static_cast<long long>((connect.ended - asked) / 1ms));
    }
  }
}

}  // namespace
