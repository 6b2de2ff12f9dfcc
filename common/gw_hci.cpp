#include "gw_hci.h"

#include <cstdarg>
#include <cstdio>
#include <sys/stat.h>

#include "gw_command.h"
#include "gw_gpio.h"
#include "gw_output.h"
#include "gw_pacing.h"

namespace gw {

namespace {

// Formats into a zeroed command buffer and runs it. A failure (or a command
// that does not fit the buffer and so never ran) prints the command text.
int run_reported(int sensor_number, const char *format, ...) __attribute__((format(printf, 2, 3)));

int run_reported(int sensor_number, const char *format, ...) {
  char command[command_capacity] = {};
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(command, sizeof command, format, args);
  va_end(args);
  int status = -1;
  if (length >= 0 && static_cast<std::size_t>(length) < sizeof command) status = run_command(command);
  if (status != 0) gw_printf("ZENTIB_ERROR : SENSOR%d : Cannot Execute %s\n\r", sensor_number, command);
  return status;
}

bool attach_stopped() { return attach_stop.load(std::memory_order_acquire) != 0; }

// The module's reset line: held at 1 for a second, then released for a
// second before hciattach talks to it. False when a stop cut a sleep short
// (the line is released first).
bool pulse_reset_line(int reset_gpio) {
  gpio_write_value(reset_gpio, 1);
  bool cancelled = pacing_sleep(1000);
  gpio_write_value(reset_gpio, 0);
  return !cancelled && !pacing_sleep(1000);
}

}  // namespace

int attach_uart_module(int configured_gpio, const char *device_name, const std::int32_t &hci_device_index,
                       int baud_rate, std::uint32_t max_tries, int sensor_number) {
  mark_attach_busy();
  const int reset_gpio = gpio_line_number(configured_gpio);
  char line_path[command_capacity] = {};
  std::snprintf(line_path, sizeof line_path, "/sys/class/gpio/gpio%d", reset_gpio);
  struct stat info{};
  if (stat(line_path, &info) != 0) gpio_export(reset_gpio);
  gpio_set_direction(reset_gpio, "out");
  gpio_write_value(reset_gpio, 0);

  std::uint32_t tries = 0;
  while (!attach_stopped()) {
    if (tries >= max_tries) {
      gw_printf("ZENTIB_ERROR : SENSOR%d : Software Retries done. Cannot attach UART BLE Module\n\r",
                sensor_number);
      // Idle first: the handshake below waits for it.
      mark_attach_idle();
      stop_attach_and_wait();
      return 1;
    }
    const int index = hci_device_index;
    if (run_command_formatted("hciconfig | grep hci%d > /dev/null 2>&1", index) != 0) {
      if (!pulse_reset_line(reset_gpio)) break;
      if (run_reported(sensor_number, "hciattach -s %d /dev/%s texas noflow > /dev/null 2>&1",
                       baud_rate, device_name) != 0) {
        ++tries;
        continue;
      }
    }
    if (run_reported(sensor_number, "hciconfig hci%d up > /dev/null 2>&1", index) != 0) {
      ++tries;
      continue;
    }
    break;
  }
  mark_attach_idle();
  return 0;
}

int restart_hci_interface(const std::int32_t &hci_device_index, int sensor_number,
                          std::uint32_t &retry_count) {
  mark_attach_busy();
  ++retry_count;
  const int index = hci_device_index;
  int result = 1;
  if (run_reported(sensor_number, "hciconfig hci%d down >/dev/null 2>&1", index) == 0) {
    // Up again even when a stop cut the pause short: the next service build
    // must find the controller up.
    const bool cancelled = pacing_sleep(1000);
    if (run_reported(sensor_number, "hciconfig hci%d up >/dev/null 2>&1", index) == 0) {
      if (!cancelled) pacing_sleep(2000);
      result = 0;
    }
  }
  mark_attach_idle();
  return result;
}

}  // namespace gw
