// Writers of the gateway's UCI files for tests: the shipped settings with
// chosen options changed or removed, in the form people write by hand.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "sandbox.h"

namespace gwtest {

// option name -> value; std::nullopt removes the option.
using Options = std::map<std::string, std::optional<std::string>>;

// A valid tobixlite_config for broker set 3 on the test broker address.
inline std::string tobixlite_config_text(const Options &changes = {}) {
  Options mqtt = {{"server", "3"},
                  {"mqtt_server_addr", "127.0.0.1"},
                  {"mqtt_username", ""},
                  {"mqtt_password", ""},
                  {"mqtt_server_port", "1883"},
                  {"mqtt_qos", "0"},
                  {"keep_alive_timeout", "60"},
                  {"mqtt_topic", "/Tobix/Beacons"},
                  {"client_id", "TBX000000000001"},
                  {"mqtt_status", "1"},
                  {"mqtt_tls", std::nullopt},
                  {"mqtt_tls_ca", std::nullopt},
                  {"mqtt_tls_cert", std::nullopt},
                  {"mqtt_tls_key", std::nullopt}};
  Options ble = {{"en_usb_s1", "0"},          {"sensor1_baud_rate", "115200"},
                 {"sensor1_dev_name", "ttyS1"}, {"sensor1_gpio_shutdown", "17"},
                 {"SP_S1_SI", "100"},           {"SP_BT4_SW", "100"},
                 {"SP_BT4_SD", "5"},            {"EN_S1", "0"},
                 {"SR_S1", "10"},               {"PR_S1", "10"},
                 {"MSL_S1", "10"},              {"max_rows_upload_S1", "50"},
                 {"database_sensor1", "/tmp/tobix_ble.db"}, {"disable_payload", "0"},
                 // Absent, as in a file kept from an older release.
                 {"SP_BT5_EXT", std::nullopt}, {"SP_BT5_PHY", std::nullopt},
                 {"SP_BT5_MAXD", std::nullopt}, {"max_message_bytes_S1", std::nullopt}};
  Options device = {{"LHI_RATE", "60"}};
  for (const auto &[key, value] : changes) {
    Options *section = mqtt.count(key) ? &mqtt : ble.count(key) ? &ble : &device;
    (*section)[key] = value;
  }
  auto render = [](const char *type, const Options &options) {
    std::string text = std::string("config ") + type + "\n";
    for (const auto &[key, value] : options) {
      if (value) text += "\toption " + key + " '" + *value + "'\n";
    }
    return text + "\n";
  };
  return "# gateway settings\n" + render("mqtt", mqtt) + render("ble", ble) +
         "config other 'kept'\n\toption untouched 'yes'\n\n" + render("device", device);
}

inline bool write_tobixlite_config(const Options &changes = {}) {
  return write_file("/etc/config/tobixlite_config", tobixlite_config_text(changes));
}

// The four filter packages, all off unless given.
inline bool write_filter_files(const std::string &rssi_options = "",
                               const std::string &uuid_options = "\toption uuid_filtering '0'\n",
                               const std::string &mac_options = "\toption mac_filtering '0'\n",
                               const std::string &smoothing_options =
                                   "\toption smoothing_filter '0'\n") {
  return write_file("/etc/config/tobixlite_rssi_filter", "config rssifilter\n" + rssi_options) &&
         write_file("/etc/config/tobixlite_uuid_filter", "config UUID\n" + uuid_options) &&
         write_file("/etc/config/tobixlite_mac_filter", "config MAC\n" + mac_options) &&
         write_file("/etc/config/tobixlite_smoothing_filter",
                    "config Smoothing_Filter\n" + smoothing_options);
}

// Echo lines of a successful read of tobixlite_config_text() with the
// filter files of write_filter_files(), from the port on.
inline std::string echo_from_port(const std::string &rssi_line = "",
                                  const std::string &filter_lines =
                                      "UUID Filtering = 0\n\rMAC Filtering = 0\n\r"
                                      "Smoothing Filtering = 0\n\r") {
  return "MQTT SERVER Port\t= 1883\n\r"
         "MQTT QOS Level\t= 0\n\r"
         "MQTT Keep Alive Timeout\t= 60\n\r"
         "MQTT Topic\t\t= /Tobix/Beacons\n\r"
         "Tobix Voru ID\t\t= TBX000000000001\n\r"
         "Enable USB Dongle\t= 0\n\r"
         "BLE Baudrate\t\t= 115200\n\r"
         "UART Devie Name\t\t= ttyS1\n\r"
         "BLE Reset GPIO\t\t= 17\n\r"
         "BLE Scan Interval\t= 100\n\r"
         "BLE Scan Window\t\t= 100\n\r"
         "BLE Scan duration\t= 5\n\r"
         "Enable Enable Sensor 1\t= 0\n\r"
         "Sensor 1 Sensing Rate\t= 10\n\r"
         "Sensor 1 Posting Rate\t= 10\n\r"
         "Sensor 1 Max Storage Limit\t= 10\n\r"
         "Sensor 1 Max Rows\t= 50\n\r"
         "BLE 5 Extended Scan\t= 1\n\r"
         "BLE 5 Scan PHY\t\t= 1\n\r"
         "BLE 5 Max Data\t\t= 255\n\r"
         "Sensor 1 Max Message Bytes\t= 122880\n\r" +
         rssi_line +
         "Sensor 1 DB Path\t\t= /tmp/tobix_ble.db\n\r"
         "Disable Payload Option = 0\n\r" +
         filter_lines + "LHI Rate\t= 60\n\r";
}

inline const std::string broker_set3_echo =
    "MQTT SERVER Type\t= 3\n\r"
    "MQTT SERVER\t\t= 127.0.0.1\n\r"
    "MQTT Username\t\t= \n\r"
    "MQTT Password\t\t= \n\r";

}  // namespace gwtest
