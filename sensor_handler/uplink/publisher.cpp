// Placeholder until the uplink lands.
#include "publisher.h"

#include "lifecycle/stop_flags.h"

namespace sensor_handler {

void *publish_thread(void *) {
  wait_for_stop_request();
  return nullptr;
}

}  // namespace sensor_handler
