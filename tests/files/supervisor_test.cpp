// The supervising parent (files/usr/bin/tobixlite_supervisor) running the
// unmodified status_led and sensor_handler in the sandbox, with BusyBox as
// its shell. Its pauses come from its settings file, as a device's could.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>

#include "broker.h"
#include "config/device_files.h"
#include "gateway_process.h"
#include "sandbox.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string said = "tobixlite_supervisor: ";

class Supervisor : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(GW_TEST_EMULATOR) != "") GTEST_SKIP() << "the parent starts target programs natively";
    ASSERT_TRUE(gwtest::reset_sandbox());
    ASSERT_TRUE(gwtest::make_gpio_line(3));
    ASSERT_TRUE(gwtest::write_filter_files());
    ASSERT_TRUE(gwtest::write_file("/etc/tobixlite_supervisor",
                                   "restart_pause_min 1\nrestart_pause_max 2\nfailure_quiet 7\n"));
  }
  void start() {
    parent_ = std::make_unique<gwtest::GatewayProcess>(std::vector<std::string>{},
                                                       gwtest::program_path("tobixlite_supervisor"));
  }

  int count(const std::string &text) const {
    const std::string output = parent_->stdout_text();
    int found = 0;
    for (size_t at = output.find(text); at != std::string::npos; at = output.find(text, at + 1)) ++found;
    return found;
  }
  bool wait_for(const std::string &text, int times = 1) {
    for (int i = 0; i < 400 && count(text) < times; ++i) std::this_thread::sleep_for(50ms);
    EXPECT_GE(count(text), times) << text << " in:\n" << parent_->stdout_text();
    return count(text) >= times;
  }
  // PID of the program's latest start.
  pid_t started(const std::string &program) const {
    const std::string output = parent_->stdout_text(), start = program + " started (PID ";
    return std::stoi(output.substr(output.rfind(start) + start.size()));
  }
  // PID of the parent's line filter: the process reading the FIFO the
  // parent writes its standard output to (the programs read /dev/null).
  pid_t line_filter() const {
    std::error_code error;
    const auto lines = fs::read_symlink("/proc/" + std::to_string(parent_->pid()) + "/fd/1", error);
    for (const auto &entry : fs::directory_iterator("/proc", error))
      if (fs::read_symlink(entry.path() / "fd/0", error) == lines && !error)
        return std::stoi(entry.path().filename());
    return -1;
  }
  void expect_clean_stop(int stop_signal = SIGTERM) {
    const pid_t programs[] = {started("status_led"), started("sensor_handler")};
    parent_->send_signal(stop_signal);
    auto status = parent_->wait_exit(30s);
    ASSERT_TRUE(status) << parent_->stdout_text();
    EXPECT_EQ(status->code, 0);
    for (pid_t pid : programs) EXPECT_NE(kill(pid, 0), 0) << pid;
    const std::string output = parent_->stdout_text();
    // procd gets every line without the programs' "\r", and nothing from
    // the parent's timers on standard error.
    EXPECT_TRUE(output.ends_with("Exiting Program\n" + said + "stopped\n"))
        << output.substr(output.size() > 800 ? output.size() - 800 : 0);
    EXPECT_EQ(output.find('\r'), std::string::npos);
    EXPECT_EQ(parent_->stderr_text(), "");
  }

  std::unique_ptr<gwtest::GatewayProcess> parent_;
};

