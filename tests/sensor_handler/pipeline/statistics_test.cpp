// The statistics file: its exact record, the once-a-second rewrite, and the
// paced restarts when the file cannot be written.
#include "pipeline/statistics_writer.h"

#include <gtest/gtest.h>

#include <vector>
#include <cstdlib>
#include <unistd.h>
#include <sys/mount.h>
#include <filesystem>
#include <chrono>
#include <cstdint>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <thread>

#include "gw_pacing.h"
#include "stop/stop_flags.h"
#include "pipeline/pipeline_counters.h"
#include "sandbox.h"
#include "stdout_capture.h"

namespace {

using namespace std::chrono_literals;
using sensor_handler::pipeline_counters;

const std::string zero_record =
    "{\"DC\":{\"in\": 0, \"out\": 0, \"rate_in\": 0, \"rate_out\": 0}, "
    "\"L0\":{\"in\": 0, \"out\": 0, \"rate_out\": 0}, "
    "\"L1\":{\"in\": 0, \"out\": 0, \"rate_out\": 0}, "
    "\"L2\":{\"in\": 0, \"out\": 0, \"rate_out\": 0}, "
    "\"L3\":{\"in\": 0, \"out\": 0, \"rate_out\": 0},    "
    "\"RC\":{\"in\": 0, \"out\": 0, \"rate_in\": 0, \"rate_out\": 0}, "
    "\"RC_L0\":{\"in\": 0, \"out\": 0, \"rate_out\": 0}, "
    "\"RC_L1\":{\"in\": 0, \"out\": 0, \"rate_out\": 0}, "
    "\"RC_L2\":{\"in\": 0, \"out\": 0, \"rate_out\": 0}, "
    "\"SCAN\":{\"mode\": \"none\", \"other_subevents\": 0, \"legacy_in_extended\": 0, "
    "\"extended_not_stored\": 0, \"extended_stored_1m\": 0, \"extended_stored_coded\": 0, "
    "\"extended_secondary_2m\": 0, \"extended_chains_dropped\": 0, \"extended_cut\": 0, "
    "\"extended_periodic\": 0}} \n";

// The 38 shown values in file order.
std::vector<sensor_handler::Counter64 *> shown_values() {
  auto &c = pipeline_counters;
  auto &scan = sensor_handler::scan_counters;
  return {&c.DC.in,     &c.DC.out,       &c.DC.rate_in,  &c.DC.rate_out,  &c.L0.in,
          &c.L0.out,    &c.L0.rate_out,  &c.L1.in,       &c.L1.out,       &c.L1.rate_out,
          &c.L2.in,     &c.L2.out,       &c.L2.rate_out, &c.L3.in,        &c.L3.out,
          &c.L3.rate_out, &c.RC.in,      &c.RC.out,      &c.RC.rate_in,   &c.RC.rate_out,
          &c.RC_L0.in,  &c.RC_L0.out,    &c.RC_L0.rate_out, &c.RC_L1.in,  &c.RC_L1.out,
          &c.RC_L1.rate_out, &c.RC_L2.in, &c.RC_L2.out,  &c.RC_L2.rate_out,
          &scan.other_subevents, &scan.legacy_in_extended, &scan.extended_not_stored,
          &scan.extended_stored_1m, &scan.extended_stored_coded, &scan.extended_stored_2m,
          &scan.extended_chains_dropped, &scan.extended_cut, &scan.extended_periodic};
}

class StatisticsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(gwtest::reset_sandbox());
    zero_all();
  }
  void TearDown() override {
    zero_all();
    sensor_handler::clear_restart_request();
    gw::clear_pacing_cancelled();
  }
  static void zero_all() {
    sensor_handler::reset_raw_path_counters();
    sensor_handler::reset_smoothing_path_counters();
    sensor_handler::reset_scan_counters();
  }

  static bool wait_for_file(const std::string &text, std::chrono::milliseconds timeout) {
    auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
      if (gwtest::read_file(sensor_handler::statistics_file_path) == text) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }

  // What the writer left in /tmp beside the file itself.
  static std::vector<std::string> leftovers() {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator("/tmp")) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("tobixlite_stats.", 0) == 0) names.push_back(name);
    }
    return names;
  }
};

TEST_F(StatisticsFile, RecordShowsEveryValueUnderItsOwnName) {
  char record[sensor_handler::statistics_record_size];
  ASSERT_EQ(sensor_handler::format_statistics_record(record, sizeof record), 663);
  EXPECT_EQ(std::string(record), zero_record);

  // Distinct values catch any two fields swapped.
  auto values = shown_values();
  for (std::size_t i = 0; i < values.size(); ++i) values[i]->store(1001 + i);
  std::string expected;
  std::uint64_t next = 1001;
  for (std::size_t i = 0; i < zero_record.size(); ++i) {
    if (zero_record[i] == '0' && zero_record[i - 1] == ' ') {
      expected += std::to_string(next++);
    } else {
      expected += zero_record[i];
    }
  }
  sensor_handler::format_statistics_record(record, sizeof record);
  EXPECT_EQ(std::string(record), expected);

  // Unsigned 64-bit values are printed whole, never as negative numbers,
  // and the longest record fits the buffer whole.
  for (auto *value : values) value->store(UINT64_MAX);
  sensor_handler::scan_counters.mode.store(sensor_handler::ScanMode::extended);
  ASSERT_EQ(sensor_handler::format_statistics_record(record, sizeof record), 1389);
  EXPECT_NE(std::string(record).find("{\"in\": 18446744073709551615, "), std::string::npos);
  EXPECT_NE(std::string(record).find("{\"mode\": \"extended\", "), std::string::npos);
  EXPECT_EQ(std::string(record).find('-'), std::string::npos);
}

