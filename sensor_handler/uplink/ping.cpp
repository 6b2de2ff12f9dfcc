// Placeholder until the uplink lands.
#include "ping.h"

#include "lifecycle/stop_flags.h"

namespace sensor_handler {

void *ping_thread(void *) {
  wait_for_stop_request();
  return nullptr;
}

int publish_interface_failure() { return 1; }

}  // namespace sensor_handler
