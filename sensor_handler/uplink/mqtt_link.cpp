#include "mqtt_link.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mosquitto.h>
#include <pthread.h>
#include <sys/stat.h>

#include "config/configuration.h"
#include "config/identity.h"
#include "gw_command.h"
#include "gw_mqtt.h"
#include "gw_output.h"
#include "gw_pacing.h"
#include "gw_uci.h"
#include "lifecycle/service.h"
#include "lifecycle/stop_flags.h"
#include "uplink/firmware_notice.h"

namespace sensor_handler {

std::atomic<bool> mqtt_connected{false};

namespace {

constexpr const char info_topic[] = "/Logs/Info";
constexpr const char notice_topic[] = "/Logs/Ver";
constexpr int keep_alive_seconds = 5;
constexpr std::size_t packet_size = 500;
// A broker that breaks every session must not get a new client at once.
constexpr std::uint32_t loop_failure_pause_ms = 2000;
// The library retries a lost connection once a second; a teardown
// disconnect repeated four times a second lands in its pause.
constexpr long disconnect_repeat_ns = 250000000L;

// The current client and its network loop, guarded by lock.
struct ClientState {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t loop_ended;  // broadcast when network_loop_running falls
  struct mosquitto *client = nullptr;
  bool network_loop_running = false;

  ClientState() {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&loop_ended, &attributes);
    pthread_condattr_destroy(&attributes);
  }
};

ClientState &client_state() {
  static ClientState state;
  return state;
}

class ClientHold {
 public:
  ClientHold() : state_(client_state()) { pthread_mutex_lock(&state_.lock); }
  ~ClientHold() { pthread_mutex_unlock(&state_.lock); }
  ClientHold(const ClientHold &) = delete;
  ClientHold &operator=(const ClientHold &) = delete;
  ClientState *operator->() const { return &state_; }

