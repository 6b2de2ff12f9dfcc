#include "firmware_notice.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <json-c/json.h>
#include <mosquitto.h>

#include "config/identity.h"
#include "gw_command.h"
#include "gw_output.h"
#include "stop/stop_flags.h"

namespace sensor_handler {
namespace {

constexpr const char banner_path[] = "/etc/banner";
constexpr const char banner_command_text[] = "sed -i 's/%s/%s/g' /etc/banner";
// The command without its two versions, and the longest new version that
// still fits beside any running version (at most 19 characters).
constexpr std::size_t banner_command_frame = sizeof banner_command_text - 1 - 4;
constexpr std::size_t longest_version =
    gw::command_capacity - 1 - banner_command_frame - (identity_text_size - 1);

// Nothing with a meaning to sed or the shell: no quote, slash, semicolon,
// '$', back-tick, blank or line end.
bool version_text_safe(const char *text, std::size_t longest) {
  const std::size_t length = std::strlen(text);
  if (length == 0 || length > longest) return false;
  for (std::size_t i = 0; i < length; ++i) {
    const char c = text[i];
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_' || c == '+';
    if (!allowed) return false;
  }
  return true;
}

// The member's value as text: a string unchanged, any other value in its
// JSON form. nullptr for JSON null and for a string with a NUL inside, whose
// C text would differ from what was sent.
const char *member_text(json_object *value) {
  const char *text = json_object_get_string(value);
  if (text == nullptr) return nullptr;
  if (json_object_is_type(value, json_type_string) &&
      std::strlen(text) != static_cast<std::size_t>(json_object_get_string_len(value))) {
    return nullptr;
  }
  return text;
}

// Whether the banner holds text. Read in pieces, each searched with the
// end of the one before, so no banner is too long to be searched.
bool banner_holds(const char *text) {
  std::FILE *banner = std::fopen(banner_path, "re");
  if (banner == nullptr) return false;
  const std::size_t length = std::strlen(text);
  char window[512 + identity_text_size];
  std::size_t kept = 0;
  bool found = false;
  while (!found) {
    const std::size_t got = std::fread(window + kept, 1, sizeof window - kept, banner);
    if (got == 0) break;
    const std::size_t filled = kept + got;
    found = std::search(window, window + filled, text, text + length) != window + filled;
    kept = filled < length ? filled : length - 1;
    std::memmove(window, window + filled - kept, kept);
  }
  std::fclose(banner);
  return found;
}

// Acts on a version other than the running one. false when the notice is
// refused.
bool announce_upgrade(const char *version) {
  if (version == nullptr || !version_text_safe(version, longest_version)) {
    gw::gw_printf("ZENTIB_ERROR : Invalid Firmware Version in notice, ignored\n\r");
    return false;
  }
  gw::gw_printf("Firmware Upgrade necessary\n\r");
  gw::gw_printf("Old Firmware Version = %s\n\r", firmware_version);
  gw::gw_printf("New Firmware Version = %s\n\r", version);
  // The running version comes from /etc/openwrt_version; one the banner
  // edit cannot carry safely still lets the parent upgrade.
  if (version_text_safe(firmware_version, identity_text_size - 1)) {
    char command[gw::command_capacity] = {};
    std::snprintf(command, sizeof command, banner_command_text, firmware_version, version);
    gw::gw_printf("%s\n\r", command);
    // sed -i writes a new file even when nothing matches: a notice repeated
    // by the broker side, or by anyone who may publish on the topic, would
    // otherwise rewrite the flash each time.
    if (banner_holds(firmware_version)) {
      gw::run_command_formatted(banner_command_text, firmware_version, version);
    }
  } else {
    gw::gw_printf("ZENTIB_ERROR : Firmware Version cannot be replaced in /etc/banner\n\r");
  }
  gw::run_command_formatted("kill -SIGTSTP %d >/dev/null 2>&1", static_cast<int>(parent_pid));
  return true;
}

// Walks the members in the order they stand in the text; a mismatching Tag
// or Application ends the walk where it stands.
void handle_notice(json_object *notice) {
  json_object_object_foreach(notice, key, value) {
    const char *text = member_text(value);
    if (std::strcmp(key, "Tag") == 0) {
      if (text == nullptr || std::strcmp(text, "FW") != 0) return;
    } else if (std::strcmp(key, "Application") == 0) {
      if (text == nullptr || std::strcmp(text, "Hardware.TobixE2") != 0) return;
    } else if (std::strcmp(key, "Message") == 0) {
      if (text != nullptr && std::strcmp(text, firmware_version) == 0) continue;
      if (!announce_upgrade(text)) return;
    }
  }
}

}  // namespace

void on_message(struct mosquitto *, void *, const struct mosquitto_message *message) {
  // An empty notice arrives without any payload.
  if (message == nullptr || message->payload == nullptr || message->payloadlen <= 0) return;
  // The client subscribes to the notice topic alone, but a broker may hand
  // it messages of other topics too (a bridge, a rule that forwards).
  if (message->topic == nullptr || std::strcmp(message->topic, notice_topic) != 0) return;
  const std::size_t length = static_cast<std::size_t>(message->payloadlen);
  if (length > notice_payload_limit) {
    gw::gw_printf("ZENTIB_ERROR : Firmware notice too long, ignored\n\r");
    return;
  }
  // Text with a NUL inside is no notice.
  if (std::memchr(message->payload, '\0', length) != nullptr) return;

  // Parsed in place with its length: the library does not promise a
  // terminator, and a copy of up to 4 KiB has no place on this thread's
  // small stack.
  json_tokener *tokener = json_tokener_new();
  if (tokener == nullptr) return;
  json_object *notice = json_tokener_parse_ex(tokener, static_cast<const char *>(message->payload),
                                              static_cast<int>(length));
  json_tokener_free(tokener);
  if (notice == nullptr) return;
  if (json_object_is_type(notice, json_type_object)) handle_notice(notice);
  json_object_put(notice);
}

}  // namespace sensor_handler
