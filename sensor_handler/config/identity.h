// The three texts that identify the gateway in its log packets: firmware
// version, hardware version and the eth0 address. Each comes from a shell
// pipeline of the device's own userland, and loses what the packets' JSON
// could not carry unescaped. Written on the main thread during a
// service build, before any worker exists; read only afterwards.
#pragma once

#include <cstddef>

namespace sensor_handler {

constexpr std::size_t identity_text_size = 20;  // 19 characters and the NUL

extern char firmware_version[identity_text_size];
extern char hardware_version[identity_text_size];
extern char device_ip[identity_text_size];

// Last line of /etc/openwrt_version, without its line ending, at most 19
// characters. Returns 0, or 1 after its failure line.
int read_firmware_version();

// Product and revision from /etc/device_info, else the third line from the
// end of /etc/banner without spaces; may end empty. Always 0.
int read_hardware_version();

// The IPv4 address of eth0 into destination (identity_text_size bytes);
// empty when eth0 has none.
void read_device_ip(char *destination);

}  // namespace sensor_handler
