// GPIO lines through the kernel's sysfs interface under /sys/class/gpio: the
// reset line of the UART BLE module (sensor_handler) and the status LED
// (status_led). Each call opens one attribute file, writes or reads a short
// text and closes it again; nothing stays open and nothing is shared, so any
// thread may call them.
#pragma once

namespace gw {

// Writes the line number to "export" / "unexport". 0, or 1 (export) / -1
// (unexport) when the file cannot be opened; the write itself is not
// checked, since the kernel refuses an export of a line already exported.
int gpio_export(int gpio);
int gpio_unexport(int gpio);

// Writes direction ("out") to the line's direction file. 0, or 1.
int gpio_set_direction(int gpio, const char *direction);

// Write "0" when the flag / value is 0, "1" otherwise. 0, or 1 (after its
// failure line, unless report is false).
int gpio_set_active_low(int gpio, int active_low);
int gpio_write_value(int gpio, int value, bool report = true);

// The line's value (0 or 1), or -1.
int gpio_read_value(int gpio);

// The sysfs number of configured line `gpio`. Since Linux 6.6 many SoCs
// number their sysfs lines from a chip base such as 512: when the lowest
// base under /sys/class/gpio/gpiochip*/base is above `gpio`, the line is
// taken as one of that chip (base + gpio) and the mapping is printed once;
// otherwise `gpio` itself.
int gpio_line_number(int gpio);

}  // namespace gw
