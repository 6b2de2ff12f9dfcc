#include "broker.h"

#include "process.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <json-c/json.h>
#include <mosquitto.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <set>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace gwtest {

namespace {

constexpr const char *mosquitto_program = "/usr/sbin/mosquitto";
constexpr const char *mosquitto_passwd_program = "/usr/bin/mosquitto_passwd";

struct sockaddr_in loopback(int port) {
  struct sockaddr_in address {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A port nobody listens on now: the kernel's pick for port 0.
int free_port() {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return 0;
  struct sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  if (::bind(fd.get(), reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<struct sockaddr *>(&address), &length) != 0)
    return 0;
  return ntohs(address.sin_port);
}

bool port_accepts(int port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return false;
  struct sockaddr_in address = loopback(port);
  return ::connect(fd.get(), reinterpret_cast<struct sockaddr *>(&address), sizeof address) == 0;
}

void init_library() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

}  // namespace

// --- Broker ------------------------------------------------------------------

Broker::Broker() : dir_(make_state_subdir("broker")) {}

Broker::Broker(const std::string &username, const std::string &password)
    : dir_(make_state_subdir("broker")), username_(username), password_(password),
      credentials_(true) {}

Broker::~Broker() { stop(); }

bool Broker::write_config() {
  std::string config;
  config += "listener " + std::to_string(port_) + " " + host_ + "\n";
  if (credentials_) {
    config += "allow_anonymous false\n";
    config += "password_file " + dir_ + "/passwords\n";
  } else {
    config += "allow_anonymous true\n";
  }
  if (!tls_.certificate.empty()) {
    config += "listener " + std::to_string(tls_port_) + " " + host_ + "\n";
    config += "cafile " + tls_.ca + "\ncertfile " + tls_.certificate + "\nkeyfile " + tls_.key + "\n";
    if (tls_.require_certificate) config += "require_certificate true\n";
  }
  config += "persistence false\n";
  config += "log_dest file " + dir_ + "/mosquitto.log\n";
  config += "log_type error\nlog_type warning\nlog_type notice\nlog_type information\n";
  config += "connection_messages true\n";
  // As root the broker would otherwise drop to its own user, which may not
  // read the test's files.
  if (::geteuid() == 0) config += "user root\n";
  return write_file(dir_ + "/mosquitto.conf", config);
}

bool Broker::start() {
  if (running()) return true;
  if (dir_.empty()) {
    std::fprintf(stderr, "Broker: no state folder\n");
    return false;
  }
  if (port_ == 0) port_ = free_port();
  if (!tls_.certificate.empty() && tls_port_ == 0) tls_port_ = free_port();
  if (port_ == 0 || !write_config()) {
    std::fprintf(stderr, "Broker: cannot choose a port or write the config\n");
    return false;
  }
  if (credentials_ && !file_exists(dir_ + "/passwords")) {
    std::string error;
    std::vector<std::string> argv = {mosquitto_passwd_program, "-c", "-b", dir_ + "/passwords",
                                     username_, password_};
    pid_t pid = spawn_process(argv[0], argv, -1, -1, &error);
    std::optional<int> status;
    if (pid > 0) {
      status = wait_child(pid, std::chrono::seconds(10));
      if (!status) end_child(pid, SIGKILL, std::chrono::seconds(5));
    }
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
      std::fprintf(stderr, "Broker: mosquitto_passwd failed %s\n", error.c_str());
      return false;
    }
  }

