#include "interface_failure.h"

namespace sensor_handler {

std::atomic<std::uint8_t> interface_failure_count{0};
char interface_failure_text[interface_failure_text_size] = {};

namespace {
// Constant-initialised, so a registration during another module's static
// initialisation cannot be undone by this one's.
constinit InterfaceFailureSender registered_sender = nullptr;
}  // namespace

void set_interface_failure_sender(InterfaceFailureSender sender) { registered_sender = sender; }

int publish_interface_failure() {
  return registered_sender != nullptr ? registered_sender() : 1;
}

}  // namespace sensor_handler
