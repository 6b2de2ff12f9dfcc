// The HCI device as the scan controller sees it: open device N (a raw HCI
// socket), close it, the two LE scan commands and the socket's event
// filter. Nothing else of the Bluetooth stack is used; the read phase only
// selects on and reads the descriptor.
//
// The gateway runs on BluezHciDevice. hci_device_in_use points to it from
// process start; only a test of this process replaces it (with a double
// over a socketpair), before any sensor_thread starts and after the last
// one has been joined, so the plain pointer needs no ordering of its own
// (thread creation and join order it).
//
// Threads: sensor_thread alone calls the device, one call at a time.
#pragma once

#include <bluetooth/bluetooth.h>
#include <bluetooth/hci.h>
#include <cstdint>

namespace sensor_handler {

class HciDevice {
 public:
  virtual ~HciDevice() = default;

  // A descriptor for hci<device_index> (close-on-exec), or a negative value.
  virtual int open_device(int device_index) = 0;
  virtual void close_device(int handle) = 0;

  // The LE commands; negative on failure (refused or no reply within
  // timeout_ms).
  virtual int set_scan_parameters(int handle, std::uint8_t scan_type, std::uint16_t interval,
                                  std::uint16_t window, std::uint8_t own_address_type,
                                  std::uint8_t filter_policy, int timeout_ms) = 0;
  virtual int set_scan_enable(int handle, std::uint8_t enable, std::uint8_t filter_duplicates,
                              int timeout_ms) = 0;

  // The socket's event filter (SOL_HCI / HCI_FILTER); negative on failure.
  virtual int get_filter(int handle, hci_filter *filter) = 0;
  virtual int set_filter(int handle, const hci_filter &filter) = 0;
};

// The Linux Bluetooth stack through libbluetooth.
class BluezHciDevice final : public HciDevice {
 public:
  int open_device(int device_index) override;
  void close_device(int handle) override;
  int set_scan_parameters(int handle, std::uint8_t scan_type, std::uint16_t interval,
                          std::uint16_t window, std::uint8_t own_address_type,
                          std::uint8_t filter_policy, int timeout_ms) override;
  int set_scan_enable(int handle, std::uint8_t enable, std::uint8_t filter_duplicates,
                      int timeout_ms) override;
  int get_filter(int handle, hci_filter *filter) override;
  int set_filter(int handle, const hci_filter &filter) override;
};

extern HciDevice *hci_device_in_use;

}  // namespace sensor_handler
