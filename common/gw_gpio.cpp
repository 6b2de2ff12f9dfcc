#include "gw_gpio.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "gw_output.h"

namespace gw {

namespace {

constexpr std::size_t path_capacity = 100;

// Opens /sys/class/gpio/gpio<gpio>/<attribute>; -1 when the path does not
// fit or the file cannot be opened.
int open_attribute(int gpio, const char *attribute, int flags) {
  char path[path_capacity];
  int length = std::snprintf(path, sizeof path, "/sys/class/gpio/gpio%d/%s", gpio, attribute);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof path) return -1;
  return open(path, flags | O_CLOEXEC);
}

int write_line_number(const char *path, int gpio) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char text[12];
  int length = std::snprintf(text, sizeof text, "%d", gpio);
  ssize_t written = write(fd, text, static_cast<std::size_t>(length));
  (void)written;
  close(fd);
  return 0;
}

// One character, "0" or "1", to attribute; the callers' failure lines are
// the same for active_low and value.
int write_flag(int gpio, const char *attribute, int flag, bool report = true) {
  int fd = open_attribute(gpio, attribute, O_WRONLY);
  if (fd < 0) {
    if (report) {
      gw_printf("ZENTIB_ERROR : Failed to open gpio value for writing for GPIO %d\n\r", gpio);
    }
    return 1;
  }
  static constexpr char digits[] = "01";
  int result = 0;
  if (write(fd, &digits[flag != 0 ? 1 : 0], 1) != 1) {
    if (report) gw_printf("ZENTIB_ERROR : Failed to write value for GPIO %d\n\r", gpio);
    result = 1;
  }
  close(fd);
  return result;
}

// Lowest base of the GPIO chips, or -1 when no chip lists one.
int lowest_chip_base() {
  DIR *folder = opendir("/sys/class/gpio");
  if (folder == nullptr) return -1;
  int lowest = -1;
  while (const dirent *entry = readdir(folder)) {
    if (std::strncmp(entry->d_name, "gpiochip", 8) != 0) continue;
    char path[path_capacity];
    int length = std::snprintf(path, sizeof path, "/sys/class/gpio/%s/base", entry->d_name);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof path) continue;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    char text[12] = {};
    ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    char *end = nullptr;
    long base = got > 0 ? std::strtol(text, &end, 10) : -1;
    if (end == text || base < 0 || base > INT_MAX / 2) continue;
    if (lowest < 0 || base < lowest) lowest = static_cast<int>(base);
  }
  closedir(folder);
  return lowest;
}

}  // namespace

int gpio_line_number(int gpio) {
  const int base = lowest_chip_base();
  if (gpio < 0 || base <= gpio) return gpio;
  const int line = base + gpio;
  // Only the text depends on it: printed once per mapping, not per service run.
  static std::atomic<int> printed_line{-1};  // relaxed: no data hangs on it
  if (printed_line.exchange(line, std::memory_order_relaxed) != line) {
    gw_printf("GPIO %d is line %d (GPIO chip base %d)\n\r", gpio, line, base);
  }
  return line;
}

int gpio_export(int gpio) {
  if (write_line_number("/sys/class/gpio/export", gpio) != 0) {
    gw_printf("ZENTIB_ERROR : Failed to open export for writing\n\r");
    return 1;
  }
  return 0;
}

int gpio_unexport(int gpio) {
  if (write_line_number("/sys/class/gpio/unexport", gpio) != 0) {
    static constexpr char line[] = "Failed to open unexport for writing\n";
    ssize_t written = write(STDERR_FILENO, line, sizeof line - 1);
    (void)written;
    return -1;
  }
  return 0;
}

int gpio_set_direction(int gpio, const char *direction) {
  int fd = open_attribute(gpio, "direction", O_WRONLY);
  if (fd < 0) {
    gw_printf("ZENTIB_ERROR : Failed to open gpio direction file for GPIO %d\n\r", gpio);
    return 1;
  }
  int result = 0;
  if (write(fd, direction, std::strlen(direction)) == -1) {
    gw_printf("ZENTIB_ERROR : Failed to set direction for GPIO %d\n\r", gpio);
    result = 1;
  }
  close(fd);
  return result;
}

int gpio_set_active_low(int gpio, int active_low) { return write_flag(gpio, "active_low", active_low); }

int gpio_write_value(int gpio, int value, bool report) {
  return write_flag(gpio, "value", value, report);
}

int gpio_read_value(int gpio) {
  int fd = open_attribute(gpio, "value", O_RDONLY);
  if (fd < 0) {
    gw_printf("ZENTIB_ERROR : Failed to open gpio value for reading for GPIO %d\n\r", gpio);
    return -1;
  }
  char text[4] = {};
  ssize_t got = read(fd, text, 3);
  close(fd);
  if (got == -1) {
    gw_printf("ZENTIB_ERROR : Failed to read value for GPIO %d\n\r", gpio);
    return -1;
  }
  int value = 0;
  for (const char *digit = text; *digit >= '0' && *digit <= '9'; ++digit) {
    value = value * 10 + (*digit - '0');
  }
  return value;
}

}  // namespace gw
