// The broker link over TLS against a real mosquitto TLS listener, with an
// authority, broker and client certificates made by openssl for the test:
// mqtt_thread, publish_thread and ping_thread in-process, the packets
// watched from the broker's plain listener.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <mosquitto.h>
#include <netinet/in.h>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "broker.h"
#include "config/configuration.h"
#include "config/identity.h"
#include "gw_pacing.h"
#include "process.h"
#include "stop/stop_flags.h"
#include "sandbox.h"
#include "signal_recorder.h"
#include "stdout_capture.h"
#include "store/beacon_db.h"
#include "status/broker_link.h"
#include "uplink/mqtt_link.h"
#include "uplink/ping.h"
#include "uplink/publisher.h"

namespace sensor_handler {
namespace {

using namespace std::chrono_literals;

constexpr const char *batch_topic = "gw/batch";
constexpr const char *failure_line = "ZENTIB_ERROR : MQTT TLS Connection Failed : ";

class MqttTls : public testing::Test {
 protected:
  void SetUp() override {
    close_beacon_db();
    ASSERT_TRUE(gwtest::reset_sandbox());
    ASSERT_TRUE(status_.ok());
    pki_ = gwtest::make_test_certificates();
    ASSERT_FALSE(pki_.empty());
    status_pid = status_.pid();
    ServiceConfig &config = service_config;
    config = ServiceConfig{};
    std::snprintf(config.broker_host, sizeof config.broker_host, "127.0.0.1");
    std::snprintf(config.client_id, sizeof config.client_id, "GW-TLS");
    std::snprintf(config.mqtt_topic, sizeof config.mqtt_topic, "%s", batch_topic);
    std::snprintf(config.db_path, sizeof config.db_path, "/tmp/beacon.db");
    std::snprintf(config.tls_ca, sizeof config.tls_ca, "%s/ca.pem", pki_.c_str());
    std::snprintf(firmware_version, sizeof firmware_version, "FW1");
    config.mqtt_tls = 1;
    config.posting_rate = 1;
    config.lhi_rate = 1;
    config.max_rows_upload = 10;
    clear_restart_request();
    gw::clear_pacing_cancelled();
    gw::clear_connect_stop();
  }
  void TearDown() override {
    stop();
    close_beacon_db();
  }

  // The broker's TLS listener with the certificate `name` (broker,
  // other-name) signed by the test authority.
  void start_broker(const std::string &name, bool require_certificate = false) {
    broker_.set_tls_listener({pki_ + "/ca.pem", pki_ + "/" + name + ".pem",
                              pki_ + "/" + name + ".key", require_certificate});
    ASSERT_TRUE(broker_.start());
    probe_ = std::make_unique<gwtest::MqttProbe>(broker_.port());
    ASSERT_TRUE(probe_->ok() && probe_->subscribe("#"));
  }

  void start(std::vector<void *(*)(void *)> entries, int port) {
    service_config.broker_port = port;
    for (auto entry : entries) {
      pthread_t thread;
      ASSERT_EQ(pthread_create(&thread, nullptr, entry, nullptr), 0);
      threads_.push_back(thread);
    }
  }
  // The teardown's order: stop, disconnect, join, destroy, clean-up.
  void stop() {
    if (threads_.empty()) return;
    request_restart();
    disconnect_mqtt_client();
    for (pthread_t thread : threads_) pthread_join(thread, nullptr);
    threads_.clear();
    destroy_mqtt_client();
    mosquitto_lib_cleanup();
    clear_restart_request();
    gw::clear_pacing_cancelled();
    gw::clear_connect_stop();
  }

  size_t packets(const char *topic, const std::string &prefix) const {
    size_t count = 0;
    for (const auto &message : probe_->messages(topic)) {
      if (message.payload.rfind(prefix, 0) == 0) ++count;
    }
    return count;
  }

