#include "scan_controller.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/hci.h>
#include <bluetooth/hci_lib.h>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <thread>

#include "config/configuration.h"
#include "gw_command.h"
#include "gw_hci.h"
#include "gw_mqtt.h"
#include "gw_output.h"
#include "gw_pacing.h"
#include "stop/stop_flags.h"
#include "scan/hci_device.h"
#include "scan/hci_reader.h"
#include "scan/scan_commands.h"
#include "pipeline/pipeline_counters.h"
#include "status/broker_link.h"
#include "status/interface_failure.h"
#include "store/beacon_db.h"

namespace sensor_handler {

std::int32_t hci_device_index = 0;
std::atomic<std::int32_t> scan_ready{0};

namespace {

constexpr std::uint32_t retry_limit = 2;
// Store failures in a row (file size, reclaim, reopen, table clear) before
// the sensor is given up, as the build gives it up when the open fails.
constexpr std::uint32_t store_failure_limit = 2;
constexpr char interface_failure_message[] = "BT4 Interface Failed";

// Bluetooth Core scan units of 0.625 ms for a time in milliseconds: the
// product first, then the truncating division, in 32 bits. The LE command
// takes the low 16 bits (40,960 ms is sent as 0).
constexpr std::uint32_t scan_units(std::int32_t milliseconds) {
  return static_cast<std::uint32_t>(milliseconds) * 8u / 5u;
}

// The statuses a refused scan command usually carries, by their names in
// the Bluetooth Core, so that the line says what an operator can look up.
const char *status_name(int status) {
  switch (status) {
    case 0x01: return " (Unknown HCI Command)";
    case 0x0C: return " (Command Disallowed)";
    case 0x11: return " (Unsupported Feature or Parameter Value)";
    case 0x12: return " (Invalid HCI Command Parameters)";
    default: return "";
  }
}

// SP_BT5_EXT.
constexpr std::int32_t legacy_only = 0;
constexpr std::int32_t extended_when_supported = 2;
// Read phases without a single report before the extended scan is taken for
// one that cannot hear (and before a legacy trial is taken for a quiet site).
constexpr std::uint32_t silent_phase_limit = 3;

// One thread life of the controller.
class ScanController {
 public:
  explicit ScanController(HciDevice &device)
      : device_(device),
        sensor_(static_cast<int>(service_config.sensor_number)),
        sensing_rate_(static_cast<std::uint32_t>(service_config.sensing_rate)),
        interval_units_(scan_units(service_config.scan_interval)),
        window_units_(scan_units(service_config.scan_window)) {
    scan_ready.store(0, std::memory_order_relaxed);
    interface_failure_count.store(0, std::memory_order_relaxed);
    scan_deadline_ = gw::pacing_clock_seconds() + sensing_rate_;
  }

  void run() {
    while (service_running()) cycle();
    shut_down();
  }

  // The back-off step of an HCI failure.
  void back_off() {
    // A stopping service needs no interface cycle: the next build brings the
    // interface up from scratch.
    if (!service_running()) return;
    if (handle_ >= 0) {
      // The interface cycle resets the controller and its scan: close now
      // and let the next cycle set the scan up again.
      undo_scan_setup();
      scan_ready.store(0, std::memory_order_relaxed);
    }
    gw::restart_hci_interface(hci_device_index, sensor_, retry_count_);
  }

