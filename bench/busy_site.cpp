// A busy site on the shipped settings: what the gateway stores and uploads
// when the radio runs at the UART's ceiling.
//
// "busy_site <tobixlite_config> [seconds]" reads SR_S1, SP_BT4_SD, PR_S1,
// max_rows_upload_S1, SP_BT5_EXT, SP_BT5_PHY, SP_BT5_MAXD and
// max_message_bytes_S1 from the given UCI file (scripts/bench passes the
// shipped one, then a copy with SP_BT5_EXT 2), then for the given time
// (default 60 s, five rounds of the shipped 6 s sensing and 4 s posting
// periods) 300 tags send 250 reports a second into a socketpair, each
// report with its own number in its data, so every one is a new row of the
// longest kind (31 data bytes). With SP_BT5_EXT 2 the tags send extended
// advertisements instead (not legacy PDUs: 60 data bytes, 1M primary and
// 2M secondary PHY, in LE Extended Advertising Report events), as many a
// second as fill the UART with the bytes of the legacy load (129), so
// every one is a new PAYLOAD3 row.
// The real read phase, hand-off and thread_one store them in a real store
// on tmpfs. One thread cycles as the scan controller does (a read phase of
// SP_BT4_SD, the published rows deleted, the pacing wait to the next
// sensing period), another as the batch publisher does (select_batch and
// mark_batch_published every posting period, the message built by
// build_batch_payload and measured; no broker, nothing is sent).
//
// Printed: rows stored and uploaded per second, the batch messages' sizes,
// the oldest row's age when its batch is made (by its stored time, as the
// broker sees it, and since the tag sent it), the table's rows sampled
// every second, and the longest pause between read phases with the most
// reports waiting for one, and the process's CPU time per report sent
// (every thread, the feeder's too) with each thread's context switches and
// CPU time per report sent (strace -ff tells the threads' system calls apart
// by the names main gives them). The "radio" never drops: reports the
// socket cannot take wait in the feeder, as they would in the kernel's
// queue.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "config/configuration.h"
#include "config/identity.h"
#include "gw_pacing.h"
#include "gw_uci.h"
#include "stop/stop_flags.h"
#include "pipeline/pipeline_counters.h"
#include "pipeline/raw_window.h"
#include "pipeline/report_handoff.h"
#include "scan/hci_reader.h"
#include "store/beacon_db.h"
#include "thread_switches.h"
#include "uplink/publisher.h"

