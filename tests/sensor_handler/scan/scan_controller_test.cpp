// sensor_thread on the HCI device double, the real beacon store and the
// sandbox's fake hciconfig: bring-up and shutdown, the failure rows, the
// retry limit, the broker-dependent steps, and the reclaim against inserts.
#include "scan/scan_controller.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "broker.h"
#include "config/configuration.h"
#include "config/identity.h"
#include "gw_mqtt.h"
#include "gw_pacing.h"
#include "stop/stop_flags.h"
#include "pipeline/pipeline_counters.h"
#include "pipeline/raw_window.h"
#include "pipeline/report_handoff.h"
#include "sandbox.h"
#include "scan/fake_hci_device.h"
#include "signal_recorder.h"
#include "status/broker_link.h"
#include "status/interface_failure.h"
#include "stdout_capture.h"
#include "store/beacon_db.h"
#include "store/db_reader.h"
#include "uplink/mqtt_link.h"
#include "uplink/publisher.h"
#include "uplink/test_client.h"

namespace sensor_handler {
namespace {

using namespace std::chrono_literals;
using Calls = std::vector<std::string>;

constexpr char database_path[] = "/tmp/beacons.db";
const std::string prefix = "ZENTIB_ERROR : SENSOR1 : ";
const Calls bring_up = {"open 0", "read_commands", "read_features", "scan_enable 0 0 1000",
                        "scan_parameters 0 00A0 00A0 0 0 1000",
                        "scan_enable 1 0 1000", "get_filter",
                        "set_filter 00000010 00000000 40000000 0000"};
const Calls undo = {scan_test::filter_text(scan_test::saved_filter), "scan_enable 0 0 1000", "close"};

Calls joined(Calls a, const Calls &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Calls first(std::size_t n, const Calls &calls) { return Calls(calls.begin(), calls.begin() + n); }

bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds timeout = 15s) {
  for (auto until = std::chrono::steady_clock::now() + timeout; !done();) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// One report from 665544332211, RSSI -60, no data.
const std::uint8_t advert_665544332211[] = {0x04, 0x3E, 0x0C, 0x02, 0x01, 0x00, 0x00, 0x11,
                                            0x22, 0x33, 0x44, 0x55, 0x66, 0x00, 0xC4};

std::vector<gwtest::BeaconRow> rows() { return gwtest::DbReader(database_path).rows(); }

class ScanControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(gwtest::reset_sandbox());
    ASSERT_TRUE(parent_.ok());
    parent_pid = parent_.pid();  // reason 3 signals it
    clear_stop_state();
    service_config = ServiceConfig{};
    std::snprintf(service_config.db_path, sizeof service_config.db_path, "%s", database_path);
    last_published_dbid.store(0);
    highest_selected_dbid.store(0);
    reset_handoff();
    ASSERT_EQ(open_beacon_db(), 0);
    use_new_device();
  }
  void TearDown() override {
    close_beacon_db();
    hci_device_in_use = bluez_;
    clear_stop_state();
  }

  static void clear_stop_state() {
    exit_requested.store(false);
    clear_restart_request();
    gw::clear_pacing_cancelled();
    gw::clear_attach_stop();
    gw::clear_connect_stop();  // a reason-3 stop raised it; publishes refuse while it is
    exit_code.store(0);
    mqtt_connected.store(false);
    gw::link_outcome_known.store(true);
  }

  void use_new_device() {
    device_ = std::make_unique<scan_test::FakeHciDevice>();
    hci_device_in_use = device_.get();
  }

  // Runs the controller through script (true when all it waited for came),
  // stops it as a signal would, joins it and returns what it printed.
  std::string run(const std::function<bool()> &script) {
    std::string text;
    bool reached = false;
    {
      gwtest::StdoutCapture output;
      pthread_t thread;
      if (pthread_create(&thread, nullptr, sensor_thread, nullptr) == 0) {
        reached = script();
        request_restart();
        pthread_join(thread, nullptr);
      }
      text = output.text();
    }
    clear_restart_request();
    gw::clear_pacing_cancelled();
    EXPECT_TRUE(reached);
    // Failures inside the script were printed into the capture.
    if (HasFailure()) std::fprintf(stderr, "%s\n", text.c_str());
    return text;
  }

  std::function<bool()> until_scanning() {
    return [] { return wait_until([] { return scan_ready.load() == 1; }); };
  }

