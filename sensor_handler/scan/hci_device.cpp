#include "hci_device.h"

#include <bluetooth/hci_lib.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace sensor_handler {

namespace {
BluezHciDevice bluez_hci_device;
// About 1,500 advertising events: six seconds at the UART's 250 a second.
constexpr int hci_receive_queue_bytes = 1 << 20;

std::int64_t monotonic_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::uint16_t read16(const std::uint8_t *bytes) {
  return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}
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

int BluezHciDevice::command(int handle, std::uint16_t opcode, const std::uint8_t *parameters,
                            std::uint8_t length, std::uint8_t *reply, std::size_t reply_size,
                            int timeout_ms) {
  // Only this command's answers reach the socket while it waits; the read
  // phase's filter is put back whatever happens.
  hci_filter saved{};
  if (get_filter(handle, &saved) < 0) return -1;
  hci_filter answers;
  hci_filter_clear(&answers);
  hci_filter_set_ptype(HCI_EVENT_PKT, &answers);
  hci_filter_set_event(EVT_CMD_COMPLETE, &answers);
  hci_filter_set_event(EVT_CMD_STATUS, &answers);
  hci_filter_set_opcode(htobs(opcode), &answers);
  if (set_filter(handle, answers) < 0) return -1;
  struct Restore {
    BluezHciDevice &device;
    int handle;
    const hci_filter &filter;
    ~Restore() { device.set_filter(handle, filter); }
  } restore{*this, handle, saved};

  std::uint8_t packet[4 + 255] = {HCI_COMMAND_PKT, static_cast<std::uint8_t>(opcode),
                                  static_cast<std::uint8_t>(opcode >> 8), length};
  if (length > 0) std::memcpy(packet + 4, parameters, length);
  ssize_t sent;
  do {
    sent = write(handle, packet, 4u + length);
  } while (sent < 0 && errno == EINTR);
  if (sent != static_cast<ssize_t>(4u + length)) return -1;

  const std::int64_t deadline = monotonic_ms() + timeout_ms;
  std::uint8_t event[HCI_MAX_EVENT_SIZE + 1];
  for (std::int64_t left = timeout_ms; left > 0; left = deadline - monotonic_ms()) {
    pollfd waiting{handle, POLLIN, 0};
    const int ready = poll(&waiting, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    const ssize_t got = read(handle, event, sizeof event);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) return -1;
    const auto size = static_cast<std::size_t>(got);
    // Packet indicator, event code, parameter length, parameters.
    if (size < 3 || event[0] != HCI_EVENT_PKT || event[2] + 3u > size) continue;
    if (event[1] == EVT_CMD_STATUS && event[2] >= 4 && read16(event + 5) == opcode) {
      // A pending command answers later with its Command Complete.
      if (event[3] != 0) return event[3];
    } else if (event[1] == EVT_CMD_COMPLETE && event[2] >= 4 && read16(event + 4) == opcode) {
      const std::size_t returned = event[2] - 4u;
      std::memcpy(reply, event + 7, returned < reply_size ? returned : reply_size);
      return event[6];
    }
  }
  return -1;
}

int BluezHciDevice::get_filter(int handle, hci_filter *filter) {
  socklen_t length = sizeof *filter;
  return getsockopt(handle, SOL_HCI, HCI_FILTER, filter, &length);
}

int BluezHciDevice::set_filter(int handle, const hci_filter &filter) {
  return setsockopt(handle, SOL_HCI, HCI_FILTER, &filter, sizeof filter);
}

}  // namespace sensor_handler
