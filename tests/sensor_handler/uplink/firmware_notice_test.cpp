// The firmware-version notice: the member walk, the banner edit and SIGTSTP
// to the parent, hostile versions that must never reach a shell, payloads
// that are no notice; and one notice through the broker to the real
// sensor_handler.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <cstring>
#include <mosquitto.h>
#include <vector>

#include "broker.h"
#include "config/device_files.h"
#include "config/identity.h"
#include "gateway_process.h"
#include "stop/stop_flags.h"
#include "sandbox.h"
#include "signal_recorder.h"
#include "stdout_capture.h"
#include "uplink/firmware_notice.h"

namespace {

using namespace std::chrono_literals;

const std::string upgrade_lines =
    "Firmware Upgrade necessary\n\r"
    "Old Firmware Version = 18.06.1\n\r"
    "New Firmware Version = 18.06.2\n\r"
    "sed -i 's/18.06.1/18.06.2/g' /etc/banner\n\r";
const std::string refused_line = "ZENTIB_ERROR : Invalid Firmware Version in notice, ignored\n\r";
const char witness[] = "/tmp/shell_was_reached";

std::string notice(const std::string &version) {
  return "{\"Tag\":\"FW\",\"Application\":\"Hardware.TobixE2\",\"Message\":\"" + version + "\"}";
}

class FirmwareNotice : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(gwtest::reset_sandbox());
    ASSERT_TRUE(parent_.ok());
    sensor_handler::parent_pid = parent_.pid();
    std::strcpy(sensor_handler::firmware_version, "18.06.1");
    banner_ = gwtest::read_file("/etc/banner");
    ASSERT_NE(banner_.find(" 18.06.1\n"), std::string::npos);
  }

  // Hands bytes to the callback exactly as the library would: no terminator.
  static std::string deliver(const std::string &payload, const char *topic = "/Logs/Ver") {
    std::vector<char> bytes(payload.begin(), payload.end());
    mosquitto_message message{};
    message.topic = const_cast<char *>(topic);
    message.payload = bytes.empty() ? nullptr : bytes.data();
    message.payloadlen = static_cast<int>(bytes.size());
    gwtest::StdoutCapture capture;
    sensor_handler::on_message(nullptr, nullptr, &message);
    return capture.text();
  }

  void expect_untouched() {
    EXPECT_EQ(gwtest::read_file("/etc/banner"), banner_);
    EXPECT_FALSE(gwtest::file_exists(witness));
  }

  gwtest::SignalRecorder parent_;
  std::string banner_;
};

TEST_F(FirmwareNotice, MembersActInTheOrderTheyStand) {
  struct Case {
    const char *payload;
    bool acts;
  } cases[] = {
      {"{\"Tag\":\"FW\",\"Application\":\"Hardware.TobixE2\",\"Message\":\"18.06.1\"}", false},
      {"{\"Tag\":\"Log\",\"Message\":\"18.06.2\"}", false},
      {"{\"Application\":\"Hardware.Other\",\"Message\":\"18.06.2\"}", false},
      {"{\"Tag\":null,\"Message\":\"18.06.2\"}", false},
      {"Firmware 18.06.2", false},
      {"{\"Message\":\"18.06.2\"}", true},
      {"{\"Message\":\"18.06.2\",\"Tag\":\"Log\"}", true},
  };
  size_t signals = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.payload);
    ASSERT_TRUE(gwtest::write_file("/etc/banner", banner_));
    const std::string output = deliver(c.payload);
    if (c.acts) {
      EXPECT_EQ(output, upgrade_lines);
      EXPECT_NE(gwtest::read_file("/etc/banner").find(" 18.06.2\n"), std::string::npos);
      EXPECT_TRUE(parent_.wait_for("SIGTSTP", ++signals, 5s));
    } else {
      EXPECT_EQ(output, "");
      expect_untouched();
    }
  }

  // A notice is only one on its topic.
  ASSERT_TRUE(gwtest::write_file("/etc/banner", banner_));
  EXPECT_EQ(deliver(notice("18.06.2"), "/Logs/Other"), "");
  expect_untouched();

  // A repeat repeats the lines and the signal; the banner, with nothing left
  // to replace, is not written again (sed -i would make a new file).
  ASSERT_TRUE(gwtest::write_file("/etc/banner", banner_));
  EXPECT_EQ(deliver(notice("18.06.2")), upgrade_lines);
  // Two SIGTSTPs pending at once would arrive as one.
  ASSERT_TRUE(parent_.wait_for("SIGTSTP", signals + 1, 5s));
  struct stat written{};
  ASSERT_EQ(stat("/etc/banner", &written), 0);
  EXPECT_EQ(deliver(notice("18.06.2")), upgrade_lines);
  struct stat repeated{};
  ASSERT_EQ(stat("/etc/banner", &repeated), 0);
  EXPECT_EQ(repeated.st_ino, written.st_ino) << "the banner was written again";
  EXPECT_NE(gwtest::read_file("/etc/banner").find(" 18.06.2\n"), std::string::npos);
  EXPECT_TRUE(parent_.wait_for("SIGTSTP", signals + 2, 5s));
  usleep(200000);
  EXPECT_EQ(parent_.count("SIGTSTP"), signals + 2);
}

