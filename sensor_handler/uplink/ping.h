// The ping: every lhi_rate seconds, while the broker is connected, the
// Ping packet on "/Logs/Info" (address, versions, the raw path's two
// rates), preceded while an interface failure is recorded by the Interface
// Failure packet on "/Logs/Error".
#pragma once

namespace sensor_handler {

void *ping_thread(void *unused);

// Builds the Interface Failure packet from interface_failure_text and
// publishes it on "/Logs/Error". 0 when the library accepted it, else 1.
// The scan controller calls it when its retry limit ends the service, so
// the failure reaches the broker before the connection is taken down.
int publish_interface_failure();

}  // namespace sensor_handler
