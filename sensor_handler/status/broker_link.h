// Whether the broker link is up: the one fact about the uplink that the
// scan controller, the publishers and the teardown act on. A module of its
// own, below both scan/ and uplink/, so neither has to include the other.
//
// mqtt_connected  seq_cst; set by on_connect after the birth packet,
//                 cleared by on_disconnect and whenever mqtt_thread gives a
//                 client up (uplink/mqtt_link.cpp, the only writer); read
//                 without a lock by the publishers, the scan controller and
//                 the teardown.
#pragma once

#include <atomic>

namespace sensor_handler {

extern std::atomic<bool> mqtt_connected;

}  // namespace sensor_handler
