// The processing pipeline under load and at rest.
//
// Load: 1,000 devices advertise through a socketpair into the real HCI
// reader, thread_one and thread_two (smoothing on) store into a real beacon
// database on tmpfs. Half of the adverts repeat what their device sent
// before (dropped by the repeat check), half carry a new sequence number
// (stored). The feeder writes as fast as the reader takes events. Printed:
// reports per second end to end with the rows committed, the process CPU
// time and context switches per report, and beside them a bare SQLite
// insert of the same statement on the same file system, once with the
// store's settings (1 KiB pages, synchronous=NORMAL) and once with SQLite's
// defaults (4 KiB pages, synchronous=FULL) as the reference.
//
// "pipeline --extended" makes the load extended advertisements instead (not
// legacy PDUs, SP_BT5_EXT 2, smoothing off as it is only for legacy ones):
// 60 data bytes each, half of them in two chained reports, the same repeats.
// Until the store takes PAYLOAD3 rows their figure is that of the read
// phase, the reassembly and thread_one without the insert.
//
// "pipeline --reports N --load-only" runs only the load with N reports:
// scripts/bench runs it under valgrind's callgrind to count the user
// instructions per report, beside the bare inserts counted the same way
// ("pipeline --bare-only N").
//
// Rest: the same threads left idle for 10 seconds; the context switches of
// every thread of the process give its wakeups per second, beside those of
// a 100 µs sleep loop measured in this run.
//
// Everything runs pinned to one CPU. The statistics writer is left out: its
// file lives at a fixed path under /tmp, which the bench must not touch (it
// wakes once a second by design).
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <pthread.h>
#include <sched.h>
#include <sqlite3.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "config/configuration.h"
#include "gw_pacing.h"
#include "stop/stop_flags.h"
#include "pipeline/pipeline_counters.h"
#include "pipeline/raw_window.h"
#include "pipeline/report_handoff.h"
#include "pipeline/smoothing_window.h"
#include "scan/hci_reader.h"
#include "store/beacon_db.h"
#include "thread_switches.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace sensor_handler;

constexpr int device_count = 1000;
int report_count = 200000;
bool extended_load = false;
int bare_insert_count = 100000;
constexpr int idle_seconds = 10;

// User plus system time of the whole process, in microseconds.
double process_cpu_us() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 + usage.ru_utime.tv_usec +
         usage.ru_stime.tv_usec;
}

struct InsertFigures {
  double rows_per_second = 0;
  double cpu_us_per_row = 0;
};

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Every thread of the process, or every one but the main thread (the
// bench's own waiting).
Switches process_switches(bool with_main_thread = true) {
  Switches total;
  DIR *tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return total;
  const std::string main_thread = std::to_string(getpid());
  while (dirent *entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    if (!with_main_thread && main_thread == entry->d_name) continue;
    const Switches thread = switches_in(std::string("/proc/self/task/") + entry->d_name + "/status");
    total.voluntary += thread.voluntary;
    total.involuntary += thread.involuntary;
  }
  closedir(tasks);
  return total;
}

std::string status_value(const char *key) {
  FILE *file = std::fopen("/proc/self/status", "re");
  if (file == nullptr) return "?";
  char line[256];
  std::string value = "?";
  const std::size_t key_length = std::strlen(key);
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (std::strncmp(line, key, key_length) == 0 && line[key_length] == ':') {
      value = line + key_length + 1;
      value.erase(0, value.find_first_not_of(" \t"));
      value.erase(value.find_last_not_of(" \n") + 1);
    }
  }
  std::fclose(file);
  return value;
}

// Every thread made later inherits the mask: the whole pipeline shares the
// one CPU, as on the board.
int pin_to_one_cpu() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return -1;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &allowed)) continue;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    return sched_setaffinity(0, sizeof one, &one) == 0 ? cpu : -1;
  }
  return -1;
}

