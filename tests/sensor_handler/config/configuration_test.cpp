#include "config/configuration.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/identity.h"
#include "device_files.h"
#include "sandbox.h"
#include "stdout_capture.h"

namespace sensor_handler {
namespace {

using gwtest::Options;

class ConfigurationRead : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(gwtest::reset_sandbox());
    service_config = ServiceConfig{};
    ASSERT_TRUE(gwtest::write_tobixlite_config());
    ASSERT_TRUE(gwtest::write_filter_files());
  }

  // Runs the reader; returns its result and leaves its output in output_.
  int read(const Options &changes = {}) {
    EXPECT_TRUE(gwtest::write_tobixlite_config(changes));
    gwtest::StdoutCapture capture;
    int result = read_configuration();
    output_ = capture.text();
    return result;
  }

  static std::string config_file() { return gwtest::read_file("/etc/config/tobixlite_config"); }

  std::string output_;
};

TEST_F(ConfigurationRead, EchoesEverySettingInOrderAndResetsTheLinkState) {
  ASSERT_EQ(read(), 0) << output_;
  EXPECT_EQ(output_, gwtest::broker_set3_echo + gwtest::echo_from_port());

  EXPECT_STREQ(service_config.broker_host, "127.0.0.1");
  EXPECT_EQ(service_config.keep_alive_timeout, 60);
  EXPECT_STREQ(service_config.client_id, "TBX000000000001");
  EXPECT_STREQ(service_config.uart_dev_name, "ttyS1");
  EXPECT_EQ(service_config.scan_duration, 5);
  EXPECT_EQ(service_config.rssi_filter_enabled, 0);
  EXPECT_EQ(service_config.smoothing_marker, 0);
  EXPECT_STREQ(firmware_version, "18.06.1");

  std::string stored = config_file();
  EXPECT_NE(stored.find("option mqtt_status '0'"), std::string::npos) << stored;
  EXPECT_NE(stored.find("config other 'kept'\n\toption untouched 'yes'"), std::string::npos)
      << stored;
  EXPECT_NE(stored.find("option LHI_RATE '60'"), std::string::npos) << stored;
}

TEST_F(ConfigurationRead, ShippedFilesAreAValidConfiguration) {
  // The files a device ships with select broker set 1 of the second file,
  // reached over TLS with the authorities ca-bundle installs.
  ASSERT_TRUE(gwtest::reset_sandbox());
  gwtest::StdoutCapture capture;
  ASSERT_EQ(read_configuration(), 0) << capture.text();
  std::string text = capture.text();
  EXPECT_EQ(text.rfind("MQTT SERVER Type\t= 1\n\rMQTT SERVER Port\t= 8883\n\r", 0), 0u) << text;
  EXPECT_EQ(service_config.mqtt_tls, 1);
  EXPECT_STREQ(service_config.tls_ca, default_tls_ca_path);
  EXPECT_STREQ(service_config.broker_host, default_primary_broker_host);
  EXPECT_STREQ(service_config.mqtt_username, "gateway");
  EXPECT_EQ(service_config.sensor_enabled, 1);
}

TEST_F(ConfigurationRead, BrokerAddressWritesBackItsSet) {
  struct Case {
    const char *address;
    const char *stored;
  } cases[] = {{default_primary_broker_host, "1"},
               {default_secondary_broker_host, "2"},
               {"10.20.30.40", "3"}};
  for (const Case &c : cases) {
    ASSERT_EQ(read({{"mqtt_server_addr", c.address},
                    {"mqtt_username", "site-user"},
                    {"mqtt_password", "site-pass"}}),
              0)
        << output_;
    EXPECT_NE(config_file().find(std::string("option server '") + c.stored + "'"),
              std::string::npos)
        << c.address << "\n"
        << config_file();
    // This run still uses the address and credentials it read.
    EXPECT_STREQ(service_config.broker_host, c.address);
    EXPECT_STREQ(service_config.mqtt_username, "site-user");
    EXPECT_STREQ(service_config.mqtt_password, "site-pass");
  }
  // An absent type counts as 3.
  ASSERT_EQ(read({{"server", std::nullopt}}), 0) << output_;
  EXPECT_EQ(output_.rfind(gwtest::broker_set3_echo, 0), 0u) << output_;
}

