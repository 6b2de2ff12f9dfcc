#include "identity.h"

#include <cstdio>
#include <cstring>
#include <mosquitto.h>

#include "gw_command.h"
#include "gw_output.h"

namespace sensor_handler {

char firmware_version[identity_text_size];
char hardware_version[identity_text_size];
char device_ip[identity_text_size];

namespace {

// The texts go unescaped into every log packet's JSON: what JSON would need
// escaped (quotes, backslashes, control characters, DEL) is dropped, and so
// is every byte above 0x7F unless the whole text is valid UTF-8 (a version
// cut at 19 bytes may end inside a character). Ordinary versions keep every
// byte.
void make_json_safe(char *text) {
  std::size_t kept = 0;
  for (std::size_t i = 0; text[i] != '\0'; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte != '"' && byte != '\\' && byte >= 0x20 && byte != 0x7F) text[kept++] = text[i];
  }
  text[kept] = '\0';
  if (mosquitto_validate_utf8(text, static_cast<int>(kept)) == MOSQ_ERR_SUCCESS) return;
  kept = 0;
  for (std::size_t i = 0; text[i] != '\0'; ++i) {
    if (static_cast<unsigned char>(text[i]) < 0x80) text[kept++] = text[i];
  }
  text[kept] = '\0';
}

// Reads the first whitespace-delimited word of command's output into
// destination, cut at 19 characters. A command that cannot start leaves it
// empty.
void read_first_word(const char *command, char *destination) {
  std::memset(destination, 0, identity_text_size);
  gw::CommandPipe pipe(command);
  if (pipe.stream() == nullptr) return;
  if (std::fscanf(pipe.stream(), "%19s", destination) != 1) destination[0] = '\0';
  make_json_safe(destination);
}

}  // namespace

int read_firmware_version() {
  gw::CommandPipe pipe("cat /etc/openwrt_version");
  if (pipe.stream() == nullptr) {
    gw::gw_puts("ZENTIB_ERROR : Failed to read Firmware version");
    return 1;
  }
  // Keep the last line that holds more than blanks: a file edited by hand
  // may end in empty lines. Only the line ending is removed: a file written
  // without a final newline keeps its last character, and a version longer
  // than the 19-character text keeps its first 19 rather than its tail.
  std::memset(firmware_version, 0, sizeof firmware_version);
  char line[identity_text_size] = {};
  char last_line[identity_text_size] = {};
  std::size_t length = 0;
  bool blank = true;
  auto end_line = [&] {
    if (length > 0 && line[length - 1] == '\r') line[--length] = '\0';
    if (!blank) std::memcpy(last_line, line, sizeof last_line);
    std::memset(line, 0, sizeof line);
    length = 0;
    blank = true;
  };
  for (int c = std::fgetc(pipe.stream()); c != EOF; c = std::fgetc(pipe.stream())) {
    if (c == '\n') {
      end_line();
      continue;
    }
    if (length < sizeof line - 1) line[length++] = static_cast<char>(c);
    if (c != ' ' && c != '\t' && c != '\r') blank = false;
  }
  end_line();
  pipe.close();
  make_json_safe(last_line);
  if (last_line[0] == '\0') {
    gw::gw_printf("ZENTIB_ERROR : Firmware Version not found\n\r");
    return 1;
  }
  std::memcpy(firmware_version, last_line, sizeof firmware_version);
  return 0;
}

int read_hardware_version() {
  read_first_word(". /etc/device_info; echo $DEVICE_PRODUCT$DEVICE_REVISION", hardware_version);
  if (hardware_version[0] != '\0') return 0;
  read_first_word("cat /etc/banner|tail -3|head -1|tr -d ' ' ", hardware_version);
  return 0;
}

void read_device_ip(char *destination) {
  read_first_word("ifconfig eth0 | grep 'inet addr:' | cut -d: -f2 | awk '{ print  $1}'",
                  destination);
}

}  // namespace sensor_handler
