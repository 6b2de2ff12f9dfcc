// The broker connection: mqtt_thread creates a client per connection cycle
// (client ID, optional credentials, last will), connects with endless
// two-second retries and runs the library's network loop, inside which
// on_connect (subscribe, birth packet, SIGUSR2 to status_led, mqtt_status
// "1", mqtt_connected) and on_disconnect run.
//
// mqtt_connected  seq_cst; set by on_connect after the birth packet, cleared
//                 by on_disconnect and whenever a client is given up; read
//                 without a lock by the publisher, the ping, the scan
//                 controller and the teardown.
// mqtt_client     the current client; replaced and destroyed only under
//                 mqtt_client_lock, which every publish holds as well, so a
//                 publish and a destroy of the same client never overlap.
#pragma once

#include <atomic>

struct mosquitto;

namespace sensor_handler {

extern std::atomic<bool> mqtt_connected;

// Thread entry; started by run_service at every build.
void *mqtt_thread(void *unused);

// Makes client the current client (nullptr: none). The previous one is not
// destroyed here.
void set_mqtt_client(struct mosquitto *client);

// Publishes payload on topic with the configured QoS through the current
// client. 0 when the library accepted it; 1 when there is no client, a stop
// refused it or the library failed.
int publish_to_broker(const char *topic, const char *payload);

// Teardown, run_service only: ask the current client (if any) to
// disconnect so that the network loop returns, then, after every thread
// that uses it has been joined, destroy it.
void disconnect_mqtt_client();
void destroy_mqtt_client();

}  // namespace sensor_handler
