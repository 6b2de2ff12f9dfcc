// The common broker routines: the stops of the endless connect, the refused
// publish, and the client library's sockets kept from commands. (Retrying
// until the broker comes is shown through the gateway in mqtt_link_test.)
#include <gtest/gtest.h>

#include <atomic>
#include <mosquitto.h>
#include <netdb.h>
#include <pthread.h>
#include <string>
#include <utility>
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
  // The address before the broker's, and whether it is silent or refuses.
  const std::pair<const char *, bool> cases[] = {
      {"::1", false}, {"::1", true}, {"127.0.0.2", true}};
  unlink("/etc/hosts");  // a link would lead out of the overlay
  unlink("/etc/gai.conf");
  ASSERT_TRUE(gwtest::write_file("/etc/gai.conf", "precedence ::1/128 50\nprecedence ::/0 40\n"
                                                  "precedence ::ffff:127.0.0.2/128 60\n"));
  for (const auto &[address, silent_first] : cases) {
    SCOPED_TRACE(std::string(address) + (silent_first ? " silent" : " refuses"));
    gwtest::Broker broker;  // a port of its own: no address of it answered before
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(gwtest::write_file("/etc/hosts", std::string(address) + " broker.test\n" +
                                                     "127.0.0.1 broker.test\n"));
    addrinfo *first = nullptr;
    ASSERT_EQ(getaddrinfo(address, std::to_string(broker.port()).c_str(), nullptr, &first), 0);
    gwtest::UniqueFd silent(socket(first->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    gwtest::UniqueFd slot(socket(first->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const bool ready =
        !silent_first || (bind(silent.get(), first->ai_addr, first->ai_addrlen) == 0 &&
                          listen(silent.get(), 0) == 0 &&
                          connect(slot.get(), first->ai_addr, first->ai_addrlen) == 0);
    freeaddrinfo(first);
    ASSERT_TRUE(ready);
    for (const char *attempt : {"first", "next"}) {  // the next starts where the first ended
      const auto asked = Clock::now();
      Connect connect(broker.port(), "broker.test");
      while (connect.result.load() < 0 && Clock::now() - asked < 20s) usleep(10000);
      if (connect.result.load() < 0) gw::stop_connect_and_wait();
      ASSERT_EQ(connect.join(), 0) << attempt;
      EXPECT_LT(connect.ended - asked, attempt[0] == 'f' ? 8s : 2s) << attempt;
    }
  }
}

}  // namespace
