#include "service.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <mosquitto.h>
#include <pthread.h>

#include "config/configuration.h"
#include "config/identity.h"
#include "gw_command.h"
#include "gw_hci.h"
#include "gw_number.h"
#include "gw_mqtt.h"
#include "gw_output.h"
#include "gw_pacing.h"
#include "gw_uci.h"
#include "pipeline/raw_window.h"
#include "pipeline/report_handoff.h"
#include "pipeline/smoothing_window.h"
#include "pipeline/statistics_writer.h"
#include "scan/scan_controller.h"
#include "stop/stop_flags.h"
#include "store/beacon_db.h"
#include "uplink/mqtt_link.h"
#include "uplink/ping.h"
#include "uplink/publisher.h"

namespace sensor_handler {

namespace {

constexpr double program_version = 1.3;

// A pause that signals cannot cut short: they are blocked in this thread and
// taken by the signal thread.
void pause_seconds(unsigned seconds) {
  timespec rest{static_cast<time_t>(seconds), 0};
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

// The two clock texts of the console: the start banner's date and time, and
// the time of day of a restart.
enum class ClockText { date_and_time, time_of_day };

void format_local_time(ClockText which, char *text, std::size_t size) {
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  std::size_t length = which == ClockText::date_and_time
                           ? strftime(text, size, "%Y-%m-%d %H:%M:%S", &local)
                           : strftime(text, size, "%H:%M:%S", &local);
  if (length == 0) text[0] = '\0';
}

// Process IDs that must never be signalled: 0 is our own process group, 1
// is init (which powers an OpenWrt board off on SIGUSR1/SIGUSR2), and
// negative IDs (4294967295 reads back as -1) reach every process.
bool parse_process_id(const char *text, std::int32_t *pid) {
  if (gw::gw_parse_number(text, 0, pid) != 0 || *pid <= 1) {
    gw::gw_puts("ZENTIB_ERROR : Invalid PID Number");
    return false;
  }
  return true;
}

void *signal_thread(void *arg) {
  const sigset_t *stop_signals = static_cast<const sigset_t *>(arg);
  for (;;) {
    siginfo_t info{};
    int signal_number = sigwaitinfo(stop_signals, &info);
    if (signal_number > 0) on_signal(signal_number);
  }
  return nullptr;
}

sigset_t stop_signals;

// Blocks the three stop signals in this (the main) thread, so every thread
// started later inherits the mask. First thing at start: the parent may send
// its reload (SIGUSR1) or stop at any moment, and the default action of
// either would end the process without its teardown.
bool block_stop_signals() {
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGUSR1);
  return pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr) == 0;
}

// Starts the one thread that takes the stop signals.
bool install_signal_thread() {
  pthread_t thread;
  return pthread_create(&thread, nullptr, signal_thread, &stop_signals) == 0;
}

// One worker of a service run: started at the build, joined at the teardown
// only if it was started.
struct Worker {
  pthread_t thread{};
  bool started = false;

  // Starts entry; on failure prints failure_line and stops the service.
  void start(void *(*entry)(void *), const char *failure_line) {
    started = pthread_create(&thread, nullptr, entry, nullptr) == 0;
    if (!started) {
      gw::gw_printf("%s", failure_line);
      notify_and_stop(StopReason::sensor_failure);
    }
  }

  void join() {
    if (!started) return;
    pthread_join(thread, nullptr);
    started = false;
  }
};

// The workers of one run, in the order they start and are joined.
struct ServiceWorkers {
  Worker sensor;
  Worker mqtt;
  Worker publish;
  Worker ping;
  Worker statistics;
  Worker raw_window;
  Worker smoothing_window;
};

// Closes the database of a failed build; the teardown then finds it closed.
void close_database_after_failure(int sensor_number) {
  int status = close_beacon_db();
  if (status != 0) {
    gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Database cannot be closed\n\r", sensor_number);
    gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Status = %d\n\r", sensor_number, status);
  }
}

}  // namespace

void on_signal(int signal_number) {
  if (signal_number == SIGUSR1) {
    char clock_text[16];
    format_local_time(ClockText::time_of_day, clock_text, sizeof clock_text);
    gw::gw_printf("Restarting Service at %s\n\r", clock_text);
  } else {
    gw::gw_printf("Exiting Program\n\r");
    request_exit();
  }
  notify_and_stop(StopReason::signal);
}

void print_usage(const char *program) {
  gw::gw_printf("Zentib tobix Sensor Handler\n\r");
  gw::gw_printf("========================\n\r");
  gw::gw_printf("Verison %.1f\n\r", program_version);
  gw::gw_printf("Usage:\n\r");
  gw::gw_printf("%s <Parent Process ID> <Status PID>\n\r", program);
}

