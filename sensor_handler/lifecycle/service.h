// The spine of sensor_handler: process entry, the run loop that rebuilds the
// service after a restart request, the build and teardown of one service
// run, and the signal thread. It stands on top of every subsystem; the stop
// routine any thread calls, with the stop flags, lives below them all
// (stop/stop_flags.h).
//
// Threads: process entry, the run loop, build and teardown run on the main
// thread. SIGTERM, SIGINT and SIGUSR1 are blocked in every thread and taken
// by one signal thread (sigwaitinfo), which runs on_signal in normal context:
// the stop routine waits for the module attach (main thread) and the broker
// connect loop (mqtt thread) to become idle, so it must never run on either.
#pragma once

namespace sensor_handler {

void on_signal(int signal_number);
void print_usage(const char *program);

// One service run: build, wait for a stop flag, teardown.
void run_service();

// Everything main does; returns the exit status.
int process_entry(int argc, char **argv);

}  // namespace sensor_handler
