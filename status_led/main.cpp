#include "led_daemon.h"

int main(int argc, char **argv) { return status_led::run_led_daemon(argc, argv); }