  gwtest::SignalRecorder parent_;
  gwtest::FakeCommand hciconfig_{"hciconfig"};
  std::unique_ptr<scan_test::FakeHciDevice> device_;
  HciDevice *const bluez_ = hci_device_in_use;
};

TEST_F(ScanControllerTest, BringUpSetsAPassiveScanAndShutdownRestoresTheSocket) {
  // The command carries 16 bits of units: 40,960 ms wrap to 0, 41,000 to 64.
  for (auto [interval, window, parameters] :
       {std::tuple{100, 100, "scan_parameters 0 00A0 00A0 0 0 1000"},
        std::tuple{40960, 41000, "scan_parameters 0 0000 0040 0 0 1000"}}) {
    hciconfig_.clear();
    use_new_device();
    service_config.scan_interval = interval;
    service_config.scan_window = window;
    EXPECT_EQ(run(until_scanning()), "");
    Calls expected = joined(bring_up, undo);
    expected[4] = parameters;
    EXPECT_EQ(device_->calls(), expected);
    EXPECT_EQ(device_->misuse(), 0);
    EXPECT_EQ(hciconfig_.calls(), Calls{"hci0 up"});
  }
}

TEST_F(ScanControllerTest, EveryBringUpFailureClosesWhatItOpenedAndBacksOff) {
  const Calls disable_close = {"scan_enable 0 0 1000", "close"};
  const std::string silent = "\n\r" + prefix + "No answer from the controller";
  struct Case {
    const char *step;
    std::string message;
    Calls device_calls;
  } cases[] = {
      // A device never opened is not touched again, not even at shutdown.
      {"open", "Could not open device", {"open 0"}},
      {"scan_parameters", "Set scan parameters failed" + silent,
       joined(first(5, bring_up), {"close"})},
      {"scan_enable 1", "Enable scan failed" + silent, joined(first(6, bring_up), disable_close)},
      {"get_filter", "Could not get socket options", joined(first(7, bring_up), disable_close)},
      {"set_filter", "Could not set socket options", joined(bring_up, disable_close)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.step);
    hciconfig_.clear();
    use_new_device();
    device_->fail(c.step);
    // The stop cuts the back-off's pause short; the interface still comes up.
    EXPECT_EQ(run([&] { return hciconfig_.wait_for_calls(2, 10s); }), prefix + c.message + "\n\r");
    EXPECT_EQ(device_->calls(), c.device_calls);
    EXPECT_EQ(device_->misuse(), 0);
    EXPECT_EQ(hciconfig_.calls(), (Calls{"hci0 up", "hci0 down", "hci0 up"}));
  }
}

// The bring-up's scan commands, all of one set, for each setting on a
// Bluetooth 4 controller and on a lenient and a strict Bluetooth 5 one;
// with extended advertisements stored, the PHYs the controller has, Coded
// at three times the 1M timing (capped).
TEST_F(ScanControllerTest, CommandSetFollowsTheSettingAndWhatTheControllerTakes) {
  const Calls legacy = {"scan_enable 0 0 1000", "scan_parameters 0 00A0 00A0 0 0 1000",
                        "scan_enable 1 0 1000"};
  auto extended = [](const std::string &phys) {
    return Calls{"ext_scan_enable 0 0 0000 0000", "ext_scan_parameters 0 0 " + phys,
                 "ext_scan_enable 1 0 0000 0000"};
  };
  const std::string on_1m = "1 0 00A0 00A0";
  const Calls opened = first(3, bring_up), filters = {bring_up[6], bring_up[7]};
  enum Controller { bluetooth_4, lenient, strict, without_coded };
  struct Case {
    int setting;
    Controller controller;
    Calls scan;
    int phys, interval;
    std::string output;
  } cases[] = {
      {0, lenient, legacy, 1, 100, ""},
      {1, bluetooth_4, legacy, 1, 100, ""},
      {1, lenient, legacy, 1, 100, ""},
      {1, strict, joined({legacy[0]}, extended(on_1m)), 5, 100, ""},  // PHYs only when stored
      {2, bluetooth_4, legacy, 1, 100, ""},
      {2, lenient, extended(on_1m), 1, 100, ""},
      {2, strict, extended(on_1m), 1, 100, ""},
      {2, lenient, extended("5 0 00A0 00A0 0 01E0 01E0"), 5, 100, ""},
      {2, lenient, extended("4 0 FFFF 01E0"), 4, 30000, ""},
      {2, without_coded, extended(on_1m), 5, 100,
       prefix + "Controller has no LE Coded PHY, scanning the 1M PHY only\n\r"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "SP_BT5_EXT " << c.setting << ", controller " << c.controller
                                    << ", PHYs " << c.phys);
    use_new_device();
    if (c.controller != bluetooth_4) {
      device_->bluetooth_5(c.controller == strict, c.controller != without_coded);
    }
    service_config.extended_scanning = c.setting;
    service_config.scan_phys = c.phys;
    service_config.scan_interval = c.interval;
    const ScanMode mode = c.scan.back() == legacy.back() ? ScanMode::legacy : ScanMode::extended;
    ScanMode seen = ScanMode::none;
    EXPECT_EQ(run([&] {
                return until_scanning()() && (seen = scan_counters.mode.load(), true);
              }),
              c.output);
    EXPECT_EQ(seen, mode);
    EXPECT_EQ(scan_counters.mode.load(), ScanMode::none);
    const std::string off = mode == ScanMode::legacy ? legacy[0] : extended(on_1m)[0];
    EXPECT_EQ(device_->calls(), joined(joined(joined(opened, c.scan), filters), {undo[0], off, "close"}));
  }
  // Legacy only on a controller that refuses it: the refusal is named.
  use_new_device();
  hciconfig_.clear();
  device_->bluetooth_5(true);
  service_config.extended_scanning = 0;
  service_config.scan_interval = 100;
  EXPECT_EQ(run([&] { return hciconfig_.wait_for_calls(2, 10s); }),
            prefix + "Set scan parameters failed\n\r" + prefix +
                "Controller status 0x0C (Command Disallowed)\n\r");
  EXPECT_EQ(device_->calls(), joined(joined(opened, first(2, legacy)), {"close"}));
}

// An extended scan that hears nothing tries the legacy set once: kept when
// it hears, given back for a quiet site, never tried on a strict controller.
TEST_F(ScanControllerTest, SilentExtendedScanTriesTheLegacySetOnce) {
  const std::string fell_back =
      prefix + "No reports from extended scanning, legacy scanning from now on\n\r";
  const Calls off = {"ext_scan_enable 0 0 0000 0000"};
  const Calls legacy = {"scan_enable 0 0 1000", "scan_parameters 0 00A0 00A0 0 0 1000",
                        "scan_enable 1 0 1000"};
  const Calls extended = {off[0], "ext_scan_parameters 0 0 1 0 00A0 00A0",
                          "ext_scan_enable 1 0 0000 0000"};
  struct Case {
    bool strict, heard;
    Calls after_bring_up;
    std::string output;
  } cases[] = {
      {false, true, joined(off, legacy), fell_back},
      {false, false, joined(joined(off, legacy), joined({legacy[0]}, extended)), ""},
      {true, false, joined(joined(off, {legacy[0]}), extended), ""},
  };
  service_config.extended_scanning = 2;
  service_config.sensing_rate = 1;
  service_config.scan_duration = 0;
  mqtt_connected.store(true);
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "strict " << c.strict << ", heard " << c.heard);
    use_new_device();
    device_->bluetooth_5(c.strict);
    const std::size_t setup = bring_up.size();
    EXPECT_EQ(run([&] {
                if (!wait_until([&] { return device_->calls().size() >= setup + 4; })) return false;
                if (c.heard) {
                  if (write(device_->peer(), advert_665544332211, 15) != 15 ||
                      !wait_until([] { return raw_pending.load() == 1; })) {
                    return false;
                  }
                  finish_raw_report();
                }
                // Phases enough for a second try, which must not come.
                std::this_thread::sleep_for(c.heard ? 1500ms : 5s);
                return true;
              }),
              c.output);
    const Calls calls = device_->calls();
    EXPECT_EQ(Calls(calls.begin() + static_cast<long>(setup), calls.end() - 3), c.after_bring_up);
  }
}

