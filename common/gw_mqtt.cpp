#include "gw_mqtt.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mosquitto.h>
#include <netdb.h>
#include <netinet/in.h>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include "gw_command.h"
#include "gw_output.h"
#include "gw_pacing.h"

namespace gw {

std::atomic<bool> link_outcome_known{false};

namespace {

// How long a probe waits for an address that neither answers nor refuses
// before the next address is tried, and the slices in which it watches for
// an abandoned start.
constexpr int probe_wait_ms = 3000;
constexpr int probe_slice_ms = 250;

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
  char host[256] = {};
  int port = 0;
  int keep_alive = 0;
  bool tls = false;
  int result = MOSQ_ERR_UNKNOWN;  // written before finished, read after it

  bool abandoned_by_waiter() const { return state.load(std::memory_order_acquire) == abandoned; }
};

// The broker address that last answered a probe: the next connect tries it
// first, so a dead address ahead of it in the resolver's order costs one
// probe wait only once. Starts of two runs may overlap (one left behind by
// a stop): lock guards the address.
struct AnsweredAddress {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  sockaddr_storage address{};
  socklen_t size = 0;
};

AnsweredAddress answered_address;

bool is_answered_address(const addrinfo &candidate) {
  pthread_mutex_lock(&answered_address.lock);
  const bool same =
      candidate.ai_addrlen == answered_address.size &&
      std::memcmp(candidate.ai_addr, &answered_address.address, candidate.ai_addrlen) == 0;
  pthread_mutex_unlock(&answered_address.lock);
  return same;
}

void remember_answered_address(const addrinfo &candidate) {
  if (candidate.ai_addrlen > sizeof answered_address.address) return;
  pthread_mutex_lock(&answered_address.lock);
  std::memcpy(&answered_address.address, candidate.ai_addr, candidate.ai_addrlen);
  answered_address.size = candidate.ai_addrlen;
  pthread_mutex_unlock(&answered_address.lock);
}

// Sets the broker's port into every address of a lookup.
void set_port(addrinfo *addresses, int port) {
  for (addrinfo *at = addresses; at != nullptr; at = at->ai_next) {
    if (at->ai_family == AF_INET) {
      reinterpret_cast<sockaddr_in *>(at->ai_addr)->sin_port = htons(static_cast<uint16_t>(port));
    } else if (at->ai_family == AF_INET6) {
      reinterpret_cast<sockaddr_in6 *>(at->ai_addr)->sin6_port = htons(static_cast<uint16_t>(port));
    }
  }
}

// Whether a TCP handshake with address completes. A refusal says no at
// once; silence (a dropped SYN, a dead host) says no after probe_wait_ms,
// or as soon as the start is abandoned.
bool answers(const addrinfo &address, const ConnectStart &start) {
  const int probe = socket(address.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  bool connected = connect(probe, address.ai_addr, address.ai_addrlen) == 0;
  if (!connected && errno == EINPROGRESS) {
    for (int waited_ms = 0; waited_ms < probe_wait_ms && !start.abandoned_by_waiter();
         waited_ms += probe_slice_ms) {
      pollfd writable{probe, POLLOUT, 0};
      if (poll(&writable, 1, probe_slice_ms) != 1) continue;
      int error = 0;
      socklen_t size = sizeof error;
      connected = getsockopt(probe, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
      break;
    }
  }
  close(probe);
  return connected;
}

// The address of a lookup to hand the client library: the only one, else
// the first that answers a probe, starting with the one that answered
// last. nullptr when none answers.
const addrinfo *choose_address(const addrinfo *addresses, const ConnectStart &start) {
  if (addresses->ai_next == nullptr) return addresses;
  const addrinfo *first = addresses;
  for (const addrinfo *at = addresses; at != nullptr; at = at->ai_next) {
    if (is_answered_address(*at)) first = at;
  }
  const addrinfo *at = first;
  do {
    if (start.abandoned_by_waiter()) return nullptr;
    if ((at->ai_family == AF_INET || at->ai_family == AF_INET6) && answers(*at, start)) {
      remember_answered_address(*at);
      return at;
    }
    at = at->ai_next != nullptr ? at->ai_next : addresses;
  } while (at != first);
  return nullptr;
}

// The lookup, the choice of an address and the library's non-blocking
// connect to it. A plain link gets the address itself, so the library's
// own lookup cannot put a dead address first again. A TLS broker's
// certificate is checked against the host text given to the library, so
// there the name goes to the library, bound to the family of the address
// that answered: the library then skips the other family's addresses. It
// still takes the first address of that family in its own lookup.
int connect_to_answering_address(ConnectStart &start) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *addresses = nullptr;
  const int lookup = getaddrinfo(start.host, nullptr, &hints, &addresses);
  if (lookup != 0) {
    errno = lookup;
    return MOSQ_ERR_EAI;
  }
  set_port(addresses, start.port);
  // A start left behind connects nothing: the run that wanted it has ended,
  // and the library's TLS set-up would touch state a teardown cleans up.
  const addrinfo *chosen = start.abandoned_by_waiter() ? nullptr : choose_address(addresses, start);
  char numeric[INET6_ADDRSTRLEN + 16] = {};  // with room for a scope (%interface)
  int result = MOSQ_ERR_ERRNO;
  if (chosen == nullptr) errno = ECONNREFUSED;
  if (chosen != nullptr && start.tls) {
    result = mosquitto_connect_bind_async(start.client, start.host, start.port, start.keep_alive,
                                          chosen->ai_family == AF_INET6 ? "::" : "0.0.0.0");
  } else if (chosen != nullptr && getnameinfo(chosen->ai_addr, chosen->ai_addrlen, numeric,
                                              sizeof numeric, nullptr, 0, NI_NUMERICHOST) == 0) {
    result = mosquitto_connect_async(start.client, numeric, start.port, start.keep_alive);
  }
  freeaddrinfo(addresses);
  return result;
}

void *run_connection_start(void *argument) {
  auto *start = static_cast<ConnectStart *>(argument);
  const int result = connect_to_answering_address(*start);
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
int connect_once(struct mosquitto **client, const char *host, int port, int keep_alive,
                 bool tls) {
  int result = start_connection(client, host, port, keep_alive, tls);
  while (result == MOSQ_ERR_SUCCESS && mosquitto_want_write(*client) && !stop_requested()) {
    result = mosquitto_loop(*client, network_pass_ms, 1);
    if (result == MOSQ_ERR_SUCCESS && mosquitto_socket(*client) < 0) result = MOSQ_ERR_NO_CONN;
  }
  return result;
}

}  // namespace

int start_connection(struct mosquitto **client, const char *host, int port, int keep_alive,
                     bool tls) {
  auto *start = new (std::nothrow) ConnectStart;
  if (start == nullptr) return MOSQ_ERR_NOMEM;
  start->client = *client;
  // A host that does not fit is refused by the configuration already.
  std::snprintf(start->host, sizeof start->host, "%s", host);
  start->port = port;
  start->keep_alive = keep_alive;
  start->tls = tls;
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

int connect_with_retry(struct mosquitto **client, const char *host, int port, int keep_alive,
                       bool tls) {
  mark_connect_busy();
  while (!stop_requested()) {
    const int result = connect_once(client, host, port, keep_alive, tls);
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
