// The HCI interface through OpenWrt's command-line tools: attaching the
// UART BLE module (reset pulse on its GPIO line, hciattach, interface up)
// and the back-off step of the scan controller (interface down, up).
//
// attach_uart_module runs on the main thread during a service build;
// restart_hci_interface on sensor_thread. Both keep attach_idle current so
// that the stop routine (stop_attach_and_wait) can wait until no bring-up
// or cycling is in progress; attach_stop makes the attach give up.
#pragma once

#include <cstdint>

namespace gw {

// Up to max_tries attempts to attach the module on /dev/<device_name> at
// baud_rate and bring hci<hci_device_index> up. Returns 0 when the
// interface is up or attach_stop ended the attempts, 1 when the tries are
// used up (after stop_attach_and_wait).
int attach_uart_module(int reset_gpio, const char *device_name, const std::int32_t &hci_device_index,
                       int baud_rate, std::uint32_t max_tries, int sensor_number);

// Counts a retry, then takes hci<hci_device_index> down and, a second
// later, up again (two seconds' settling). 0, or 1 when a command failed.
int restart_hci_interface(const std::int32_t &hci_device_index, int sensor_number,
                          std::uint32_t &retry_count);

}  // namespace gw
