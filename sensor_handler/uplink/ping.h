// The ping: every lhi_rate seconds on a fixed schedule, while the broker is
// connected, the Ping packet on "/Logs/Info" (the eth0 address of that
// moment, versions, the raw path's two rates), preceded while an interface
// failure is recorded by the Interface Failure packet on "/Logs/Error" and
// a one-second pause.
//
// Thread: ping_thread, one per service run; send_interface_failure also
// runs on sensor_thread (registered as the sender of
// status/interface_failure.h). Each builds its packets in buffers of its own.
// Shared, all read without a lock of ours: mqtt_connected and the stop
// flags; interface_failure_count (acquire, before the text it publishes)
// and interface_failure_text from the scan controller; DC.rate_in /
// DC.rate_out as whole 64-bit atomics. The client is reached only through
// publish_to_broker, under the client lock.
#pragma once

namespace sensor_handler {

void *ping_thread(void *unused);

// Builds the Interface Failure packet from interface_failure_text with the
// local time of the call and publishes it on "/Logs/Error". 0 when the
// library accepted it, else 1 (no failure recorded, no client, a stop
// refused it). Reached through publish_interface_failure.
int send_interface_failure();

}  // namespace sensor_handler
