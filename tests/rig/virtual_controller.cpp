// virtual_controller <scenario file> <log file>
//
// A Bluetooth LE controller of our own on /dev/vhci, for the real-radio test
// rig: the kernel's HCI layer, raw sockets and filters run unmodified above
// it. It announces a primary controller, answers the kernel's init sequence
// (an LE-only 4.0 controller with an empty supported-commands mask, so the
// kernel sends only its short mandatory set) and every command a raw socket
// sends, and, while LE scanning is enabled, sends one LE Advertising Report
// event per report of the scenario's advertisers and plays its replays'
// recorded events. It prints
// "virtual_controller: hciN ready" once the kernel has registered the
// device, and writes its log and a summary when SIGTERM or SIGINT ends it.
// SIGUSR1 unplugs it (closes /dev/vhci: the kernel unregisters the device),
// SIGUSR2 plugs it in again (a new /dev/vhci, announced and initialised
// like the first).
//
// Scenario file: one line per item, a keyword then key=value words; '#'
// starts a comment. Times are milliseconds; advertisers count theirs from
// the first LE Set Scan Enable the controller accepted, so a scenario
// plays the same however long the host took to start scanning. Reports due
// while scanning is off (or after a mute) are lost, as on the air.
//
//   controller address=00:1B:DC:0F:00:01 [pack=1] [bt5=lenient|strict] [coded=1]
//              the controller's BD_ADDR; pack=N sends reports due together
//              N to an event (N <= 6, and as many as fit 255 bytes);
//              coded=0 makes a bt5 controller one without the LE Coded PHY
//   advertiser name=N address=AA:BB:CC:DD:EE:FF [type=public|random]
//              [event=0..4] [rssi=-60] [data=HEX] [interval=100] [count=0]
//              [start=0] [devices=1] [sequence=0|1]
//   ibeacon    name=N address=… uuid=32HEX [major=0] [minor=0] [power=-59]
//              and the advertiser keys but data (event defaults to 3)
//   burst      name=N address=… rate=REPORTS_PER_S seconds=S [devices=1]
//              [rssi] [data] [start] [type] [event]
//   noise      name=N address=… rate=EVENTS_PER_S seconds=S [devices=1]
//              [rssi] [data] [start] [type]
//   extended   name=N address=… [type=public|random|anonymous] [event=0..15]
//              [phy=1m|coded] [secondary=1m|2m|coded] [sid=0] [tx_power=127]
//              [periodic=0] [truncated=0] [data=HEX | length=N] and the
//              advertiser keys (data up to 1650 bytes with the sequence)
//   replay     name=N file=PATH [interval=100] [start=0] [count=0]
//   mute       command=0x200B [occurrence=1]    stop answering from this
//   mute       time=MS                          or from MS after start
//
// count=0 repeats for ever. devices=K makes K addresses from address
// upwards, report i coming from address + (i mod K). sequence=1 (always on
// for a burst) appends 07 FF FF FF and the report's number (big-endian), so
// every report differs and a receiver can count its losses. A muted
// controller answers nothing and sends no report: the kernel's and the
// host's commands time out, as with a hung module.
//
// bt5 makes it a Bluetooth 5.0 controller: LE features bit 11 (Coded PHY)
// and bit 12 (extended advertising), supported-commands octet 36 bit 7 and
// octet 37 bits 5-6, and LE Read Number of Supported Advertising Sets
// (0x203B), LE Set Extended Scan Parameters (0x2041, 1M and Coded PHYs; the
// Coded one answered 0x11 when coded=0) and
// LE Set Extended Scan Enable (0x2042, continuous scans only: a duration or
// period is answered 0x11). The kernel's init then sends 0x203B after the
// LE event mask. With bt5=strict, once the controller has accepted an
// extended command (0x2035 to 0x204A) since its last reset it answers
// Command Disallowed (0x0C) to the legacy advertising and scanning commands
// (0x2006 to 0x200D), as Bluetooth Core (Vol 4, Part E, 3.1.1) allows and
// real controllers do; the kernel's own 0x203B at init is such a command.
// lenient accepts both sets. Either set's enable starts the one scanner
// and either set's disable stops it; while a scan enabled with the
// extended set is on, reports go out as LE Extended Advertising Reports
// (subevent 0x0D, legacy PDU event types 0x13 0x15 0x12 0x10 0x1B for event
// 0..4, secondary PHY 0, SID 0xFF, TX power 0x7F), and each replayed event
// is converted report by report into one such event (more if they do not
// fit 255 bytes). Without bt5 the controller is the 4.0 one above, byte
// for byte.
//
// An extended advertiser sends advertisements that are not legacy PDUs,
// heard only while a scan enabled with the extended set is on and the last
// accepted LE Set Extended Scan Parameters scans its primary PHY (a Coded
// advertiser needs the Coded PHY scanned; a Coded-only scan hears no legacy
// PDU either). Each advertisement goes out as LE Extended Advertising
// Report events of one report each: event type the event bits (bit 0
// connectable, 1 scannable, 2 directed, 3 scan response), its primary and
// secondary PHY, SID, TX power, RSSI and periodic interval, and as much of
// the data as fits an event (229 bytes); longer data is chained as
// AUX_CHAIN_IND data is, "more to come" (data status 01) on every report
// but the last, which is complete (00), or truncated (10) with
// truncated=1. length=N generates N bytes of data: maker-specific AD
// structures of company 0xFFFF, at most 255 bytes each, counting bytes
// after the company. type=anonymous sends address type 0xFF and a zero
// address. Each advertisement sent logs an "extended" line with the row the
// gateway stores of it.
//
// A noise advertiser sends LE Meta events that are not the reports a
// scanner asked for, on their own between the reports, while either scan
// is on: event i is, for i even, a non-legacy extended advertisement
// (subevent 0x0D, event type 0x0000: non-connectable, non-scannable,
// undirected, data complete; secondary PHY 1M, SID 0) of its address and
// data, for i odd an LE Channel Selection Algorithm event (subevent 0x14,
// connection handle 0x0001, algorithm #2). Linux 6.1 passes both to raw
// sockets and otherwise ignores them: its passive-scan path drops the
// first, it has no handler for the second.
//
// A replay plays recorded traffic: PATH (relative to the scenario file's
// folder unless it starts with '/') holds one LE Advertising Report event
// a line, in hexadecimal from the event code (3E) on without the packet
// indicator, then optionally a tab and a tag; blank lines are skipped.
// Event i, due at start + i * interval, is line i of the file, cycling
// through it (count counts events in all); it goes out byte for byte as
// recorded, on its own, and with duplicate filtering on only if no event
// equal to it but for the last byte (its RSSI) went out since the enable.
// A line that is not whole bytes of hexadecimal, whose parameter length
// is not the bytes that follow, or that is another event, refuses the
// scenario at load.
//
// Log file: one line per fact, "<kind> t_ms=<ms since start> key=value …":
//   ready index=N
//   command opcode=0x200B length=7 answered=yes status=0x00
//   scan_parameters type=0 interval=0x00A0 window=0x00A0 own_address_type=0
//                   filter_policy=0 status=0x00
//   scan_enable enable=1 filter_duplicates=0 status=0x00
//   ext_scan_parameters phys=0x01 type=0 interval=0x00A0 window=0x00A0
//                   own_address_type=0 filter_policy=0 status=0x00
//                   (type, interval, window: the first PHY's entry)
//   ext_scan_enable enable=1 filter_duplicates=0 duration=0 period=0 status=0x00
//   (a command refused by the strict lock has only its "command" line)
//   reset / mute reason=command|time / ignored type=… length=…
//   unplugged / replugged
//   extended name=N number=I reports=K status=complete|truncated row=HEX
//              (the advertisement's row as the gateway stores it, without
//              the receive time: address most significant byte first
//              (zeros when anonymous), address type, RSSI, TX power,
//              primary PHY, secondary PHY, SID, event bits, the data
//              length in 4 digits, the data)
//   advertiser name=N sent=… missed=… filtered=… first_ms=… last_ms=…
//              (for a replay too, counting its events)
//   summary commands=… reports=… missed=… filtered=… muted=yes|no events=…
//              extended_events=…
//              (reports adds up the advertiser lines; extended_events counts
//              the LE Extended Advertising Report events of reports)
//
// Threads: one; it blocks in ppoll on the device and a signalfd until a
// packet arrives or the next report is due.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include "controller.h"
#include "scenario.h"

