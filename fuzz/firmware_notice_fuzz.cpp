// The firmware notice from the MQTT payload to the decision. The input is
// the payload, handed over as the broker library does: a heap block of
// exactly its bytes and no terminator, so a read past it trips
// AddressSanitizer. The running version is picked by the payload's length:
// the usual one, the longest one (19 characters, leaving the least room in
// the command) or one the banner edit cannot carry.
//
// Built with firmware_notice.cpp alone: the shell and the console are
// stand-ins here, so nothing is run, and every command is checked instead.
// A version handed to a command holds only a version's alphabet (letters,
// digits, '.', '-', '_', '+'), differs from the running one and fits the
// 100-byte command; the parent gets at most one SIGTSTP per notice, only
// after the upgrade line, and never a banner edit after it.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mosquitto.h>

#include "fuzz_target.h"
#include "config/identity.h"
#include "gw_command.h"
#include "gw_output.h"
#include "stop/stop_flags.h"
#include "uplink/firmware_notice.h"

namespace sensor_handler {

char firmware_version[identity_text_size];
std::int32_t parent_pid = 4242;

}  // namespace sensor_handler

namespace {

struct Seen {
  int upgrade_lines;
  int banner_edits;
  int signals;
} seen;

bool version_alphabet(const char *text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    const char c = *text;
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_' || c == '+';
    if (!allowed) return false;
  }
  return true;
}

}  // namespace

namespace gw {

void gw_printf(const char *format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (std::strcmp(line, "Firmware Upgrade necessary\n\r") == 0) ++seen.upgrade_lines;
}

int run_command_formatted(const char *format, ...) {
  char command[command_capacity] = {};
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(command, sizeof command, format, copy);
  va_end(copy);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof command) std::abort();

  if (std::strcmp(format, "sed -i 's/%s/%s/g' /etc/banner") == 0) {
    const char *old_version = va_arg(args, const char *);
    const char *new_version = va_arg(args, const char *);
    if (!version_alphabet(old_version) || !version_alphabet(new_version)) std::abort();
    if (std::strcmp(old_version, sensor_handler::firmware_version) != 0) std::abort();
    if (std::strcmp(old_version, new_version) == 0) std::abort();
    if (seen.upgrade_lines != 1 || seen.signals != 0 || ++seen.banner_edits > 1) std::abort();
  } else if (std::strcmp(format, "kill -SIGTSTP %d >/dev/null 2>&1") == 0) {
    if (va_arg(args, int) != sensor_handler::parent_pid) std::abort();
    if (seen.upgrade_lines != 1 || ++seen.signals > 1) std::abort();
  } else {
    std::abort();  // no other command belongs to a notice
  }
  va_end(args);
  return 0;
}

}  // namespace gw

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *input, std::size_t size) {
  static const char *const running[] = {"18.06.1", "1234567890123456789", "18/06"};
  std::snprintf(sensor_handler::firmware_version, sensor_handler::identity_text_size, "%s",
                running[size % 3]);
  void *payload = size == 0 ? nullptr : std::malloc(size);
  if (size != 0 && payload == nullptr) return 0;
  if (size != 0) std::memcpy(payload, input, size);

  mosquitto_message message{};
  message.topic = const_cast<char *>("/Logs/Ver");
  message.payload = payload;
  message.payloadlen = static_cast<int>(size);
  seen = Seen{};
  sensor_handler::on_message(nullptr, nullptr, &message);
  // The upgrade is announced once at most, and always carried to the parent.
  if (seen.upgrade_lines > 1 || seen.signals != seen.upgrade_lines) std::abort();
  std::free(payload);
  return 0;
}
