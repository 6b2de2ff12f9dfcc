// The broker routines of the common library: the endless connect with its
// two-second retries, one publish of a text, and keeping the client
// library's sockets away from the commands the gateway runs.
//
// No call here waits on the network for longer than a pass of the client's
// network loop (a second): the connect is non-blocking and its progress is
// driven by those passes, so a broker whose packets are dropped, or one that
// accepts TCP and never answers, holds a stop up for a second at most. The
// name lookup of a broker host, which blocks for as long as the resolver
// takes (10 s and more when the uplink is dead), and the choice among its
// addresses run on a thread of its own (start_connection): a stop leaves it
// behind instead of waiting for it.
//
// Threads: connect_with_retry runs on the MQTT thread only; publish_message
// on any thread that keeps the client alive for the call (sensor_handler
// holds its client lock around it). Both honour connect_stop (gw_pacing.h):
// a stop ends the retries and refuses publishes. A cancelled pacing ends the
// retries as well, since every end of a service run cancels it (also a
// restart that did not come through the stop routine).
#pragma once

#include <atomic>

struct mosquitto;

namespace gw {

// Connects client to host:port with keep_alive seconds (over TLS when the
// client was set up for it, tls), retrying 2 s after each failed attempt
// until one succeeds, connect_stop is set or pacing is cancelled. An attempt
// succeeds once the TCP connection is up and the CONNECT has left; the
// broker's answer comes in the network loop. It fails when no address of
// host answers (see start_connection), when the connection is reset, or
// when nothing comes back within keep_alive seconds (the client library
// then gives the socket up). connect_idle is clear while it runs. Returns 0
// when connected, 1 when a stop ended it (also when the last attempt had
// succeeded). A stop during a name lookup hands the client to the lookup
// (see start_connection) and sets *client to nullptr; otherwise the client
// stays the caller's.
int connect_with_retry(struct mosquitto **client, const char *host, int port, int keep_alive,
                       bool tls);

// The result of start_connection when a stop came first.
constexpr int connect_abandoned = -1000;

// Starts a connection (or a reconnect) of *client to host:port with
// keep_alive seconds on a thread of its own and waits until the start
// returns or the connect loop is stopped (connect_stop, a cancelled
// pacing). The start holds the one name lookup of the attempt. A name with
// several addresses (a dual-stack or round-robin broker) is not left to the
// library, which would stop at the first address whose handshake is merely
// under way: each address is probed in turn with a TCP handshake, the next
// at once after a refusal and after 3 s of silence, starting with the
// address that answered last, and the library connects to the first that
// answers (no address answering: a failed attempt). With tls the host name
// itself still reaches the library, which checks it against the broker's
// certificate. Returns the library's result, or connect_abandoned when the
// stop came first: the client then belongs to the lookup, which leaves and
// destroys it once the resolver has answered or given up, and *client is
// nullptr. No other thread may use the client until this returns.
int start_connection(struct mosquitto **client, const char *host, int port, int keep_alive,
                     bool tls);

// Destroys a client that no network loop drives, leaving the broker with a
// DISCONNECT when its socket is open (the broker then keeps the last will
// of a gateway that is only restarting to itself). Its disconnect callback
// is not called.
void leave_and_destroy(struct mosquitto *client);

// Set once the broker link of this service run has had an outcome: an
// attempt of connect_with_retry failed, or the broker answered (accepted or
// refused), or a connected link ended. Cleared at each service build. Until
// then the rows a stop left in the table (the last smoothing flush) wait for
// the new run's link instead of being cleared as if the broker were down.
// Release on set, acquire on read.
extern std::atomic<bool> link_outcome_known;

// The longest pass of the client's network loop, in milliseconds: a loop
// driven by such passes sees a stop within it.
constexpr int network_pass_ms = 1000;

// Publishes payload (without its terminator), retain off. 0 when the
// library accepted it; 1 when connect_stop is set (nothing sent), there is
// no client, or on any library error. Prints nothing. mid, when given,
// receives the message ID the library's publish callback will report.
int publish_message(struct mosquitto *client, const char *topic, const char *payload, int qos,
                    int *mid = nullptr);

// The client library opens its socket pair (at mosquitto_new and at every
// mosquitto_connect) and its broker socket (also when it reconnects by
// itself) without close-on-exec. An inherited broker socket would keep the
// connection open in a command that outlives it (hciattach stays behind as a
// daemon), so the broker would neither see the gateway leave nor publish its
// last will. Marks every socket of the process close-on-exec; call it right
// after each of those points. Thread-safe.
void mark_sockets_close_on_exec();

}  // namespace gw
