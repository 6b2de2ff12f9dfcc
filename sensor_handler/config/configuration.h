// The gateway's settings, read from the UCI store at every service build.
//
// read_configuration runs on the main thread before any worker of the build
// exists; it is the only writer of service_config, which the workers only
// read afterwards. Fields keep their previous value until a later read
// overwrites them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gw_uci.h"

namespace sensor_handler {

// Broker hosts the gateway ships with. Configuring one of them as
// mqtt_server_addr selects its credential set from /etc/tobixlite_config2
// from the next service build on.
constexpr const char default_primary_broker_host[] = "mqtt.zentib.com";
constexpr const char default_secondary_broker_host[] = "mqtt-backup.zentib.com";

constexpr std::size_t long_text_size = 52;
constexpr std::size_t short_text_size = 16;
constexpr std::size_t path_text_size = 128;

// Where OpenWrt's ca-bundle package puts the authorities it trusts.
constexpr const char default_tls_ca_path[] = "/etc/ssl/certs/ca-certificates.crt";

struct ServiceConfig {
  std::int32_t server_type = 1;
  char broker_host[long_text_size] = {};
  char mqtt_username[long_text_size] = {};
  char mqtt_password[long_text_size] = {};
  std::int32_t broker_port = 1883;
  std::int32_t mqtt_qos = 0;
  std::int32_t keep_alive_timeout = 5;
  // TLS to the broker (mqtt_tls 1): the authorities to trust (a file or a
  // folder) and an optional client certificate with its key. Reset at every
  // read: absent means off.
  std::int32_t mqtt_tls = 0;
  char tls_ca[path_text_size] = {};
  char tls_certificate[path_text_size] = {};
  char tls_key[path_text_size] = {};
  char mqtt_topic[long_text_size] = {};
  char client_id[short_text_size] = {};
  std::int32_t usb_dongle_enabled = 1;
  std::int32_t ble_baud_rate = 115200;
  char uart_dev_name[short_text_size] = {};
  std::int32_t ble_reset_gpio = 17;
  std::int32_t scan_interval = 100;
  std::int32_t scan_window = 100;
  std::int32_t scan_duration = 1;
  // Which LE scan commands a BLE 5 controller is driven with: 0 legacy
  // only, 1 legacy unless the controller refuses it, 2 extended whenever
  // the controller has them.
  std::int32_t extended_scanning = 1;
  // Extended scanning's PHYs (1 1M, 4 Coded, 5 both: the HCI bits), the
  // most data bytes stored of one extended advertisement, and the most
  // bytes of one batch message.
  std::int32_t scan_phys = 1;
  std::int32_t max_extended_data = 255;
  std::int32_t max_message_bytes = 122880;
  std::int32_t sensor_enabled = 0;
  std::int32_t sensing_rate = 0;
  std::int32_t posting_rate = 0;
  std::int32_t max_storage_limit = 10;
  std::int32_t max_rows_upload = 0;
  std::int32_t rssi_threshold = 0;
  std::uint8_t rssi_filter_enabled = 0;
  char db_path[long_text_size] = {};
  std::int32_t disable_payload = 0;
  std::int32_t uuid_filtering = 0;
  gw::FilterList uuid_list = {};
  std::int32_t mac_filtering = 0;
  gw::FilterList mac_list = {};
  std::int32_t smoothing_filter = 0;
  std::int32_t averaging_window = 0;
  std::uint8_t smoothing_marker = 0;
  std::int32_t lhi_rate = 15;
  std::int32_t sensor_number = 1;
};

extern ServiceConfig service_config;

// Reads, validates and echoes every setting, selects the broker, loads the
// filter lists, stores mqtt_status "0" (a store that fails prints its line
// and the read goes on) and reads the firmware and hardware versions.
// Returns 0, or 1 after printing why.
int read_configuration();

}  // namespace sensor_handler