TEST_F(FirmwareNotice, HostileVersionsNeverReachAShell) {
  const std::string touch = std::string("touch ") + witness;
  const std::string versions[] = {
      "1';" + touch + ";'",   "1/g;e " + touch + " #", "$(" + touch + ")",
      "`" + touch + "`",      "1;" + touch,             "1 && " + touch,
      "1\\\"" + touch,        "1\\n" + touch,           "1\\u0000;" + touch,
      "",                     std::string(55, '9'),
  };
  for (const std::string &version : versions) {
    SCOPED_TRACE(version);
    EXPECT_EQ(deliver(notice(version)), refused_line);
    expect_untouched();
  }
  // The longest version that fits the 100-byte command beside the longest
  // running version still runs.
  std::strcpy(sensor_handler::firmware_version, "1234567890123456789");
  const std::string longest(54, '9');
  EXPECT_NE(deliver(notice(longest)).find("sed -i 's/1234567890123456789/" + longest + "/g' "),
            std::string::npos);
  EXPECT_TRUE(parent_.wait_for("SIGTSTP", 1, 5s));

  // A running version the banner edit cannot carry still lets the parent
  // upgrade, without the edit.
  std::strcpy(sensor_handler::firmware_version, "18/06");
  EXPECT_EQ(deliver(notice("18.06.2")),
            "Firmware Upgrade necessary\n\rOld Firmware Version = 18/06\n\r"
            "New Firmware Version = 18.06.2\n\r"
            "ZENTIB_ERROR : Firmware Version cannot be replaced in /etc/banner\n\r");
  EXPECT_TRUE(parent_.wait_for("SIGTSTP", 2, 5s));
  expect_untouched();
}

TEST_F(FirmwareNotice, PayloadsThatAreNoNoticeNeverReachTheParser) {
  EXPECT_EQ(deliver(""), "");
  std::string padded = "{\"Pad\":\"" + std::string(sensor_handler::notice_payload_limit, ' ') +
                       "\",\"Message\":\"18.06.2\"}";
  EXPECT_EQ(deliver(padded), "ZENTIB_ERROR : Firmware notice too long, ignored\n\r");
  EXPECT_EQ(deliver(std::string("{\"Message\":\"18.06.2\"}\0tail", 26)), "");
  expect_untouched();
  EXPECT_EQ(parent_.count("SIGTSTP"), 0u);

  // Members of the broker side's own (an address, a checksum), up to the limit.
  std::string large = notice("18.06.2").insert(1, "\"URL\":\"https://example.net/fw.bin\",\"SHA\":\"\",");
  large.insert(large.find("\"SHA\":\"") + 7, sensor_handler::notice_payload_limit - large.size(), 'f');
  EXPECT_EQ(deliver(large), upgrade_lines);
  EXPECT_TRUE(parent_.wait_for("SIGTSTP", 1, 5s));
}

TEST_F(FirmwareNotice, NoticeFromTheBrokerReachesTheGateway) {
  gwtest::SignalRecorder status;
  gwtest::Broker broker;
  ASSERT_TRUE(broker.start());
  ASSERT_TRUE(gwtest::write_filter_files());
  ASSERT_TRUE(gwtest::write_tobixlite_config({{"mqtt_server_port", std::to_string(broker.port())}}));
  gwtest::GatewayProcess gateway({std::to_string(parent_.pid()), std::to_string(status.pid())});
  ASSERT_TRUE(status.wait_for("SIGUSR2", 1, 20s)) << gateway.stdout_text();

  gwtest::MqttProbe probe(broker.port());
  ASSERT_TRUE(probe.ok());
  ASSERT_TRUE(probe.publish("/Logs/Ver", notice("$(touch " + std::string(witness) + ")")));
  ASSERT_TRUE(probe.publish("/Logs/Ver", notice("18.06.2")));
  ASSERT_TRUE(parent_.wait_for("SIGTSTP", 1, 10s)) << gateway.stdout_text();
  EXPECT_NE(gateway.stdout_text().find(refused_line + upgrade_lines), std::string::npos)
      << gateway.stdout_text();
  EXPECT_NE(gwtest::read_file("/etc/banner").find(" 18.06.2\n"), std::string::npos);
  EXPECT_FALSE(gwtest::file_exists(witness));
  gateway.send_signal(SIGTERM);
  auto exited = gateway.wait_exit(20s);
  ASSERT_TRUE(exited);
  EXPECT_EQ(exited->code, 0);
  EXPECT_EQ(gateway.stderr_text(), "");
}

}  // namespace