TEST_F(Supervisor, RunsBothProgramsThroughNoticesReloadsAndAnLedRestart) {
  gwtest::Broker broker;
  ASSERT_TRUE(broker.start());
  gwtest::MqttProbe probe(broker.port());
  ASSERT_TRUE(probe.subscribe("/Logs/Info"));
  ASSERT_TRUE(gwtest::write_tobixlite_config({{"mqtt_server_port", std::to_string(broker.port())}}));
  ASSERT_EQ(mkdir("/etc/tobixlite", 0755), 0);
  ASSERT_TRUE(gwtest::write_file("/etc/tobixlite/firmware_hook", "#!/bin/sh\necho hook ran\n"));
  ASSERT_EQ(chmod("/etc/tobixlite/firmware_hook", 0755), 0);
  start();
  ASSERT_TRUE(probe.wait_for("/Logs/Info", 1, 20s));  // the birth packet

  // The broker side names other firmware: LED pattern and the maker's hook.
  ASSERT_TRUE(probe.publish("/Logs/Ver", "{\"Tag\":\"FW\",\"Application\":\"Hardware.TobixE2\",\"Message\":\"18.06.2\"}"));
  ASSERT_TRUE(wait_for(said + "/etc/tobixlite/firmware_hook ended (status 0)"));
  EXPECT_EQ(count(said + "the broker side announces other firmware\n") + count("hook ran\n"), 2);
  EXPECT_EQ(count("Update Firmware at "), 1);

  // The line filter killed: the parent lives on, and a new filter forwards
  // every line, the parent's and the programs' alike.
  const pid_t filter = line_filter();
  ASSERT_GT(filter, 0);
  ASSERT_EQ(kill(filter, SIGKILL), 0);
  ASSERT_TRUE(wait_for(said + "line filter ended (status 137)\n"));
  EXPECT_NE(line_filter(), filter);

  // A reload: the same sensor_handler reads its settings again.
  parent_->send_signal(SIGHUP);
  ASSERT_TRUE(wait_for("Restarting Service at "));

  // status_led killed: a new one, and sensor_handler started with its PID.
  std::this_thread::sleep_for(1s);  // the shortest pause after its start
  const pid_t led = started("status_led");
  ASSERT_EQ(kill(led, SIGKILL), 0);
  ASSERT_TRUE(wait_for("sensor_handler started", 2));
  EXPECT_EQ(count(said + "status_led ended (status 137)\n"), 1);
  EXPECT_EQ(gwtest::read_file("/proc/" + std::to_string(started("sensor_handler")) + "/cmdline"),
            gwtest::program_path("sensor_handler") + '\0' + std::to_string(parent_->pid()) + '\0' +
                std::to_string(started("status_led")) + '\0');
  EXPECT_NE(started("status_led"), led);

  // sensor_handler killed by someone else: logged and started again.
  ASSERT_TRUE(wait_for("Tobix Voru Service Started at ", 2));
  ASSERT_EQ(kill(started("sensor_handler"), SIGKILL), 0);
  ASSERT_TRUE(wait_for(said + "sensor_handler ended (status 137)\n"));
  ASSERT_TRUE(wait_for("sensor_handler started", 3));

  // A parent killed outright: the next one ends the programs it left.
  const pid_t left[] = {started("status_led"), started("sensor_handler")};
  auto killed = std::move(parent_);
  killed->send_signal(SIGKILL);
  ASSERT_TRUE(killed->wait_exit(5s));
  start();
  ASSERT_TRUE(wait_for("sensor_handler started"));
  // Up and holding its signals before the stop comes (slow to start under
  // the sanitizers).
  ASSERT_TRUE(wait_for("Tobix Voru Service Started at "));
  EXPECT_EQ(count(" left by a previous run\n"), 2);
  for (pid_t pid : left) EXPECT_NE(kill(pid, 0), 0) << pid;
  expect_clean_stop();
}

