// hci_probe <seconds> [quiet|extended]
//
// The smallest scanner that reads what the gateway reads: it opens hci0
// through the Bluetooth library, sets a passive LE scan (interval and
// window 0x00A0), enables it without duplicate filtering, installs the
// gateway's socket filter (HCI events, LE Meta only) and reads LE
// Advertising Report events for the given time. Each report is printed as
//   report address=665544332211 type=1 event=3 rssi=-60 data=0201…
// (address most significant byte first; left out with "quiet"), then
//   probe reports=N other_events=N span_ms=N rate=N streams=N numbered=N
//         numbered_span_ms=N numbered_rate=N lost=N extended_events=N
// where rate is reports per second between the first and the last report;
// numbered counts the reports of the rig's bursts (a trailing 07 FF FF FF
// <number> structure), numbered_rate their rate as received, and lost the
// gaps in their numbers, per stream of equal data.
//
// "extended" scans with LE Set Extended Scan Parameters / Enable (1M PHY,
// the same interval and window) instead, and counts the LE Extended
// Advertising Report events it reads as extended_events.
//
// Threads: one; it blocks in poll until an event or the deadline.
#include <bluetooth/bluetooth.h>
#include <bluetooth/hci.h>
#include <bluetooth/hci_lib.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <poll.h>
#include <set>
#include <string>
#include <time.h>
#include <unistd.h>