 private:
  void cycle() {
    ++cycle_number_;
    if (retry_count_ > retry_limit) {
      report_interface_failure();
    } else if (store_failures_ > store_failure_limit) {
      report_store_failure();
    }

    if (scan_ready.load(std::memory_order_relaxed) == 0 && !bring_up()) {
      back_off_and_pace();
      return;
    }

    await_first_link();
    float size = 0.0f;
    if (gw::file_size_mib(service_config.db_path, &size, sensor_) != 0) {
      gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Cannot get file Size\n\r", sensor_);
      pace_store_failure();
      return;
    }

    bool store_failed = false;
    const float limit = static_cast<float>(static_cast<std::uint32_t>(service_config.max_storage_limit));
    if (!(limit > size)) {
      // A failed, deferred or busy reclaim still runs the table step:
      // trimming the published rows is what lets the file shrink at a later
      // reclaim. Each reason for the pause of reading is reported once
      // until reading resumes.
      const ReclaimResult reclaimed = reclaim_beacon_space(
          sensor_, last_reclaim_ != ReclaimResult::deferred, pause_between_reopens, this);
      if (reclaimed == ReclaimResult::stopped) return;
      if (reclaimed == ReclaimResult::busy && last_reclaim_ != ReclaimResult::busy) {
        gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Database in use by another program, space "
                      "reclaim continues next period, reading paused\n\r", sensor_);
      }
      store_failed = reclaimed == ReclaimResult::vacuum_failed;
      last_reclaim_ = reclaimed;
    } else if (mqtt_connected.load()) {
      last_reclaim_ = ReclaimResult::reopened;
      // What queued while no read phase ran is old; a socket opened in this
      // cycle holds nothing old.
      const bool after_gap =
          cycle_number_ != last_phase_cycle_ + 1 && cycle_number_ != open_cycle_;
      last_phase_cycle_ = cycle_number_;
      if (after_gap && !drop_old_events()) {
        back_off_and_pace();
        return;
      }
      const ReadPhaseResult phase = read_advertising_reports(
          handle_, static_cast<std::uint16_t>(service_config.scan_duration), sensor_);
      if (phase.device_gone) {
        back_off_and_pace();
        return;
      }
      watch_extended_scan(phase.advertising_events > 0);
      if (quiet_.phase_ended(QuietScanWatch::Clock::now(), phase.advertising_events > 0)) {
        set_scan_up_again();
      }
    }

    if (mqtt_connected.load()) {
      delete_published_beacon_rows(last_published_dbid.load(std::memory_order_relaxed), sensor_);
    } else if (!gw::link_outcome_known.load(std::memory_order_acquire)) {
      // The run's first connect is still under way: the rows the previous
      // run's stop stored wait for it rather than count as an outage.
    } else if (clear_beacon_table(sensor_) != 0) {
      gw::gw_printf("ZENTIB_ERROR : Cannot Clear Table\n\r");
      store_failed = true;
    }
    if (store_failed) {
      pace_store_failure();
    } else {
      store_failures_ = 0;
      pace();
    }
  }

  void report_interface_failure() {
    gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Software Retries done\n\r", sensor_);
    std::memset(interface_failure_text, 0, sizeof interface_failure_text);
    std::memcpy(interface_failure_text, interface_failure_message, sizeof interface_failure_message);
    interface_failure_count.fetch_add(1, std::memory_order_release);
    // The ping thread would send it at its next turn, but the stop below
    // takes the connection down first: the failure goes out now.
    if (mqtt_connected.load()) publish_interface_failure();
    notify_and_stop(StopReason::sensor_failure);
  }

  // A store that keeps failing is given up as the build gives up one it
  // cannot open: the parent restarts the process after its pause, and the
  // new build opens (or creates) the file afresh, which is what puts right
  // a file removed, replaced or gone bad under the running gateway. A
  // failure that comes and goes never adds up: any good cycle starts the
  // count again. The radio is fine, so no interface failure is recorded.
  void report_store_failure() {
    gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Database failed %u times in a row\n\r", sensor_,
                  static_cast<unsigned>(store_failures_));
    notify_and_stop(StopReason::sensor_failure);
  }

