// The scan controller: sensor_thread owns the HCI device for one service
// run. It brings the device up (passive LE scan, a socket filter that lets
// only LE Meta events through), then once per sensing period checks the
// database file against its limit (reclaiming space when it is reached),
// runs a read phase while the broker is connected, trims (connected) or
// clears (not connected) table BLE and waits for the next period.
//
// The scan commands come from one of two sets (scan/scan_commands.h), chosen
// at each bring-up by SP_BT5_EXT and by what the controller says it has and
// refuses: 0 the legacy set only; 1 the legacy set unless the controller
// refuses it with Command Disallowed and has the extended one; 2 the
// extended set whenever the controller has it. Every scan command of a
// bring-up, its re-setups and its undoing comes from the set it started
// with (or turned to at the refusal). An extended scan that hears nothing
// for three read phases, while the legacy set was never refused, is tried
// once on the legacy set, and stays there if that hears a report. A refused
// scan command's line is followed by one naming the controller's status.
//
// HCI failures back off through restart_hci_interface, which counts a retry.
// Cycling the interface resets the controller and turns LE scanning off,
// so a back-off while scanning also closes the device: the next cycle sets
// the scan up again. A read phase that finds the controller gone (read
// failure or end of file: the dongle re-enumerated, hci0 was unregistered)
// leads to the same back-off, and the next cycle brings the device up
// again. At the start of the cycle after the third back-off of
// a thread life the interface failure is recorded, published while the
// broker is connected, and the service is stopped with a sensor failure.
// On its way out the thread restores the socket's filter, disables the
// scan and closes the device (only if a bring-up left it open) and ends any
// hciattach daemon; the insert statement is left to the teardown's close.
//
// Store work is not radio failure. A store failure (file size unreadable, a
// failed reclaim or reopen, a table that cannot be cleared) prints its own
// lines, leaves the interface and the retry count alone and is paced: the
// next sensing period, never sooner than a second. The third in a row (a
// good cycle clears the count) ends the service as a sensor failure, as a
// store that cannot be opened at the build does. A reclaim that finds
// another program holding the file (a reader in the way of the checkpoint)
// is no failure at all: what it released stays released, one line says
// that reading is paused, and the next period carries on.
//
// A controller reset while it stays registered (the kernel's recovery after
// a hardware error, a reset by someone else) comes back with its scan off and
// the socket open: after read phases of 60 seconds or more without a single
// advertising event the scan is set up again (disable, parameters, enable),
// silently and without a retry, as a quiet site is legitimate. A cycle that
// follows cycles without a read phase (broker down, maintenance, back-off)
// discards what queued on the socket meanwhile: those advertisements are old.
//
// The device is reached through hci_device_in_use (scan/hci_device.h); the
// database only through the store's locked routines (store/beacon_db.h), so
// the reclaim never races an insert of thread_one or thread_two.
//
// Shared with other threads:
//   scan_ready                written here only; relaxed (diagnostics/tests).
//   interface_failure_count and interface_failure_text
//                             (status/interface_failure.h) written here only.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace sensor_handler {

// Number of the HCI device in "hci%d" and hci_open_dev: the gateway's one
// controller is hci0.
extern std::int32_t hci_device_index;

extern std::atomic<std::int32_t> scan_ready;

// Tells, after each read phase, whether the scan has been silent long enough
// to be set up again. Times come from the caller (the monotonic clock).
class QuietScanWatch {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration quiet_limit = std::chrono::seconds(60);

  // The scan was (re)set up at now.
  void scan_set_up(Clock::time_point now) { since_ = now; }
  // A read phase ended at now, having heard the controller or not. True
  // when the scan should be set up again (the watch then starts anew).
  bool phase_ended(Clock::time_point now, bool heard) {
    if (!heard && now - since_ < quiet_limit) return false;
    since_ = now;
    return !heard;
  }

 private:
  Clock::time_point since_{};
};

// Thread entry; started by run_service when the sensor is enabled.
void *sensor_thread(void *unused);

}  // namespace sensor_handler
