// The status LED daemon: blinks the gateway's status LED on GPIO line 3 in the
// pattern that the signals it receives select. sensor_handler sends SIGUSR2
// when its broker connection is up (heartbeat flash) and SIGUSR1 when it goes
// down (slow blink); other processes of the gateway send SIGPIPE (BLE failure:
// fast blink), SIGTSTP (firmware update pattern), SIGVTALRM (two blinks once)
// and SIGPROF (user reset: three blinks once). SIGTERM and SIGINT end it.
//
// Threads: one. The daemon's eight signals stay blocked for its whole life and
// are taken by the main loop itself: every LED step holds its value in
// sigtimedwait until the step's deadline on the monotonic clock, so a signal is
// handled in normal context (printing, formatting the local time and writing
// the GPIO files are all safe there) and ends the step it arrives in, exactly
// as it used to cut the step's sleep short. The LED state (half period, mode,
// exit request, one-time patterns waiting) belongs to that one thread and needs
// no atomics. Without its GPIO line the daemon runs on and reports the failed
// LED write once, and again only after the line has worked in between.
#pragma once

namespace status_led {

// Everything main does: set the line up, blink until SIGTERM or SIGINT, turn
// the LED off. Arguments are ignored; returns the exit status (0).
int run_led_daemon(int argc, char **argv);

}  // namespace status_led
