#include "gw_mqtt.h"

#include <cstring>
#include <mosquitto.h>

#include "gw_command.h"
#include "gw_pacing.h"

namespace gw {

std::atomic<bool> link_outcome_known{false};

namespace {

bool stop_requested() {
  return connect_stop.load(std::memory_order_acquire) != 0 || pacing_cancelled.load() != 0;
}

// One attempt. The connect itself only starts the TCP handshake; the
// passes then write the CONNECT as soon as the socket is writable. A
// broker that drops the handshake leaves the CONNECT queued until the
// library's keep-alive check gives the socket up. MOSQ_ERR_SUCCESS also
// when a stop ended the wait.
int connect_once(struct mosquitto *client, const char *host, int port, int keep_alive) {
  int result = mosquitto_connect_async(client, host, port, keep_alive);
  mark_sockets_close_on_exec();
  while (result == MOSQ_ERR_SUCCESS && mosquitto_want_write(client) && !stop_requested()) {
    result = mosquitto_loop(client, network_pass_ms, 1);
    if (result == MOSQ_ERR_SUCCESS && mosquitto_socket(client) < 0) result = MOSQ_ERR_NO_CONN;
  }
  return result;
}

}  // namespace

int connect_with_retry(struct mosquitto *client, const char *host, int port, int keep_alive) {
  mark_connect_busy();
  while (!stop_requested()) {
    if (connect_once(client, host, port, keep_alive) == MOSQ_ERR_SUCCESS) break;
    link_outcome_known.store(true, std::memory_order_release);
    pacing_sleep(2000);
  }
  const bool stopped = stop_requested();
  mark_connect_idle();
  return stopped ? 1 : 0;
}

int publish_message(struct mosquitto *client, const char *topic, const char *payload, int qos) {
  if (connect_stop.load(std::memory_order_acquire) != 0) return 1;
  if (client == nullptr || topic == nullptr || payload == nullptr) return 1;
  const int result = mosquitto_publish(client, nullptr, topic, static_cast<int>(std::strlen(payload)),
                                       payload, qos, false);
  return result == MOSQ_ERR_SUCCESS ? 0 : 1;
}

void mark_sockets_close_on_exec() { mark_descriptors_close_on_exec(true); }

}  // namespace gw
