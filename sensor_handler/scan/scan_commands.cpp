#include "scan_commands.h"

#include <initializer_list>

namespace sensor_handler {

namespace {

constexpr std::uint16_t read_local_supported_commands = 0x1002;
constexpr std::uint16_t le_read_local_supported_features = 0x2003;
constexpr std::uint16_t le_set_scan_parameters = 0x200B;
constexpr std::uint16_t le_set_scan_enable = 0x200C;
constexpr std::uint16_t le_set_extended_scan_parameters = 0x2041;
constexpr std::uint16_t le_set_extended_scan_enable = 0x2042;

// Octet 37 of the supported commands: bit 5 LE Set Extended Scan
// Parameters, bit 6 LE Set Extended Scan Enable.
constexpr std::size_t extended_scan_octet = 37;
constexpr std::uint8_t extended_scan_bits = 0x60;
// LE feature bit 11, LE Coded PHY: bit 3 of the second octet.
constexpr std::uint8_t coded_phy_bit = 0x08;

constexpr std::uint8_t passive_scan = 0;
constexpr std::uint8_t public_address = 0;
constexpr std::uint8_t accept_all_adverts = 0;
constexpr std::uint8_t report_duplicates = 0;

// units times factor, at most the 16-bit field's maximum.
std::uint16_t coded_units(std::uint16_t units, std::uint16_t factor) {
  const std::uint32_t scaled = static_cast<std::uint32_t>(units) * factor;
  return static_cast<std::uint16_t>(scaled > 0xFFFF ? 0xFFFF : scaled);
}

std::uint8_t low(std::uint16_t value) { return static_cast<std::uint8_t>(value); }
std::uint8_t high(std::uint16_t value) { return static_cast<std::uint8_t>(value >> 8); }

int send(HciDevice &device, int handle, std::uint16_t opcode, const std::uint8_t *parameters,
         std::uint8_t length, std::uint8_t *reply = nullptr, std::size_t reply_size = 0) {
  return device.command(handle, opcode, parameters, length, reply, reply_size,
                        scan_command_timeout_ms);
}

}  // namespace

ControllerSupport read_controller_support(HciDevice &device, int handle) {
  ControllerSupport support;
  std::uint8_t commands[64] = {};
  if (send(device, handle, read_local_supported_commands, nullptr, 0, commands, sizeof commands) == 0) {
    support.extended_scanning =
        (commands[extended_scan_octet] & extended_scan_bits) == extended_scan_bits;
  }
  std::uint8_t features[8] = {};
  if (send(device, handle, le_read_local_supported_features, nullptr, 0, features, sizeof features) == 0) {
    support.coded_phy = (features[1] & coded_phy_bit) != 0;
  }
  return support;
}

int set_scan_parameters(HciDevice &device, int handle, CommandSet set, std::uint16_t interval,
                        std::uint16_t window, std::uint8_t phys) {
  if (set == CommandSet::legacy) {
    const std::uint8_t parameters[] = {passive_scan, low(interval), high(interval), low(window),
                                       high(window), public_address, accept_all_adverts};
    return send(device, handle, le_set_scan_parameters, parameters, sizeof parameters);
  }
  // One entry per PHY, in the order of their bits.
  std::uint8_t parameters[3 + 2 * 5] = {public_address, accept_all_adverts, phys};
  std::uint8_t length = 3;
  for (const std::uint8_t phy : {scan_phy_1m, scan_phy_coded}) {
    if ((phys & phy) == 0) continue;
    const std::uint16_t times = phy == scan_phy_coded ? 3 : 1;
    const std::uint16_t i = coded_units(interval, times), w = coded_units(window, times);
    for (const std::uint8_t byte : {passive_scan, low(i), high(i), low(w), high(w)}) {
      parameters[length++] = byte;
    }
  }
  return send(device, handle, le_set_extended_scan_parameters, parameters, length);
}

int set_scan_enable(HciDevice &device, int handle, CommandSet set, bool enable) {
  const std::uint8_t on = enable ? 1 : 0;
  if (set == CommandSet::legacy) {
    const std::uint8_t parameters[] = {on, report_duplicates};
    return send(device, handle, le_set_scan_enable, parameters, sizeof parameters);
  }
  // Duration and period 0: scan until told otherwise.
  const std::uint8_t parameters[] = {on, report_duplicates, 0, 0, 0, 0};
  return send(device, handle, le_set_extended_scan_enable, parameters, sizeof parameters);
}

}  // namespace sensor_handler
