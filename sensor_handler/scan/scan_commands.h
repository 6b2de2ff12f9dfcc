// The LE scan commands in either of the two sets a controller may take, and
// what the controller says it supports.
//
// Bluetooth 5 added the extended scan commands beside the legacy ones, and
// lets a controller refuse the legacy set with Command Disallowed once the
// host has used an extended command since the last reset. Linux uses one
// while it initialises any controller with extended advertising, so such a
// controller may refuse the legacy scan commands from the start. The two
// reads here lock neither set, so the choice can be made before the first
// scan command.
//
// Threads: sensor_thread alone, through the HCI device in use.
#pragma once

#include <cstdint>

#include "scan/hci_device.h"

namespace sensor_handler {

enum class CommandSet : std::uint8_t { legacy, extended };

// Controller statuses the scan controller acts on.
constexpr int status_command_disallowed = 0x0C;

// One second for every answer, as the library's helpers gave.
constexpr int scan_command_timeout_ms = 1000;

struct ControllerSupport {
  // LE Set Extended Scan Parameters and LE Set Extended Scan Enable.
  bool extended_scanning = false;
  // The LE Coded PHY (long range).
  bool coded_phy = false;
};

// Read Local Supported Commands and LE Read Local Supported Features. A
// read that fails leaves what it would have told false: the legacy set is
// every controller's.
ControllerSupport read_controller_support(HciDevice &device, int handle);

// The scanning-PHY bits of the extended set (SP_BT5_PHY's values).
constexpr std::uint8_t scan_phy_1m = 0x01;
constexpr std::uint8_t scan_phy_coded = 0x04;

// A passive scan of the public address accepting every advertiser;
// interval and window in units of 0.625 ms. The legacy set scans the 1M
// PHY; the extended one the PHYs given, the Coded PHY with three times the
// interval and window (capped at the command's maximum), as Linux does: a
// Coded packet lasts up to eight times a 1M one. The controller's status,
// or negative without an answer.
int set_scan_parameters(HciDevice &device, int handle, CommandSet set, std::uint16_t interval,
                        std::uint16_t window, std::uint8_t phys = scan_phy_1m);
// Scanning on or off, without duplicate filtering; the extended set scans
// continuously until turned off.
int set_scan_enable(HciDevice &device, int handle, CommandSet set, bool enable);

}  // namespace sensor_handler