  UniqueFd out(::open((dir_ + "/mosquitto.out").c_str(),
                      O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  std::string error;
  std::vector<std::string> argv = {mosquitto_program, "-c", dir_ + "/mosquitto.conf"};
  pid_t pid = spawn_process(argv[0], argv, out.get(), out.get(), &error);
  if (pid < 0) {
    std::fprintf(stderr, "Broker: %s\n", error.c_str());
    return false;
  }
  register_child(pid);
  pid_ = pid;

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!port_accepts(port_)) {
    if (wait_child(pid_, std::chrono::milliseconds(0))) {
      unregister_child(pid_);
      pid_ = -1;
      std::fprintf(stderr, "Broker: mosquitto ended at start:\n%s%s\n",
                   read_file(dir_ + "/mosquitto.out").c_str(), log_text().c_str());
      return false;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      std::fprintf(stderr, "Broker: port %d does not accept after 5 s\n", port_);
      kill();
      return false;
    }
    pause_for(std::chrono::milliseconds(10));
  }
  return true;
}

void Broker::stop() {
  if (!running()) return;
  end_child(pid_, SIGTERM, std::chrono::seconds(5));
  unregister_child(pid_);
  pid_ = -1;
}

void Broker::kill() {
  if (!running()) return;
  end_child(pid_, SIGKILL, std::chrono::seconds(5));
  unregister_child(pid_);
  pid_ = -1;
}

bool Broker::restart() {
  stop();
  return start();
}

std::string make_test_certificates() {
  const std::string dir = make_state_subdir("pki");
  if (dir.empty()) return "";
  const std::string openssl = "openssl";
  // EC keys: generated in milliseconds, even under the sanitizers.
  const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30";
  auto authority = [&](const std::string &name) {
    return openssl + " req -x509" + key + " -subj /CN=" + name + " -keyout " + dir + "/" + name +
           ".key -out " + dir + "/" + name + ".pem";
  };
  auto signed_by_ca = [&](const std::string &name, const std::string &alt_name) {
    const std::string base = dir + "/" + name;
    std::string text = openssl + " req" + key + " -subj /CN=" + name + " -keyout " + base +
                       ".key -out " + base + ".csr";
    if (!alt_name.empty()) text += " -addext subjectAltName=" + alt_name;
    return text + " && " + openssl + " x509 -req -days 30 -copy_extensions copyall -in " + base +
           ".csr -CA " + dir + "/ca.pem -CAkey " + dir + "/ca.key -CAcreateserial -out " + base +
           ".pem";
  };
  const std::string script = authority("ca") + " && " + authority("rogue-ca") + " && " +
                             signed_by_ca("broker", "IP:127.0.0.1") + " && " +
                             signed_by_ca("other-name", "DNS:broker.example") + " && " +
                             signed_by_ca("client", "");
  ShellResult result = run_shell(script + " >/dev/null 2>&1", std::chrono::seconds(30));
  if (result.status != 0) {
    std::fprintf(stderr, "make_test_certificates: openssl failed\n");
    return "";
  }
  return dir;
}

void Broker::set_password(const std::string &password) {
  password_ = password;
  ::unlink((dir_ + "/passwords").c_str());  // start() makes it anew
}

std::string Broker::log_text() const { return read_file(dir_ + "/mosquitto.log"); }

// --- MqttProbe -----------------------------------------------------------------

namespace {

// What the tests publish themselves (firmware notices, some malformed on
// purpose); every other message a probe sees is one the gateway sent.
std::mutex published_lock;
std::set<std::string> published_by_tests;

// Every packet of the gateway is one JSON value and nothing else, in valid
// UTF-8. json-c lets control characters through inside strings: the
// gateway's packets carry none anywhere (not even as whitespace).
bool is_gateway_json(const std::string &payload) {
  for (char c : payload) {
    if (static_cast<unsigned char>(c) < 0x20) return false;
  }
  json_tokener *tokener = json_tokener_new();
  if (tokener == nullptr) return false;
  json_tokener_set_flags(tokener, JSON_TOKENER_STRICT | JSON_TOKENER_VALIDATE_UTF8);
  json_object *value =
      json_tokener_parse_ex(tokener, payload.data(), static_cast<int>(payload.size()));
  const bool whole = value != nullptr && json_tokener_get_error(tokener) == json_tokener_success &&
                     json_tokener_get_parse_end(tokener) == payload.size();
  json_object_put(value);
  json_tokener_free(tokener);
  return whole;
}

}  // namespace

// Shared between the test thread and the library's network thread; every
// member below `lock` is guarded by it.
struct MqttProbe::State {
  struct mosquitto *client = nullptr;
  bool loop_started = false;

  std::mutex lock;
  std::condition_variable changed;
  int connack = -1;              // CONNACK code of the latest connection
  std::set<int> acknowledged;    // mids of finished subscribes and publishes
  std::vector<std::pair<std::string, int>> subscriptions;  // renewed on reconnect
  std::vector<ReceivedMessage> messages;

  template <typename Predicate>
  bool wait(Predicate done, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, timeout, done);
  }

  static void on_connect(struct mosquitto *client, void *data, int rc) {
    auto *self = static_cast<State *>(data);
    std::vector<std::pair<std::string, int>> topics;
    {
      std::lock_guard<std::mutex> hold(self->lock);
      self->connack = rc;
      topics = self->subscriptions;
      self->changed.notify_all();
    }
    // A clean session forgets subscriptions: renew them after a reconnect.
    if (rc == 0)
      for (const auto &[topic, qos] : topics)
        mosquitto_subscribe(client, nullptr, topic.c_str(), qos);
  }

  static void on_done(struct mosquitto *, void *data, int mid) {
    auto *self = static_cast<State *>(data);
    std::lock_guard<std::mutex> hold(self->lock);
    self->acknowledged.insert(mid);
    self->changed.notify_all();
  }

  static void on_subscribe(struct mosquitto *client, void *data, int mid, int, const int *) {
    on_done(client, data, mid);
  }