 private:
  ClientState &state_;
};

void format_log_time(char *text, std::size_t size) {
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  if (strftime(text, size, "%Y-%m-%d %H:%M:%S", &local) == 0) text[0] = '\0';
}

// The last-will and birth packets differ only in their tag.
void format_log_packet(char (&packet)[packet_size], const char *tag, const char *log_time) {
  std::snprintf(packet, sizeof packet,
                "{\"Tag\":\"%s\",\"LogDateTime\":\"%s\",\"Application\":\"Hardware.TobixE2\","
                "\"SourceID\":\"%s\",\"Message\":{\"IP\":\"%s\",\"FW\":\"%s\",\"HW\":\"%s\"}}",
                tag, log_time, service_config.client_id, device_ip, firmware_version,
                hardware_version);
}

void store_mqtt_status(const char *value) {
  if (gw::gw_uci_set_value("tobixlite_config", "@mqtt[0]", "mqtt_status", value) != 0) {
    gw::gw_printf("ZENTIB_ERROR : Cannot Set Value of MQTT Status\n\r");
  }
}

// The library's own account of the latest error (for TLS, the check of the
// broker's certificate that failed), kept for the failure line. Its log
// callback may run on any thread that calls into the client.
struct LibraryError {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  char text[256] = {};
};

LibraryError &library_error() {
  static LibraryError error;
  return error;
}

void on_log(struct mosquitto *, void *, int level, const char *text) {
  if (level != MOSQ_LOG_ERR || text == nullptr) return;
  LibraryError &error = library_error();
  pthread_mutex_lock(&error.lock);
  std::snprintf(error.text, sizeof error.text, "%s", text);
  pthread_mutex_unlock(&error.lock);
}

// Verification of the broker's chain and name is the library's default and
// stays on: no setting turns it off, and nothing falls back to plain TCP.
bool configure_tls(struct mosquitto *client, const ServiceConfig &config) {
  struct stat status {};
  const bool folder = ::stat(config.tls_ca, &status) == 0 && S_ISDIR(status.st_mode);
  const char *certificate = config.tls_certificate[0] != '\0' ? config.tls_certificate : nullptr;
  const char *key = config.tls_key[0] != '\0' ? config.tls_key : nullptr;
  int result = mosquitto_tls_set(client, folder ? nullptr : config.tls_ca,
                                 folder ? config.tls_ca : nullptr, certificate, key, nullptr);
  if (result == MOSQ_ERR_SUCCESS) {
    result = mosquitto_tls_opts_set(client, 1 /* verify the peer */, "tlsv1.2", nullptr);
  }
  if (result == MOSQ_ERR_SUCCESS) result = mosquitto_tls_insecure_set(client, false);
  if (result != MOSQ_ERR_SUCCESS) {
    gw::gw_printf("ZENTIB_ERROR : Cannot Set MQTT TLS : %s\n\r", mosquitto_strerror(result));
    return false;
  }
  mosquitto_log_callback_set(client, on_log);
  return true;
}

// A client with its credentials, last will and callbacks, or nullptr after
// the stop that its failure calls for.
struct mosquitto *create_client(const ServiceConfig &config) {
  char will_time[80];
  format_log_time(will_time, sizeof will_time);
  struct mosquitto *client = mosquitto_new(config.client_id, true, nullptr);
  gw::mark_sockets_close_on_exec();
  if (client == nullptr) {
    gw::gw_printf("ZENTIB_ERROR : Cannot Create MQTT Client\n\r");
    notify_and_stop(StopReason::client_failure);
    return nullptr;
  }
  if (config.mqtt_username[0] != '\0') {
    mosquitto_username_pw_set(client, config.mqtt_username, config.mqtt_password);
  }
  if (config.mqtt_tls != 0 && !configure_tls(client, config)) {
    // Like a will that cannot be set: the connect below gives up at once.
    notify_and_stop(StopReason::client_failure);
  }
  char will[packet_size] = {};
  format_log_packet(will, "LastWillPacket", will_time);
  if (mosquitto_will_set(client, info_topic, static_cast<int>(std::strlen(will)), will,
                         static_cast<int>(config.mqtt_qos), false) != MOSQ_ERR_SUCCESS) {
    gw::gw_printf("ZENTIB_ERROR : Cannot Create Last Will Message\n\r");
    // Sets connect_stop, so the connect below gives up at once.
    notify_and_stop(StopReason::client_failure);
  }
  mosquitto_connect_callback_set(client, on_connect);
  mosquitto_disconnect_callback_set(client, on_disconnect);
  mosquitto_message_callback_set(client, on_message);
  return client;
}

// Destroys a client of mqtt_thread's own (a stopped connect, a failed
// network loop).
void give_up_client(struct mosquitto *client) {
  mqtt_connected.store(false);
  ClientHold state;
  // A connect that succeeded just as the stop came: leave cleanly, or the
  // broker would publish the last will of a gateway that is only
  // restarting.
  if (mosquitto_socket(client) >= 0) {
    // No loop runs to send it: written at once from here.
    mosquitto_threaded_set(client, false);
    mosquitto_disconnect_callback_set(client, nullptr);
    mosquitto_disconnect(client);
  }
  mosquitto_destroy(client);
  if (state->client == client) state->client = nullptr;
}

// Runs the library's network loop on a connected client, which from now on
// the publishers and the teardown reach. Returns the loop's result.
int run_network_loop(struct mosquitto *client) {
  // From here other threads publish and disconnect through the client. In
  // threaded mode they only queue packets and wake the loop, which alone
  // touches the broker socket; otherwise a publish could write to the socket
  // the loop is just closing and replacing (its number may by then belong to
  // another file), and the library's callbacks would run on their threads.
  mosquitto_threaded_set(client, true);
  {
    ClientHold state;
    state->client = client;
    state->network_loop_running = true;
    // A stop that came while connecting found no loop to disconnect.
    if (!service_running()) mosquitto_disconnect(client);
  }
  const int result = mosquitto_loop_forever(client, -1, 1);
  ClientHold state;
  state->network_loop_running = false;
  pthread_cond_broadcast(&state->loop_ended);
  return result;
}

}  // namespace