TEST_F(Supervisor, SensorFailuresRestartAfterGrowingPausesAndBadSettingsWaitForAReload) {
  const gwtest::Options failing = {{"EN_S1", "1"}, {"en_usb_s1", "1"}, {"database_sensor1", "/tmp/missing/ble.db"}};
  ASSERT_TRUE(gwtest::write_tobixlite_config(failing));
  start();
  ASSERT_TRUE(wait_for("sensor_handler restarts in", 3));
  auto third_failure = std::chrono::steady_clock::now();
  EXPECT_EQ(count(said + "sensor_handler reports a BLE sensor failure\n"), 3);
  EXPECT_GE(count("BLE Failure at "), 2);  // status_led's fast blink

  gwtest::Options bad = failing;
  bad["mqtt_topic"] = "/Tobix/Beacons/#";  // one the library would refuse at each batch
  ASSERT_TRUE(gwtest::write_tobixlite_config(bad));
  ASSERT_TRUE(wait_for("not restarted until the configuration changes\n"));
  EXPECT_EQ(count(said + "sensor_handler reports a configuration failure\n"), 1);
  std::this_thread::sleep_until(third_failure + 8s);  // failure_quiet has passed
  EXPECT_EQ(count("sensor_handler started"), 4);      // held until the reload

  ASSERT_TRUE(gwtest::write_tobixlite_config(failing));
  parent_->send_signal(SIGHUP);
  ASSERT_TRUE(wait_for("sensor_handler restarts in", 4));
  // Doubled, capped, and short again after a quiet spell.
  EXPECT_EQ(count("restarts in 1 s\n") * 10 + count("restarts in 2 s\n"), 22);
  expect_clean_stop(SIGINT);
}

// A USB dongle plugged in again: its hotplug event ends the pause at once.
// Events of other devices, and a removal, change nothing.
TEST_F(Supervisor, ControllerHotplugEndsTheRestartPause) {
  ASSERT_TRUE(gwtest::write_file("/etc/tobixlite_supervisor", "restart_pause_min 60\n"));
  ASSERT_TRUE(gwtest::write_tobixlite_config(
      {{"EN_S1", "1"}, {"en_usb_s1", "1"}, {"database_sensor1", "/tmp/missing/ble.db"}}));
  start();
  ASSERT_TRUE(wait_for("sensor_handler restarts in 60 s"));
  const std::string hook = std::string(GW_SOURCE_DIR) + "/files/etc/hotplug.d/bluetooth/50-tobixlite";
  for (const char *event : {"ACTION=remove DEVPATH=/devices/usb1/1-1/bluetooth/hci0",
                            "ACTION=add DEVPATH=/devices/virtual/misc/uhid",
                            "ACTION=add DEVPATH=/devices/usb1/1-1/bluetooth/hci0"}) {
    EXPECT_EQ(gwtest::run_shell(std::string(event) + " sh " + hook).status, 0) << event;
  }
  ASSERT_TRUE(wait_for("sensor_handler started", 2));
  EXPECT_EQ(count(said + "a Bluetooth controller appeared: sensor_handler starts now\n"), 1);
  ASSERT_TRUE(wait_for("Tobix Voru Service Started at ", 2));
  expect_clean_stop();
}

TEST_F(Supervisor, StopWhileEndingALeftoverStartsNothing) {
  ASSERT_TRUE(gwtest::write_file("/etc/tobixlite_supervisor", "stop_wait 2\n"));
  // A leftover that ignores SIGTERM, named as the program it stands for.
  ASSERT_EQ(mkdir("/tmp/left", 0755), 0);
  ASSERT_TRUE(gwtest::write_file("/tmp/left/sensor_handler", "#!/bin/sh\ntrap '' TERM\nwhile :; do sleep 1; done\n"));
  ASSERT_EQ(chmod("/tmp/left/sensor_handler", 0755), 0);
  gwtest::GatewayProcess left({}, "/tmp/left/sensor_handler");
  ASSERT_TRUE(left.ok());
  ASSERT_EQ(mkdir("/var/run/tobixlite", 0700), 0);
  ASSERT_TRUE(gwtest::write_file("/var/run/tobixlite/children",
                                 "sensor_handler " + std::to_string(left.pid()) + "\n"));
  start();
  ASSERT_TRUE(wait_for(" left by a previous run\n"));
  parent_->send_signal(SIGTERM);
  auto status = parent_->wait_exit(10s);
  ASSERT_TRUE(status) << parent_->stdout_text();
  EXPECT_EQ(status->code, 0);
  EXPECT_EQ(count(" started (PID "), 0) << parent_->stdout_text();
  auto ended = left.wait_exit(2s);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->signal, SIGKILL);
}

