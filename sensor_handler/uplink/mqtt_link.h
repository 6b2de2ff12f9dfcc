// The broker connection. mqtt_thread creates a client per connection cycle
// (client ID, credentials only with a user name, the last will on
// "/Logs/Info"), connects with endless two-second retries and drives the
// client's network loop itself, in passes of at most a second, so a stop
// is seen within one and never waits on the network. Each connect and
// reconnect, with its name lookup, starts on a thread of its own
// (gw::start_connection): a stop during a lookup hands the client to it. on_connect
// (subscription to "/Logs/Ver", birth packet, SIGUSR2 to status_led,
// mqtt_status "1", mqtt_connected) and on_disconnect (SIGUSR1 to
// status_led, mqtt_status "0", for a connection the broker had answered)
// run inside that loop. A lost link is connected again after a pause of
// 1 s doubling to a minute (from the start again after a link that
// lasted); a refusal after 30 s doubling to 15 minutes; a stop cuts either
// short and leaves with a DISCONNECT. The firmware notices are taken by
// on_message (firmware_notice.h).
//
// Threads: mqtt_thread owns a client while it connects; from the network
// loop on the client is shared with the publishers (publish_thread,
// ping_thread, the scan controller's failure packet) and the teardown. The
// client runs in the library's threaded mode, so only the loop touches the
// broker socket and every callback runs on mqtt_thread; the callbacks never
// take mqtt_client_lock.
//
// mqtt_connected (status/broker_link.h) is written here only.
// mqtt_client_lock (mqtt_link.cpp) guards the current client and whether
//                 its network loop runs: a publish and a destroy of the same
//                 client never overlap. Taken before any lock of the client
//                 library, never while waiting for the network loop.
// The batch count's lock (mqtt_link.cpp) guards the batches on their way;
//                 taken last, inside the client lock and inside the
//                 library's publish callback, never across a library call.
#pragma once

struct mosquitto;

namespace sensor_handler {

// Thread entry; started by run_service at every build.
void *mqtt_thread(void *unused);

// Makes client the current client (nullptr: none), with the batch count
// afresh and the publish callback set. The previous one is not destroyed
// here.
void set_mqtt_client(struct mosquitto *client);

// Publishes payload on topic with the configured QoS through the current
// client. 0 when the library accepted it; 1 when there is no client, a stop
// refused it or the library failed.
int publish_to_broker(const char *topic, const char *payload);

// Batches at QoS 1 and 2: publish_batch publishes like publish_to_broker
// and counts the batch until the broker acknowledges it (the client's
// publish callback, on mqtt_thread). batch_slot_free is false while two
// batches are on their way, so the caller hands over no more; at QoS 0 it
// is always true and nothing is counted. The count starts afresh with each
// client: a reconnect of the same client sends what was on its way again
// and keeps counting it, a client given up (no acknowledgement for 120 s, a
// fatal loop error, the teardown) takes it along.
bool batch_slot_free();
int publish_batch(const char *topic, const char *payload);

// Teardown, run_service only, after the stop flags are up.
// disconnect_mqtt_client asks the current client to disconnect, which wakes
// its network loop at once; the loop, seeing the stop, leaves by itself.
// destroy_mqtt_client, after every thread that uses the client has been
// joined, destroys the current client (if any) and clears its handle.
void disconnect_mqtt_client();
void destroy_mqtt_client();

// The library's connect and disconnect callbacks.
void on_connect(struct mosquitto *client, void *user_data, int result);
void on_disconnect(struct mosquitto *client, void *user_data, int result);

}  // namespace sensor_handler