void *mqtt_thread(void *) {
  // Paired with the one clean-up run_service does after the joins.
  mosquitto_lib_init();
  const ServiceConfig &config = service_config;
  const std::uint32_t posting_rate = static_cast<std::uint32_t>(config.posting_rate);
  std::uint32_t deadline = gw::pacing_clock_seconds() + posting_rate;
  while (service_running()) {
    struct mosquitto *client = create_client(config);
    if (client == nullptr) break;
    if (gw::connect_with_retry(client, config.broker_host, static_cast<int>(config.broker_port),
                               keep_alive_seconds) != 0) {
      give_up_client(client);
      gw::wait_next_period(&deadline, posting_rate, static_cast<int>(config.sensor_number));
      continue;
    }
    // 0: a disconnect we asked for (refusal, failed birth, stop); the
    // client stays for the teardown.
    if (run_network_loop(client) == MOSQ_ERR_SUCCESS) break;
    give_up_client(client);
    gw::pacing_sleep(loop_failure_pause_ms);
  }
  return nullptr;
}

void on_connect(struct mosquitto *client, void *, int result) {
  // The library's own reconnect opened a new broker socket.
  gw::mark_sockets_close_on_exec();
  if (result != 0) {
    mqtt_connected.store(false);
    mosquitto_disconnect(client);
    return;
  }
  // A link that comes up while the run ends is not announced.
  if (!service_running()) {
    mqtt_connected.store(false);
    mosquitto_disconnect(client);
    return;
  }
  char log_time[80];
  format_log_time(log_time, sizeof log_time);
  char birth[packet_size] = {};
  format_log_packet(birth, "BirthPacket", log_time);
  if (mosquitto_subscribe(client, nullptr, notice_topic, 0) != MOSQ_ERR_SUCCESS ||
      gw::publish_message(client, info_topic, birth, static_cast<int>(service_config.mqtt_qos)) != 0) {
    mqtt_connected.store(false);
    mosquitto_disconnect(client);
    notify_and_stop(StopReason::signal);
    return;
  }
  gw::run_command_formatted("kill -SIGUSR2 %d >/dev/null 2>&1", static_cast<int>(status_pid));
  store_mqtt_status("1");
  mqtt_connected.store(true);
}

void on_disconnect(struct mosquitto *, void *, int) {
  gw::run_command_formatted("kill -SIGUSR1 %d >/dev/null 2>&1", static_cast<int>(status_pid));
  store_mqtt_status("0");
  mqtt_connected.store(false);
}

void report_connect_failure(int result) {
  if (service_config.mqtt_tls == 0) return;
  LibraryError &error = library_error();
  pthread_mutex_lock(&error.lock);
  char reason[sizeof error.text];
  std::snprintf(reason, sizeof reason, "%s",
                error.text[0] != '\0' ? error.text : mosquitto_strerror(result));
  error.text[0] = '\0';
  pthread_mutex_unlock(&error.lock);
  gw::gw_printf("ZENTIB_ERROR : MQTT TLS Connection Failed : %s\n\r", reason);
}

void set_mqtt_client(struct mosquitto *client) {
  ClientHold state;
  state->client = client;
}

int publish_to_broker(const char *topic, const char *payload) {
  ClientHold state;
  if (state->client == nullptr) return 1;
  return gw::publish_message(state->client, topic, payload,
                             static_cast<int>(service_config.mqtt_qos));
}

void disconnect_mqtt_client() {
  ClientHold state;
  while (state->network_loop_running) {
    mosquitto_disconnect(state->client);
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_nsec += disconnect_repeat_ns;
    if (until.tv_nsec >= 1000000000L) {
      until.tv_sec += 1;
      until.tv_nsec -= 1000000000L;
    }
    while (state->network_loop_running &&
           pthread_cond_timedwait(&state->loop_ended, &state->lock, &until) != ETIMEDOUT) {
    }
  }
}

void destroy_mqtt_client() {
  ClientHold state;
  if (state->client != nullptr) mosquitto_destroy(state->client);
  state->client = nullptr;
  state->network_loop_running = false;
}

}  // namespace sensor_handler
