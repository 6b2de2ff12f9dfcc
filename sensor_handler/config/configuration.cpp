#include "configuration.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <iterator>
#include <mosquitto.h>
#include <sys/stat.h>
#include <unistd.h>

#include "gw_mqtt.h"
#include "gw_number.h"
#include "gw_output.h"
#include "identity.h"

namespace sensor_handler {

ServiceConfig service_config;

namespace {

constexpr std::size_t scratch_size = 20;  // a number has at most 19 characters

constexpr const char cannot_read[] = "ZENTIB_ERROR : Cannot Read Parameter\n\r";

template <std::size_t Size>
bool read_text(const char *path, char (&field)[Size]) {
  std::memset(field, 0, Size);
  gw::gw_uci_get_string(path, field, Size);
  return field[0] != '\0';
}

// Reads a setting that may be absent (field left empty). false when its
// value does not fit the field: refused like an over-long required value,
// since a cut or ignored broker type, threshold or credential would quietly
// change where and how the gateway connects.
template <std::size_t Size>
bool read_optional_text(const char *path, char (&field)[Size]) {
  std::memset(field, 0, Size);
  if (gw::gw_uci_get_string(path, field, Size) == 0) return true;
  gw::gw_printf("%s", cannot_read);
  return false;
}

// Numeric setting: required, strict base-0 number within [lowest, highest],
// echoed.
bool numeric_step(const char *path, std::int32_t *field, const char *bad_value_line,
                  const char *value_label, std::int32_t lowest = INT32_MIN,
                  std::int32_t highest = INT32_MAX, bool zero_refused = false) {
  char scratch[scratch_size];
  if (!read_text(path, scratch)) {
    gw::gw_printf("%s", cannot_read);
    return false;
  }
  if (gw::gw_parse_number(scratch, 0, field) != 0 || *field < lowest || *field > highest ||
      (zero_refused && *field == 0)) {
    gw::gw_puts(bad_value_line);
    return false;
  }
  gw::gw_printf("%s%d\n\r", value_label, static_cast<int>(*field));
  return true;
}

// A text the MQTT library would refuse; refused_line is printed for it.
struct MqttCheck {
  bool (*usable)(const char *text);
  const char *refused_line;
};

// Text setting: required, checked (when a check is given), echoed.
template <std::size_t Size>
bool text_step(const char *path, char (&field)[Size], const char *value_label,
               const MqttCheck *check = nullptr) {
  if (!read_text(path, field)) {
    gw::gw_printf("%s", cannot_read);
    return false;
  }
  if (check != nullptr && !check->usable(field)) {
    gw::gw_puts(check->refused_line);
    return false;
  }
  gw::gw_printf("%s%s\n\r", value_label, field);
  return true;
}

// Settings the MQTT library cannot use are refused here, as a bad setting
// the parent waits on, and not found out later: a client ID it refuses
// would rebuild the service every few seconds for ever, and a topic it
// refuses would fail every batch, whose rows are then deleted as sent while
// the pings keep the link looking healthy. The library's own checks decide.
bool is_utf8(const char *text) {
  return mosquitto_validate_utf8(text, static_cast<int>(std::strlen(text))) == MOSQ_ERR_SUCCESS;
}

// No wildcard, not empty, valid UTF-8: what a publish needs.
bool is_publish_topic(const char *topic) {
  return is_utf8(topic) && mosquitto_pub_topic_check(topic) == MOSQ_ERR_SUCCESS;
}

// The ID goes unescaped into every packet's JSON ("SourceID", "id"), so
// nothing JSON would need escaped: quotes, backslashes, control characters;
// nor DEL, which no one types on purpose and which hides in a broker's log.
// Then whatever the library asks of a client ID, asked of the library itself.
bool is_usable_client_id(const char *id) {
  for (const char *c = id; *c != '\0'; ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    if (byte == '"' || byte == '\\' || byte < 0x20 || byte == 0x7F) return false;
  }
  if (!is_utf8(id)) return false;
  struct mosquitto *client = mosquitto_new(id, true, nullptr);
  gw::mark_sockets_close_on_exec();
  if (client == nullptr) return false;
  mosquitto_destroy(client);
  return true;
}

constexpr MqttCheck topic_check{is_publish_topic, "ZENTIB_ERROR : Invalid MQTT Topic"};
constexpr MqttCheck client_id_check{is_usable_client_id, "ZENTIB_ERROR : Invalid MQTT Client ID"};
constexpr MqttCheck username_check{is_utf8, "ZENTIB_ERROR : Invalid MQTT Username"};
constexpr MqttCheck password_check{is_utf8, "ZENTIB_ERROR : Invalid MQTT Password"};

bool passes(const MqttCheck &check, const char *text) {
  if (check.usable(text)) return true;
  gw::gw_puts(check.refused_line);
  return false;
}

// The UART device name goes into a root shell command (hciattach): only a
// plain device name is accepted.
bool is_plain_device_name(const char *name) {
  for (const char *c = name; *c != '\0'; ++c) {
    bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') ||
                 *c == '.' || *c == '_' || *c == '-';
    if (!plain) return false;
  }
  return true;
}

// "%d" reading of the optional RSSI threshold: leading blanks and a sign are
// accepted; a text without a number leaves the threshold as it was.
void scan_signed_decimal(const char *text, std::int32_t *value) {
  errno = 0;
  char *end = nullptr;
  long parsed = std::strtol(text, &end, 10);
  if (end == text) return;
  if (parsed > INT32_MAX) parsed = INT32_MAX;
  if (parsed < INT32_MIN) parsed = INT32_MIN;
  *value = static_cast<std::int32_t>(parsed);
}

void remove_colons(gw::FilterList *list) {
  for (std::size_t entry = 0; entry < list->count; ++entry) {
    char *text = list->entries[entry];
    std::size_t kept = 0;
    for (std::size_t i = 0; text[i] != '\0'; ++i) {
      if (text[i] != ':') text[kept++] = text[i];
    }
    text[kept] = '\0';
  }
}

// Chooses the broker address and credentials. Writes back which broker set
// a configured address stands for.
bool select_broker(ServiceConfig &config) {
  char scratch[scratch_size];
  if (!read_optional_text("tobixlite_config.@mqtt[0].server", scratch)) return false;
  if (scratch[0] == '\0') std::strcpy(scratch, "3");
  if (gw::gw_parse_number(scratch, 0, &config.server_type) != 0) {
    gw::gw_puts("ZENTIB_ERROR : Invalid MQTT Server Type");
    return false;
  }
  gw::gw_printf("MQTT SERVER Type\t= %d\n\r", static_cast<int>(config.server_type));

  if (config.server_type == 1 || config.server_type == 2) {
    const bool first = config.server_type == 1;
    bool host = read_text(first ? "/etc/tobixlite_config2.@mqtt[0].mqtt_server_addr1"
                                : "/etc/tobixlite_config2.@mqtt[0].mqtt_server_addr2",
                          config.broker_host);
    bool user = read_text(first ? "/etc/tobixlite_config2.@mqtt[0].mqtt_username1"
                                : "/etc/tobixlite_config2.@mqtt[0].mqtt_username2",
                          config.mqtt_username);
    bool password = read_text(first ? "/etc/tobixlite_config2.@mqtt[0].mqtt_password1"
                                    : "/etc/tobixlite_config2.@mqtt[0].mqtt_password2",
                              config.mqtt_password);
    if (!host || !user || !password) {
      gw::gw_printf("%s", cannot_read);
      return false;
    }
    return passes(username_check, config.mqtt_username) &&
           passes(password_check, config.mqtt_password);
  }

  if (!text_step("tobixlite_config.@mqtt[0].mqtt_server_addr", config.broker_host,
                 "MQTT SERVER\t\t= ")) {
    return false;
  }
  if (std::strcmp(config.broker_host, default_primary_broker_host) == 0) {
    gw::gw_uci_set_value("tobixlite_config", "@mqtt[0]", "server", "1");
  } else if (std::strcmp(config.broker_host, default_secondary_broker_host) == 0) {
    if (gw::gw_uci_set_value("tobixlite_config", "@mqtt[0]", "server", "2") != 0) return false;
  } else {
    gw::gw_uci_set_value("tobixlite_config", "@mqtt[0]", "server", "3");
  }
  if (!read_optional_text("tobixlite_config.@mqtt[0].mqtt_username", config.mqtt_username)) {
    return false;
  }
  if (!passes(username_check, config.mqtt_username)) return false;
  gw::gw_printf("MQTT Username\t\t= %s\n\r", config.mqtt_username);
  if (!read_optional_text("tobixlite_config.@mqtt[0].mqtt_password", config.mqtt_password) ||
      !passes(password_check, config.mqtt_password)) {
    return false;
  }
  // Standard output reaches the system log, which every administrator
  // account reads and which is often forwarded: the password stays out.
  gw::gw_printf("MQTT Password\t\t= %s\n\r", config.mqtt_password[0] != '\0' ? "********" : "");
  return true;
}

// A file (or, for the authorities, a folder) the TLS connection will need:
// opened now, so a wrong path is a bad setting at start and not a connect
// that fails for ever.
bool tls_file_readable(const char *path, bool folder_allowed) {
  struct stat status {};
  if (::stat(path, &status) == 0 && S_ISDIR(status.st_mode)) {
    if (!folder_allowed) return false;
    DIR *folder = ::opendir(path);
    if (folder == nullptr) return false;
    ::closedir(folder);
    return true;
  }
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char byte;
  const bool readable = ::read(fd, &byte, 1) == 1;
  ::close(fd);
  return readable;
}

bool read_tls_settings(ServiceConfig &config) {
  config.mqtt_tls = 0;
  config.tls_ca[0] = config.tls_certificate[0] = config.tls_key[0] = '\0';
  char scratch[scratch_size];
  if (!read_optional_text("tobixlite_config.@mqtt[0].mqtt_tls", scratch)) return false;
  if (scratch[0] == '\0') return true;
  if (gw::gw_parse_number(scratch, 0, &config.mqtt_tls) != 0 || config.mqtt_tls < 0 ||
      config.mqtt_tls > 1) {
    gw::gw_puts("ZENTIB_ERROR : Invalid MQTT TLS Value");
    return false;
  }
  if (config.mqtt_tls == 0) return true;
  gw::gw_printf("MQTT TLS\t\t= 1\n\r");
  if (!read_optional_text("tobixlite_config.@mqtt[0].mqtt_tls_ca", config.tls_ca) ||
      !read_optional_text("tobixlite_config.@mqtt[0].mqtt_tls_cert", config.tls_certificate) ||
      !read_optional_text("tobixlite_config.@mqtt[0].mqtt_tls_key", config.tls_key)) {
    return false;
  }
  if (config.tls_ca[0] == '\0') {
    std::snprintf(config.tls_ca, sizeof config.tls_ca, "%s", default_tls_ca_path);
  }
  gw::gw_printf("MQTT TLS CA\t\t= %s\n\r", config.tls_ca);
  if (!tls_file_readable(config.tls_ca, true)) {
    gw::gw_printf("ZENTIB_ERROR : Cannot Read MQTT TLS File %s\n\r", config.tls_ca);
    return false;
  }
  if ((config.tls_certificate[0] == '\0') != (config.tls_key[0] == '\0')) {
    gw::gw_puts("ZENTIB_ERROR : MQTT TLS Needs Both Certificate and Key");
    return false;
  }
  if (config.tls_certificate[0] == '\0') return true;
  gw::gw_printf("MQTT TLS Certificate\t= %s\n\r", config.tls_certificate);
  gw::gw_printf("MQTT TLS Key\t\t= %s\n\r", config.tls_key);
  for (const char *path : {config.tls_certificate, config.tls_key}) {
    if (!tls_file_readable(path, false)) {
      gw::gw_printf("ZENTIB_ERROR : Cannot Read MQTT TLS File %s\n\r", path);
      return false;
    }
  }
  return true;
}

struct NumericKey {
  const char *path;
  std::int32_t ServiceConfig::*field;
  const char *bad_value_line;
  const char *value_label;  // echoed before the value
  std::int32_t lowest = INT32_MIN;
  std::int32_t highest = INT32_MAX;
  bool zero_refused = false;
};

bool read_numeric_keys(ServiceConfig &config, const NumericKey *keys, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!numeric_step(keys[i].path, &(config.*keys[i].field), keys[i].bad_value_line,
                      keys[i].value_label, keys[i].lowest, keys[i].highest,
                      keys[i].zero_refused)) {
      return false;
    }
  }
  return true;
}

