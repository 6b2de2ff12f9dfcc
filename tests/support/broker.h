// A real MQTT broker for tests (Debian's mosquitto) on a free port of the
// sandbox's 127.0.0.1, and a libmosquitto probe that watches it from the
// broker side.
//
// Config and log of each broker live in their own folder under the sandbox
// state dir (<dir>/mosquitto.conf, <dir>/mosquitto.log).
//
// Threads: a Broker belongs to one test thread. An MqttProbe runs its own
// network thread (mosquitto_loop_start); its readers and publish() may be
// called from any thread.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace gwtest {

// Files of a TLS listener. With require_certificate the broker refuses a
// client without a certificate signed by `ca`.
struct TlsListener {
  std::string ca;
  std::string certificate;
  std::string key;
  bool require_certificate = false;
};

class Broker {
 public:
  // Anonymous access allowed.
  Broker();
  // Only `username`/`password` accepted (password_file made with
  // mosquitto_passwd -b, allow_anonymous false).
  Broker(const std::string &username, const std::string &password);
  // stop()s a running broker.
  ~Broker();
  Broker(const Broker &) = delete;
  Broker &operator=(const Broker &) = delete;

  // Starts mosquitto and waits (at most 5 s) until the port accepts.
  // The port is chosen at the first start and kept by restart().
  bool start();
  // SIGTERM, wait (at most 5 s, then SIGKILL) and reap; afterwards the port
  // refuses connections.
  void stop();
  // SIGKILL and reap: the clients' connections break without a clean
  // close (reconnect tests). A client's last will is published by a broker
  // that stays up while the client dies, not by this.
  void kill();
  // stop() (if running) and start() on the same port.
  bool restart();
  // A broker with credentials takes `password` from its next start() on
  // (credentials changed on the broker's side).
  void set_password(const std::string &password);

  // A TLS listener beside the plain one (probes stay on the plain port),
  // from the next start() on.
  void set_tls_listener(const TlsListener &tls) { tls_ = tls; }

  bool running() const { return pid_ > 0; }
  int port() const { return port_; }
  int tls_port() const { return tls_port_; }
  pid_t pid() const { return pid_; }
  const std::string &host() const { return host_; }  // "127.0.0.1"
  // Text of the broker's log so far (connections, errors).
  std::string log_text() const;

 private:
  bool write_config();

  std::string host_ = "127.0.0.1";
  std::string dir_;
  std::string username_;
  std::string password_;
  bool credentials_ = false;
  TlsListener tls_;
  int port_ = 0;
  int tls_port_ = 0;
  pid_t pid_ = -1;
};

// A small certificate authority made with openssl in its own state folder:
// ca.pem, a broker certificate for 127.0.0.1 (broker.pem/.key), one for
// another name (other-name.pem/.key), a client certificate (client.pem/.key)
// and an authority that signed none of them (rogue-ca.pem). Empty folder
// name when openssl failed.
std::string make_test_certificates();

struct ReceivedMessage {
  std::string topic;
  std::string payload;  // bytes exactly as published (may hold NULs)
  bool retain = false;
  int qos = 0;
  std::chrono::steady_clock::time_point time;  // CLOCK_MONOTONIC at receipt
};

// Every message a probe receives that no probe of this process published
// must be one JSON value (what the gateway sends): anything else is a test
// failure, wherever the probe is used.
class MqttProbe {
 public:
  // Connects to `port` on 127.0.0.1 (optionally with credentials) and
  // starts the network thread; waits (at most 5 s) for the CONNACK. Check
  // ok().
  explicit MqttProbe(int port, const std::string &username = "",
                     const std::string &password = "");
  // Disconnects and stops the network thread.
  ~MqttProbe();
  MqttProbe(const MqttProbe &) = delete;
  MqttProbe &operator=(const MqttProbe &) = delete;

  bool ok() const;
  // Subscribes (topic filters allowed, e.g. "#") and waits (at most 5 s) for
  // the SUBACK, so a publish that follows is seen.
  bool subscribe(const std::string &topic, int qos = 0);
  // Publishes and waits (at most 5 s) until the library has sent it
  // (QoS 0) or it is acknowledged (QoS 1/2).
  bool publish(const std::string &topic, const std::string &payload, int qos = 0,
               bool retain = false);

  // Every message received so far, oldest first.
  std::vector<ReceivedMessage> messages() const;
  // Messages received on exactly `topic`.
  std::vector<ReceivedMessage> messages(const std::string &topic) const;
  // True once at least `count` messages arrived on exactly `topic`; false
  // after `timeout`.
  bool wait_for(const std::string &topic, size_t count,
                std::chrono::milliseconds timeout) const;
  void clear();

 private:
  struct State;
  State *state_;
};

}  // namespace gwtest