TEST_F(ScanControllerTest, ThirdBackOffEndsTheServiceAtTheNextCycleAndEachRescans) {
  device_->fail("open", 1);
  mqtt_connected.store(true);
  const char kept[] = "/tmp/kept.db";
  const std::string text = run([&] {
    if (!wait_until([&] { return device_->count("open 0") == 2 && scan_ready.load() == 1; })) {
      return false;
    }
    // Two more back-offs, from a controller that went away, each after
    // cycles that went well; the first is brought up again. A database file
    // missing for a moment between them is a store failure and counts no
    // retry.
    std::this_thread::sleep_for(200ms);
    shutdown(device_->peer(), SHUT_RDWR);
    if (!wait_until([&] { return device_->count("open 0") == 3 && scan_ready.load() == 1; })) {
      return false;
    }
    mqtt_connected.store(false);  // cycles without a read phase, after this one
    if (std::rename(database_path, kept) != 0) return false;
    std::this_thread::sleep_for(1500ms);
    if (std::rename(kept, database_path) != 0 || !service_running()) return false;
    mqtt_connected.store(true);
    shutdown(device_->peer(), SHUT_RDWR);
    return wait_until([] { return !service_running(); });
  });

  std::size_t at = 0;
  for (std::string line : {"Could not open device", "Cannot get file Size",
                           "Software Retries done\n\rZENTIB_ERROR : Restarting Program due "
                           "Sensor1(BLE) Failure"}) {
    at = text.find(line + "\n\r", at + 1);
    ASSERT_NE(at, std::string::npos) << line << "\n" << text;
  }
  EXPECT_EQ(text.find("Retries done"), text.rfind("Retries done"));
  EXPECT_EQ(exit_code.load(), 3u);
  EXPECT_TRUE(exit_requested.load());
  EXPECT_EQ(interface_failure_count.load(), 1);
  EXPECT_EQ(std::string(interface_failure_text), "BT4 Interface Failed");
  EXPECT_TRUE(parent_.wait_for("SIGUSR1", 1, 5s));
  EXPECT_EQ(device_->open_handle(), -1);
  EXPECT_EQ(device_->misuse(), 0);
  EXPECT_EQ(device_->count(undo[0]), device_->count("close"));
  const Calls calls = hciconfig_.calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "hci0 down"), 3) << text;
}

