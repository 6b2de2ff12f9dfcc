// The firmware-version notice: the broker side announces on "/Logs/Ver"
// which firmware the gateway should run. When it names another version than
// firmware_version, the gateway prints the change, puts the new version in
// place of the old one in /etc/banner and sends SIGTSTP to its parent, which
// carries out the upgrade.
//
// The banner is rewritten only while it holds the running version: a
// notice repeated has nothing to replace and writes nothing to the flash.
//
// The version text comes from the network and goes into a sed expression of
// a root shell command, so only texts of a version's alphabet (letters,
// digits, '.', '-', '_', '+') that fit the 100-byte command are acted on;
// anything else is refused with an error line. Payloads that are empty,
// longer than notice_payload_limit or hold a NUL byte never reach the JSON
// parser.
//
// Threads: on_message runs on mqtt_thread inside the network loop and
// blocks it while the two commands run. It keeps no state and only reads
// firmware_version and parent_pid, which no thread changes during a run.
#pragma once

#include <cstddef>

struct mosquitto;
struct mosquitto_message;

namespace sensor_handler {

// The topic the broker side announces on; messages of any other topic are
// not notices.
constexpr const char notice_topic[] = "/Logs/Ver";

// A bare notice is about 70 bytes; the broker side may add members (a
// download address, a checksum), so room is left for those. Anything larger
// is not a notice.
constexpr std::size_t notice_payload_limit = 4096;

// The library's message callback: the topic, then the payload.
void on_message(struct mosquitto *client, void *user_data, const struct mosquitto_message *message);

}  // namespace sensor_handler
