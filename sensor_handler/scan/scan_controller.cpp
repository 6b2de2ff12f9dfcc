// Placeholder until the scan controller lands: waits for the stop.
#include "scan_controller.h"

#include "lifecycle/stop_flags.h"

namespace sensor_handler {

std::int32_t hci_device_index = 0;
std::atomic<std::int32_t> scan_ready{0};
std::atomic<std::uint8_t> interface_failure_count{0};
char interface_failure_text[interface_failure_text_size] = {};

void *sensor_thread(void *) {
  wait_for_stop_request();
  return nullptr;
}

}  // namespace sensor_handler