TEST_F(ScanControllerTest, ReadPhaseAndTableStepFollowTheBrokerLink) {
  const auto &old_advert = advert_665544332211;
  std::uint8_t new_advert[sizeof old_advert];
  std::memcpy(new_advert, old_advert, sizeof old_advert);
  new_advert[7] = 0x77;
  run([&] {
    if (!until_scanning()()) return false;
    EXPECT_EQ(write(device_->peer(), old_advert, sizeof old_advert),
              static_cast<ssize_t>(sizeof old_advert));
    // A new run's first connect under way: what the last stop stored stays.
    gw::link_outcome_known.store(false);
    EXPECT_EQ(insert_beacon_row(1, "AA", nullptr), SQLITE_DONE);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(rows().size(), 1u);
    // Broker down: the table is emptied every period and nothing is read.
    gw::link_outcome_known.store(true);
    if (!wait_until([] { return rows().empty(); })) return false;
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(raw_pending.load(), 0);
    std::uint8_t peek[32];
    EXPECT_EQ(recv(device_->open_handle(), peek, sizeof peek, MSG_PEEK | MSG_DONTWAIT),
              static_cast<ssize_t>(sizeof old_advert));

    // Broker up: what queued meanwhile is dropped unread, what comes after
    // is handed off, then the table step trims only what was published.
    mqtt_connected.store(true);
    if (!wait_until([&] {
          return recv(device_->open_handle(), peek, sizeof peek, MSG_PEEK | MSG_DONTWAIT) < 0;
        })) {
      return false;
    }
    EXPECT_EQ(write(device_->peer(), new_advert, sizeof new_advert),
              static_cast<ssize_t>(sizeof new_advert));
    if (!wait_until([] { return raw_pending.load() == 1; })) return false;
    EXPECT_EQ(current_report.load()->address()[0], 0x77) << "the old advert was handed off";
    for (const char *payload : {"B1", "B2", "B3"}) insert_beacon_row(2, payload, nullptr);
    last_published_dbid.store(static_cast<std::uint64_t>(rows().at(1).dbid));
    finish_raw_report();
    if (!wait_until([] { return rows().size() == 1; })) return false;
    std::this_thread::sleep_for(1500ms);  // more read phases and table steps
    EXPECT_EQ(rows().size(), 1u);
    EXPECT_EQ(rows().at(0).payload, "B3");

    mqtt_connected.store(false);
    return wait_until([] { return rows().empty(); }, 5s);
  });
}