  gwtest::SignalRecorder status_;
  std::string pki_;
  gwtest::Broker broker_;
  std::unique_ptr<gwtest::MqttProbe> probe_;
  std::vector<pthread_t> threads_;
};

// A broker that authenticates devices by certificate: the verified link
// carries the birth packet, a batch and a ping, as they are without TLS.
TEST_F(MqttTls, VerifiedLinkCarriesEveryPacket) {
  start_broker("broker", true);
  std::snprintf(service_config.tls_certificate, sizeof service_config.tls_certificate,
                "%s/client.pem", pki_.c_str());
  std::snprintf(service_config.tls_key, sizeof service_config.tls_key, "%s/client.key",
                pki_.c_str());
  {
    gwtest::StdoutCapture capture;
    ASSERT_EQ(open_beacon_db(), 0) << capture.text();
  }
  ASSERT_EQ(insert_beacon_row(1, "AA01", nullptr), 101);
  start({mqtt_thread, publish_thread, ping_thread}, broker_.tls_port());

  ASSERT_TRUE(probe_->wait_for(batch_topic, 1, 20s)) << broker_.log_text();
  EXPECT_EQ(probe_->messages(batch_topic)[0].payload,
            "{\"id\":\"GW-TLS\",\"v\":\"FW1\",\"mid\":0,\"packet_count\":1,"
            "\"raw_beacons_data\":\"AA01;\"}");
  EXPECT_TRUE(probe_->wait_for("/Logs/Info", 2, 5s));
  EXPECT_EQ(packets("/Logs/Info", "{\"Tag\":\"BirthPacket\""), 1u);
  EXPECT_GE(packets("/Logs/Info", "{\"Tag\":\"Ping\""), 1u);
  EXPECT_TRUE(status_.wait_for("SIGUSR2", 1, 5s));
}

// A broker named by its host name: the name, looked up on a thread of its
// own, is still what its certificate is checked against, also when the
// name's first address (::1) drops every handshake and the link goes to
// its second.
TEST_F(MqttTls, HostNameIsCheckedAgainstTheCertificate) {
  unlink("/etc/hosts");  // a link would lead out of the overlay
  ASSERT_TRUE(gwtest::write_file("/etc/hosts",
                                 "::1 broker.example\n127.0.0.1 localhost broker.example\n"));
  for (const char *name : {"broker.example", "localhost"}) {
    SCOPED_TRACE(name);
    broker_.stop();
    start_broker("other-name");  // valid for broker.example alone
    sockaddr_in6 first{AF_INET6, htons(static_cast<uint16_t>(broker_.tls_port())), 0,
                       in6addr_loopback, 0};
    const auto *raw = reinterpret_cast<const sockaddr *>(&first);
    gwtest::UniqueFd silent(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    gwtest::UniqueFd slot(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(bind(silent.get(), raw, sizeof first) == 0 && listen(silent.get(), 0) == 0 &&
                connect(slot.get(), raw, sizeof first) == 0);
    std::snprintf(service_config.broker_host, sizeof service_config.broker_host, "%s", name);
    gwtest::StdoutCapture capture;
    start({mqtt_thread}, broker_.tls_port());
    const bool named = name[0] == 'b';
    EXPECT_EQ(probe_->wait_for("/Logs/Info", 1, named ? 20s : 4s), named) << capture.peek();
    stop();
    EXPECT_EQ(capture.text().find(failure_line) == std::string::npos, named);
  }
}

// Each broker the gateway must not trust, and one that wants a certificate
// the gateway lacks: a line with the library's reason at each attempt,
// attempts go on, and nothing is ever sent in clear.
TEST_F(MqttTls, FailedHandshakesSayWhyRetryAndSendNothing) {
  struct Case {
    const char *what;
    const char *broker_certificate;
    bool require_certificate;
    bool plain_port;
    const char *trusted_ca;
  } cases[] = {
      {"untrusted authority", "broker", false, false, "rogue-ca.pem"},
      {"certificate for another name", "other-name", false, false, "ca.pem"},
      {"broker without TLS", "broker", false, true, "ca.pem"},
      {"no client certificate", "broker", true, false, "ca.pem"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    broker_.stop();
    start_broker(c.broker_certificate, c.require_certificate);
    std::snprintf(service_config.tls_ca, sizeof service_config.tls_ca, "%s/%s", pki_.c_str(),
                  c.trusted_ca);
    gwtest::StdoutCapture capture;
    start({mqtt_thread}, c.plain_port ? broker_.port() : broker_.tls_port());
    auto attempts = [&] {
      const std::string output = capture.peek();
      size_t lines = 0;
      for (auto at = output.find(failure_line); at != std::string::npos;
           at = output.find(failure_line, at + 1)) {
        ++lines;
      }
      return lines;
    };
    for (int i = 0; i < 200 && attempts() < 2; ++i) std::this_thread::sleep_for(100ms);
    EXPECT_GE(attempts(), 2u);
    EXPECT_FALSE(mqtt_connected.load());
    stop();
    const std::string output = capture.text();
    EXPECT_EQ(output.find(std::string(failure_line) + "\n\r"), std::string::npos) << output;
    EXPECT_EQ(probe_->messages("/Logs/Info").size(), 0u);
  }
}

}  // namespace
}  // namespace sensor_handler
