// Placeholder until the module attach lands.
#include "gw_hci.h"

namespace gw {

int attach_uart_module(int, const char *, const std::int32_t &, int, std::uint32_t, int) { return 0; }

int restart_hci_interface(const std::int32_t &, int, std::uint32_t &retry_count) {
  ++retry_count;
  return 0;
}

}  // namespace gw
