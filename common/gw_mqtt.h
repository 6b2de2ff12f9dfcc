// The two broker routines of the common library: the endless connect with
// its two-second retries, and one publish of a text. Both honour
// connect_stop (gw_pacing.h): a stop ends the retries and refuses publishes.
#pragma once

struct mosquitto;

namespace gw {

// Connects client to host:port with keep_alive seconds, retrying every 2 s
// until it succeeds or connect_stop is set. connect_idle is clear while it
// runs. Returns 0 when connected, 1 when connect_stop ended it.
int connect_with_retry(struct mosquitto *client, const char *host, int port, int keep_alive);

// Publishes payload (without its terminator), retain off. 0 when the
// library accepted it; 1 when connect_stop is set (nothing sent) or on any
// library error. Prints nothing.
int publish_message(struct mosquitto *client, const char *topic, const char *payload, int qos);

}  // namespace gw
