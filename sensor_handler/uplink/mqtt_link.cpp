#include "mqtt_link.h"

#include <cerrno>
#include <atomic>
#include <chrono>
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
#include "stop/stop_flags.h"
#include "status/broker_link.h"
#include "uplink/firmware_notice.h"

namespace sensor_handler {

namespace {

constexpr const char info_topic[] = "/Logs/Info";
constexpr int keep_alive_seconds = 5;
constexpr std::size_t packet_size = 500;
// A broker that breaks every session must not get a new client at once.
constexpr std::uint32_t loop_failure_pause_ms = 2000;
// A link that drops again and again (two gateways sharing a client ID take
// the session from each other at every connect) must not cost a birth
// packet, two commands and two flash writes every second: the pause before
// a reconnect doubles from 1 s up to a minute, and starts over only after a
// link that lasted longer than any pause (with room for the other side's
// connect, so such a pair never counts as lasting).
constexpr std::uint32_t reconnect_pause_first_ms = 1000;
constexpr std::uint32_t reconnect_pause_longest_ms = 60000;
constexpr std::uint32_t lasting_link_seconds = 90;
// A refusal (bad credentials, server unavailable) is not for ever: the
// broker is asked again after 30 s, then less and less often.
constexpr std::uint32_t refusal_pause_first_ms = 30000;
constexpr std::uint32_t refusal_pause_longest_ms = 900000;
// Time a stop gives the DISCONNECT to leave.
constexpr std::uint32_t leave_flush_ms = 1000;
// At QoS 1 and 2 the client library keeps every message until the broker
// acknowledges it, without bound, and sends it again over each reconnect
// of the same client. Two batches at most are on their way: the second
// keeps a slow uplink busy while the first one's acknowledgement comes
// back, and no more than two messages of at most 128 KiB wait in memory.
constexpr int max_batches_in_flight = 2;
// Batches on their way with no acknowledgement for this long (two batches
// of 128 KiB take it at about 2 KB/s, slower than the 5 s keep-alive lets a
// link carry one) belong to a link that will not carry them: the client is
// given up, and its queue with it.
constexpr std::uint32_t batch_stall_seconds = 120;

// A pause that doubles at every use up to its longest.
class Backoff {
 public:
  constexpr Backoff(std::uint32_t first_ms, std::uint32_t longest_ms)
      : first_(first_ms), longest_(longest_ms), next_(first_ms) {}
  std::uint32_t take() {
    const std::uint32_t pause = next_;
    next_ = next_ > longest_ / 2 ? longest_ : next_ * 2;
    return pause;
  }
  void reset() { next_ = first_; }

 private:
  std::uint32_t first_;
  std::uint32_t longest_;
  std::uint32_t next_;
};

// What the broker made of the current connection, and the pauses of this
// service run. Touched on mqtt_thread only (the callbacks run there), so
// plain fields; a new run starts from scratch.
struct LinkState {
  bool answered = false;       // a CONNACK came for this connection
  bool refused = false;        // ... and it refused
  std::uint32_t up_since = 0;  // pacing clock when it was accepted; 0: never
  Backoff reconnect_pause{reconnect_pause_first_ms, reconnect_pause_longest_ms};
  Backoff refusal_pause{refusal_pause_first_ms, refusal_pause_longest_ms};

  // The pause after this connection (or attempt) ended; forgets it.
  std::uint32_t pause_after_end() {
    std::uint32_t pause;
    if (refused) {
      pause = refusal_pause.take();
    } else {
      if (up_since != 0 && gw::pacing_clock_seconds() - up_since >= lasting_link_seconds) {
        reconnect_pause.reset();
      }
      pause = reconnect_pause.take();
    }
    answered = false;
    refused = false;
    up_since = 0;
    return pause;
  }
};

LinkState link_state;

// The current client and its network loop, guarded by lock.
struct ClientState {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  struct mosquitto *client = nullptr;
  bool network_loop_running = false;
};

ClientState &client_state() {
  static ClientState state;
  return state;
}

// The batches handed to the current client at QoS 1 or 2 and not yet
// acknowledged (PUBACK, PUBCOMP), by message ID. A publish counts its batch
// (handing_over) before the library has the message, since the broker's
// answer may reach the callback on mqtt_thread before the ID is known;
// IDs acknowledged meanwhile are kept in early and matched afterwards.
// The birth, ping and failure packets are acknowledged too and match
// nothing. lock guards every field; it is taken last (inside the client
// lock and inside the library's callback) and never held across a call
// into the library.
struct BatchFlight {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  int mids[max_batches_in_flight] = {};  // 0: free (the library's IDs start at 1)
  bool handing_over = false;
  int early[4] = {};
  std::uint32_t progress = 0;  // pacing clock at the last hand-over or acknowledgement

