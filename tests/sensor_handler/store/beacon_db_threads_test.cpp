// The store under the load of a service run: thread_one and thread_two
// inserting, the publisher selecting, the scan controller reclaiming (and
// so finalizing, closing and reopening) at the same time. Meant to run
// under ThreadSanitizer as well.
#include "store/beacon_db.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "config/configuration.h"
#include "sandbox.h"
#include "stdout_capture.h"
#include "store/db_reader.h"

namespace sensor_handler {
namespace {

constexpr const char *db_path = "/tmp/beacon.db";
// Each inserter stores at least this many rows, and goes on until the scan
// controller has reclaimed this often.
constexpr int least_rows_per_thread = 1000;
constexpr int least_reclaims = 20;

struct InsertTally {
  int attempts = 0;
  int stored = 0;
  int refused = 0;
  int other = 0;  // any other status: a fault
};

void insert_rows(int thread, InsertTally *tally, const std::atomic<int> &reclaims) {
  char payload[32];
  for (int i = 0; i < least_rows_per_thread || reclaims.load() < least_reclaims; ++i) {
    ++tally->attempts;
    std::snprintf(payload, sizeof payload, "T%d-%d", thread, i);
    const std::uint32_t dt = static_cast<std::uint32_t>(thread * 100000 + i);
    // thread 1 stores raw rows, thread 2 smoothed ones, as the pipeline does.
    int rc = thread == 1 ? insert_beacon_row(dt, payload, nullptr)
                         : insert_beacon_row(dt, nullptr, payload);
    if (rc == SQLITE_DONE) {
      ++tally->stored;
    } else if (rc == beacon_db_unavailable) {
      ++tally->refused;
    } else {
      ++tally->other;
    }
  }
}

TEST(BeaconDbThreads, InsertsSelectsAndReclaimsNeverMixRowsOrLoseTheCursor) {
  ASSERT_TRUE(gwtest::reset_sandbox());
  std::snprintf(service_config.db_path, sizeof service_config.db_path, "%s", db_path);
  service_config.sensor_number = 1;
  highest_selected_dbid = 0;
  last_published_dbid = 0;

  gwtest::StdoutCapture capture;
  ASSERT_EQ(open_beacon_db(), 0);

  InsertTally tally[2];
  std::atomic<int> inserters_left{2};
  std::atomic<bool> reclaim_fault{false};
  std::atomic<int> reclaims{0};
  int selected = 0;

  std::thread thread_one([&] {
    insert_rows(1, &tally[0], reclaims);
    inserters_left.fetch_sub(1);
  });
  std::thread thread_two([&] {
    insert_rows(2, &tally[1], reclaims);
    inserters_left.fetch_sub(1);
  });
  std::thread scan_controller([&] {
    while (inserters_left.load() > 0) {
      if (reclaim_beacon_space(1, true, nullptr, nullptr) != ReclaimResult::reopened) {
        reclaim_fault = true;
      }
      reclaims.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::thread publisher([&] {
    while (inserters_left.load() > 0) {
      if (select_batch(beacon_db, "BLE", &highest_selected_dbid, 50, 1) == 0) {
        selected += raw_packet_count + filtered_packet_count;
        beacon_db.mark_batch_published();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  thread_one.join();
  thread_two.join();
  scan_controller.join();
  publisher.join();

  // What was not yet selected follows in the next batches.
  while (select_batch(beacon_db, "BLE", &highest_selected_dbid, 1000, 1) == 0) {
    selected += raw_packet_count + filtered_packet_count;
  }
  ASSERT_EQ(close_beacon_db(), SQLITE_OK);
  std::string output = capture.text();

  EXPECT_FALSE(reclaim_fault.load()) << output;
  EXPECT_GE(reclaims.load(), least_reclaims);
  // An insert that comes during a reclaim waits for the new statement.
  for (const InsertTally &each : tally) {
    EXPECT_EQ(each.other, 0);
    EXPECT_EQ(each.refused, 0);
    EXPECT_EQ(each.stored, each.attempts);
  }

  gwtest::DbReader reader(db_path);
  auto rows = reader.rows();
  std::map<int, int> stored_by_thread;
  for (const auto &row : rows) {
    const int thread = static_cast<int>(row.dt / 100000);
    const int index = static_cast<int>(row.dt % 100000);
    const std::string expected = "T" + std::to_string(thread) + "-" + std::to_string(index);
    // A row that took the other thread's values would carry a mismatched
    // text, or its text in the other column.
    if (thread == 1) {
      EXPECT_EQ(row.payload, expected);
      EXPECT_FALSE(row.payload2.has_value());
    } else {
      EXPECT_EQ(row.payload2, expected);
      EXPECT_FALSE(row.payload.has_value());
    }
    ++stored_by_thread[thread];
  }
  EXPECT_EQ(stored_by_thread[1], tally[0].stored);
  EXPECT_EQ(stored_by_thread[2], tally[1].stored);
  // Every stored row was selected exactly once, across all the reopenings.
  EXPECT_EQ(selected, static_cast<int>(rows.size()));
  EXPECT_EQ(highest_selected_dbid.load(), static_cast<std::uint64_t>(rows.back().dbid));
}

}  // namespace
}  // namespace sensor_handler