// A link up a moment after the scan still gets the first period's read
// phase, and what the radio heard meanwhile; the wait costs no period, even
// when that phase runs long (a busy site's processing).
TEST_F(ScanControllerTest, FirstReadPhaseWaitsForALinkAMomentLate) {
  service_config.sensing_rate = 4;  // 2 s to spare beside the 1 s read phase
  gw::link_outcome_known.store(false);
  run([&] {
    if (!until_scanning()() || write(device_->peer(), advert_665544332211, 15) != 15) return false;
    std::this_thread::sleep_for(1500ms);
    mqtt_connected.store(true);
    if (!wait_until([] { return raw_pending.load() == 1; }, 2s)) return false;
    const auto first_phase = std::chrono::steady_clock::now();
    // Held past the phase's end: counted from the bring-up, this cycle ends
    // past its deadline and the next waits a whole extra period.
    std::this_thread::sleep_for(2600ms);
    finish_raw_report();
    if (write(device_->peer(), advert_665544332211, 15) != 15) return false;
    const bool next_period = wait_until([] { return raw_pending.load() == 1; }, 6s);
    finish_raw_report();
    EXPECT_LT(std::chrono::steady_clock::now() - first_phase, 5500ms) << "a period was skipped";
    return next_period;
  });
}

// A controller that goes away ends the read phase: the setup is undone, a
// back-off counted and the device brought up again; one that stays away
// runs out of retries.
TEST_F(ScanControllerTest, ControllerThatGoesAwayIsBroughtUpAgainOrEndsTheService) {
  mqtt_connected.store(true);
  const std::string text = run([&] {
    if (!until_scanning()()) return false;
    shutdown(device_->peer(), SHUT_RDWR);
    if (!wait_until([&] { return device_->count("open 0") == 2 && scan_ready.load() == 1; })) {
      return false;
    }
    EXPECT_EQ(device_->calls(), joined(joined(bring_up, undo), bring_up));
    EXPECT_EQ(hciconfig_.calls(), (Calls{"hci0 up", "hci0 down", "hci0 up", "hci0 up"}));
    EXPECT_TRUE(service_running());

    device_->fail("open");
    shutdown(device_->peer(), SHUT_RDWR);
    return wait_until([] { return !service_running(); });
  });
  EXPECT_EQ(text.find(prefix + "Could not open device\n\r" + prefix + "Software Retries done\n\r"),
            0u)
      << text;
  EXPECT_EQ(exit_code.load(), 3u);
  EXPECT_TRUE(parent_.wait_for("SIGUSR1", 1, 5s));
  EXPECT_EQ(device_->open_handle(), -1);
  EXPECT_EQ(device_->misuse(), 0);
}

// Times are the caller's: a minute of silence without waiting one.
TEST(QuietScanWatchTest, SetsTheScanUpAgainAfterAMinuteWithoutAdvertising) {
  QuietScanWatch watch;
  const auto start = QuietScanWatch::Clock::time_point{} + 1h;
  watch.scan_set_up(start);
  EXPECT_FALSE(watch.phase_ended(start + 59s, false));
  EXPECT_TRUE(watch.phase_ended(start + 60s, false));
  EXPECT_FALSE(watch.phase_ended(start + 119s, false)) << "the minute starts again";
  EXPECT_FALSE(watch.phase_ended(start + 150s, true));
  EXPECT_FALSE(watch.phase_ended(start + 209s, false));
  EXPECT_TRUE(watch.phase_ended(start + 210s, false));
}

TEST_F(ScanControllerTest, ReopenThatNeverSucceedsEndsTheServiceWithoutTouchingTheRadio) {
  // The file at the path has reached its limit (1 MiB) and is no database:
  // the open store's few rows are far below the limit, so the reclaim goes
  // on to the reopen, which can never succeed.
  service_config.max_storage_limit = 1;
  std::snprintf(service_config.db_path, sizeof service_config.db_path, "/tmp/junk");
  ASSERT_TRUE(gwtest::write_file("/tmp/junk", std::string(1 << 20, 'x')));
  // Each failed attempt is a store failure, paced; the third in a row ends
  // the service at the next cycle, with the interface left as it is.
  const std::string text = run([] { return wait_until([] { return !service_running(); }, 30s); });
  const std::string failure = prefix + "Cannot set pragma mode file is not a database\n" +
                              prefix + "Cannot create database sensor 1\n\r";
  EXPECT_EQ(text, failure + failure + failure + prefix +
                      "Database failed 3 times in a row\n\rZENTIB_ERROR : Restarting Program due "
                      "Sensor1(BLE) Failure\n\r");
  EXPECT_EQ(exit_code.load(), 3u);
  EXPECT_EQ(interface_failure_count.load(), 0);
  EXPECT_EQ(hciconfig_.calls(), Calls{"hci0 up"});
  EXPECT_FALSE(beacon_db_open());
  EXPECT_EQ(insert_beacon_row(1, "AA", nullptr), beacon_db_unavailable);
  EXPECT_EQ(device_->calls(), joined(bring_up, undo));
}