// Event i: device i % 1000; every other round a device repeats its fixed
// advert, in between it sends a new sequence number.
std::vector<std::uint8_t> make_event(int i) {
  const int device = i % device_count;
  const int round = i / device_count;
  std::vector<std::uint8_t> event = {0x04, 0x3E, 0x00, 0x02, 0x01, 0x00, 0x00};
  event.push_back(static_cast<std::uint8_t>(device));
  event.push_back(static_cast<std::uint8_t>(device >> 8));
  for (std::uint8_t byte : {0x33, 0x44, 0x55, 0x66}) event.push_back(byte);
  std::vector<std::uint8_t> data = {0x02, 0x01, 0x06, 0x1A, 0xFF, 0x4C, 0x00, 0x02, 0x15};
  for (int k = 0; k < 16; ++k) data.push_back(static_cast<std::uint8_t>(0xE0 + k));
  const int sequence = round % 2 == 0 ? 0 : round;
  data.push_back(static_cast<std::uint8_t>(sequence >> 8));
  data.push_back(static_cast<std::uint8_t>(sequence));
  data.push_back(0x00);
  data.push_back(0x02);
  data.push_back(0xC5);
  event.push_back(static_cast<std::uint8_t>(data.size()));
  event.insert(event.end(), data.begin(), data.end());
  event.push_back(static_cast<std::uint8_t>(-40 - device % 50));
  event[2] = static_cast<std::uint8_t>(event.size() - 3);
  return event;
}

// Event i as an extended advertisement of 60 bytes, the same devices and
// repeats; on odd devices in two reports (30 bytes more to come, then 30).
void add_extended_events(int i, std::vector<std::vector<std::uint8_t>> &events) {
  const int device = i % device_count;
  const int sequence = (i / device_count) % 2 == 0 ? 0 : i / device_count;
  std::vector<std::uint8_t> data(60, 0x5A);
  data[0] = static_cast<std::uint8_t>(sequence >> 8);
  data[59] = static_cast<std::uint8_t>(sequence);
  const bool chained = device % 2 == 1;
  for (int part = 0; part < (chained ? 2 : 1); ++part) {
    const std::uint8_t status = chained && part == 0 ? 0x20 : 0x00;
    std::vector<std::uint8_t> event = {0x04, 0x3E, 0x00, 0x0D, 0x01, status, 0x00, 0x01,
                                       static_cast<std::uint8_t>(device),
                                       static_cast<std::uint8_t>(device >> 8), 0x33, 0x44, 0x55,
                                       0x66, 0x01, 0x02, 0x01, 0x7F,
                                       static_cast<std::uint8_t>(-40 - device % 50), 0, 0, 0, 0,
                                       0, 0, 0, 0, 0};
    const std::size_t from = chained ? 30u * static_cast<std::size_t>(part) : 0u;
    const std::size_t count = chained ? 30u : 60u;
    event.push_back(static_cast<std::uint8_t>(count));
    event.insert(event.end(), data.begin() + static_cast<std::ptrdiff_t>(from),
                 data.begin() + static_cast<std::ptrdiff_t>(from + count));
    event[2] = static_cast<std::uint8_t>(event.size() - 3);
    events.push_back(event);
  }
}

std::int64_t count_rows(const std::string &path, const char *column) {
  sqlite3 *db = nullptr;
  std::int64_t count = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    std::string sql = std::string("SELECT COUNT(*) FROM BLE WHERE ") + column + " IS NOT NULL";
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      count = sqlite3_column_int64(stmt, 0);
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return count;
}

// The store's insert without the pipeline: same table, statement, binds and
// connection mode, on the same file system; the page size and sync level
// given.
InsertFigures bare_insert(const std::string &path, int page_size, const char *synchronous) {
  sqlite3 *db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return {};
  }
  const std::string page = "PRAGMA page_size=" + std::to_string(page_size);
  sqlite3_exec(db, page.c_str(), nullptr, nullptr, nullptr);
  sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  const std::string sync = std::string("PRAGMA synchronous=") + synchronous;
  sqlite3_exec(db, sync.c_str(), nullptr, nullptr, nullptr);
  sqlite3_exec(db,
               "CREATE TABLE IF NOT EXISTS BLE(DT INT, PAYLOAD varchar NULL, PAYLOAD2 varchar "
               "NULL, DBID INTEGER PRIMARY KEY AUTOINCREMENT);",
               nullptr, nullptr, nullptr);
  sqlite3_stmt *stmt = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO BLE VALUES (?,?,?,?)", -1, &stmt, nullptr);
  const char payload[] = "6655443322111F1E0201061AFF4C000215E0E1E2E3E4E5E6E7E8E9EAEBECEDEEEF0001000200C55F5E1000";
  const auto start = Clock::now();
  const double cpu_before = process_cpu_us();
  for (int i = 0; i < bare_insert_count; ++i) {
    sqlite3_bind_int64(stmt, 1, 0x5F5E1000 + i);
    sqlite3_bind_text(stmt, 2, payload, sizeof payload - 1, SQLITE_STATIC);
    sqlite3_bind_null(stmt, 3);
    sqlite3_step(stmt);
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
  }
  const double elapsed = seconds_since(start);
  const double cpu = process_cpu_us() - cpu_before;
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return {bare_insert_count / elapsed, cpu / bare_insert_count};
}

