// Placeholder until the uplink lands: no connection, waits for the stop.
#include "mqtt_link.h"

#include "lifecycle/stop_flags.h"

namespace sensor_handler {

std::atomic<bool> mqtt_connected{false};

void *mqtt_thread(void *) {
  wait_for_stop_request();
  return nullptr;
}

int publish_to_broker(const char *, const char *) { return 1; }
void disconnect_mqtt_client() {}
void destroy_mqtt_client() {}

}  // namespace sensor_handler
