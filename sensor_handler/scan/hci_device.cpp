#include "hci_device.h"

#include <bluetooth/hci_lib.h>
#include <fcntl.h>
#include <sys/socket.h>

namespace sensor_handler {

namespace {
BluezHciDevice bluez_hci_device;
// About 1,500 advertising events: six seconds at the UART's 250 a second.
constexpr int hci_receive_queue_bytes = 1 << 20;
}  // namespace

HciDevice *hci_device_in_use = &bluez_hci_device;

int BluezHciDevice::open_device(int device_index) {
  int handle = hci_open_dev(device_index);
  // hciattach stays behind as a daemon: an inherited HCI socket would keep
  // the device open after we closed it. The library's socket may lack the
  // flag, so it is set here (a command started by another thread in
  // between could still inherit it; it is closed by the time the next
  // bring-up runs hciattach).
  if (handle >= 0) {
    fcntl(handle, F_SETFD, fcntl(handle, F_GETFD) | FD_CLOEXEC);
    // Reports queue here while the store is busy (a checkpoint, a trim of
    // thousands of rows): the default queue holds a few hundred events, a
    // second or so at the UART's rate, and the kernel drops the rest. A
    // larger one costs memory only while it fills. Best effort: without
    // the right to pass the system's limit the limit applies.
    const int queue_bytes = hci_receive_queue_bytes;
    if (setsockopt(handle, SOL_SOCKET, SO_RCVBUFFORCE, &queue_bytes, sizeof queue_bytes) != 0) {
      setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &queue_bytes, sizeof queue_bytes);
    }
  }
  return handle;
}

void BluezHciDevice::close_device(int handle) { hci_close_dev(handle); }

int BluezHciDevice::set_scan_parameters(int handle, std::uint8_t scan_type, std::uint16_t interval,
                                        std::uint16_t window, std::uint8_t own_address_type,
                                        std::uint8_t filter_policy, int timeout_ms) {
  return hci_le_set_scan_parameters(handle, scan_type, interval, window, own_address_type,
                                    filter_policy, timeout_ms);
}

int BluezHciDevice::set_scan_enable(int handle, std::uint8_t enable, std::uint8_t filter_duplicates,
                                    int timeout_ms) {
  return hci_le_set_scan_enable(handle, enable, filter_duplicates, timeout_ms);
}

int BluezHciDevice::get_filter(int handle, hci_filter *filter) {
  socklen_t length = sizeof *filter;
  return getsockopt(handle, SOL_HCI, HCI_FILTER, filter, &length);
}

int BluezHciDevice::set_filter(int handle, const hci_filter &filter) {
  return setsockopt(handle, SOL_HCI, HCI_FILTER, &filter, sizeof filter);
}

}  // namespace sensor_handler
