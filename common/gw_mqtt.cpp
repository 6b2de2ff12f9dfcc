#include "gw_mqtt.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mosquitto.h>
#include <new>
#include <pthread.h>

#include "gw_command.h"
#include "gw_output.h"
#include "gw_pacing.h"

namespace gw {

std::atomic<bool> link_outcome_known{false};

namespace {

bool stop_requested() {
  return connect_stop.load(std::memory_order_acquire) != 0 || pacing_cancelled.load() != 0;
}

// One connection start, shared by the thread that runs it and the one that
// waits for it; the second of them to be done with it deletes it.
struct ConnectStart {
  // running -> finished (by the start's thread, release, then a wake of the
  // pacing waits), or running -> abandoned (by the waiter, at a stop): a
  // compare-exchange decides which came first.
  enum : std::uint8_t { running = 0, finished = 1, abandoned = 2 };
  std::atomic<std::uint8_t> state{running};
  struct mosquitto *client = nullptr;
  bool reconnect = false;
  char host[256] = {};
  int port = 0;
  int keep_alive = 0;
  int result = MOSQ_ERR_UNKNOWN;  // written before finished, read after it
};

void *run_connection_start(void *argument) {
  auto *start = static_cast<ConnectStart *>(argument);
  const int result = start->reconnect ? mosquitto_reconnect_async(start->client)
                                      : mosquitto_connect_async(start->client, start->host,
                                                                start->port, start->keep_alive);
  mark_sockets_close_on_exec();
  start->result = result;
  std::uint8_t expected = ConnectStart::running;
  if (start->state.compare_exchange_strong(expected, ConnectStart::finished,
                                           std::memory_order_acq_rel)) {
    wake_pacing_waits();
    return nullptr;
  }
  // Nobody waits any more: the run that wanted this connection has ended.
  leave_and_destroy(start->client);
  delete start;
  return nullptr;
}

// One attempt. The connect itself only starts the TCP handshake; the
// passes then write the CONNECT as soon as the socket is writable. A
// broker that drops the handshake leaves the CONNECT queued until the
// library's keep-alive check gives the socket up. MOSQ_ERR_SUCCESS also
// when a stop ended the wait.
int connect_once(struct mosquitto **client, const char *host, int port, int keep_alive) {
  int result = start_connection(client, host, port, keep_alive);
  while (result == MOSQ_ERR_SUCCESS && mosquitto_want_write(*client) && !stop_requested()) {
    result = mosquitto_loop(*client, network_pass_ms, 1);
    if (result == MOSQ_ERR_SUCCESS && mosquitto_socket(*client) < 0) result = MOSQ_ERR_NO_CONN;
  }
  return result;
}

}  // namespace

int start_connection(struct mosquitto **client, const char *host, int port, int keep_alive) {
  auto *start = new (std::nothrow) ConnectStart;
  if (start == nullptr) return MOSQ_ERR_NOMEM;
  start->client = *client;
  start->reconnect = host == nullptr;
  if (host != nullptr) {
    // A host that does not fit is refused by the configuration already.
    std::snprintf(start->host, sizeof start->host, "%s", host);
    start->port = port;
    start->keep_alive = keep_alive;
  }
  pthread_t thread;
  if (pthread_create(&thread, nullptr, run_connection_start, start) != 0) {
    gw_printf("ZENTIB_ERROR : Cannot create thread for MQTT\n\r");
    delete start;
    return MOSQ_ERR_NOMEM;  // a failed attempt: tried again after its pause
  }
  if (!wait_for_connect_step(start->state)) {
    std::uint8_t expected = ConnectStart::running;
    if (start->state.compare_exchange_strong(expected, ConnectStart::abandoned,
                                             std::memory_order_acq_rel)) {
      pthread_detach(thread);
      *client = nullptr;
      return connect_abandoned;
    }
  }
  // Finished: the thread is about to return, and the client is ours again.
  pthread_join(thread, nullptr);
  const int result = start->result;
  delete start;
  return result;
}

void leave_and_destroy(struct mosquitto *client) {
  if (client == nullptr) return;
  if (mosquitto_socket(client) >= 0) {
    // No loop runs to send it: written at once from here.
    mosquitto_threaded_set(client, false);
    mosquitto_disconnect_callback_set(client, nullptr);
    mosquitto_disconnect(client);
  }
  mosquitto_destroy(client);
}

int connect_with_retry(struct mosquitto **client, const char *host, int port, int keep_alive) {
  mark_connect_busy();
  while (!stop_requested()) {
    const int result = connect_once(client, host, port, keep_alive);
    if (result == MOSQ_ERR_SUCCESS || result == connect_abandoned) break;
    link_outcome_known.store(true, std::memory_order_release);
    pacing_sleep(2000);
  }
  const bool stopped = stop_requested() || *client == nullptr;
  mark_connect_idle();
  return stopped ? 1 : 0;
}

int publish_message(struct mosquitto *client, const char *topic, const char *payload, int qos,
                    int *mid) {
  if (connect_stop.load(std::memory_order_acquire) != 0) return 1;
  if (client == nullptr || topic == nullptr || payload == nullptr) return 1;
  const int result = mosquitto_publish(client, mid, topic, static_cast<int>(std::strlen(payload)),
                                       payload, qos, false);
  return result == MOSQ_ERR_SUCCESS ? 0 : 1;
}

void mark_sockets_close_on_exec() { mark_descriptors_close_on_exec(true); }

}  // namespace gw
