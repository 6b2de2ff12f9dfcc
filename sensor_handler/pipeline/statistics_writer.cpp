#include "statistics_writer.h"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "gw_pacing.h"
#include "stop/stop_flags.h"
#include "pipeline_counters.h"

namespace sensor_handler {

namespace {

// Counters are unsigned: printed through PRIu64 they read the same as the
// file's historic "%lld" for every value a counter can reach, and never
// turn negative.
#define GW_STAT "%" PRIu64
constexpr const char record_template[] =
    "{\"DC\":{\"in\": " GW_STAT ", \"out\": " GW_STAT ", \"rate_in\": " GW_STAT
    ", \"rate_out\": " GW_STAT "}, \"L0\":{\"in\": " GW_STAT ", \"out\": " GW_STAT
    ", \"rate_out\": " GW_STAT "}, \"L1\":{\"in\": " GW_STAT ", \"out\": " GW_STAT
    ", \"rate_out\": " GW_STAT "}, \"L2\":{\"in\": " GW_STAT ", \"out\": " GW_STAT
    ", \"rate_out\": " GW_STAT "}, \"L3\":{\"in\": " GW_STAT ", \"out\": " GW_STAT
    ", \"rate_out\": " GW_STAT "},    \"RC\":{\"in\": " GW_STAT ", \"out\": " GW_STAT
    ", \"rate_in\": " GW_STAT ", \"rate_out\": " GW_STAT "}, \"RC_L0\":{\"in\": " GW_STAT
    ", \"out\": " GW_STAT ", \"rate_out\": " GW_STAT "}, \"RC_L1\":{\"in\": " GW_STAT
    ", \"out\": " GW_STAT ", \"rate_out\": " GW_STAT "}, \"RC_L2\":{\"in\": " GW_STAT
    ", \"out\": " GW_STAT ", \"rate_out\": " GW_STAT "}, \"SCAN\":{\"mode\": \"%s\", "
    "\"other_subevents\": " GW_STAT ", \"legacy_in_extended\": " GW_STAT
    ", \"extended_not_stored\": " GW_STAT ", \"extended_stored_1m\": " GW_STAT
    ", \"extended_stored_coded\": " GW_STAT ", \"extended_secondary_2m\": " GW_STAT
    ", \"extended_chains_dropped\": " GW_STAT ", \"extended_cut\": " GW_STAT
    ", \"extended_periodic\": " GW_STAT "}} \n";
#undef GW_STAT

const char *mode_text(ScanMode mode) {
  switch (mode) {
    case ScanMode::legacy:
      return "legacy";
    case ScanMode::extended:
      return "extended";
    case ScanMode::none:
      break;
  }
  return "none";
}

bool write_all(int fd, const char *text, std::size_t length) {
  while (length > 0) {
    ssize_t written = write(fd, text, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

// Sleeps until the monotonic deadline. A cancelled pacing wait returns at
// once, and between the stop routine's cancel and its restart request the
// service still runs: the rest of the second is slept plainly then, so the
// writer never rewrites the file in a loop.
void sleep_until(const timespec &deadline) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  long long left_ms = (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1000 +
                      (deadline.tv_nsec - now.tv_nsec) / 1000000;
  if (left_ms <= 0) return;
  if (!gw::pacing_sleep(static_cast<std::uint32_t>(left_ms)) || !service_running()) return;
  while (service_running() &&
         clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

// A file that cannot be written is not put right by a restart (a directory
// in its place, a read-only /tmp), yet each restart costs the broker link
// and the scan. The restart is asked for only once the failure has lasted
// restart_delay_ms: 5 s at first, doubled by each such restart up to ten
// minutes, back to 5 s once a record has been written. It outlives the
// service runs of the process; only the writer thread uses it, and runs
// follow each other (join, then create).
constexpr std::int64_t first_restart_delay_ms = 5000;
constexpr std::int64_t longest_restart_delay_ms = 600000;
std::int64_t restart_delay_ms = first_restart_delay_ms;

// Moves what stands at path (a directory the record cannot replace) to
// path + ".not-ours".
bool set_aside(const char *path) {
  struct stat info{};
  if (lstat(path, &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  char aside[256];
  const int length = std::snprintf(aside, sizeof aside, "%s.not-ours", path);
  return length > 0 && static_cast<std::size_t>(length) < sizeof aside && rename(path, aside) == 0;
}

std::int64_t milliseconds(const timespec &time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1000 + time.tv_nsec / 1000000;
}

}  // namespace

int format_statistics_record(char *text, std::size_t size) {
  const PipelineCounters &c = pipeline_counters;
  int length = std::snprintf(
      text, size, record_template, c.DC.in.load(), c.DC.out.load(), c.DC.rate_in.load(),
      c.DC.rate_out.load(), c.L0.in.load(), c.L0.out.load(), c.L0.rate_out.load(), c.L1.in.load(),
      c.L1.out.load(), c.L1.rate_out.load(), c.L2.in.load(), c.L2.out.load(), c.L2.rate_out.load(),
      c.L3.in.load(), c.L3.out.load(), c.L3.rate_out.load(), c.RC.in.load(), c.RC.out.load(),
      c.RC.rate_in.load(), c.RC.rate_out.load(), c.RC_L0.in.load(), c.RC_L0.out.load(),
      c.RC_L0.rate_out.load(), c.RC_L1.in.load(), c.RC_L1.out.load(), c.RC_L1.rate_out.load(),
      c.RC_L2.in.load(), c.RC_L2.out.load(), c.RC_L2.rate_out.load(),
      mode_text(scan_counters.mode.load(std::memory_order_relaxed)),
      scan_counters.other_subevents.load(), scan_counters.legacy_in_extended.load(),
      scan_counters.extended_not_stored.load(), scan_counters.extended_stored_1m.load(),
      scan_counters.extended_stored_coded.load(), scan_counters.extended_stored_2m.load(),
      scan_counters.extended_chains_dropped.load(), scan_counters.extended_cut.load(),
      scan_counters.extended_periodic.load());
  if (length < 0) return 0;
  if (size > 0 && static_cast<std::size_t>(length) >= size) return static_cast<int>(size - 1);
  return length;
}

int write_statistics_file(const char *path) {
  char temporary[256];
  int name_length = std::snprintf(temporary, sizeof temporary, "%s.XXXXXX", path);
  if (name_length < 0 || static_cast<std::size_t>(name_length) >= sizeof temporary) return 1;

  char record[statistics_record_size];
  const int length = format_statistics_record(record, sizeof record);

  // A fresh file of an unpredictable name (created exclusively, so nothing
  // planted under it is followed or reused), readable by every local tool.
  const int fd = mkostemp(temporary, O_CLOEXEC);
  if (fd < 0) return 1;
  fchmod(fd, 0644);
  const bool written = write_all(fd, record, static_cast<std::size_t>(length));
  const bool closed = close(fd) == 0;
  if (!written || !closed) {
    // A full /tmp: keep the last whole record rather than a cut one.
    unlink(temporary);
    return 0;
  }
  // The rename replaces a link in the file's place, never follows it. A
  // directory there (planted, or left by hand) is moved aside once.
  if (rename(temporary, path) != 0 && !(set_aside(path) && rename(temporary, path) == 0)) {
    unlink(temporary);
    return 1;
  }
  return 0;
}

void *statistics_writer(void *) {
  bool failing = false;
  std::int64_t failing_since_ms = 0;
  while (service_running()) {
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    const std::int64_t now_ms = milliseconds(next);
    next.tv_sec += 1;
    if (write_statistics_file(statistics_file_path) == 0) {
      failing = false;
      restart_delay_ms = first_restart_delay_ms;
    } else if (!failing) {
      failing = true;
      failing_since_ms = now_ms;
    } else if (now_ms - failing_since_ms >= restart_delay_ms) {
      restart_delay_ms = restart_delay_ms * 2 < longest_restart_delay_ms ? restart_delay_ms * 2
                                                                          : longest_restart_delay_ms;
      request_restart();
      break;
    }
    sleep_until(next);
  }
  return nullptr;
}

}  // namespace sensor_handler