namespace {

using namespace sensor_handler;
using Clock = std::chrono::steady_clock;

constexpr int tag_count = 300;
constexpr int legacy_reports_per_second = 250;
constexpr std::size_t legacy_event_bytes = 46;  // packet indicator to RSSI, 31 data bytes
constexpr std::size_t extended_data_bytes = 60;
constexpr std::size_t extended_event_bytes = 5 + 24 + extended_data_bytes;
// Set once by main before the threads start.
int reports_per_second = legacy_reports_per_second;
bool extended_load = false;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double wall_now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

// Report n of tag n % 300: flags, 16 bytes of maker data, then 07 FF FF FF
// and n big-endian, 31 data bytes in all.
std::vector<std::uint8_t> report_event(std::uint32_t n) {
  const std::uint32_t tag = n % tag_count;
  std::vector<std::uint8_t> event = {0x04, 0x3E, 0x00, 0x02, 0x01, 0x00, 0x01,
                                     static_cast<std::uint8_t>(tag), static_cast<std::uint8_t>(tag >> 8),
                                     0x00, 0x00, 0x00, 0xC0};
  std::vector<std::uint8_t> data = {0x02, 0x01, 0x06, 0x13, 0xFF, 0xFF, 0xFF};
  for (std::uint8_t k = 0; k < 16; ++k) data.push_back(k);
  for (std::uint8_t byte : {std::uint8_t{0x07}, std::uint8_t{0xFF}, std::uint8_t{0xFF}, std::uint8_t{0xFF}})
    data.push_back(byte);
  for (int shift = 24; shift >= 0; shift -= 8) data.push_back(static_cast<std::uint8_t>(n >> shift));
  event.push_back(static_cast<std::uint8_t>(data.size()));
  event.insert(event.end(), data.begin(), data.end());
  event.push_back(static_cast<std::uint8_t>(-60));
  event[2] = static_cast<std::uint8_t>(event.size() - 3);
  return event;
}

// Advertisement n of tag n % 300 as an extended one: non-connectable,
// non-scannable, undirected, complete; 1M then 2M, SID 1; its data flags,
// a maker-specific structure of 49 bytes, then 07 FF FF FF and n.
std::vector<std::uint8_t> extended_event(std::uint32_t n) {
  const std::uint32_t tag = n % tag_count;
  std::vector<std::uint8_t> event = {0x04, 0x3E, 0x00, 0x0D, 0x01, 0x00, 0x00, 0x01,
                                     static_cast<std::uint8_t>(tag), static_cast<std::uint8_t>(tag >> 8),
                                     0x00, 0x00, 0x00, 0xC0, 0x01, 0x02, 0x01, 0x7F,
                                     static_cast<std::uint8_t>(-60), 0x00, 0x00,
                                     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  std::vector<std::uint8_t> data = {0x02, 0x01, 0x06, 0x30, 0xFF, 0xFF, 0xFF};
  for (std::uint8_t k = 0; k < 45; ++k) data.push_back(k);
  for (std::uint8_t byte : {std::uint8_t{0x07}, std::uint8_t{0xFF}, std::uint8_t{0xFF}, std::uint8_t{0xFF}})
    data.push_back(byte);
  for (int shift = 24; shift >= 0; shift -= 8) data.push_back(static_cast<std::uint8_t>(n >> shift));
  event.push_back(static_cast<std::uint8_t>(data.size()));
  event.insert(event.end(), data.begin(), data.end());
  event[2] = static_cast<std::uint8_t>(event.size() - 3);
  return event;
}

std::int32_t setting(const std::string &file, const char *option) {
  char value[32] = {};
  const std::string path = file + ".@ble[0]." + option;
  if (gw::gw_uci_get_string(path.c_str(), value, sizeof value) != 0 || value[0] == '\0') return -1;
  return static_cast<std::int32_t>(std::strtol(value, nullptr, 10));
}

std::uint32_t hex_value(const char *text, int digits) {
  std::uint32_t value = 0;
  for (int i = 0; i < digits; ++i) {
    const char c = text[i];
    value = value * 16 + static_cast<std::uint32_t>(c <= '9' ? c - '0' : c - 'A' + 10);
  }
  return value;
}

// Shared with main, relaxed: main samples them, or reads them once the
// threads have ended.
std::atomic<std::uint64_t> reports_sent{0};
std::atomic<bool> feeding{true};
Clock::time_point started;

// The publisher's figures; main reads them once it has ended.
struct Batches {
  std::uint64_t rows = 0, extended_rows = 0;
  int count = 0;
  std::size_t largest = 0, largest_rows = 0, total_bytes = 0;
  double oldest_stored_age = 0, oldest_heard_age = 0;
  // The upload rate: rows of every batch after the first over the time
  // from the first batch to the last, as the first takes what came before.
  double first_at = 0, last_at = 0;
  std::uint64_t rows_after_first = 0;
} batches;

// The radio at the UART's ceiling: one report every 4 ms on the monotonic
// clock, whatever the reader does.
void feed(int fd, std::uint32_t reports) {
  std::deque<std::vector<std::uint8_t>> waiting;
  std::uint32_t n = 0;
  while (feeding.load(std::memory_order_relaxed) && (n < reports || !waiting.empty())) {
    const double now = since(started);
    for (; n < reports && static_cast<double>(n) / reports_per_second <= now; ++n) {
      waiting.push_back(extended_load ? extended_event(n) : report_event(n));
      reports_sent.store(n + 1, std::memory_order_relaxed);
    }
    while (!waiting.empty() && send(fd, waiting.front().data(), waiting.front().size(), MSG_DONTWAIT) > 0)
      waiting.pop_front();
    const double next = static_cast<double>(n) / reports_per_second;
    pollfd writable{fd, static_cast<short>(waiting.empty() ? 0 : POLLOUT), 0};
    poll(&writable, 1, std::max(0, static_cast<int>((next - since(started)) * 1000) + 1));
  }
}

// The scan controller's cycle while connected: read phase, table step,
// pacing to the next sensing period.
void scan_cycles(int fd, double *longest_pause) {
  std::uint32_t deadline = gw::pacing_clock_seconds() + static_cast<std::uint32_t>(service_config.sensing_rate);
  double previous_end = -1;
  while (service_running()) {
    const double start = since(started);
    if (previous_end >= 0) *longest_pause = std::max(*longest_pause, start - previous_end);
    read_advertising_reports(fd, static_cast<std::uint16_t>(service_config.scan_duration), 1);
    previous_end = since(started);
    delete_published_beacon_rows(last_published_dbid.load(std::memory_order_relaxed), 1);
    gw::wait_next_period(&deadline, static_cast<std::uint32_t>(service_config.sensing_rate), 1);
  }
}

// The batch publisher's turn, the message measured instead of sent.
void publish_batches() {
  const auto period = static_cast<std::uint32_t>(service_config.posting_rate);
  std::uint32_t deadline = gw::pacing_clock_seconds() + period;
  while (service_running()) {
    if (select_batch(beacon_db, "BLE", &highest_selected_dbid, service_config.max_rows_upload, 1) == 0 &&
        beacon_db.mark_batch_published()) {
      const BatchPayload payload = build_batch_payload(raw_batch_text.c_str(), filtered_batch_text.c_str(),
                                                        ext_batch_text.c_str());
      // Extended rows are read from the message as the broker gets them:
      // "ext_packet_count":M,"ext_beacons_data":"<rows each followed by ;>".
      std::uint64_t extended_rows = 0;
      const char *text = raw_batch_text.c_str();
      if (const char *count = std::strstr(payload.c_str(), "\"ext_packet_count\":")) {
        extended_rows = std::strtoull(count + std::strlen("\"ext_packet_count\":"), nullptr, 10);
        if (const char *rows = std::strstr(count, "\"ext_beacons_data\":\""))
          if (extended_load) text = rows + std::strlen("\"ext_beacons_data\":\"");
      }
      const std::uint64_t rows = static_cast<std::uint64_t>(raw_packet_count) + extended_rows;
      // Rows in DBID order: the first is the oldest. Its last 8 digits are
      // its stored time, the 8 before them its report number.
      const char *end = std::strchr(text, ';');
      if (end != nullptr && end - text >= 16) {
        batches.oldest_stored_age = std::max(batches.oldest_stored_age, wall_now() - hex_value(end - 8, 8));
        // Report n was due n / 250 s after the start.
        const double sent = static_cast<double>(hex_value(end - 16, 8)) / reports_per_second;
        batches.oldest_heard_age = std::max(batches.oldest_heard_age, since(started) - sent);
      }
      if (batches.count == 0) batches.first_at = since(started);
      else batches.rows_after_first += rows;
      batches.last_at = since(started);
      batches.rows += rows;
      batches.extended_rows += extended_rows;
      batches.count += 1;
      batches.total_bytes += payload.length();
      if (payload.length() > batches.largest) {
        batches.largest = payload.length();
        batches.largest_rows = static_cast<std::size_t>(rows);
      }
    }
    free_batch_texts();
    gw::wait_next_period(&deadline, period, 1);
  }
}

// User plus system time of the whole process, in microseconds.
double process_cpu_us() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 + usage.ru_utime.tv_usec +
         usage.ru_stime.tv_usec;
}

// Context switches and CPU time of each thread over the load, by the name
// main gave it, per report sent; the gateway's own threads (sensor_thread, thread_one,
// publish_thread) summed beside the bench's feeder and sampler.
void print_thread_costs(std::uint64_t reports) {
  DIR *tasks = opendir("/proc/self/task");
  if (tasks == nullptr || reports == 0) {
    if (tasks != nullptr) closedir(tasks);
    return;
  }
  double gateway_voluntary = 0, gateway_involuntary = 0, gateway_cpu_us = 0;
  std::string line = "context switches per report (voluntary + involuntary):";
  std::string cpu_line = "CPU time per report by thread (us, user + system since it started):";
  while (dirent *entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    const std::string task = std::string("/proc/self/task/") + entry->d_name;
    char name[32] = {};
    if (FILE *comm = std::fopen((task + "/comm").c_str(), "re")) {
      if (std::fgets(name, sizeof name, comm) != nullptr) name[std::strcspn(name, "\n")] = '\0';
      std::fclose(comm);
    }
    const Switches switches = switches_in(task + "/status");
    // The first field of schedstat: nanoseconds on the CPU, user and kernel.
    unsigned long long on_cpu_ns = 0;
    if (FILE *schedstat = std::fopen((task + "/schedstat").c_str(), "re")) {
      if (std::fscanf(schedstat, "%llu", &on_cpu_ns) != 1) on_cpu_ns = 0;
      std::fclose(schedstat);
    }
    const double cpu_us = static_cast<double>(on_cpu_ns) / 1000.0 / static_cast<double>(reports);
    const double v = static_cast<double>(switches.voluntary) / static_cast<double>(reports);
    const double i = static_cast<double>(switches.involuntary) / static_cast<double>(reports);
    if (std::strcmp(name, "sensor_thread") == 0 || std::strcmp(name, "thread_one") == 0 ||
        std::strcmp(name, "publish_thread") == 0) {
      gateway_voluntary += v;
      gateway_involuntary += i;
      gateway_cpu_us += cpu_us;
    }
    char part[96];
    std::snprintf(part, sizeof part, " %s %.3f + %.3f,", name, v, i);
    line += part;
    std::snprintf(part, sizeof part, " %s %.1f,", name, cpu_us);
    cpu_line += part;
  }
  closedir(tasks);
  std::printf("%s gateway threads %.3f + %.3f\n", line.c_str(), gateway_voluntary, gateway_involuntary);
  std::printf("%s gateway threads %.1f\n", cpu_line.c_str(), gateway_cpu_us);
}

int count_rows(void *context, int, char **values, char **) {
  *static_cast<long long *>(context) = values[0] != nullptr ? std::atoll(values[0]) : -1;
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const int seconds = argc == 3 ? std::atoi(argv[2]) : 60;
  if ((argc != 2 && argc != 3) || seconds <= 0) {
    std::fprintf(stderr, "usage: busy_site <tobixlite_config> [seconds]\n");
    return 2;
  }
  const std::string config = argv[1];
  service_config = ServiceConfig{};
  service_config.sensing_rate = setting(config, "SR_S1");
  service_config.scan_duration = setting(config, "SP_BT4_SD");
  service_config.posting_rate = setting(config, "PR_S1");
  service_config.max_rows_upload = setting(config, "max_rows_upload_S1");
  // The extended settings take their shipped values when the file lacks them.
  const std::int32_t extended = setting(config, "SP_BT5_EXT"), phys = setting(config, "SP_BT5_PHY");
  const std::int32_t max_data = setting(config, "SP_BT5_MAXD");
  const std::int32_t max_bytes = setting(config, "max_message_bytes_S1");
  if (extended >= 0) service_config.extended_scanning = extended;
  if (phys >= 0) service_config.scan_phys = phys;
  if (max_data >= 0) service_config.max_extended_data = max_data;
  if (max_bytes >= 0) service_config.max_message_bytes = max_bytes;
  extended_load = service_config.extended_scanning == 2;
  if (extended_load)
    reports_per_second = static_cast<int>(legacy_reports_per_second * legacy_event_bytes / extended_event_bytes);
  if (service_config.sensing_rate <= 0 || service_config.scan_duration < 0 ||
      service_config.posting_rate <= 0 || service_config.max_rows_upload <= 0) {
    std::fprintf(stderr, "busy_site: %s lacks SR_S1, SP_BT4_SD, PR_S1 or max_rows_upload_S1\n", argv[1]);
    return 1;
  }
  std::snprintf(service_config.client_id, sizeof service_config.client_id, "TBX000000000001");
  std::snprintf(firmware_version, sizeof firmware_version, "1.3.0");

  char dir_template[] = "/dev/shm/gw-busy-XXXXXX";
  char fallback_template[] = "/tmp/gw-busy-XXXXXX";
  const char *dir = mkdtemp(dir_template);
  if (dir == nullptr) dir = mkdtemp(fallback_template);
  if (dir == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string database = std::string(dir) + "/tobix_ble.db";
  std::snprintf(service_config.db_path, sizeof service_config.db_path, "%s", database.c_str());
  // One CPU for every thread, the feeder included, as on the board.
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(sched_getcpu(), &one);
  sched_setaffinity(0, sizeof one, &one);

  std::printf("busy site: SR_S1 %d s, SP_BT4_SD %d s, PR_S1 %d s, max_rows_upload_S1 %d from %s\n",
              service_config.sensing_rate, service_config.scan_duration, service_config.posting_rate,
              service_config.max_rows_upload, argv[1]);
  std::printf("extended: SP_BT5_EXT %d, SP_BT5_PHY %d, SP_BT5_MAXD %d, max_message_bytes_S1 %d\n",
              service_config.extended_scanning, service_config.scan_phys,
              service_config.max_extended_data, service_config.max_message_bytes);
  if (extended_load) {
    std::printf("load: %d tags, %d extended advertisements/s (the UART's bytes of %d legacy reports/s), "
                "every one a new PAYLOAD3 row of %zu data bytes, %d s, store in %s\n",
                tag_count, reports_per_second, legacy_reports_per_second, extended_data_bytes, seconds,
                dir);
  } else {
    std::printf("load: %d tags, %d reports/s, every report a new row of 31 data bytes, %d s, store in %s\n",
                tag_count, reports_per_second, seconds, dir);
  }
  if (open_beacon_db() != 0) return 1;
  reset_handoff();
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return 1;
  const auto reports = static_cast<std::uint32_t>(seconds * reports_per_second);
  started = Clock::now();
  const double cpu_at_start = process_cpu_us();

  pthread_t raw_thread;
  if (pthread_create(&raw_thread, nullptr, thread_one, nullptr) != 0) return 1;
  double longest_pause = 0;
  std::thread cycles(scan_cycles, ends[0], &longest_pause);
  std::thread publisher(publish_batches);
  std::thread feeder(feed, ends[1], reports);
  pthread_setname_np(pthread_self(), "busy_site");
  pthread_setname_np(raw_thread, "thread_one");
  pthread_setname_np(cycles.native_handle(), "sensor_thread");
  pthread_setname_np(publisher.native_handle(), "publish_thread");
  pthread_setname_np(feeder.native_handle(), "feeder");

  // Samples: the table's rows every second, the reports sent but not yet
  // taken by thread_one every 50 ms.
  std::vector<long long> table;
  std::uint64_t most_waiting = 0;
  for (int tick = 1; tick <= seconds * 20; ++tick) {
    std::this_thread::sleep_until(started + std::chrono::milliseconds(50 * tick));
    const std::uint64_t taken = pipeline_counters.DC.in.load();
    const std::uint64_t sent = reports_sent.load(std::memory_order_relaxed);
    most_waiting = std::max(most_waiting, sent > taken ? sent - taken : 0);
    if (tick % 20 != 0) continue;
    long long rows = -1;
    beacon_db.exec("SELECT COUNT(*) FROM BLE", count_rows, &rows, nullptr);
    table.push_back(rows);
  }
  const double elapsed = since(started);
  const double cpu_us = process_cpu_us() - cpu_at_start;
  print_thread_costs(reports_sent.load(std::memory_order_relaxed));
  // Every row inserted, of either kind: the table's AUTOINCREMENT sequence.
  long long inserted = -1;
  beacon_db.exec("SELECT seq FROM sqlite_sequence WHERE name = 'BLE'", count_rows, &inserted, nullptr);
  // Extended advertisements pass the raw path's stages too.
  const std::uint64_t extended_stored =
      scan_counters.extended_stored_1m.load() + scan_counters.extended_stored_coded.load();
  const std::uint64_t legacy_stored = pipeline_counters.L3.out.load() - extended_stored;
  const std::uint64_t stored = inserted >= 0 ? static_cast<std::uint64_t>(inserted) : legacy_stored;
  const std::uint64_t sent = reports_sent.load(std::memory_order_relaxed);
  feeding.store(false, std::memory_order_relaxed);
  request_restart();
  feeder.join();
  shutdown(ends[1], SHUT_RDWR);
  cycles.join();
  publisher.join();
  pthread_join(raw_thread, nullptr);
  close(ends[0]);
  close(ends[1]);
  close_beacon_db();
  for (const char *suffix : {"", "-wal", "-shm"}) unlink((database + suffix).c_str());
  rmdir(dir);

  const int pr = service_config.posting_rate, sr = service_config.sensing_rate;
  const double span = batches.last_at - batches.first_at;
  std::printf("rows: %.1f stored a second (%" PRIu64 " of %" PRIu64 " reports sent, the rest waiting "
              "for a read phase), %.1f uploaded a second (%" PRIu64 " in %d batches); the settings "
              "upload at most %d a second\n",
              stored / elapsed, stored, sent, span > 0 ? batches.rows_after_first / span : 0.0,
              batches.rows, batches.count, service_config.max_rows_upload / pr);
  std::printf("of them: %" PRIu64 " legacy rows stored, %" PRIu64 " extended rows stored, %" PRIu64
              " extended rows uploaded\n",
              legacy_stored, stored - std::min(stored, legacy_stored), batches.extended_rows);
  std::printf("CPU: %.1f us per report sent (process user + system time over the load, %.1f%% of one "
              "core)\n",
              sent > 0 ? cpu_us / static_cast<double>(sent) : 0.0, cpu_us / (elapsed * 1e6) * 100);
  std::printf("batch message: largest %zu bytes (%zu rows), mean %.0f bytes; 128 KiB is 131072, "
              "max_message_bytes_S1 %d\n",
              batches.largest, batches.largest_rows,
              batches.count > 0 ? static_cast<double>(batches.total_bytes) / batches.count : 0.0,
              service_config.max_message_bytes);
  std::printf("oldest row of a batch when it is made: %.1f s by its stored time, %.1f s since the tag "
              "sent it; two posting periods and a sensing period are %d s\n",
              batches.oldest_stored_age, batches.oldest_heard_age, 2 * pr + sr);
  // The table once it has filled (a sensing and a posting period), in two
  // halves.
  const auto from = table.begin() + std::min<std::ptrdiff_t>(sr + pr, static_cast<std::ptrdiff_t>(table.size()));
  const auto half = from + (table.end() - from) / 2;
  const auto mean = [](auto first, auto last) {
    double sum = 0;
    for (auto it = first; it != last; ++it) sum += static_cast<double>(*it);
    return first == last ? 0.0 : sum / static_cast<double>(last - first);
  };
  std::printf("table, sampled every second after the first %d s: %lld to %lld rows, mean %.0f in the "
              "first half and %.0f in the second\n",
              sr + pr,
              from == table.end() ? -1 : *std::min_element(from, table.end()),
              from == table.end() ? -1 : *std::max_element(from, table.end()), mean(from, half),
              mean(half, table.end()));
  std::printf("read phases: longest pause between two %.2f s, at most %" PRIu64
              " reports waiting for one\n",
              longest_pause, most_waiting);
  return 0;
}