TEST_F(ConfigurationRead, BrokerSetsComeFromTheSecondFile) {
  ASSERT_EQ(read({{"server", "2"}}), 0) << output_;
  EXPECT_EQ(output_.rfind("MQTT SERVER Type\t= 2\n\rMQTT SERVER Port\t= 1883\n\r", 0), 0u)
      << output_;
  EXPECT_STREQ(service_config.broker_host, default_secondary_broker_host);

  ASSERT_TRUE(gwtest::write_file("/etc/tobixlite_config2",
                                 "config mqtt\n\toption mqtt_server_addr2 'b.example'\n"
                                 "\toption mqtt_username2 'u'\n\toption mqtt_password2 ''\n"));
  EXPECT_EQ(read({{"server", "2"}}), 1);
  EXPECT_EQ(output_, "MQTT SERVER Type\t= 2\n\rZENTIB_ERROR : Cannot Read Parameter\n\r");

  ASSERT_EQ(unlink("/etc/tobixlite_config2"), 0);
  EXPECT_EQ(read({{"server", "1"}}), 1);
  EXPECT_EQ(output_,
            "MQTT SERVER Type\t= 1\n\r"
            "ZENTIB_ERROR : Cannot Lookup for /etc/tobixlite_config2.@mqtt[0].mqtt_server_addr1\n\r"
            "ZENTIB_ERROR : Cannot Lookup for /etc/tobixlite_config2.@mqtt[0].mqtt_username1\n\r"
            "ZENTIB_ERROR : Cannot Lookup for /etc/tobixlite_config2.@mqtt[0].mqtt_password1\n\r"
            "ZENTIB_ERROR : Cannot Read Parameter\n\r");

  EXPECT_EQ(read({{"server", "x1"}}), 1);
  EXPECT_EQ(output_, "ZENTIB_ERROR : Invalid value\nZENTIB_ERROR : Invalid MQTT Server Type\n");
}