  // The run's first read-phase choice. The connect runs beside the bring-up
  // and usually ends within a second of it: a link a moment late would
  // otherwise cost the whole first sensing period, and the reports it heard
  // would be dropped as old when reading starts. So the first choice waits for
  // the link, never past the gap the period leaves beside its read phase nor
  // past 2 s; a broker that is down costs the run that much once. The
  // periods then count from the end of the wait, as they count from a
  // bring-up: a cycle pushed into its deadline's second would otherwise wait
  // a whole extra period, and at a busy site the controller's queue would
  // overflow meanwhile.
  void await_first_link() {
    if (!first_choice_) return;
    first_choice_ = false;
    const std::int32_t spare = static_cast<std::int32_t>(sensing_rate_) - service_config.scan_duration - 1;
    if (spare <= 0) return;
    const auto grace = std::chrono::seconds(spare > 2 ? 2 : spare);
    const auto until = std::chrono::steady_clock::now() + grace;
    while (!mqtt_connected.load() && service_running() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    scan_deadline_ = gw::pacing_clock_seconds() + sensing_rate_;
  }

  // Interface up, device open, passive scan on, LE Meta events only. False
  // after its message, with nothing left open.
  bool bring_up() {
    char command[gw::command_capacity] = {};
    std::snprintf(command, sizeof command, "hciconfig hci%d up >/dev/null 2>&1",
                  static_cast<int>(hci_device_index));
    if (gw::run_command(command) != 0) {
      gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Cannot Execute %s\n\r", sensor_, command);
      return false;
    }
    handle_ = device_.open_device(hci_device_index);
    if (handle_ < 0) {
      handle_ = -1;
      gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Could not open device\n\r", sensor_);
      return false;
    }
    // Read at every bring-up: a dongle may have been swapped meanwhile.
    support_ = read_controller_support(device_, handle_);
    set_ = preferred_set();
    legacy_trial_ = false;
    silent_phases_ = 0;
    const ScanSetup setup = set_scan_up();
    if (setup.failed == ScanStep::parameters) {
      gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Set scan parameters failed\n\r", sensor_);
      report_status(setup.status);
      close_device();
      return false;
    }
    if (setup.failed == ScanStep::enable) {
      gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Enable scan failed\n\r", sensor_);
      report_status(setup.status);
      disable_and_close();
      return false;
    }
    if (device_.get_filter(handle_, &saved_filter_) < 0) {
      gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Could not get socket options\n\r", sensor_);
      disable_and_close();
      return false;
    }
    hci_filter filter;
    hci_filter_clear(&filter);
    hci_filter_set_ptype(HCI_EVENT_PKT, &filter);
    hci_filter_set_event(EVT_LE_META_EVENT, &filter);
    if (device_.set_filter(handle_, filter) < 0) {
      gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Could not set socket options\n\r", sensor_);
      disable_and_close();
      return false;
    }
    scan_ready.store(1, std::memory_order_relaxed);
    show_mode();
    scan_deadline_ = gw::pacing_clock_seconds() + sensing_rate_;
    quiet_.scan_set_up(QuietScanWatch::Clock::now());
    open_cycle_ = cycle_number_;
    return true;
  }

  // The command set a bring-up starts with. SP_BT5_EXT 1 starts with the
  // legacy set, which every controller had before Bluetooth 5, and turns
  // to the extended one only when the controller refuses legacy scanning
  // (set_scan_up); once refused, later bring-ups of the thread life start
  // extended. A fallback to legacy (watch_extended_scan) holds for the rest
  // of the thread life unless the controller refuses legacy again.
  CommandSet preferred_set() const {
    const std::int32_t setting = service_config.extended_scanning;
    if (!support_.extended_scanning || setting == legacy_only || extended_given_up_) {
      return CommandSet::legacy;
    }
    return setting == extended_when_supported || legacy_refused_ ? CommandSet::extended
                                                                  : CommandSet::legacy;
  }

  bool may_turn_to_extended() const {
    return set_ == CommandSet::legacy && support_.extended_scanning &&
           service_config.extended_scanning != legacy_only;
  }

  // Disable, parameters, enable, all in the set in use. The disable's answer
  // counts only as a refusal of the legacy set.
  enum class ScanStep : std::uint8_t { done, disable, parameters, enable };
  struct ScanSetup {
    ScanStep failed;
    int status;
  };

  ScanSetup send_scan_setup() {
    const int disabled = set_scan_enable(device_, handle_, set_, false);
    if (disabled == status_command_disallowed && may_turn_to_extended()) {
      return {ScanStep::disable, disabled};
    }
    int status = set_scan_parameters(device_, handle_, set_, static_cast<std::uint16_t>(interval_units_),
                                     static_cast<std::uint16_t>(window_units_), scan_phys());
    if (status != 0) return {ScanStep::parameters, status};
    status = set_scan_enable(device_, handle_, set_, true);
    if (status != 0) return {ScanStep::enable, status};
    return {ScanStep::done, 0};
  }

  // A controller that has used an extended command since its reset (Linux
  // sends one while it initialises a controller with extended advertising)
  // may refuse every legacy scan command: the bring-up then starts again in
  // the extended set, from its first command.
  ScanSetup set_scan_up() {
    const ScanSetup setup = send_scan_setup();
    if (setup.status != status_command_disallowed || !may_turn_to_extended()) return setup;
    legacy_refused_ = true;
    set_ = CommandSet::extended;
    return send_scan_setup();
  }

  // The PHYs of an extended scan: SP_BT5_PHY when extended advertisements
  // are stored (SP_BT5_EXT 2), the 1M PHY, where every legacy advertiser
  // is, otherwise. Coded only on a controller that has it; without it the
  // 1M PHY, said once a thread life.
  std::uint8_t scan_phys() {
    if (service_config.extended_scanning != extended_when_supported) return scan_phy_1m;
    const auto wanted = static_cast<std::uint8_t>(service_config.scan_phys);
    if ((wanted & scan_phy_coded) == 0 || support_.coded_phy) return wanted;
    if (!coded_missing_said_) {
      coded_missing_said_ = true;
      gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Controller has no LE Coded PHY, scanning the 1M "
                    "PHY only\n\r", sensor_);
    }
    return scan_phy_1m;
  }