bool read_settings(ServiceConfig &config) {
  if (!select_broker(config)) return false;

  static constexpr NumericKey mqtt_keys[] = {
      {"tobixlite_config.@mqtt[0].mqtt_server_port", &ServiceConfig::broker_port,
       "ZENTIB_ERROR : Invalid MQTT Server Port", "MQTT SERVER Port\t= "},
      {"tobixlite_config.@mqtt[0].mqtt_qos", &ServiceConfig::mqtt_qos,
       // MQTT has levels 0 to 2: the broker drops a CONNECT whose will has
       // level 3, and the client library refuses any higher one.
       "ZENTIB_ERROR : Invalid MQTT QOS Level", "MQTT QOS Level\t= ", 0, 2},
      {"tobixlite_config.@mqtt[0].keep_alive_timeout", &ServiceConfig::keep_alive_timeout,
       "ZENTIB_ERROR : Invalid MQTT Server Keep Alive Timeout", "MQTT Keep Alive Timeout\t= "},
  };
  if (!read_numeric_keys(config, mqtt_keys, std::size(mqtt_keys))) return false;
  if (!text_step("tobixlite_config.@mqtt[0].mqtt_topic", config.mqtt_topic,
                 "MQTT Topic\t\t= ", &topic_check)) {
    return false;
  }
  if (!text_step("tobixlite_config.@mqtt[0].client_id", config.client_id,
                 "Tobix Voru ID\t\t= ", &client_id_check)) {
    return false;
  }
  if (!read_tls_settings(config)) return false;

  static constexpr NumericKey uart_keys[] = {
      {"tobixlite_config.@ble[0].en_usb_s1", &ServiceConfig::usb_dongle_enabled,
       "ZENTIB_ERROR : Invalid USB Dongle Enable Value", "Enable USB Dongle\t= "},
      {"tobixlite_config.@ble[0].sensor1_baud_rate", &ServiceConfig::ble_baud_rate,
       "ZENTIB_ERROR : Invalid BLE baudrate Value", "BLE Baudrate\t\t= "},
  };
  if (!read_numeric_keys(config, uart_keys, std::size(uart_keys))) return false;
  if (!text_step("tobixlite_config.@ble[0].sensor1_dev_name", config.uart_dev_name,
                 "UART Devie Name\t\t= ")) {
    return false;
  }
  // Only a UART module's name reaches a command; a dongle gateway's is unused.
  if (config.usb_dongle_enabled == 0 && !is_plain_device_name(config.uart_dev_name)) {
    gw::gw_puts("ZENTIB_ERROR : Invalid UART Device Name");
    return false;
  }

  static constexpr NumericKey ble_keys[] = {
      {"tobixlite_config.@ble[0].sensor1_gpio_shutdown", &ServiceConfig::ble_reset_gpio,
       "ZENTIB_ERROR : Invalid BLE Reset GPIO Value", "BLE Reset GPIO\t\t= "},
      {"tobixlite_config.@ble[0].SP_S1_SI", &ServiceConfig::scan_interval,
       "ZENTIB_ERROR : Invalid BLE Scan Interval Value", "BLE Scan Interval\t= "},
      {"tobixlite_config.@ble[0].SP_BT4_SW", &ServiceConfig::scan_window,
       "ZENTIB_ERROR : Invalid BLE Scan Window Value", "BLE Scan Window\t\t= "},
      {"tobixlite_config.@ble[0].SP_BT4_SD", &ServiceConfig::scan_duration,
       "ZENTIB_ERROR : Invalid BLE Scan duration Value", "BLE Scan duration\t= "},
      {"tobixlite_config.@ble[0].EN_S1", &ServiceConfig::sensor_enabled,
       "ZENTIB_ERROR : Invalid Enable Sensor 1 Value", "Enable Enable Sensor 1\t= "},
      {"tobixlite_config.@ble[0].SR_S1", &ServiceConfig::sensing_rate,
       "ZENTIB_ERROR : Invalid Sensor 1 Sensing Rate Value", "Sensor 1 Sensing Rate\t= "},
      {"tobixlite_config.@ble[0].PR_S1", &ServiceConfig::posting_rate,
       "ZENTIB_ERROR : Invalid Sensor 1 Posting Rate Value", "Sensor 1 Posting Rate\t= "},
      {"tobixlite_config.@ble[0].MSL_S1", &ServiceConfig::max_storage_limit,
       // At 0 MiB the store is always at its limit and nothing is ever read.
       "ZENTIB_ERROR : Invalid Sensor 1 Max Storage Limit Value",
       "Sensor 1 Max Storage Limit\t= ", 1},
      {"tobixlite_config.@ble[0].max_rows_upload_S1", &ServiceConfig::max_rows_upload,
       // 0 rows uploads nothing, so the store fills and reading pauses for
       // good. 2^31 and more read back negative: no row limit, as ever (the
       // message's own size bound still holds).
       "ZENTIB_ERROR : Invalid Sensor 1 Max Rows to upload Value", "Sensor 1 Max Rows\t= ",
       INT32_MIN, INT32_MAX, true},
  };
  if (!read_numeric_keys(config, ble_keys, std::size(ble_keys))) return false;

  // Settings a file kept across an upgrade from an older release may lack:
  // the shipped value then applies, echoed as any other.
  struct AddedKey {
    NumericKey key;
    std::int32_t shipped;
    // Within the key's range, the values allowed (bit N allows N); 0: all.
    std::uint32_t allowed = 0;
  };
  static constexpr AddedKey added_keys[] = {
      {{"tobixlite_config.@ble[0].SP_BT5_EXT", &ServiceConfig::extended_scanning,
        "ZENTIB_ERROR : Invalid BLE 5 Extended Scan Value", "BLE 5 Extended Scan\t= ", 0, 2},
       1},
      // The HCI scanning-PHY bits: 1M, Coded, or both.
      {{"tobixlite_config.@ble[0].SP_BT5_PHY", &ServiceConfig::scan_phys,
        "ZENTIB_ERROR : Invalid BLE 5 Scan PHY Value", "BLE 5 Scan PHY\t\t= ", 1, 5},
       1, 1u << 1 | 1u << 4 | 1u << 5},
      {{"tobixlite_config.@ble[0].SP_BT5_MAXD", &ServiceConfig::max_extended_data,
        "ZENTIB_ERROR : Invalid BLE 5 Max Data Value", "BLE 5 Max Data\t\t= ", 31, 1650},
       255},
      // Below 4 KiB a message would not hold one long extended row; above
      // 1 MiB two in flight would weigh on a 64 MiB board.
      {{"tobixlite_config.@ble[0].max_message_bytes_S1", &ServiceConfig::max_message_bytes,
        "ZENTIB_ERROR : Invalid Sensor 1 Max Message Bytes Value", "Sensor 1 Max Message Bytes\t= ",
        4096, 1048576},
       122880},
  };
  for (const AddedKey &added : added_keys) {
    char present[scratch_size];
    if (!read_optional_text(added.key.path, present)) return false;
    if (present[0] != '\0') {
      if (added.allowed != 0) {
        // Checked before the echo, as a value out of range is.
        // Silent: a text that is no number is the parse's to report below.
        char *end = nullptr;
        const long value = std::strtol(present, &end, 0);
        if (end != present && *end == '\0' && value >= 0 && value < 32 &&
            (added.allowed >> value & 1u) == 0) {
          gw::gw_puts(added.key.bad_value_line);
          return false;
        }
      }
      if (!read_numeric_keys(config, &added.key, 1)) return false;
      continue;
    }
    config.*added.key.field = added.shipped;
    gw::gw_printf("%s%d\n\r", added.key.value_label, static_cast<int>(added.shipped));
  }

  // The RSSI threshold may be absent too: the RSSI filter keeps its state.
  char rssi[scratch_size];
  if (!read_optional_text("tobixlite_rssi_filter.@rssifilter[0].S1_RSSI_FILTER", rssi)) {
    return false;
  }
  if (rssi[0] != '\0') {
    scan_signed_decimal(rssi, &config.rssi_threshold);
    config.rssi_filter_enabled = 1;
    gw::gw_printf("Sensor 1 RSSI Filter\t= %d\n\r", static_cast<int>(config.rssi_threshold));
  }

  if (!text_step("tobixlite_config.@ble[0].database_sensor1", config.db_path,
                 "Sensor 1 DB Path\t\t= ")) {
    return false;
  }
  if (!numeric_step("tobixlite_config.@ble[0].disable_payload", &config.disable_payload,
                    "ZENTIB_ERROR : Invalid Value Passed", "Disable Payload Option = ")) {
    return false;
  }

  if (!numeric_step("tobixlite_uuid_filter.@UUID[0].uuid_filtering", &config.uuid_filtering,
                    "ZENTIB_ERROR : Invalid Value Passed", "UUID Filtering = ")) {
    return false;
  }
  if (config.uuid_filtering != 0) {
    gw::gw_uci_get_list("tobixlite_uuid_filter.@UUID[0].uuids", &config.uuid_list);
  }

  if (!numeric_step("tobixlite_mac_filter.@MAC[0].mac_filtering", &config.mac_filtering,
                    "ZENTIB_ERROR : Invalid Value Passed", "MAC Filtering = ")) {
    return false;
  }
  if (config.mac_filtering != 0) {
    gw::gw_uci_get_list("tobixlite_mac_filter.@MAC[0].macs", &config.mac_list);
    remove_colons(&config.mac_list);
  }

  if (!numeric_step("tobixlite_smoothing_filter.@Smoothing_Filter[0].smoothing_filter",
                    &config.smoothing_filter, "ZENTIB_ERROR : Invalid Value Passed",
                    "Smoothing Filtering = ")) {
    return false;
  }
  if (config.smoothing_filter != 0) {
    if (!numeric_step("tobixlite_smoothing_filter.@Smoothing_Filter[0].averaging_window",
                      &config.averaging_window, "ZENTIB_ERROR : Invalid Value Passed",
                      "Averaging Window = ")) {
      return false;
    }
    config.smoothing_marker = 1;
  }

  return numeric_step("tobixlite_config.@device[0].LHI_RATE", &config.lhi_rate,
                      "ZENTIB_ERROR : Invalid LHI Rate Value", "LHI Rate\t= ");
}

}  // namespace

int read_configuration() {
  if (!read_settings(service_config)) return 1;
  // The link state is a report for other tools, not a setting: a full or
  // read-only overlay (a power cut left '1' behind) must not keep the
  // gateway down. The next link change, and each run's end, writes it again.
  if (gw::gw_uci_set_value("tobixlite_config", "@mqtt[0]", "mqtt_status", "0") != 0) {
    gw::gw_printf("ZENTIB_ERROR : Cannot Set Value of MQTT Status\n\r");
  }
  if (read_firmware_version() != 0) {
    gw::gw_printf("ZENTIB_ERROR : Cannot get firmware version\n\r");
    return 1;
  }
  read_hardware_version();
  return 0;
}

}  // namespace sensor_handler