TEST_F(ConfigurationRead, NumbersAreStrictAndRangedWhereOtherValuesCannotWork) {
  ASSERT_EQ(read({{"mqtt_server_port", "0x75B"}, {"mqtt_qos", "2"},
                  {"keep_alive_timeout", "4294967295"}}),
            0)
      << output_;
  EXPECT_EQ(service_config.broker_port, 1883);
  EXPECT_EQ(service_config.mqtt_qos, 2);
  EXPECT_EQ(service_config.keep_alive_timeout, -1);
  EXPECT_NE(output_.find("MQTT QOS Level\t= 2\n\r"), std::string::npos);

  const std::string before_port = gwtest::broker_set3_echo;
  struct Case {
    Options change;
    std::string tail;
  } cases[] = {
      {{{"mqtt_server_port", "08"}},
       "ZENTIB_ERROR : Invalid value\nZENTIB_ERROR : Invalid MQTT Server Port\n"},
      {{{"mqtt_server_port", "-1"}},
       "ZENTIB_ERROR : Invalid value\nZENTIB_ERROR : Invalid MQTT Server Port\n"},
      {{{"mqtt_server_port", "99999999999"}},
       "ZENTIB_ERROR : Out of range\nZENTIB_ERROR : Invalid MQTT Server Port\n"},
      {{{"mqtt_server_port", ""}}, "ZENTIB_ERROR : Cannot Read Parameter\n\r"},
      {{{"mqtt_server_port", std::nullopt}}, "ZENTIB_ERROR : Cannot Read Parameter\n\r"},
      // A number longer than 19 characters is refused, not cut.
      {{{"mqtt_server_port", "00000000000000001883"}},
       "ZENTIB_ERROR : Value too long for tobixlite_config.@mqtt[0].mqtt_server_port\n\r"
       "ZENTIB_ERROR : Cannot Read Parameter\n\r"},
      {{{"mqtt_qos", "3"}}, "MQTT SERVER Port\t= 1883\n\rZENTIB_ERROR : Invalid MQTT QOS Level\n"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(read(c.change), 1);
    EXPECT_EQ(output_, before_port + c.tail);
  }
}

TEST_F(ConfigurationRead, EachKeyStopsTheReadWithItsOwnMessage) {
  const std::string full = gwtest::broker_set3_echo + gwtest::echo_from_port();
  struct Case {
    const char *key;
    const char *message;
    const char *value_line_start;
  } cases[] = {
      {"mqtt_qos", "ZENTIB_ERROR : Invalid MQTT QOS Level", "MQTT QOS Level"},
      {"keep_alive_timeout", "ZENTIB_ERROR : Invalid MQTT Server Keep Alive Timeout",
       "MQTT Keep Alive"},
      {"en_usb_s1", "ZENTIB_ERROR : Invalid USB Dongle Enable Value", "Enable USB"},
      {"sensor1_baud_rate", "ZENTIB_ERROR : Invalid BLE baudrate Value", "BLE Baudrate"},
      {"sensor1_gpio_shutdown", "ZENTIB_ERROR : Invalid BLE Reset GPIO Value", "BLE Reset"},
      {"SP_S1_SI", "ZENTIB_ERROR : Invalid BLE Scan Interval Value", "BLE Scan Interval"},
      {"SP_BT4_SW", "ZENTIB_ERROR : Invalid BLE Scan Window Value", "BLE Scan Window"},
      {"SP_BT4_SD", "ZENTIB_ERROR : Invalid BLE Scan duration Value", "BLE Scan duration"},
      {"EN_S1", "ZENTIB_ERROR : Invalid Enable Sensor 1 Value", "Enable Enable"},
      {"SR_S1", "ZENTIB_ERROR : Invalid Sensor 1 Sensing Rate Value", "Sensor 1 Sensing"},
      {"PR_S1", "ZENTIB_ERROR : Invalid Sensor 1 Posting Rate Value", "Sensor 1 Posting"},
      {"MSL_S1", "ZENTIB_ERROR : Invalid Sensor 1 Max Storage Limit Value", "Sensor 1 Max Storage"},
      {"max_rows_upload_S1", "ZENTIB_ERROR : Invalid Sensor 1 Max Rows to upload Value",
       "Sensor 1 Max Rows"},
      {"disable_payload", "ZENTIB_ERROR : Invalid Value Passed", "Disable Payload"},
      {"LHI_RATE", "ZENTIB_ERROR : Invalid LHI Rate Value", "LHI Rate"},
  };
  for (const Case &c : cases) {
    const std::string before = full.substr(0, full.find(c.value_line_start));
    EXPECT_EQ(read({{c.key, "1x"}}), 1) << c.key;
    EXPECT_EQ(output_, before + "ZENTIB_ERROR : Invalid value\n" + c.message + "\n") << c.key;
    EXPECT_EQ(read({{c.key, std::nullopt}}), 1) << c.key;
    EXPECT_EQ(output_, before + "ZENTIB_ERROR : Cannot Read Parameter\n\r") << c.key;
  }
  // A storage limit of 0 MiB would never let the gateway read.
  EXPECT_EQ(read({{"MSL_S1", "0"}}), 1);
  EXPECT_EQ(output_, full.substr(0, full.find("Sensor 1 Max Storage")) +
                         "ZENTIB_ERROR : Invalid Sensor 1 Max Storage Limit Value\n");
  // A row limit of 0 never uploads; 2^31 or more reads back negative, which
  // keeps meaning no row limit.
  EXPECT_EQ(read({{"max_rows_upload_S1", "0"}}), 1);
  EXPECT_EQ(output_, full.substr(0, full.find("Sensor 1 Max Rows")) +
                         "ZENTIB_ERROR : Invalid Sensor 1 Max Rows to upload Value\n");
  EXPECT_EQ(read({{"max_rows_upload_S1", "0xFFFFFFFF"}}), 0) << output_;
  EXPECT_NE(output_.find("Sensor 1 Max Rows\t= -1\n\r"), std::string::npos) << output_;
  // Keys newer than a settings file kept across an upgrade: the shipped
  // value when absent (above), refused outside what can work.
  struct Added {
    const char *key, *value, *refusal, *echo;
  } added[] = {
      {"SP_BT5_EXT", "3", "BLE 5 Extended Scan", "BLE 5 Extended Scan\t= 2"},
      {"SP_BT5_PHY", "2", "BLE 5 Scan PHY", "BLE 5 Scan PHY\t\t= 5"},
      {"SP_BT5_MAXD", "30", "BLE 5 Max Data", "BLE 5 Max Data\t\t= 1650"},
      {"max_message_bytes_S1", "4095", "Sensor 1 Max Message Bytes",
       "Sensor 1 Max Message Bytes\t= 4096"},
  };
  for (const Added &a : added) {
    EXPECT_EQ(read({{a.key, a.value}}), 1) << a.key;
    EXPECT_EQ(output_, full.substr(0, full.find(a.refusal)) + "ZENTIB_ERROR : Invalid " + a.refusal +
                           " Value\n") << a.key;
    const std::string value = std::string(a.echo).substr(std::string(a.echo).rfind(' ') + 1);
    EXPECT_EQ(read({{a.key, value}}), 0) << output_;
    EXPECT_NE(output_.find(std::string(a.echo) + "\n\r"), std::string::npos) << output_;
  }
  // Text settings: only presence is checked.
  for (const char *key : {"mqtt_topic", "client_id", "sensor1_dev_name", "database_sensor1"}) {
    EXPECT_EQ(read({{key, ""}}), 1) << key;
    EXPECT_NE(output_.find("ZENTIB_ERROR : Cannot Read Parameter\n\r"), std::string::npos);
  }
}

TEST_F(ConfigurationRead, TextsThatDoNotFitOrCouldReachAShellAreRefused) {
  EXPECT_EQ(read({{"client_id", "TBX0000000000001"}}), 1);  // 16 characters
  EXPECT_NE(output_.find("ZENTIB_ERROR : Value too long for tobixlite_config.@mqtt[0].client_id"),
            std::string::npos)
      << output_;
  EXPECT_EQ(read({{"mqtt_topic", std::string(52, 't')}}), 1);
  EXPECT_EQ(read({{"mqtt_topic", std::string(51, 't')}}), 0) << output_;
  // Optional ones too, not taken for absent (broker type 3, no credentials).
  for (const char *key : {"server", "mqtt_username"}) {
    EXPECT_EQ(read({{key, std::string(52, '1')}}), 1);
    EXPECT_TRUE(output_.ends_with("ZENTIB_ERROR : Cannot Read Parameter\n\r")) << output_;
  }

  for (const char *name : {"ttyS1;reboot", "tty S1", "$(reboot)", "../sda", "ttyS1`id`"}) {
    EXPECT_EQ(read({{"sensor1_dev_name", name}}), 1) << name;
    EXPECT_NE(output_.find("ZENTIB_ERROR : Invalid UART Device Name\n"), std::string::npos)
        << output_;
  }
  EXPECT_EQ(read({{"sensor1_dev_name", "ttyATH0"}}), 0) << output_;
  EXPECT_EQ(read({{"sensor1_dev_name", "ttyUSB_0.1-a"}}), 0) << output_;
  // A dongle gateway never uses the name.
  EXPECT_EQ(read({{"en_usb_s1", "1"}, {"sensor1_dev_name", "/dev/ttyS1"}}), 0) << output_;

  // What the MQTT library would refuse (here a Latin-1 \xe9 typed in an
  // editor, wildcards in the batch topic) is a bad setting, never echoed.
  const std::pair<const char *, const char *> unusable[][2] = {
      {{"client_id", "TBX\xe9"}, {"Tobix Voru ID\t", "ZENTIB_ERROR : Invalid MQTT Client ID"}},
      // Nothing that every packet's JSON would need escaped.
      {{"client_id", "TBX\"01"}, {"Tobix Voru ID\t", "ZENTIB_ERROR : Invalid MQTT Client ID"}},
      {{"client_id", "TBX\\01"}, {"Tobix Voru ID\t", "ZENTIB_ERROR : Invalid MQTT Client ID"}},
      {{"client_id", "TBX\t01"}, {"Tobix Voru ID\t", "ZENTIB_ERROR : Invalid MQTT Client ID"}},
      {{"client_id", "TBX\x7f"}, {"Tobix Voru ID\t", "ZENTIB_ERROR : Invalid MQTT Client ID"}},
      {{"mqtt_topic", "/Tobix/Beacons/#"}, {"MQTT Topic\t", "ZENTIB_ERROR : Invalid MQTT Topic"}},
      {{"mqtt_topic", "/Tobix/+/Beacons"}, {"MQTT Topic\t", "ZENTIB_ERROR : Invalid MQTT Topic"}},
      {{"mqtt_topic", "/Tobix/\xe9"}, {"MQTT Topic\t", "ZENTIB_ERROR : Invalid MQTT Topic"}},
      {{"mqtt_username", "gw\xe9"}, {"MQTT Username\t", "ZENTIB_ERROR : Invalid MQTT Username"}},
      {{"mqtt_password", "\xe9t\xe9"}, {"MQTT Password\t", "ZENTIB_ERROR : Invalid MQTT Password"}},
  };
  for (const auto &c : unusable) {
    EXPECT_EQ(read({{c[0].first, c[0].second}}), 1) << c[0].second;
    EXPECT_TRUE(output_.ends_with(std::string(c[1].second) + "\n")) << output_;
    EXPECT_EQ(output_.find(c[1].first), std::string::npos) << output_;
  }
  EXPECT_EQ(read({{"client_id", "TBX\xc3\xa9"}, {"mqtt_topic", "/Tobix/\xc3\xa9"}}), 0) << output_;
}

TEST_F(ConfigurationRead, RssiThresholdIsOptionalAndSigned) {
  ASSERT_TRUE(gwtest::write_filter_files("\toption S1_RSSI_FILTER '-75'\n"));
  ASSERT_EQ(read(), 0) << output_;
  EXPECT_EQ(output_, gwtest::broker_set3_echo +
                         gwtest::echo_from_port("Sensor 1 RSSI Filter\t= -75\n\r"));
  EXPECT_EQ(service_config.rssi_threshold, -75);
  EXPECT_EQ(service_config.rssi_filter_enabled, 1);

  // No number: the threshold stays, the filter is on all the same.
  ASSERT_TRUE(gwtest::write_filter_files("\toption S1_RSSI_FILTER 'strong'\n"));
  ASSERT_EQ(read(), 0) << output_;
  EXPECT_NE(output_.find("Sensor 1 RSSI Filter\t= -75\n\r"), std::string::npos);

  // Too long for a number: refused, not a filter silently left off.
  ASSERT_TRUE(gwtest::write_filter_files("\toption S1_RSSI_FILTER '-0000000000000000075'\n"));
  EXPECT_EQ(read(), 1);
  EXPECT_NE(output_.find("Value too long for tobixlite_rssi"), std::string::npos) << output_;

  // Once found, the filter stays on even when the key goes away.
  ASSERT_TRUE(gwtest::write_filter_files());
  ASSERT_EQ(read(), 0) << output_;
  EXPECT_EQ(output_.find("RSSI"), std::string::npos);
  EXPECT_EQ(service_config.rssi_filter_enabled, 1);
}

TEST_F(ConfigurationRead, FilterListsAreLoadedOnlyWhenSwitchedOn) {
  std::string uuids = "\toption uuid_filtering '1'\n";
  for (int i = 0; i < 11; ++i) {
    char uuid[40];
    std::snprintf(uuid, sizeof uuid, "E2C56DB5DFFB48D2B060D0F5A71096%02d", i);
    uuids += std::string("\tlist uuids '") + uuid + "'\n";
  }
  ASSERT_TRUE(gwtest::write_filter_files(
      "", uuids,
      "\toption mac_filtering '2'\n\tlist macs 'AA:BB:CC:DD:EE:FF'\n\tlist macs '0A:1B:2C:3D:4E:5F'\n"
      "\tlist macs 'aa:bb:cc:dd:ee:01'\n"));
  ASSERT_EQ(read(), 0) << output_;
  EXPECT_NE(output_.find("UUID Filtering = 1\n\rMAC Filtering = 2\n\r"), std::string::npos);
  EXPECT_EQ(service_config.uuid_list.count, 10);
  EXPECT_STREQ(service_config.uuid_list.entries[9], "E2C56DB5DFFB48D2B060D0F5A7109609");
  ASSERT_EQ(service_config.mac_list.count, 3);
  EXPECT_STREQ(service_config.mac_list.entries[0], "AABBCCDDEEFF");
  EXPECT_STREQ(service_config.mac_list.entries[1], "0A1B2C3D4E5F");
  EXPECT_STREQ(service_config.mac_list.entries[2], "aabbccddee01");  // case kept

  // Switched off: the lists are not read again and keep what they held.
  ASSERT_TRUE(gwtest::write_filter_files());
  ASSERT_EQ(read(), 0) << output_;
  EXPECT_EQ(service_config.uuid_list.count, 10);
  EXPECT_EQ(service_config.mac_list.count, 3);
}

TEST_F(ConfigurationRead, SmoothingNeedsItsWindow) {
  ASSERT_TRUE(gwtest::write_filter_files("", "\toption uuid_filtering '0'\n",
                                         "\toption mac_filtering '0'\n",
                                         "\toption smoothing_filter '1'\n"));
  EXPECT_EQ(read(), 1);
  EXPECT_TRUE(output_.ends_with("Smoothing Filtering = 1\n\rZENTIB_ERROR : Cannot Read Parameter\n\r"))
      << output_;
  EXPECT_EQ(service_config.smoothing_marker, 0);

  ASSERT_TRUE(gwtest::write_filter_files("", "\toption uuid_filtering '0'\n",
                                         "\toption mac_filtering '0'\n",
                                         "\toption smoothing_filter '1'\n"
                                         "\toption averaging_window '30'\n"));
  ASSERT_EQ(read(), 0) << output_;
  EXPECT_NE(output_.find("Smoothing Filtering = 1\n\rAveraging Window = 30\n\rLHI Rate"),
            std::string::npos);
  EXPECT_EQ(service_config.averaging_window, 30);
  EXPECT_EQ(service_config.smoothing_marker, 1);
}

TEST_F(ConfigurationRead, MissingPackageAndMissingFirmwareFail) {
  ASSERT_EQ(unlink("/etc/config/tobixlite_mac_filter"), 0);
  EXPECT_EQ(read(), 1);
  EXPECT_TRUE(output_.ends_with(
      "UUID Filtering = 0\n\r"
      "ZENTIB_ERROR : Cannot Lookup for tobixlite_mac_filter.@MAC[0].mac_filtering\n\r"
      "ZENTIB_ERROR : Cannot Read Parameter\n\r"))
      << output_;

  ASSERT_TRUE(gwtest::write_filter_files());
  ASSERT_TRUE(gwtest::write_file("/etc/openwrt_version", ""));
  EXPECT_EQ(read(), 1);
  EXPECT_TRUE(output_.ends_with("LHI Rate\t= 60\n\r"
                                "ZENTIB_ERROR : Firmware Version not found\n\r"
                                "ZENTIB_ERROR : Cannot get firmware version\n\r"))
      << output_;
  // The link state was reset before the firmware was looked at.
  EXPECT_NE(config_file().find("option mqtt_status '0'"), std::string::npos);
}

// TLS is off unless switched on, with the echo as before; every file it
// names is opened at start; the password never reaches the log.
TEST_F(ConfigurationRead, TlsFilesAreCheckedAtStartAndNoPasswordIsEchoed) {
  ASSERT_EQ(read({{"mqtt_username", "u"}, {"mqtt_password", "secret"}}), 0) << output_;
  EXPECT_NE(output_.find("MQTT Username\t\t= u\n\rMQTT Password\t\t= ********\n\r"),
            std::string::npos)
      << output_;
  EXPECT_EQ(output_.find("secret"), std::string::npos);
  EXPECT_EQ(output_.find("TLS"), std::string::npos);
  EXPECT_STREQ(service_config.mqtt_password, "secret");

  ASSERT_TRUE(gwtest::write_file("/etc/ca.pem", "authority\n"));
  ASSERT_TRUE(gwtest::write_file("/etc/c.pem", "certificate\n"));
  ASSERT_TRUE(gwtest::write_file("/etc/c.key", "key\n"));
  ASSERT_TRUE(gwtest::write_file("/etc/empty.key", ""));
  const Options tls = {{"mqtt_tls", "1"}, {"mqtt_tls_ca", "/etc/ca.pem"},
                       {"mqtt_tls_cert", "/etc/c.pem"}, {"mqtt_tls_key", "/etc/c.key"}};
  ASSERT_EQ(read(tls), 0) << output_;
  EXPECT_NE(output_.find("Tobix Voru ID\t\t= TBX000000000001\n\rMQTT TLS\t\t= 1\n\r"
                         "MQTT TLS CA\t\t= /etc/ca.pem\n\rMQTT TLS Certificate\t= /etc/c.pem\n\r"
                         "MQTT TLS Key\t\t= /etc/c.key\n\rEnable USB Dongle"),
            std::string::npos)
      << output_;
  // A folder of authorities will do; a later read without TLS turns it off.
  ASSERT_EQ(read({{"mqtt_tls", "1"}, {"mqtt_tls_ca", "/etc"}}), 0) << output_;
  EXPECT_STREQ(service_config.tls_ca, "/etc");
  ASSERT_EQ(read(), 0);
  EXPECT_EQ(service_config.mqtt_tls, 0);

  unlink(default_tls_ca_path);
  auto with = [&](Options changes) {
    Options options = tls;
    for (auto &[key, value] : changes) options[key] = value;
    return options;
  };
  const std::pair<Options, std::string> refused[] = {
      {with({{"mqtt_tls", "2"}}), "ZENTIB_ERROR : Invalid MQTT TLS Value\n"},
      {with({{"mqtt_tls_ca", std::nullopt}}),
       "ZENTIB_ERROR : Cannot Read MQTT TLS File /etc/ssl/certs/ca-certificates.crt\n\r"},
      {with({{"mqtt_tls_key", std::nullopt}}),
       "ZENTIB_ERROR : MQTT TLS Needs Both Certificate and Key\n"},
      {with({{"mqtt_tls_key", "/etc/empty.key"}}),
       "ZENTIB_ERROR : Cannot Read MQTT TLS File /etc/empty.key\n\r"},
      {with({{"mqtt_tls_cert", "/etc"}}), "ZENTIB_ERROR : Cannot Read MQTT TLS File /etc\n\r"},
  };
  for (const auto &[options, line] : refused) {
    EXPECT_EQ(read(options), 1) << line;
    EXPECT_TRUE(output_.ends_with(line)) << output_;
  }
}

}  // namespace
}  // namespace sensor_handler