namespace {

constexpr std::uint8_t vendor_packet = 0xFF;
constexpr std::uint8_t primary_controller = 0x00;

std::uint64_t monotonic_us() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { reset(-1); }
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <scenario file> <log file>\n", argv[0]);
    return 2;
  }
  std::ifstream scenario_file(argv[1]);
  if (!scenario_file) {
    std::fprintf(stderr, "virtual_controller: cannot read %s\n", argv[1]);
    return 1;
  }
  std::stringstream scenario_text;
  scenario_text << scenario_file.rdbuf();
  rig::Scenario scenario;
  std::string error;
  const std::string scenario_path = argv[1];
  const std::string folder = scenario_path.substr(0, scenario_path.rfind('/') + 1);
  if (!rig::parse_scenario(scenario_text.str(), scenario, error, folder)) {
    std::fprintf(stderr, "virtual_controller: %s: %s\n", argv[1], error.c_str());
    return 1;
  }
  std::FILE *log = std::fopen(argv[2], "we");
  if (log == nullptr) {
    std::fprintf(stderr, "virtual_controller: %s: %s\n", argv[2], std::strerror(errno));
    return 1;
  }

  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGUSR1);
  sigaddset(&stops, SIGUSR2);
  sigprocmask(SIG_BLOCK, &stops, nullptr);
  Descriptor signals(signalfd(-1, &stops, SFD_CLOEXEC));
  Descriptor vhci(open("/dev/vhci", O_RDWR | O_CLOEXEC));
  if (signals.get() < 0 || vhci.get() < 0) {
    std::fprintf(stderr, "virtual_controller: /dev/vhci: %s\n", std::strerror(errno));
    std::fclose(log);
    return 1;
  }

  std::uint64_t write_failures = 0;
  const std::uint64_t start_us = monotonic_us();
  auto since_start_ms = [&] {
    return static_cast<unsigned long long>((monotonic_us() - start_us) / 1000);
  };
  rig::Controller controller(
      std::move(scenario),
      [&](const std::uint8_t *packet, std::size_t length) {
        // vhci takes one whole packet per write.
        if (write(vhci.get(), packet, length) != static_cast<ssize_t>(length)) ++write_failures;
      },
      log, start_us);

  // The first packet on a fresh /dev/vhci makes the kernel register a device.
  const std::uint8_t announce[2] = {vendor_packet, primary_controller};
  auto plug_in = [&] { return write(vhci.get(), announce, sizeof announce) == sizeof announce; };
  if (!plug_in()) {
    std::fprintf(stderr, "virtual_controller: cannot announce the controller: %s\n",
                 std::strerror(errno));
    std::fclose(log);
    return 1;
  }

  std::uint8_t packet[2048];
  for (;;) {
    pollfd waits[2] = {{vhci.get(), POLLIN, 0}, {signals.get(), POLLIN, 0}};
    timespec timeout{};
    timespec *wait_limit = nullptr;
    if (std::optional<std::uint64_t> due = controller.next_due_us()) {
      std::uint64_t now = monotonic_us();
      std::uint64_t left = *due > now ? *due - now : 0;
      timeout.tv_sec = static_cast<time_t>(left / 1000000u);
      timeout.tv_nsec = static_cast<long>(left % 1000000u * 1000u);
      wait_limit = &timeout;
    }
    if (ppoll(waits, 2, wait_limit, nullptr) < 0 && errno != EINTR) {
      std::fprintf(stderr, "virtual_controller: ppoll: %s\n", std::strerror(errno));
      break;
    }
    if (waits[1].revents & POLLIN) {
      signalfd_siginfo signal{};
      if (read(signals.get(), &signal, sizeof signal) != sizeof signal) break;
      if (signal.ssi_signo == SIGUSR1 && vhci.get() >= 0) {
        controller.unplugged(monotonic_us());
        vhci.reset(-1);
      } else if (signal.ssi_signo == SIGUSR2 && vhci.get() < 0) {
        vhci.reset(open("/dev/vhci", O_RDWR | O_CLOEXEC));
        if (vhci.get() < 0 || !plug_in()) {
          std::fprintf(stderr, "virtual_controller: replug: %s\n", std::strerror(errno));
          break;
        }
        controller.replugged(monotonic_us());
      } else if (signal.ssi_signo == SIGTERM || signal.ssi_signo == SIGINT) {
        break;
      }
      continue;
    }
    if (waits[0].revents & (POLLERR | POLLHUP)) {
      std::fprintf(stderr, "virtual_controller: /dev/vhci closed\n");
      break;
    }
    if (waits[0].revents & POLLIN) {
      ssize_t length = read(vhci.get(), packet, sizeof packet);
      std::uint64_t now = monotonic_us();
      if (length >= 4 && packet[0] == vendor_packet) {
        unsigned index = static_cast<unsigned>(packet[2] | packet[3] << 8);
        std::fprintf(log, "ready t_ms=%llu index=%u\n", since_start_ms(), index);
        std::fflush(log);
        std::printf("virtual_controller: hci%u ready\n", index);
        std::fflush(stdout);
      } else if (length > 0) {
        controller.on_host_packet(packet, static_cast<std::size_t>(length), now);
      }
    }
    controller.send_due_reports(monotonic_us());
  }
  controller.write_summary(monotonic_us());
  if (write_failures > 0) {
    std::fprintf(log, "write_failures t_ms=%llu count=%llu\n", since_start_ms(),
                 static_cast<unsigned long long>(write_failures));
  }
  std::fclose(log);
  return 0;
}
