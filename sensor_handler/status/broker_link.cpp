#include "broker_link.h"

namespace sensor_handler {

std::atomic<bool> mqtt_connected{false};

}  // namespace sensor_handler
