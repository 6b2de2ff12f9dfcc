// The HCI interface through OpenWrt's command-line tools: attaching the
// UART BLE module (reset pulse on its GPIO line, hciattach, interface up)
// and the back-off step of the scan controller (interface down, up).
//
// attach_uart_module runs on the main thread during a service build;
// restart_hci_interface on sensor_thread. Each holds attach_idle at 0 while
// it runs (mark_attach_busy / mark_attach_idle), so the stop routine's
// stop_attach_and_wait returns only once no bring-up or cycling is in
// progress. attach_stop (acquire) makes the attach give up between turns.
//
// Every sleep here (the reset pulse, the back-off's settling) is a
// pacing_sleep: a stop cancels pacing before it waits for attach_idle, so
// the stop is held up by a running command at most, never by a sleep. A
// cancelled sleep ends the attach attempts; the back-off step still brings
// the interface up again, so a stop never leaves the controller down.
#pragma once

#include <cstdint>

namespace gw {

// Up to max_tries attempts to attach the module on /dev/<device_name> at
// baud_rate and bring hci<hci_device_index> up. Returns 0 when the
// interface is up or a stop ended the attempts, 1 when the tries are used
// up (after "ZENTIB_ERROR : SENSOR%d : Software Retries done. Cannot attach
// UART BLE Module\n\r" and stop_attach_and_wait).
int attach_uart_module(int reset_gpio, const char *device_name, const std::int32_t &hci_device_index,
                       int baud_rate, std::uint32_t max_tries, int sensor_number);

// Counts a retry, then takes hci<hci_device_index> down and, a second
// later, up again (two seconds' settling). 0, or 1 when a command failed
// (after "ZENTIB_ERROR : SENSOR%d : Cannot Execute %s\n\r").
int restart_hci_interface(const std::int32_t &hci_device_index, int sensor_number,
                          std::uint32_t &retry_count);

}  // namespace gw