void run_service() {
  wait_for_stops_in_progress();
  gw::clear_pacing_cancelled();
  gw::clear_attach_stop();
  gw::clear_connect_stop();
  gw::link_outcome_known.store(false, std::memory_order_release);

  read_device_ip(device_ip);

  if (read_configuration() != 0) {
    gw::gw_printf("ZENTIB_ERROR : Cannot Read configuration file\n\r");
    notify_and_stop(StopReason::config_failure);
    return;
  }

  const ServiceConfig &config = service_config;
  reset_handoff();

  ServiceWorkers workers;
  const int sensor = static_cast<int>(config.sensor_number);
  if (config.sensor_enabled != 0) {
    if (open_beacon_db() != 0) {
      gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Cannot create database sensor 5\n\r", sensor);
      close_database_after_failure(sensor);
      notify_and_stop(StopReason::sensor_failure);
    }
    if (config.usb_dongle_enabled == 0 &&
        gw::attach_uart_module(config.ble_reset_gpio, config.uart_dev_name, hci_device_index,
                               config.ble_baud_rate, 3, sensor) != 0) {
      close_database_after_failure(sensor);
      notify_and_stop(StopReason::sensor_failure);
    }
    char failure_line[80];
    std::snprintf(failure_line, sizeof failure_line,
                  "ZENTIB_ERROR : SENSOR%d : Cannot create thread for sensor\n\r", sensor);
    workers.sensor.start(sensor_thread, failure_line);
  }

  workers.mqtt.start(mqtt_thread, "ZENTIB_ERROR : Cannot create thread for MQTT\n\r");
  workers.publish.start(publish_thread, "ZENTIB_ERROR : Cannot create thread for MQTT\n\r");
  workers.ping.start(ping_thread, "ZENTIB_ERROR : Cannot create thread for Alive Packet\n\r");
  workers.statistics.start(statistics_writer, "ZENTIB_ERROR : Cannot create thread for Statistics\n\r");
  workers.raw_window.start(thread_one, "ZENTIB_ERROR : Cannot create thread for thread_one\n\r");
  if (config.smoothing_filter != 0) {
    workers.smoothing_window.start(thread_two,
                                   "ZENTIB_ERROR : Cannot create thread for thread_two\n\r");
  }

  wait_for_stop_request();

  if (config.sensor_enabled != 0) {
    workers.sensor.join();
    if (config.usb_dongle_enabled == 0) gw::run_command("kill `pgrep hciattach` >/dev/null 2>&1");
  }

  // Asked whenever a client exists, not only while connected: a client that
  // is reconnecting by itself must leave its network loop as well.
  disconnect_mqtt_client();
  workers.mqtt.join();
  workers.publish.join();
  workers.ping.join();
  workers.statistics.join();
  workers.raw_window.join();
  workers.smoothing_window.join();

  destroy_mqtt_client();
  mosquitto_lib_cleanup();

  if (gw::gw_uci_set_value("tobixlite_config", "@mqtt[0]", "mqtt_status", "0") != 0) {
    gw::gw_printf("ZENTIB_ERROR : Cannot Set Value of MQTT Status\n\r");
  }

  if (beacon_db_open()) {
    // The last table step: rows the broker already has would otherwise go
    // out again from a new process, whose cursors start at 0. What is left
    // was never sent and goes out after the restart.
    delete_published_beacon_rows(last_published_dbid.load(std::memory_order_relaxed),
                                 static_cast<int>(config.sensor_number));
    int status = close_beacon_db();
    if (status != 0) {
      gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Cannot close Sensor Database\n\r",
                    static_cast<int>(config.sensor_number));
      gw::gw_printf("ZENTIB_ERROR : SENSOR%d : Status = %d\n\r",
                    static_cast<int>(config.sensor_number), status);
    }
  }

  gw::run_command_formatted("kill -SIGUSR1 %d >/dev/null 2>&1", static_cast<int>(status_pid));
}

int process_entry(int argc, char **argv) {
  const bool blocked = block_stop_signals();
  // Every line must reach the supervisor's pipe at once.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  // A broken broker connection must never end the gateway: writes to a
  // closed socket fail with EPIPE instead. Commands start with the default.
  std::signal(SIGPIPE, SIG_IGN);

  const char *program = argc > 0 ? argv[0] : "sensor_handler";
  if (argc < 3) {
    gw::gw_printf("ZENTIB_ERROR : Insufficient number of arguments\n\r");
    print_usage(program);
    return 1;
  }
  if (!parse_process_id(argv[1], &parent_pid) || !parse_process_id(argv[2], &status_pid)) {
    print_usage(program);
    return 1;
  }

  char start_time[32];
  format_local_time(ClockText::date_and_time, start_time, sizeof start_time);
  gw::gw_printf("Tobix Voru Service Started at %s\n\r", start_time);

  if (!blocked || !install_signal_thread()) {
    gw::gw_printf("ZENTIB_ERROR : Cannot install signal handler\n\r");
    return 1;
  }

  while (!exit_requested.load()) {
    run_service();
    pause_seconds(2);
    clear_restart_request();
  }
  gw::gw_printf("Exiting Program\n\r");
  return static_cast<int>(exit_code.load());
}

}  // namespace sensor_handler
