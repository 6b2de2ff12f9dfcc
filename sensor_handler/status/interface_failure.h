// The interface failure: recorded by the scan controller when its retries
// are used up, sent to the broker by the uplink (the Interface Failure
// packet on "/Logs/Error"). Below both scan/ and uplink/: the scan
// controller records and asks for the packet here, and the uplink
// registers the routine that builds and publishes it, so neither folder
// includes the other.
//
// interface_failure_count  written by the scan controller only, read by
//                          ping_thread: the text is filled before the count
//                          is raised (release); a reader loads the count
//                          (acquire) before it reads the text.
// interface_failure_text   see above.
// The sender is registered once, at static initialisation, before any
// thread exists; afterwards it is only read.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace sensor_handler {

constexpr std::size_t interface_failure_text_size = 100;
extern std::atomic<std::uint8_t> interface_failure_count;
extern char interface_failure_text[interface_failure_text_size];

// Builds the Interface Failure packet from interface_failure_text and
// publishes it: 0 when the client library accepted it, else 1.
using InterfaceFailureSender = int (*)();

// Registers the uplink's sender (uplink/ping.cpp does, at static
// initialisation).
void set_interface_failure_sender(InterfaceFailureSender sender);

// Sends the recorded failure now through the registered sender. 1 when no
// sender is registered, no failure is recorded, there is no client or a
// stop refused it. The scan controller calls it, while still connected,
// when its retry limit ends the service, so the failure reaches the broker
// before the stop takes the connection down.
int publish_interface_failure();

}  // namespace sensor_handler