  void report_status(int status) {
    if (status < 0) {
      gw::gw_printf("ZENTIB_ERROR : SENSOR%d : No answer from the controller\n\r", sensor_);
    } else {
      gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Controller status 0x%02X%s\n\r", sensor_, status,
                    status_name(status));
    }
  }

  void show_mode() {
    scan_counters.mode.store(set_ == CommandSet::legacy ? ScanMode::legacy : ScanMode::extended,
                             std::memory_order_relaxed);
  }

  // The scan part of a bring-up on the open device, for a controller that
  // may have been reset under us; results are of no use here (a failure
  // shows as more silence and another try).
  void set_scan_up_again() {
    set_scan_up();
    show_mode();
  }

  // An extended scan that hears nothing at all while the legacy set was
  // never refused may be a controller or kernel that keeps extended reports
  // from us. After silent_phase_limit silent read phases the legacy set is
  // tried, once per thread life; it is kept, with one line, as soon as it
  // hears a report. A legacy scan just as silent means a quiet site: the
  // scan goes back to the extended set for good.
  void watch_extended_scan(bool heard) {
    if (legacy_trial_) {
      if (heard) {
        legacy_trial_ = false;
        extended_given_up_ = true;
        gw::gw_printf("ZENTIB_ERROR : SENSOR%d : No reports from extended scanning, legacy "
                      "scanning from now on\n\r", sensor_);
      } else if (++silent_phases_ >= silent_phase_limit) {
        legacy_trial_ = false;
        set_scan_enable(device_, handle_, set_, false);
        set_ = CommandSet::extended;
        set_scan_up_again();
      }
      return;
    }
    // A scan of the Coded PHY alone may well be silent: its owner chose it.
    if (set_ != CommandSet::extended || legacy_refused_ || fallback_tried_ ||
        (scan_phys() & scan_phy_1m) == 0) {
      return;
    }
    if (heard) {
      fallback_tried_ = true;
      return;
    }
    if (++silent_phases_ < silent_phase_limit) return;
    fallback_tried_ = true;
    silent_phases_ = 0;
    set_scan_enable(device_, handle_, set_, false);
    set_ = CommandSet::legacy;
    const ScanSetup setup = send_scan_setup();
    if (setup.failed == ScanStep::done) {
      legacy_trial_ = true;
      show_mode();
      return;
    }
    if (setup.status == status_command_disallowed) legacy_refused_ = true;
    set_ = CommandSet::extended;
    set_scan_up_again();
  }

  // With the scan paused the queue holds only what came before and runs
  // dry, however busy the air: the drop never eats into what comes now.
  // False when the device has gone.
  bool drop_old_events() {
    set_scan_enable(device_, handle_, set_, false);
    const bool present = discard_queued_events(handle_);
    if (present) set_scan_enable(device_, handle_, set_, true);
    return present;
  }

  void close_device() {
    device_.close_device(handle_);
    handle_ = -1;
  }

  void disable_and_close() {
    set_scan_enable(device_, handle_, set_, false);
    close_device();
    scan_counters.mode.store(ScanMode::none, std::memory_order_relaxed);
  }

  // The reverse of a successful bring-up; results are of no use here.
  void undo_scan_setup() {
    device_.set_filter(handle_, saved_filter_);
    disable_and_close();
  }

  // Between the reclaim's reopen attempts: each failed one is a store
  // failure, paced as any other. False once the limit is passed: the reclaim
  // then gives up and the next cycle ends the service.
  static bool pause_between_reopens(void *controller) {
    auto *self = static_cast<ScanController *>(controller);
    if (self->store_failures_ >= store_failure_limit) {
      ++self->store_failures_;
      return false;
    }
    self->pace_store_failure();
    return true;
  }

  // A store failure is counted and paced: the next sensing period, never
  // sooner than a second (a period of 0 would repeat its lines 20 times a
  // second). The interface is left alone.
  void pace_store_failure() {
    ++store_failures_;
    if (sensing_rate_ == 0) {
      gw::pacing_sleep(1000);
    } else {
      pace();
    }
  }

  void back_off_and_pace() {
    back_off();
    pace();
  }

  void pace() { gw::wait_next_period(&scan_deadline_, sensing_rate_, sensor_); }

  void shut_down() {
    if (handle_ >= 0) undo_scan_setup();
    scan_ready.store(0, std::memory_order_relaxed);
    reset_scan_counters();
    // The insert statement stays: thread_two may still flush the window the
    // stop cut short, and the teardown's close finalizes it.
    gw::run_command("kill `pgrep hciattach` >/dev/null 2>&1");
  }

  HciDevice &device_;
  const int sensor_;
  const std::uint32_t sensing_rate_;
  const std::uint32_t interval_units_;
  const std::uint32_t window_units_;
  int handle_ = -1;
  std::uint32_t retry_count_ = 0;
  std::uint32_t scan_deadline_ = 0;
  hci_filter saved_filter_{};
  // Cycles of this thread life, the last one that ran a read phase and the
  // last one that opened the device.
  std::uint64_t cycle_number_ = 0;
  std::uint64_t last_phase_cycle_ = 0;
  std::uint64_t open_cycle_ = 0;
  QuietScanWatch quiet_;
  // What the last reclaim since the last read phase came to: the line of a
  // deferred or busy reclaim is printed when the reason is new, and again
  // once a read phase has run in between. reopened: none.
  ReclaimResult last_reclaim_ = ReclaimResult::reopened;
  // Store failures in a row, each paced (pace_store_failure); a good cycle
  // clears it.
  std::uint32_t store_failures_ = 0;
  bool first_choice_ = true;
  // The scan command set of the open device and what its controller has;
  // what this thread life learnt of the controller (see preferred_set).
  ControllerSupport support_;
  CommandSet set_ = CommandSet::legacy;
  bool legacy_refused_ = false;
  bool fallback_tried_ = false;
  bool legacy_trial_ = false;
  bool extended_given_up_ = false;
  bool coded_missing_said_ = false;
  std::uint32_t silent_phases_ = 0;
};

}  // namespace

void *sensor_thread(void *) {
  ScanController controller(*hci_device_in_use);
  controller.run();
  return nullptr;
}

}  // namespace sensor_handler