namespace {

std::uint64_t monotonic_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

std::string hex(const std::uint8_t *bytes, std::size_t length) {
  std::string text;
  char digits[3];
  for (std::size_t i = 0; i < length; ++i) {
    std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
    text += digits;
  }
  return text;
}

// One LE command through the library; the controller's status, or -1.
int le_command(int device, std::uint16_t ocf, const std::uint8_t *parameters, int length) {
  std::uint8_t status = 0xFF;
  hci_request request{};
  request.ogf = OGF_LE_CTL;
  request.ocf = ocf;
  request.cparam = const_cast<std::uint8_t *>(parameters);
  request.clen = length;
  request.rparam = &status;
  request.rlen = 1;
  return hci_send_req(device, &request, 1000) < 0 ? -1 : status;
}

constexpr std::uint16_t extended_scan_parameters = 0x0041, extended_scan_enable = 0x0042;
const std::uint8_t extended_off[6] = {0, 0, 0, 0, 0, 0};

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2 || argc > 3 ||
      (argc == 3 && std::strcmp(argv[2], "quiet") != 0 && std::strcmp(argv[2], "extended") != 0)) {
    std::fprintf(stderr, "usage: %s <seconds> [quiet|extended]\n", argv[0]);
    return 2;
  }
  const std::uint64_t seconds = std::strtoull(argv[1], nullptr, 10);
  const bool quiet = argc == 3 && std::strcmp(argv[2], "quiet") == 0;
  const bool extended = argc == 3 && !quiet;

  int device = hci_open_dev(0);
  if (device < 0) {
    std::fprintf(stderr, "hci_probe: hci_open_dev: %s\n", std::strerror(errno));
    return 1;
  }
  if (extended) {
    const std::uint8_t parameters[8] = {0, 0, 0x01, 0, 0xA0, 0x00, 0xA0, 0x00};
    const std::uint8_t on[6] = {1, 0, 0, 0, 0, 0};
    le_command(device, extended_scan_enable, extended_off, 6);
    int parameters_status = le_command(device, extended_scan_parameters, parameters, 8);
    int enable_status = le_command(device, extended_scan_enable, on, 6);
    if (parameters_status != 0 || enable_status != 0) {
      std::fprintf(stderr, "hci_probe: cannot start the extended LE scan: status %d/%d\n",
                   parameters_status, enable_status);
      hci_close_dev(device);
      return 1;
    }
  } else {
    hci_le_set_scan_enable(device, 0, 0, 1000);
    if (hci_le_set_scan_parameters(device, 0, htobs(0x00A0), htobs(0x00A0), 0, 0, 1000) < 0 ||
        hci_le_set_scan_enable(device, 1, 0, 1000) < 0) {
      std::fprintf(stderr, "hci_probe: cannot start the LE scan: %s\n", std::strerror(errno));
      hci_close_dev(device);
      return 1;
    }
  }
  hci_filter saved{};
  socklen_t saved_length = sizeof saved;
  getsockopt(device, SOL_HCI, HCI_FILTER, &saved, &saved_length);
  hci_filter filter{};
  hci_filter_clear(&filter);
  hci_filter_set_ptype(HCI_EVENT_PKT, &filter);
  hci_filter_set_event(EVT_LE_META_EVENT, &filter);
  if (setsockopt(device, SOL_HCI, HCI_FILTER, &filter, sizeof filter) < 0) {
    std::fprintf(stderr, "hci_probe: cannot set the filter: %s\n", std::strerror(errno));
    hci_close_dev(device);
    return 1;
  }

  std::uint64_t reports = 0, other_events = 0, extended_events = 0, first_ms = 0, last_ms = 0;
  std::uint64_t numbered = 0, numbered_first_ms = 0, numbered_last_ms = 0;
  std::map<std::string, std::set<std::uint32_t>> streams;  // data before the number -> numbers
  const std::uint64_t deadline = monotonic_ms() + seconds * 1000;
  std::uint8_t event[HCI_MAX_EVENT_SIZE + 1];
  for (std::uint64_t now = monotonic_ms(); now < deadline; now = monotonic_ms()) {
    pollfd wait = {device, POLLIN, 0};
    int ready = poll(&wait, 1, static_cast<int>(deadline - now));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    ssize_t length = read(device, event, sizeof event);
    if (length < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (length < 5) break;
    // 04 3E len 02 count, then one report: event type, address type,
    // address (least significant byte first), data length, data, RSSI.
    if (extended && event[3] == 0x0D) {
      ++extended_events;
      continue;
    }
    if (event[3] != EVT_LE_ADVERTISING_REPORT || length < 5 + 10) {
      ++other_events;
      continue;
    }
    const std::uint8_t *report = event + 5;
    std::size_t data_length = report[8];
    if (5 + 9 + data_length + 1 > static_cast<std::size_t>(length)) {
      ++other_events;
      continue;
    }
    const std::uint8_t address[6] = {report[7], report[6], report[5],
                                     report[4], report[3], report[2]};
    const std::uint8_t *data = report + 9;
    int rssi = static_cast<std::int8_t>(report[9 + data_length]);
    ++reports;
    last_ms = monotonic_ms();
    if (reports == 1) first_ms = last_ms;
    if (data_length >= 8 && data[data_length - 8] == 7 && data[data_length - 7] == 0xFF &&
        data[data_length - 6] == 0xFF && data[data_length - 5] == 0xFF) {
      const std::uint8_t *number = data + data_length - 4;
      if (numbered++ == 0) numbered_first_ms = last_ms;
      numbered_last_ms = last_ms;
      streams[hex(data, data_length - 8)].insert(static_cast<std::uint32_t>(
          number[0] << 24 | number[1] << 16 | number[2] << 8 | number[3]));
    }
    if (!quiet) {
      std::printf("report address=%s type=%u event=%u rssi=%d data=%s\n", hex(address, 6).c_str(),
                  report[1], report[0], rssi, hex(data, data_length).c_str());
    }
  }

  setsockopt(device, SOL_HCI, HCI_FILTER, &saved, saved_length);
  if (extended) {
    le_command(device, extended_scan_enable, extended_off, 6);
  } else {
    hci_le_set_scan_enable(device, 0, 0, 1000);
  }
  hci_close_dev(device);

  std::uint64_t lost = 0;
  for (const auto &[data, numbers] : streams)
    lost += static_cast<std::uint64_t>(*numbers.rbegin() - *numbers.begin() + 1) - numbers.size();
  auto per_second = [](std::uint64_t count, std::uint64_t span_ms) {
    return static_cast<unsigned long long>(span_ms > 0 ? (count - 1) * 1000 / span_ms : 0);
  };
  std::uint64_t span = last_ms - first_ms, numbered_span = numbered_last_ms - numbered_first_ms;
  std::printf(
      "probe reports=%llu other_events=%llu span_ms=%llu rate=%llu streams=%zu numbered=%llu "
      "numbered_span_ms=%llu numbered_rate=%llu lost=%llu extended_events=%llu\n",
      static_cast<unsigned long long>(reports), static_cast<unsigned long long>(other_events),
      static_cast<unsigned long long>(span), per_second(reports, span), streams.size(),
      static_cast<unsigned long long>(numbered), static_cast<unsigned long long>(numbered_span),
      per_second(numbered, numbered_span), static_cast<unsigned long long>(lost),
      static_cast<unsigned long long>(extended_events));
  return 0;
}