  static void on_message(struct mosquitto *, void *data, const struct mosquitto_message *message) {
    auto *self = static_cast<State *>(data);
    ReceivedMessage received;
    received.time = std::chrono::steady_clock::now();
    received.topic = message->topic ? message->topic : "";
    if (message->payload && message->payloadlen > 0)
      received.payload.assign(static_cast<const char *>(message->payload),
                              static_cast<size_t>(message->payloadlen));
    received.retain = message->retain;
    received.qos = message->qos;
    {
      std::lock_guard<std::mutex> hold(published_lock);
      if (published_by_tests.count(received.payload) == 0 && !is_gateway_json(received.payload)) {
        ADD_FAILURE() << "not one JSON value on " << received.topic << ": " << received.payload;
      }
    }
    std::lock_guard<std::mutex> hold(self->lock);
    self->messages.push_back(std::move(received));
    self->changed.notify_all();
  }
};

MqttProbe::MqttProbe(int port, const std::string &username, const std::string &password)
    : state_(new State) {
  init_library();
  static std::atomic<unsigned> serial{0};  // relaxed: only makes ids unique
  std::string id = "gwtest-probe-" + std::to_string(::getpid()) + "-" +
                   std::to_string(serial.fetch_add(1, std::memory_order_relaxed));
  state_->client = mosquitto_new(id.c_str(), true, state_);
  if (!state_->client) return;
  mosquitto_connect_callback_set(state_->client, &State::on_connect);
  mosquitto_subscribe_callback_set(state_->client, &State::on_subscribe);
  mosquitto_publish_callback_set(state_->client, &State::on_done);
  mosquitto_message_callback_set(state_->client, &State::on_message);
  if (!username.empty())
    mosquitto_username_pw_set(state_->client, username.c_str(), password.c_str());
  mosquitto_reconnect_delay_set(state_->client, 1, 1, false);
  if (mosquitto_connect(state_->client, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) return;
  if (mosquitto_loop_start(state_->client) != MOSQ_ERR_SUCCESS) return;
  state_->loop_started = true;
  state_->wait([this] { return state_->connack >= 0; }, std::chrono::seconds(5));
}

MqttProbe::~MqttProbe() {
  if (state_->client) {
    mosquitto_disconnect(state_->client);
    if (state_->loop_started) mosquitto_loop_stop(state_->client, false);
    mosquitto_destroy(state_->client);
  }
  delete state_;
}

bool MqttProbe::ok() const {
  std::lock_guard<std::mutex> hold(state_->lock);
  return state_->loop_started && state_->connack == 0;
}

bool MqttProbe::subscribe(const std::string &topic, int qos) {
  if (!state_->loop_started) return false;
  {
    std::lock_guard<std::mutex> hold(state_->lock);
    state_->subscriptions.emplace_back(topic, qos);
  }
  int mid = 0;
  if (mosquitto_subscribe(state_->client, &mid, topic.c_str(), qos) != MOSQ_ERR_SUCCESS)
    return false;
  return state_->wait([&] { return state_->acknowledged.count(mid) > 0; },
                      std::chrono::seconds(5));
}

bool MqttProbe::publish(const std::string &topic, const std::string &payload, int qos,
                        bool retain) {
  if (!state_->loop_started) return false;
  {
    std::lock_guard<std::mutex> hold(published_lock);
    published_by_tests.insert(payload);
  }
  int mid = 0;
  if (mosquitto_publish(state_->client, &mid, topic.c_str(), static_cast<int>(payload.size()),
                        payload.data(), qos, retain) != MOSQ_ERR_SUCCESS)
    return false;
  return state_->wait([&] { return state_->acknowledged.count(mid) > 0; },
                      std::chrono::seconds(5));
}

std::vector<ReceivedMessage> MqttProbe::messages() const {
  std::lock_guard<std::mutex> hold(state_->lock);
  return state_->messages;
}

std::vector<ReceivedMessage> MqttProbe::messages(const std::string &topic) const {
  std::vector<ReceivedMessage> result;
  std::lock_guard<std::mutex> hold(state_->lock);
  for (const ReceivedMessage &message : state_->messages)
    if (message.topic == topic) result.push_back(message);
  return result;
}

bool MqttProbe::wait_for(const std::string &topic, size_t count,
                         std::chrono::milliseconds timeout) const {
  return state_->wait(
      [&] {
        size_t n = 0;
        for (const ReceivedMessage &message : state_->messages)
          if (message.topic == topic) ++n;
        return n >= count;
      },
      timeout);
}

void MqttProbe::clear() {
  std::lock_guard<std::mutex> hold(state_->lock);
  state_->messages.clear();
}

}  // namespace gwtest