// An administrator's sqlite3 reading the full store holds the checkpoint
// that gives the released pages back: not yet, and no radio failure. Once it
// lets go the file shrinks and reading resumes.
TEST_F(ScanControllerTest, ReaderBesideTheReclaimHoldsItUpWithoutCostingTheRadio) {
  service_config.max_storage_limit = 1;
  service_config.sensing_rate = 2;
  mqtt_connected.store(true);
  // 1,200 rows of 1 KiB, all but the last 50 published and trimmed.
  gwtest::DbReader reader(database_path);
  ASSERT_EQ(reader.exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                        "WHERE i < 1200) INSERT INTO BLE(DT, PAYLOAD) "
                        "SELECT 1700000000, printf('%0900d', i) FROM n;"
                        "DELETE FROM BLE WHERE DBID <= 1150; PRAGMA wal_checkpoint(TRUNCATE)"),
            SQLITE_OK);
  last_published_dbid.store(1150);
  float size = 0;
  ASSERT_EQ(reader.exec("BEGIN; SELECT count(*) FROM BLE"), SQLITE_OK);

  const std::string output = run([&] {
    std::this_thread::sleep_for(5s);  // reclaims in three periods
    EXPECT_TRUE(gw::file_size_mib(database_path, &size, 1) == 0 && size >= 1.0f);
    EXPECT_TRUE(service_running());
    EXPECT_EQ(reader.exec("COMMIT"), SQLITE_OK);
    return wait_until([&] {
      if (write(device_->peer(), advert_665544332211, sizeof advert_665544332211) < 0) return false;
      std::this_thread::sleep_for(250ms);
      return raw_pending.load() == 1;
    }, 20s);
  });
  finish_raw_report();
  EXPECT_TRUE(gw::file_size_mib(database_path, &size, 1) == 0 && size < 1.0f);
  EXPECT_EQ(output, prefix + "Database in use by another program, space reclaim continues next "
                             "period, reading paused\n\r");
  EXPECT_EQ(hciconfig_.calls(), Calls{"hci0 up"}) << "no back-off";
  EXPECT_EQ(rows().size(), 50u);
}

TEST_F(ScanControllerTest, ReclaimWhileBothPathsInsertLosesNoRow) {
  mqtt_connected.store(true);  // trims up to DBID 0: keeps every row
  struct Inserter {
    const char *payload, *payload2;
    std::atomic<long> done{0}, other{0};
  } inserters[] = {{"0201061AFF4C000215", nullptr}, {nullptr, "665544332211C4"}};
  std::atomic<bool> inserting{true};
  const std::string output = run([&] {
    std::vector<std::thread> threads;
    for (Inserter &inserter : inserters) {
      threads.emplace_back([&inserter, &inserting] {
        for (; inserting.load(); std::this_thread::sleep_for(200us)) {
          int rc = insert_beacon_row(7, inserter.payload, inserter.payload2);
          // An insert during a reclaim waits for the new statement.
          ++(rc == SQLITE_DONE ? inserter.done : inserter.other);
        }
      });
    }
    // Reclaims as the controller runs them, between its table steps.
    for (int reclaims = 0; reclaims < 20; ++reclaims) {
      EXPECT_EQ(reclaim_beacon_space(1, true, nullptr, nullptr), ReclaimResult::reopened);
      std::this_thread::sleep_for(50ms);
    }
    inserting.store(false);
    for (auto &thread : threads) thread.join();
    return inserters[0].done.load() > 0 && inserters[1].done.load() > 0;
  });

  EXPECT_EQ(output, "");
  long raw = 0, smoothed = 0;
  for (const auto &row : rows()) {
    raw += row.payload.has_value();
    smoothed += row.payload2.has_value();
  }
  EXPECT_EQ(raw, inserters[0].done.load());
  EXPECT_EQ(smoothed, inserters[1].done.load());
  EXPECT_EQ(inserters[0].other.load() + inserters[1].other.load(), 0);
  // The controller leaves the statement to the teardown: a flush of the
  // smoothing window that comes after it ended is still stored.
  EXPECT_EQ(insert_beacon_row(8, nullptr, "665544332211C4"), SQLITE_DONE);
}

