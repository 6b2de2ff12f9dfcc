// Placeholder until the LED daemon lands.
#pragma once

namespace status_led {

int run_led_daemon(int argc, char **argv);

}  // namespace status_led
