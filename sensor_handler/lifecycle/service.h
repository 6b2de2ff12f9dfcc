// The spine of sensor_handler: process entry, the run loop that rebuilds the
// service after a restart request, the build and teardown of one service
// run, the stop routine any thread calls, and the signal thread.
//
// Threads: process entry, the run loop, build and teardown run on the main
// thread. SIGTERM, SIGINT and SIGUSR1 are blocked in every thread and taken
// by one signal thread (sigwaitinfo), which runs on_signal in normal context:
// the stop routine waits for the module attach (main thread) and the broker
// connect loop (mqtt thread) to become idle, so it must never run on either.
#pragma once

#include <atomic>
#include <cstdint>

namespace sensor_handler {

// Reasons of notify_and_stop.
enum class StopReason : std::uint32_t {
  signal = 0,          // signal handler, failed subscribe or birth packet
  client_failure = 1,  // MQTT client cannot be created or given its will
  sensor_failure = 3,  // database, UART module, threads, HCI retries
  config_failure = 4,  // configuration cannot be read
};

extern std::int32_t parent_pid;  // supervising parent; written before any thread
extern std::int32_t status_pid;  // status_led
// Reason of the last stop; the process's exit status. A sensor or
// configuration failure, once stored, is kept against later stops.
extern std::atomic<std::uint32_t> exit_code;

// Stops the service run; callable from any thread but the attach and the
// connect loop's own. Returns to the caller.
void notify_and_stop(std::uint32_t reason);
inline void notify_and_stop(StopReason reason) {
  notify_and_stop(static_cast<std::uint32_t>(reason));
}

void on_signal(int signal_number);
void print_usage(const char *program);

// One service run: build, wait for a stop flag, teardown.
void run_service();

// Everything main does; returns the exit status.
int process_entry(int argc, char **argv);

}  // namespace sensor_handler