// A busy site's backlog on a 64 MiB board: /tmp of 28 MiB, the 10 MiB limit
// and 10.8 MiB of rows still to upload. No reclaim can help until uploads
// make room, so none rewrites the file (a VACUUM would need twice the rows
// beside it); the gateway keeps running, the backlog is uploaded whole and
// fresh advertisements are read and uploaded again.
TEST_F(ScanControllerTest, BacklogAtTheLimitOnABoardsTmpDrainsThenReadingResumes) {
  // On the board /var/tmp, where SQLite puts a VACUUM's copy, is /tmp too.
  ASSERT_EQ(mount(nullptr, "/tmp", nullptr, MS_REMOUNT, "size=28m"), 0);
  gwtest::VarTmpOnTmp var_tmp;
  ASSERT_TRUE(var_tmp.ok());
  // One 900-character row a page: 11,000 rows of 1 KiB.
  ASSERT_EQ(gwtest::DbReader(database_path)
                .exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                      "WHERE i < 11000) INSERT INTO BLE(DT, PAYLOAD) "
                      "SELECT 1700000000, printf('%0900d', i) FROM n;"
                      "PRAGMA wal_checkpoint(TRUNCATE)"),
            SQLITE_OK);
  gwtest::Broker broker;
  ASSERT_TRUE(broker.start());
  gwtest::MqttProbe probe(broker.port());
  ASSERT_TRUE(probe.ok() && probe.subscribe("gw/batch"));
  gwtest::TestClient client(broker.port());
  ASSERT_TRUE(client.ok());
  set_mqtt_client(client.client_);
  std::snprintf(service_config.mqtt_topic, sizeof service_config.mqtt_topic, "gw/batch");
  service_config.sensing_rate = 2;
  service_config.scan_duration = 1;
  service_config.posting_rate = 1;
  service_config.max_rows_upload = 2000;
  mqtt_connected.store(true);

  std::atomic<bool> sampling{true};
  std::uint64_t least_free = UINT64_MAX;
  std::thread sampler([&] {
    for (struct statvfs fs{}; sampling.load() && statvfs("/tmp", &fs) == 0;
         std::this_thread::sleep_for(2ms)) {
      least_free = std::min<std::uint64_t>(least_free, std::uint64_t{fs.f_bavail} * fs.f_frsize);
    }
  });
  const auto &fresh = advert_665544332211;
  auto uploaded = [&](const std::string &text) {  // rows holding text
    long rows = 0;
    for (const auto &message : probe.messages("gw/batch")) {
      for (auto at = message.payload.find(text); at != std::string::npos;
           at = message.payload.find(text, at + text.size())) {
        ++rows;
      }
    }
    return rows;
  };
  pthread_t workers[2];
  ASSERT_EQ(pthread_create(&workers[0], nullptr, publish_thread, nullptr), 0);
  ASSERT_EQ(pthread_create(&workers[1], nullptr, thread_one, nullptr), 0);
  const std::string output = run([&] {
    // Advertisements heard while reading is paused are dropped as old; one
    // a quarter second is read once the backlog has made room.
    return wait_until([&] {
      if (scan_ready.load() == 1 && write(device_->peer(), fresh, sizeof fresh) < 0) return false;
      std::this_thread::sleep_for(250ms);
      return uploaded("665544332211C4") > 0 || !service_running();
    }, 120s) && service_running();
  });
  for (pthread_t worker : workers) pthread_join(worker, nullptr);
  sampling.store(false);
  sampler.join();
  set_mqtt_client(nullptr);

  EXPECT_EQ(output.find(prefix + "Rows waiting for upload fill the storage limit ("), 0u) << output;
  EXPECT_EQ(output.find("Cannot reclaim"), std::string::npos) << output;
  EXPECT_GT(least_free, 1u << 20) << "/tmp filled up";
  EXPECT_EQ(uploaded(std::string(891, '0')), 11000);
}

}  // namespace
}  // namespace sensor_handler
