#include "hci_reader.h"

#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "config/configuration.h"
#include "gw_output.h"
#include "stop/stop_flags.h"
#include "pipeline/beacon_report.h"
#include "pipeline/pipeline_counters.h"
#include "pipeline/report_handoff.h"
#include "scan/extended_reassembly.h"

namespace sensor_handler {

namespace {

// Event layout: packet indicator, event code (LE Meta, the only event the
// socket filter lets through outside a command's own wait), parameter
// length, subevent, report count, reports.
constexpr std::uint8_t hci_event_packet = 0x04;
constexpr std::uint8_t le_meta_event = 0x3E;
constexpr std::size_t subevent_offset = 3;
constexpr std::size_t first_report_offset = 5;
constexpr std::uint8_t advertising_report_subevent = 0x02;
constexpr std::uint8_t extended_advertising_report_subevent = 0x0D;

// Process lifetime, off the 128 KiB worker stack, and written only while no
// flag is pending: a consumer that outlives the read phase after a stop
// still reads the bytes it was given. The same holds for the legacy layout
// of a legacy advertisement heard through an extended report.
alignas(4) std::uint8_t event_buffer[hci_event_buffer_size];
alignas(4) std::uint8_t converted_report[legacy_report_capacity];

// One report of an extended report event. False on a stop.
bool hand_on_extended(const ExtendedReport &report) {
  if (!report.legacy_pdu() && service_config.extended_scanning == 2) {
    // The slot of the previous advertisement is free again: hand_off_extended
    // returned, or this is the phase's first report.
    const ExtendedAdvert *advert = reassemble_extended(
        report, static_cast<std::size_t>(service_config.max_extended_data));
    return advert == nullptr || hand_off_extended(*advert);
  }
  if (!report.legacy_pdu()) {
    // A chained advertisement comes in several reports; only the last one
    // says complete or truncated.
    const ExtendedDataStatus status = report.data_status();
    if (status == ExtendedDataStatus::complete || status == ExtendedDataStatus::truncated) {
      scan_counters.extended_not_stored.increment();
    }
    return true;
  }
  // hand_off returned (or this is the phase's first report, after
  // wait_consumers_done): nobody reads the buffer now.
  BeaconReport legacy;
  if (legacy_report_from_extended(report, converted_report, &legacy) != 0) return true;
  scan_counters.legacy_in_extended.increment();
  return hand_off(legacy);
}

timespec monotonic_now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

std::int64_t nanoseconds(const timespec &time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1000000000LL + time.tv_nsec;
}

// Reads and drops what is queued on the device until nothing is left or
// until the deadline. False when the device has gone. The event buffer is
// free: no report is pending.
bool drop_queued_events(int device_handle, std::int64_t deadline) {
  while (service_running() && nanoseconds(monotonic_now()) < deadline) {
    const ssize_t got = recv(device_handle, event_buffer, sizeof event_buffer, MSG_DONTWAIT);
    if (got > 0) continue;
    if (got == 0) return false;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  }
  return true;
}

// Waits up to `left` nanoseconds for the next event beside the stop
// wake-up, and reads it. Its length; 0 to look again (a wake-up without a
// stop, a spurious readiness); -1 when the phase ends: time up, a select
// failure (its line printed), an interrupted read, or the device gone
// (result->device_gone set).
ssize_t wait_and_read(int device_handle, int stop_wake, std::int64_t left, int sensor_number,
                      ReadPhaseResult *result) {
  timeval timeout{};
  timeout.tv_sec = static_cast<time_t>(left / 1000000000LL);
  timeout.tv_usec = static_cast<suseconds_t>((left % 1000000000LL) / 1000);
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(device_handle, &readable);
  if (stop_wake >= 0) FD_SET(stop_wake, &readable);
  const int highest = stop_wake > device_handle ? stop_wake : device_handle;
  const int ready = select(highest + 1, &readable, nullptr, nullptr, &timeout);
  if (ready < 0) {
    gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Select error\n\r", sensor_number);
    return -1;
  }
  if (ready == 0) return -1;
  if (stop_wake >= 0 && FD_ISSET(stop_wake, &readable)) {
    // A wake-up without a stop behind it is used up here, not spun on.
    drain_stop_wake();
    return 0;
  }
  const ssize_t got = read(device_handle, event_buffer, sizeof event_buffer);
  if (got < 0) {
    // A spurious wake-up goes back to select with the time left; an
    // interrupted read ends the phase, a stop being the usual reason.
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    if (errno != EINTR) result->device_gone = true;
    return -1;
  }
  if (got == 0) result->device_gone = true;
  return got == 0 ? -1 : got;
}

}  // namespace

ReadPhaseResult read_advertising_reports(int device_handle, std::uint16_t scan_duration,
                                         int sensor_number) {
  ReadPhaseResult result;
  if (device_handle < 0 || device_handle >= FD_SETSIZE) {
    gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Select error\n\r", sensor_number);
    return result;
  }
  // The caller hands over the low 16 bits: a negative setting would read as
  // a phase of up to 18 hours without size checks or trimming.
  const std::int64_t seconds = service_config.scan_duration < 0 ? 0 : scan_duration;
  // Linux's select writes the time left back, musl's does not, and on both
  // a socket that always has an event ready would keep the phase open: the
  // phase is measured on the monotonic clock and ends at its deadline. A
  // duration of 0 drains what is queued, for a second at most.
  const std::int64_t start = nanoseconds(monotonic_now());
  const std::int64_t deadline = start + seconds * 1000000000LL;
  const std::int64_t phase_end = seconds > 0 ? deadline : start + 1000000000LL;

  drain_stop_wake();
  if (!wait_consumers_done()) return result;
  begin_reassembly_phase();
  const int wake_descriptor = stop_wake_descriptor();
  const int stop_wake = wake_descriptor < FD_SETSIZE ? wake_descriptor : -1;

  // What the radio heard while the controller paced waits in the socket:
  // those events are taken with one call each, without a select in front,
  // until the first look finds the socket empty. From then on each event
  // arrives on its own and select waits for it. Anything but an event sends
  // the look to select and the read after it, which judge it as always.
  bool backlog = true;
  while (service_running()) {
    const std::int64_t now = nanoseconds(monotonic_now());
    if (now >= phase_end) break;
    ssize_t got = -1;
    if (backlog) got = recv(device_handle, event_buffer, sizeof event_buffer, MSG_DONTWAIT);
    if (got <= 0) {
      backlog = false;
      got = wait_and_read(device_handle, stop_wake, deadline > now ? deadline - now : 0,
                          sensor_number, &result);
      if (got < 0) break;
      if (got == 0) continue;
    }
    // The socket delivers whole events: a short read is one short event,
    // not a cut one, and the next read begins the next event.
    if (got <= static_cast<ssize_t>(subevent_offset)) continue;
    // The filter passes only LE Meta events, but a command's answer that
    // came after its wait gave up was let in by the command's own filter
    // and still waits here; its bytes would read as a report.
    if (event_buffer[0] != hci_event_packet || event_buffer[1] != le_meta_event) continue;
    const std::uint8_t subevent = event_buffer[subevent_offset];
    if (subevent != advertising_report_subevent &&
        subevent != extended_advertising_report_subevent) {
      scan_counters.other_subevents.increment();
      continue;
    }
    if (got < static_cast<ssize_t>(first_report_offset)) continue;
    ++result.advertising_events;

    const std::size_t length = static_cast<std::size_t>(got);
    const bool stopped =
        subevent == advertising_report_subevent
            ? !for_each_advertising_report(
                  event_buffer, length, [](const BeaconReport &report) { return hand_off(report); })
            : !for_each_extended_report(event_buffer, length, hand_on_extended);
    if (stopped) break;
  }
  return result;
}

bool discard_queued_events(int device_handle) {
  if (!wait_consumers_done()) return true;
  return drop_queued_events(device_handle, nanoseconds(monotonic_now()) + 1000000000LL);
}

}  // namespace sensor_handler
