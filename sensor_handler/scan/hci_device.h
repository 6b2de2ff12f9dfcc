// The HCI device as the scan controller sees it: open device N (a raw HCI
// socket), close it, one HCI command with the controller's answer, and the
// socket's event filter. Nothing else of the Bluetooth stack is used; the
// read phase only selects on and reads the descriptor.
//
// Commands go through our own exchange rather than libbluetooth's helpers,
// which turn every refusal into -1/EIO: a refused scan command must say
// which status the controller gave (Command Disallowed is how a Bluetooth 5
// controller refuses the legacy set), and the scan controller chooses its
// command set by it.
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
#include <cstddef>
#include <cstdint>

namespace sensor_handler {

class HciDevice {
 public:
  virtual ~HciDevice() = default;

  // A descriptor for hci<device_index> (close-on-exec), or a negative value.
  virtual int open_device(int device_index) = 0;
  virtual void close_device(int handle) = 0;

  // Sends the command opcode with its parameters and waits up to
  // timeout_ms for its Command Complete (or a Command Status that refuses
  // it). Returns the controller's status (0 for success), with up to
  // reply_size bytes of the return parameters after the status copied to
  // reply; or a negative value when the command could not be sent or no
  // answer came in time. Events other than the answer that were queued on
  // the socket are read past and lost.
  virtual int command(int handle, std::uint16_t opcode, const std::uint8_t *parameters,
                      std::uint8_t length, std::uint8_t *reply, std::size_t reply_size,
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
  int command(int handle, std::uint16_t opcode, const std::uint8_t *parameters, std::uint8_t length,
              std::uint8_t *reply, std::size_t reply_size, int timeout_ms) override;
  int get_filter(int handle, hci_filter *filter) override;
  int set_filter(int handle, const hci_filter &filter) override;
};

extern HciDevice *hci_device_in_use;

}  // namespace sensor_handler