// Another user's plants at the names earlier parents kept in /tmp (a children
// file naming a process of ours as a program, directories named like the
// next FIFOs, a link at the PID file), and the runtime directory as a link to
// that user's folder, that user's own, or one anybody may write: the parent
// starts both programs and ends, signals, writes and trusts nothing they name.
TEST_F(Supervisor, PlantedPathsAreNeitherFollowedNorTrusted) {
  gwtest::GatewayProcess victim({"600"}, "/bin/sleep");  // a process of ours
  ASSERT_TRUE(victim.ok());
  ASSERT_TRUE(gwtest::write_file("/etc/precious", "root's\n"));
  ASSERT_TRUE(gwtest::write_file("/tmp/plant", R"(cd /tmp && mkdir own && echo "sleep $1" > own/children &&
    cp own/children .tobixlite_supervisor.children && ln -s /etc/precious own/pid &&
    ln -s /etc/precious .tobixlite_supervisor.pid && set -- &&
    for i in $(seq $$ $(($$ + 300))); do set -- "$@" .tobixlite_supervisor.$i .tobixlite_supervisor.lines.$i; done &&
    mkdir "$@")"));
  ASSERT_EQ(gwtest::run_shell("/usr/bin/setpriv --reuid 65534 --regid 65534 --clear-groups sh /tmp/plant " +
                              std::to_string(victim.pid())).status, 0);
  for (const char *runtime_dir : {"", "ln -s /tmp/own /var/run/tobixlite",
                                  "cp -a /tmp/own /var/run/tobixlite && chown 65534 /var/run/tobixlite",
                                  "mkdir -m 777 /var/run/tobixlite && cp /tmp/own/children /var/run/tobixlite"}) {
    SCOPED_TRACE(runtime_dir);
    ASSERT_EQ(gwtest::run_shell(std::string("rm -rf /var/run/tobixlite*; ") + runtime_dir).status, 0);
    start();
    ASSERT_TRUE(wait_for("Tobix Voru Service Started at "));
    EXPECT_EQ(count(" left by a previous run\n"), 0);
    EXPECT_EQ(count("tobixlite was not root's own directory: set aside as "), *runtime_dir ? 1 : 0);
    struct stat run_dir;
    ASSERT_EQ(lstat("/var/run/tobixlite", &run_dir), 0);
    EXPECT_TRUE(S_ISDIR(run_dir.st_mode) && run_dir.st_uid == 0 && (run_dir.st_mode & 0777) == 0700);
    expect_clean_stop();
    EXPECT_FALSE(victim.wait_exit(0ms));
    EXPECT_EQ(gwtest::read_file("/etc/precious"), "root's\n");
  }
}

// A burst of firmware notices: each is logged and shown on the LED; the hook
// runs at once, then once more when hook_pause has passed since its end.
TEST_F(Supervisor, FirmwareNoticeBurstRunsTheHookAtMostTwice) {
  ASSERT_TRUE(gwtest::write_file("/etc/tobixlite_supervisor", "hook_pause 10\n"));
  ASSERT_EQ(mkdir("/etc/tobixlite", 0755), 0);
  ASSERT_TRUE(gwtest::write_file("/etc/tobixlite/firmware_hook", "#!/bin/sh\necho ran >> /tmp/hook_runs\n"));
  ASSERT_EQ(chmod("/etc/tobixlite/firmware_hook", 0755), 0);
  start();
  ASSERT_TRUE(wait_for("Tobix Voru Service Started at "));
  for (int notice = 0; notice < 50; ++notice, std::this_thread::sleep_for(100ms)) parent_->send_signal(SIGTSTP);
  ASSERT_TRUE(wait_for(said + "/etc/tobixlite/firmware_hook ended (status 0)", 2));
  EXPECT_EQ(gwtest::read_file("/tmp/hook_runs"), "ran\nran\n");
  EXPECT_GT(count(said + "the broker side announces other firmware\n"), 2);
  expect_clean_stop();
}

}  // namespace
