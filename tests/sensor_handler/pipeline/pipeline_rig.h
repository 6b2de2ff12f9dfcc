// The processing threads on a real beacon database, fed the way the gateway
// feeds them: the test writes HCI events into one end of a socketpair, a
// reader thread runs read_advertising_reports on the other end, and
// thread_one (and thread_two) take the hand-off. Rows are read back with a
// second SQLite connection.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <pthread.h>
#include <string>
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
#include "sandbox.h"
#include "scan/hci_reader.h"
#include "store/beacon_db.h"
#include "store/db_reader.h"

namespace pipeline_rig {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr const char database_path[] = "/tmp/beacons.db";

struct Advert {
  Bytes address;  // six bytes as sent, least significant first
  std::int8_t rssi = -60;
  Bytes data;
};

inline const Bytes address_1 = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};  // 665544332211
inline const Bytes address_2 = {0xFF, 0xEE, 0xDD, 0xCC, 0xBB, 0xAA};  // AABBCCDDEEFF
inline const Bytes address_3 = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};  // 060504030201

// 04 3E len 02 count, then the reports back to back.
inline Bytes advertising_event(const std::vector<Advert> &reports) {
  Bytes event = {0x04, 0x3E, 0x00, 0x02, static_cast<std::uint8_t>(reports.size())};
  for (const Advert &report : reports) {
    event.push_back(0x00);  // ADV_IND
    event.push_back(0x00);  // public address
    event.insert(event.end(), report.address.begin(), report.address.end());
    event.push_back(static_cast<std::uint8_t>(report.data.size()));
    event.insert(event.end(), report.data.begin(), report.data.end());
    event.push_back(static_cast<std::uint8_t>(report.rssi));
  }
  event[2] = static_cast<std::uint8_t>(event.size() - 3);
  return event;
}

inline Bytes advertising_event(const Advert &report) {
  return advertising_event(std::vector{report});
}

// Flags AD structure and an iBeacon carrying uuid (16 bytes); lead puts that
// many extra bytes in front of the flags, moving the prefix back.
inline Bytes ibeacon_data(const Bytes &uuid, std::size_t lead = 0) {
  Bytes data(lead, 0x00);
  Bytes body = {0x02, 0x01, 0x06, 0x1A, 0xFF, 0x4C, 0x00, 0x02, 0x15};
  data.insert(data.end(), body.begin(), body.end());
  data.insert(data.end(), uuid.begin(), uuid.end());
  Bytes tail = {0x00, 0x01, 0x00, 0x02, 0xC5};
  data.insert(data.end(), tail.begin(), tail.end());
  return data;
}

inline std::string hex8(std::int64_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08lX",
                static_cast<unsigned long>(static_cast<std::uint32_t>(value)));
  return text;
}

inline bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds timeout = 10s) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// Sleeps to just after a whole second of the monotonic clock, so a window
// started now has (almost) its full length ahead.
inline void align_to_second() {
  const auto now = std::chrono::steady_clock::now();
  const auto next = std::chrono::ceil<std::chrono::seconds>(now) + 20ms;
  std::this_thread::sleep_until(next);
}

inline void set_list(gw::FilterList &list, const std::vector<std::string> &entries) {
  list = {};
  list.count = static_cast<std::uint8_t>(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    std::snprintf(list.entries[i], sizeof list.entries[i], "%s", entries[i].c_str());
  }
}

// Each test starts from a fresh sandbox, a default configuration with the
// database in the sandbox's /tmp, and every counter at 0.
class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(gwtest::reset_sandbox());
    sensor_handler::service_config = sensor_handler::ServiceConfig{};
    std::snprintf(sensor_handler::service_config.db_path,
                  sizeof sensor_handler::service_config.db_path, "%s", database_path);
    sensor_handler::reset_raw_path_counters();
    sensor_handler::reset_smoothing_path_counters();
    sensor_handler::reset_handoff();
    ASSERT_EQ(sensor_handler::open_beacon_db(), 0);
  }

  void TearDown() override {
    stop();
    sensor_handler::close_beacon_db();
  }

  // Starts the reader and thread_one, and thread_two while smoothing is on.
  void start() {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends_), 0);
    running_ = true;
    ASSERT_EQ(pthread_create(&thread_one_, nullptr, sensor_handler::thread_one, nullptr), 0);
    if (sensor_handler::service_config.smoothing_filter != 0) {
      ASSERT_EQ(pthread_create(&thread_two_, nullptr, sensor_handler::thread_two, nullptr), 0);
      with_thread_two_ = true;
    }
    reader_ = std::thread([fd = ends_[0]] {
      while (sensor_handler::service_running()) sensor_handler::read_advertising_reports(fd, 1, 1);
    });
  }

  void send(const Bytes &event) {
    ASSERT_EQ(write(ends_[1], event.data(), event.size()), static_cast<ssize_t>(event.size()));
  }
  void send(const Advert &report) { send(advertising_event(report)); }

  // True once the paths have finished with the count-th report handed off.
  bool taken(std::uint64_t count) {
    const bool smoothing = with_thread_two_;
    return wait_until([&] {
      using namespace sensor_handler;
      return pipeline_counters.DC.in.load() == count && raw_pending.load() == 0 &&
             (!smoothing || (pipeline_counters.RC.in.load() == count && smooth_pending.load() == 0));
    });
  }

  // Raises the stop as the service does and joins everything; the flags are
  // clear again afterwards.
  void stop() {
    if (!running_) return;
    sensor_handler::request_restart();
    if (ends_[1] >= 0) shutdown(ends_[1], SHUT_RDWR);
    reader_.join();
    pthread_join(thread_one_, nullptr);
    if (with_thread_two_) pthread_join(thread_two_, nullptr);
    with_thread_two_ = false;
    running_ = false;
    for (int &fd : ends_) {
      close(fd);
      fd = -1;
    }
    sensor_handler::clear_restart_request();
    gw::clear_pacing_cancelled();
  }

  static std::vector<gwtest::BeaconRow> rows() {
    gwtest::DbReader reader(database_path);
    EXPECT_TRUE(reader.ok());
    return reader.rows();
  }
  // PAYLOAD (raw) or PAYLOAD2 (smoothed) texts in DBID order.
  static std::vector<std::string> payloads(bool smoothed = false) {
    std::vector<std::string> texts;
    for (const auto &row : rows()) {
      const auto &text = smoothed ? row.payload2 : row.payload;
      if (text) texts.push_back(*text);
    }
    return texts;
  }

 private:
  int ends_[2] = {-1, -1};
  bool running_ = false;
  bool with_thread_two_ = false;
  pthread_t thread_one_{};
  pthread_t thread_two_{};
  std::thread reader_;
};

}  // namespace pipeline_rig