TEST_F(StatisticsFile, WriterRecordsAtStartAndEverySecondAfter) {
  gwtest::StdoutCapture capture;
  pthread_t writer;
  ASSERT_EQ(pthread_create(&writer, nullptr, sensor_handler::statistics_writer, nullptr), 0);
  EXPECT_TRUE(wait_for_file(zero_record, 3s)) << gwtest::read_file("/tmp/tobixlite_stats");

  pipeline_counters.L0.in.store(10);
  pipeline_counters.L0.out.store(6);
  pipeline_counters.L0.rate_out.store(3);
  pipeline_counters.DC.rate_in.store(5);
  std::string expected = zero_record;
  expected.replace(expected.find("\"rate_in\": 0"), 12, "\"rate_in\": 5");
  const std::string zero_l0 = "\"L0\":{\"in\": 0, \"out\": 0, \"rate_out\": 0}";
  expected.replace(expected.find(zero_l0), zero_l0.size(),
                   "\"L0\":{\"in\": 10, \"out\": 6, \"rate_out\": 3}");
  EXPECT_TRUE(wait_for_file(expected, 3s)) << gwtest::read_file("/tmp/tobixlite_stats");

  sensor_handler::request_restart();
  pthread_join(writer, nullptr);
  // The writer leaves the last record and no temporary file behind; it
  // touches no counter and prints nothing.
  EXPECT_EQ(gwtest::read_file("/tmp/tobixlite_stats"), expected);
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
  EXPECT_EQ(pipeline_counters.L0.in.load(), 10u);
  EXPECT_EQ(capture.text(), "");
}

TEST_F(StatisticsFile, FileThatCannotBeReplacedRequestsRestartsEverFurtherApart) {
  // A read-only /tmp takes no file at all.
  ASSERT_EQ(mount(nullptr, "/tmp", nullptr, MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr), 0);
  gwtest::StdoutCapture capture;
  // Service runs as the run loop makes them (without its pause), each ended
  // by the writer's restart request or, once the time is up, by a stop.
  int restarts = 0;
  for (auto until = std::chrono::steady_clock::now() + 12s;
       std::chrono::steady_clock::now() < until;) {
    pthread_t writer;
    ASSERT_EQ(pthread_create(&writer, nullptr, sensor_handler::statistics_writer, nullptr), 0);
    while (!sensor_handler::restart_requested.load() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(20ms);
    }
    if (sensor_handler::restart_requested.load()) {
      ++restarts;
    } else {
      sensor_handler::request_restart();
    }
    pthread_join(writer, nullptr);
    sensor_handler::clear_restart_request();
  }
  // After 5 s of failure, then not before another 10 s.
  EXPECT_EQ(restarts, 1);
  EXPECT_EQ(capture.text(), "");
}

// Paths another user of /tmp planted: the record replaces a link or a
// directory in the file's place and never writes through one.
TEST_F(StatisticsFile, PlantedPathsAreReplacedNeverFollowed) {
  for (const char *plant : {"ln -s /tmp/roots_file /tmp/tobixlite_stats",
                            "mkdir /tmp/tobixlite_stats; touch /tmp/tobixlite_stats/x",
                            "ln -s /tmp/roots_file /tmp/tobixlite_stats.tmp"}) {
    SCOPED_TRACE(plant);
    ASSERT_TRUE(gwtest::reset_sandbox());
    ASSERT_TRUE(gwtest::write_file("/tmp/roots_file", "root's\n"));
    const std::string as_nobody =
        std::string("/usr/bin/setpriv --reuid 65534 --regid 65534 --clear-groups sh -c '") + plant + "'";
    ASSERT_EQ(std::system(as_nobody.c_str()), 0);
    EXPECT_EQ(sensor_handler::write_statistics_file(sensor_handler::statistics_file_path), 0);
    EXPECT_EQ(gwtest::read_file("/tmp/roots_file"), "root's\n");
    struct stat file{};
    ASSERT_EQ(lstat(sensor_handler::statistics_file_path, &file), 0);
    EXPECT_TRUE(S_ISREG(file.st_mode) && file.st_uid == geteuid());
    EXPECT_EQ(file.st_mode & 0777, 0644u) << "local tools read it";
    EXPECT_EQ(gwtest::read_file(sensor_handler::statistics_file_path), zero_record);
  }
}

TEST_F(StatisticsFile, ReplacedFileIsNeverSeenHalfWritten) {
  pipeline_counters.DC.in.store(123456789);
  ASSERT_EQ(sensor_handler::write_statistics_file(sensor_handler::statistics_file_path), 0);
  const std::string first = gwtest::read_file("/tmp/tobixlite_stats");
  ASSERT_EQ(first.size(), 671u);

  // A reader that opened the old file keeps reading the whole old record
  // while the next one replaces it.
  FILE *reader = std::fopen("/tmp/tobixlite_stats", "re");
  ASSERT_NE(reader, nullptr);
  pipeline_counters.DC.in.store(7);
  ASSERT_EQ(sensor_handler::write_statistics_file(sensor_handler::statistics_file_path), 0);
  char seen[sensor_handler::statistics_record_size] = {};
  std::size_t got = std::fread(seen, 1, sizeof seen - 1, reader);
  std::fclose(reader);
  EXPECT_EQ(std::string(seen, got), first);
  EXPECT_EQ(gwtest::read_file("/tmp/tobixlite_stats").size(), 663u);
}

}  // namespace
