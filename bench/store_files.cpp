// What the beacon store leaves on a RAM-backed /tmp under a sustained load:
// the sizes of the database file, its write-ahead log and its shared-memory
// file, sampled after every step of the gateway's own cycle.
//
// One cycle stands for one sensing period, compressed in time: 1,000 raw
// rows (PAYLOAD texts of 86 characters, as a 31-byte advertisement gives)
// and 100 smoothed rows are inserted, the publisher selects and marks up to
// max_rows of them, the scan controller trims the published rows and, when
// the file has reached its limit, reclaims space. Three phases:
//   steady     600 cycles, the broker takes every row (max_rows 2,000);
//   backlog    a slow broker (max_rows 500): the table grows to the limit
//              and is reclaimed every cycle from then on;
//   drain      the broker takes everything again, the backlog is trimmed
//              in large deletes, then the broker goes down and the table is
//              cleared each cycle.
// The whole run is made twice: as the store opens the file, and with the
// WAL size limit lifted on the same connection (PRAGMA journal_size_limit =
// -1, SQLite's default) as the reference.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/configuration.h"
#include "gw_db.h"
#include "store/beacon_db.h"

namespace {

using namespace sensor_handler;

constexpr int raw_rows_per_cycle = 1000;
constexpr int smoothed_rows_per_cycle = 100;
constexpr int steady_cycles = 600;
constexpr int backlog_cycles = 200;
constexpr int drain_cycles = 60;
constexpr double storage_limit_mib = 10.0;  // MSL_S1's default

double mib(const std::string &path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return 0.0;
  return static_cast<double>(info.st_size) / (1024.0 * 1024.0);
}

struct Sizes {
  double db = 0, wal = 0, shm = 0;
};

struct Phase {
  const char *name;
  Sizes peak, last;
  int reclaims = 0;
};

Sizes sample(const std::string &path, Phase *phase) {
  Sizes now{mib(path), mib(path + "-wal"), mib(path + "-shm")};
  phase->peak.db = std::max(phase->peak.db, now.db);
  phase->peak.wal = std::max(phase->peak.wal, now.wal);
  phase->peak.shm = std::max(phase->peak.shm, now.shm);
  phase->last = now;
  return now;
}

void insert_cycle(std::uint32_t *clock) {
  char raw[96];
  char smoothed[40];
  for (int i = 0; i < raw_rows_per_cycle; ++i) {
    ++*clock;
    std::snprintf(raw, sizeof raw, "%012X%s%08X", static_cast<unsigned>(i),
                  "C4230201061AFF4C000215E2C56DB5DFFB48D2B060D0F5A71096E000010002C5",
                  static_cast<unsigned>(*clock));
    insert_beacon_row(*clock, raw, nullptr);
  }
  for (int i = 0; i < smoothed_rows_per_cycle; ++i) {
    std::snprintf(smoothed, sizeof smoothed, "%012X1101075F5E10000AC605", static_cast<unsigned>(i));
    insert_beacon_row(*clock, nullptr, smoothed);
  }
}

bool reopen_at_once(void *) { return true; }

// One sensing period after the inserts: publish, then the scan controller's
// size check (reclaim) and table step.
void controller_cycle(const std::string &path, std::int32_t max_rows, bool connected,
                      Phase *phase) {
  if (connected && select_batch(beacon_db, "BLE", &highest_selected_dbid, max_rows, 1) == 0) {
    beacon_db.mark_batch_published();
  }
  sample(path, phase);
  if (mib(path) >= storage_limit_mib) {
    reclaim_beacon_space(1, true, reopen_at_once, nullptr);
    ++phase->reclaims;
    sample(path, phase);
  }
  if (connected) {
    delete_published_beacon_rows(last_published_dbid.load(), 1);
  } else {
    clear_beacon_table(1);
  }
  sample(path, phase);
}

void print_phase(const Phase &phase) {
  std::printf("  %-8s peak db %6.2f  wal %6.2f  shm %5.3f | end db %6.2f  wal %6.2f  shm %5.3f"
              " MiB | reclaims %d\n",
              phase.name, phase.peak.db, phase.peak.wal, phase.peak.shm, phase.last.db,
              phase.last.wal, phase.last.shm, phase.reclaims);
}

void run(const std::string &dir, bool lift_limit) {
  const std::string path = dir + "/beacons.db";
  for (const char *suffix : {"", "-wal", "-shm"}) unlink((path + suffix).c_str());
  std::snprintf(service_config.db_path, sizeof service_config.db_path, "%s", path.c_str());
  service_config.sensor_number = 1;
  highest_selected_dbid = 0;
  last_published_dbid = 0;
  if (open_beacon_db() != 0) return;
  auto lift = [&] {
    if (lift_limit) beacon_db.exec("PRAGMA journal_size_limit=-1", nullptr, nullptr, nullptr);
  };
  lift();

  std::uint32_t clock = 1700000000;
  Phase steady{"steady", {}, {}, 0}, backlog{"backlog", {}, {}, 0}, drain{"drain", {}, {}, 0};
  for (int c = 0; c < steady_cycles; ++c) {
    insert_cycle(&clock);
    controller_cycle(path, 2000, true, &steady);
  }
  for (int c = 0; c < backlog_cycles; ++c) {
    insert_cycle(&clock);
    const int before = backlog.reclaims;
    controller_cycle(path, 500, true, &backlog);
    if (backlog.reclaims != before) lift();  // a reopen is a new connection
  }
  for (int c = 0; c < drain_cycles; ++c) {
    insert_cycle(&clock);
    const int before = drain.reclaims;
    controller_cycle(path, c < drain_cycles / 2 ? -1 : 0, c < drain_cycles / 2, &drain);
    if (drain.reclaims != before) lift();
  }
  std::printf("%s:\n", lift_limit ? "reference, journal_size_limit -1 (SQLite's default)"
                                  : "as the store opens the file");
  print_phase(steady);
  print_phase(backlog);
  print_phase(drain);
  close_beacon_db();
  std::printf("  after the close: db %.2f  wal %.2f  shm %.3f MiB\n", mib(path),
              mib(path + "-wal"), mib(path + "-shm"));
  for (const char *suffix : {"", "-wal", "-shm"}) unlink((path + suffix).c_str());
}

}  // namespace

int main(int argc, char **argv) {
  // A tmpfs like the board's /tmp; the default is a fresh folder under /dev/shm.
  std::string dir = argc > 1 ? argv[1] : "";
  char scratch[] = "/dev/shm/store-files-XXXXXX";
  if (dir.empty()) {
    if (mkdtemp(scratch) == nullptr) return 1;
    dir = scratch;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::printf("cycle: %d raw + %d smoothed rows; limit %.0f MiB; %d steady, %d backlog, %d drain "
              "cycles\n",
              raw_rows_per_cycle, smoothed_rows_per_cycle, storage_limit_mib, steady_cycles,
              backlog_cycles, drain_cycles);
  run(dir, false);
  run(dir, true);
  if (argc <= 1) rmdir(scratch);
  return 0;
}