  int count() const {
    int count = handing_over ? 1 : 0;
    for (int mid : mids) count += mid != 0 ? 1 : 0;
    return count;
  }
};

BatchFlight batch_flight;

class FlightHold {
 public:
  FlightHold() { pthread_mutex_lock(&batch_flight.lock); }
  ~FlightHold() { pthread_mutex_unlock(&batch_flight.lock); }
  FlightHold(const FlightHold &) = delete;
  FlightHold &operator=(const FlightHold &) = delete;
  BatchFlight *operator->() const { return &batch_flight; }
};

// A new or destroyed client has nothing on its way.
void reset_batch_flight() {
  FlightHold flight;
  for (int &mid : flight->mids) mid = 0;
  for (int &mid : flight->early) mid = 0;
  flight->handing_over = false;
}

void on_publish(struct mosquitto *, void *, int mid) {
  FlightHold flight;
  for (int &known : flight->mids) {
    if (known == mid) {
      known = 0;
      flight->progress = gw::pacing_clock_seconds();
      return;
    }
  }
  if (!flight->handing_over) return;
  for (int &early : flight->early) {
    if (early == 0) {
      early = mid;
      return;
    }
  }
}

// True when batches have waited too long for their acknowledgement.
bool batches_stalled() {
  if (service_config.mqtt_qos == 0) return false;
  FlightHold flight;
  return flight->count() > 0 && !flight->handing_over &&
         gw::pacing_clock_seconds() - flight->progress >= batch_stall_seconds;
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

// The client library reports why a TLS handshake failed (the check of the
// broker's certificate, an alert, a broker that speaks no TLS) only in its
// error log, sometimes in several lines for one failure. The first of them,
// the most specific, is printed with our prefix; the rest of the same
// failure (within a second: attempts are at least a second apart) is left
// out, so a lasting fault costs one line per attempt. A new client starts
// afresh, whatever the clock says. Only TLS clients get this callback, so a
// plain link prints exactly what it always did. Errors come from the network
// loop on mqtt_thread, where clients are made too: relaxed is enough.
constexpr std::int64_t never_ms = INT64_MIN / 2;
std::atomic<std::int64_t> tls_line_ms{never_ms};

void on_log(struct mosquitto *, void *, int level, const char *text) {
  if (level != MOSQ_LOG_ERR || text == nullptr) return;
  const std::int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count();
  if (now_ms - tls_line_ms.load(std::memory_order_relaxed) < 1000) return;
  tls_line_ms.store(now_ms, std::memory_order_relaxed);
  gw::gw_printf("ZENTIB_ERROR : MQTT TLS Connection Failed : %s\n\r", text);
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
  tls_line_ms.store(never_ms, std::memory_order_relaxed);
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
    // TLS asked of a client that cannot do it (a library built without it,
    // a file gone since the start): a setting this gateway cannot honour.
    // As a client failure it would rebuild the service every few seconds
    // for ever; as a configuration failure the parent waits for the
    // settings to change. The connect below gives up at once.
    notify_and_stop(StopReason::config_failure);
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
  mosquitto_publish_callback_set(client, on_publish);
  reset_batch_flight();
  return client;
}

// Destroys a client of mqtt_thread's own (a stopped connect, a failed
// network loop).
void give_up_client(struct mosquitto *client) {
  mqtt_connected.store(false);
  ClientHold state;
  // A connect that succeeded just as the stop came leaves cleanly.
  gw::leave_and_destroy(client);
  reset_batch_flight();
  if (state->client == client) state->client = nullptr;
}

// Makes client the one the publishers and the teardown reach (nullptr:
// none), with its network loop running or not.
void share_client(struct mosquitto *client) {
  ClientHold state;
  state->client = client;
  state->network_loop_running = client != nullptr;
}

// Errors after which the client library itself would give a client up
// rather than connect it again.
bool is_fatal(int result) {
  switch (result) {
    case MOSQ_ERR_NOMEM:
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_INVAL:
    case MOSQ_ERR_NOT_FOUND:
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_PAYLOAD_SIZE:
    case MOSQ_ERR_NOT_SUPPORTED:
    case MOSQ_ERR_AUTH:
    case MOSQ_ERR_ACL_DENIED:
    case MOSQ_ERR_UNKNOWN:
    case MOSQ_ERR_EAI:
    case MOSQ_ERR_PROXY:
      return true;
    case MOSQ_ERR_ERRNO:
      return errno == EPROTO;
    default:
      return false;
  }
}

// A stop leaves with a DISCONNECT, or the broker would publish the last
// will of a gateway that is only restarting. Once the CONNECT has left
// (nothing queued before the broker's answer) the broker may have taken
// the session; a handshake still under way has reached nobody.
void leave_cleanly(struct mosquitto *client) {
  if (mosquitto_socket(client) < 0) return;
  if (!link_state.answered && mosquitto_want_write(client)) return;
  mosquitto_disconnect(client);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(leave_flush_ms);
  while (mosquitto_socket(client) >= 0 && std::chrono::steady_clock::now() < until &&
         mosquitto_loop(client, gw::network_pass_ms / 4, 1) == MOSQ_ERR_SUCCESS) {
  }
}

enum class LoopEnd { stopped, failed };

// The network loop of a connected client, which from now on the publishers
// and the teardown reach. Passes of at most a second, so a stop is seen
// within one; a link that ends (lost, refused, never answered) is connected
// again after its pause, cut short by a stop. Returns how it ended.
LoopEnd run_network_loop(struct mosquitto *client) {
  // From here other threads publish and disconnect through the client. In
  // threaded mode they only queue packets and wake the loop, which alone
  // touches the broker socket; otherwise a publish could write to the socket
  // the loop is just closing and replacing (its number may by then belong to
  // another file), and the library's callbacks would run on their threads.
  mosquitto_threaded_set(client, true);
  share_client(client);
  LoopEnd end = LoopEnd::stopped;
  for (;;) {
    if (!service_running()) {
      leave_cleanly(client);
      break;
    }
    if (batches_stalled()) {
      gw::gw_printf("ZENTIB_ERROR : MQTT - Batches not acknowledged for %u s, new connection\n\r",
                    static_cast<unsigned>(batch_stall_seconds));
      if (mosquitto_socket(client) >= 0) on_disconnect(client, nullptr, MOSQ_ERR_KEEPALIVE);
      end = LoopEnd::failed;
      break;
    }
    if (mosquitto_socket(client) >= 0) {
      const int result = mosquitto_loop(client, gw::network_pass_ms, 1);
      if (is_fatal(result)) {
        end = LoopEnd::failed;
        break;
      }
      if (result == MOSQ_ERR_SUCCESS && mosquitto_socket(client) >= 0) continue;
      // A failed pass that left the socket open (the reconnect closes it)
      // ends the link all the same, and is told like any other end.
      if (mosquitto_socket(client) >= 0) on_disconnect(client, nullptr, result);
    }
    mqtt_connected.store(false);
    gw::link_outcome_known.store(true, std::memory_order_release);
    // A stop during the pause: the loop's first check ends it.
    if (gw::pacing_sleep(link_state.pause_after_end()) || !service_running()) continue;
    // Nobody else reaches the client while its reconnect (and name lookup)
    // runs: a stop may hand it to the lookup, which then destroys it. The
    // name is looked up again, so every address of the broker is tried.
    share_client(nullptr);
    const ServiceConfig &config = service_config;
    if (gw::start_connection(&client, config.broker_host, static_cast<int>(config.broker_port),
                             keep_alive_seconds, config.mqtt_tls != 0) == gw::connect_abandoned) {
      return end;
    }
    share_client(client);
  }
  ClientHold state;
  state->network_loop_running = false;
  return end;
}

}  // namespace

void *mqtt_thread(void *) {
  // Paired with the one clean-up run_service does after the joins.
  mosquitto_lib_init();
  link_state = LinkState{};
  const ServiceConfig &config = service_config;
  const std::uint32_t posting_rate = static_cast<std::uint32_t>(config.posting_rate);
  std::uint32_t deadline = gw::pacing_clock_seconds() + posting_rate;
  while (service_running()) {
    struct mosquitto *client = create_client(config);
    if (client == nullptr) break;
    if (gw::connect_with_retry(&client, config.broker_host, static_cast<int>(config.broker_port),
                               keep_alive_seconds, config.mqtt_tls != 0) != 0) {
      if (client != nullptr) give_up_client(client);
      gw::wait_next_period(&deadline, posting_rate, static_cast<int>(config.sensor_number));
      continue;
    }
    // A stop: the client stays for the teardown.
    if (run_network_loop(client) == LoopEnd::stopped) break;
    give_up_client(client);
    // A broker that takes every connection and then breaks the protocol
    // ends each one here: damped like any other end of a link, never
    // sooner than the fixed pause.
    const std::uint32_t pause = link_state.pause_after_end();
    gw::pacing_sleep(pause > loop_failure_pause_ms ? pause : loop_failure_pause_ms);
  }
  return nullptr;
}

void on_connect(struct mosquitto *client, void *, int result) {
  link_state.answered = true;
  gw::link_outcome_known.store(true, std::memory_order_release);
  if (result != 0) {
    // Told as a disconnect, and asked again after the refusal's pause.
    link_state.refused = true;
    mqtt_connected.store(false);
    mosquitto_disconnect(client);
    return;
  }
  link_state.up_since = gw::pacing_clock_seconds();
  link_state.refusal_pause.reset();
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
  // A connection the broker never answered (refused TCP, dropped
  // handshake, no CONNACK) was never up: nothing to tell.
  if (link_state.answered) {
    link_state.answered = false;
    gw::run_command_formatted("kill -SIGUSR1 %d >/dev/null 2>&1", static_cast<int>(status_pid));
    store_mqtt_status("0");
  }
  mqtt_connected.store(false);
}

void set_mqtt_client(struct mosquitto *client) {
  ClientHold state;
  if (client != nullptr) mosquitto_publish_callback_set(client, on_publish);
  reset_batch_flight();
  state->client = client;
}

int publish_to_broker(const char *topic, const char *payload) {
  ClientHold state;
  if (state->client == nullptr) return 1;
  return gw::publish_message(state->client, topic, payload,
                             static_cast<int>(service_config.mqtt_qos));
}

bool batch_slot_free() {
  if (service_config.mqtt_qos == 0) return true;
  FlightHold flight;
  return flight->count() < max_batches_in_flight;
}

int publish_batch(const char *topic, const char *payload) {
  const int qos = static_cast<int>(service_config.mqtt_qos);
  if (qos == 0) return publish_to_broker(topic, payload);
  ClientHold state;
  if (state->client == nullptr) return 1;
  {
    FlightHold flight;
    if (flight->count() == 0) flight->progress = gw::pacing_clock_seconds();
    flight->handing_over = true;
  }
  int mid = 0;
  const int result = gw::publish_message(state->client, topic, payload, qos, &mid);
  FlightHold flight;
  flight->handing_over = false;
  bool acknowledged = false;
  for (int &early : flight->early) {
    acknowledged = acknowledged || (early == mid && mid != 0);
    early = 0;
  }
  // A refused publish left nothing with the library.
  if (result != 0 || acknowledged) return result;
  for (int &known : flight->mids) {
    if (known == 0) {
      known = mid;
      break;
    }
  }
  return result;
}

void disconnect_mqtt_client() {
  ClientHold state;
  // Wakes the network loop at once; seeing the stop, it leaves by itself.
  if (state->network_loop_running) mosquitto_disconnect(state->client);
}

void destroy_mqtt_client() {
  ClientHold state;
  if (state->client != nullptr) mosquitto_destroy(state->client);
  reset_batch_flight();
  state->client = nullptr;
  state->network_loop_running = false;
}

}  // namespace sensor_handler