// Wakeups per second of one thread that sleeps 100 µs at a time.
double sleep_loop_wakeups() {
  double rate = 0;
  std::thread loop([&rate] {
    const std::string status = "/proc/thread-self/status";
    const std::uint64_t before = switches_in(status).total();
    const auto start = Clock::now();
    while (seconds_since(start) < 2.0) {
      timespec rest{0, 100000};
      nanosleep(&rest, nullptr);
    }
    rate = static_cast<double>(switches_in(status).total() - before) / seconds_since(start);
  });
  loop.join();
  return rate;
}

void remove_database_files(const std::string &path) {
  for (const char *suffix : {"", "-wal", "-shm"}) unlink((path + suffix).c_str());
}

}  // namespace

int main(int argc, char **argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  bool load_only = false;
  bool bare_only = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--reports") == 0 && i + 1 < argc) {
      report_count = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--extended") == 0) {
      extended_load = true;
    } else if (std::strcmp(argv[i], "--load-only") == 0) {
      load_only = true;
    } else if (std::strcmp(argv[i], "--bare-only") == 0 && i + 1 < argc) {
      bare_only = true;
      bare_insert_count = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: pipeline [--reports N] [--extended] [--load-only] [--bare-only N]\n");
      return 2;
    }
  }
  if (report_count <= 0 || bare_insert_count <= 0) return 2;
  char dir_template[] = "/dev/shm/gw-bench-XXXXXX";
  char fallback_template[] = "/tmp/gw-bench-XXXXXX";
  const char *dir = mkdtemp(dir_template);
  if (dir == nullptr) dir = mkdtemp(fallback_template);
  if (dir == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string database = std::string(dir) + "/beacons.db";
  const std::string bare_database = std::string(dir) + "/bare.db";
  const int cpu = pin_to_one_cpu();
  if (bare_only) {
    const InsertFigures bare = bare_insert(bare_database, 1024, "NORMAL");
    remove_database_files(bare_database);
    rmdir(dir);
    std::printf("bare sqlite insert: %d rows, %.0f rows/s\n", bare_insert_count,
                bare.rows_per_second);
    return 0;
  }
  std::printf("pipeline bench: %d devices, %d reports, database on %s, pinned to cpu %d\n",
              device_count, report_count, dir, cpu);

  service_config = ServiceConfig{};
  std::snprintf(service_config.db_path, sizeof service_config.db_path, "%s", database.c_str());
  service_config.scan_duration = 1;
  service_config.smoothing_filter = extended_load ? 0 : 1;
  service_config.extended_scanning = 2;
  service_config.smoothing_marker = 1;
  service_config.averaging_window = 10;
  if (open_beacon_db() != 0) return 1;
  reset_handoff();

  std::vector<std::vector<std::uint8_t>> events;
  events.reserve(report_count);
  for (int i = 0; i < report_count; ++i) {
    if (extended_load) {
      add_extended_events(i, events);
    } else {
      events.push_back(make_event(i));
    }
  }

  int ends[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return 1;
  pthread_t raw_thread, smoothing_thread;
  pthread_create(&raw_thread, nullptr, thread_one, nullptr);
  if (!extended_load) pthread_create(&smoothing_thread, nullptr, thread_two, nullptr);
  std::thread reader([fd = ends[0]] {
    while (service_running()) read_advertising_reports(fd, 1, 1);
  });

  const auto start = Clock::now();
  const double cpu_before = process_cpu_us();
  const Switches switches_before = process_switches(false);
  std::thread feeder([&] {
    for (const auto &event : events) {
      if (write(ends[1], event.data(), event.size()) < 0) return;
    }
  });
  feeder.join();
  while (pipeline_counters.DC.in.load() < static_cast<std::uint64_t>(report_count) ||
         (!extended_load && pipeline_counters.RC.in.load() < static_cast<std::uint64_t>(report_count)) ||
         raw_pending.load() != 0 ||
         smooth_pending.load() != 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  const double elapsed = seconds_since(start);
  const double cpu_per_report = (process_cpu_us() - cpu_before) / report_count;
  // The reader and the two processing threads: the feeder has ended (its
  // switches leave with it), the main thread only waited.
  const Switches switches = process_switches(false);
  const double switches_per_report =
      static_cast<double>(switches.total() - switches_before.total()) / report_count;
  const double voluntary_per_report =
      static_cast<double>(switches.voluntary - switches_before.voluntary) / report_count;
  const std::uint64_t stored = pipeline_counters.DC.out.load();
  if (extended_load) {
    std::printf("extended: %" PRIu64 " advertisements stored by thread_one, %" PRIu64
                " chains dropped\n",
                stored, scan_counters.extended_chains_dropped.load());
  }
  const std::int64_t raw_rows = count_rows(database, "PAYLOAD");
  std::printf("end to end: %.0f reports/s (%d reports in %.2f s), %" PRIu64
              " raw rows stored, %" PRId64 " committed\n",
              report_count / elapsed, report_count, elapsed, stored, raw_rows);
  std::printf("per report: %.1f us process CPU, %.2f context switches, %.2f of them voluntary "
              "(goal <= 3: %s)\n",
              cpu_per_report, switches_per_report, voluntary_per_report,
              switches_per_report <= 3 ? "met" : "MISSED");
  // Ends the pipeline and removes what the bench made.
  const auto finish = [&] {
    request_restart();
    shutdown(ends[1], SHUT_RDWR);
    reader.join();
    pthread_join(raw_thread, nullptr);
    if (!extended_load) pthread_join(smoothing_thread, nullptr);
    close(ends[0]);
    close(ends[1]);
    close_beacon_db();
    remove_database_files(database);
    remove_database_files(bare_database);
    rmdir(dir);
  };
  if (load_only) {
    finish();
    return 0;
  }

  const InsertFigures bare = bare_insert(bare_database, 1024, "NORMAL");
  remove_database_files(bare_database);
  const InsertFigures reference = bare_insert(bare_database, 4096, "FULL");
  std::printf("bare sqlite insert, the store's settings (1 KiB pages, synchronous=NORMAL): "
              "%.0f rows/s, %.1f us CPU a row\n",
              bare.rows_per_second, bare.cpu_us_per_row);
  std::printf("bare sqlite insert, SQLite's defaults (4 KiB pages, synchronous=FULL): "
              "%.0f rows/s, %.1f us CPU a row\n",
              reference.rows_per_second, reference.cpu_us_per_row);
  std::printf("end to end / bare insert: %.2f; goal >= 20000 reports/s on one core: %s\n",
              report_count / elapsed / bare.rows_per_second,
              report_count / elapsed >= 20000 ? "met" : "MISSED");

  // Rest: let the smoothing window that held the load end, then count.
  std::this_thread::sleep_for(std::chrono::seconds(11));
  const std::int64_t smoothed_rows = count_rows(database, "PAYLOAD2");
  const std::uint64_t before = process_switches().total();
  const auto idle_start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
  const double idle = static_cast<double>(process_switches().total() - before) / seconds_since(idle_start);
  const double busy_loop = sleep_loop_wakeups();
  std::printf("smoothed rows committed: %" PRId64 "\n", smoothed_rows);
  std::printf("idle wakeups: %.1f /s for the whole process over %d s (goal <= 20: %s); "
              "a 100 us sleep loop: %.0f /s\n",
              idle, idle_seconds, idle <= 20 ? "met" : "MISSED", busy_loop);
  std::printf("memory: VmHWM %s, VmRSS %s\n", status_value("VmHWM").c_str(),
              status_value("VmRSS").c_str());

  finish();
  return 0;
}
