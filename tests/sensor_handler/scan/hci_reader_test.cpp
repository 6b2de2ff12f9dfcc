// The read phase on one end of a socketpair: the test writes HCI events as
// the raw socket delivers them, one per datagram, while consumer threads
// take the hand-off the way thread_one and thread_two do.
#include "scan/hci_reader.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fstream>
#include <future>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "config/configuration.h"
#include "stop/stop_flags.h"
#include "pipeline/pipeline_counters.h"
#include "pipeline/raw_window.h"
#include "pipeline/report_handoff.h"
#include "scan/extended_reassembly.h"
#include "sandbox.h"
#include "stdout_capture.h"

namespace sensor_handler {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

Bytes captured(const char *name) {
  std::ifstream file(std::string(GW_SOURCE_DIR) + "/tests/data/hci/" + name);
  Bytes bytes;
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string word;
    while (words >> word) bytes.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
  }
  EXPECT_FALSE(bytes.empty()) << name;
  return bytes;
}

// 04 3E len 02 01 <report>, the report from one address byte and one data byte.
Bytes advert(std::uint8_t tag, std::int8_t rssi = -60) {
  Bytes event = {0x04, 0x3E, 0x00, 0x02, 0x01, 0x00, 0x00, tag,
                 0x22, 0x33, 0x44, 0x55, 0x66, 0x01, tag,  static_cast<std::uint8_t>(rssi)};
  event[2] = static_cast<std::uint8_t>(event.size() - 3);
  return event;
}

std::string describe(const BeaconReport &report) {
  char address[address_text_size];
  char payload[payload_text_size];
  address_text(report, address);
  payload_text(report, payload);
  return std::string(address) + "/" + payload + "/" + std::to_string(report.rssi());
}

// The text of the first report of an event that fits.
std::string first_report_text(const Bytes &event) {
  BeaconReport report;
  EXPECT_EQ(parse_beacon_report(event.data() + 5, event.size() - 5, &report), 0);
  return describe(report);
}

// One event carrying the reports of the given single-report events.
Bytes packed(const std::vector<Bytes> &events) {
  Bytes event = {0x04, 0x3E, 0x00, 0x02, static_cast<std::uint8_t>(events.size())};
  for (const Bytes &single : events) event.insert(event.end(), single.begin() + 5, single.end());
  event[2] = static_cast<std::uint8_t>(event.size() - 3);
  return event;
}

// Appends the extended report a BLE 5 controller gives for the
// advertisement of a one-report legacy event: primary PHY 1M, no secondary
// PHY, SID, TX power, periodic interval or direct address.
void add_extended(Bytes &bytes, std::uint16_t type, const Bytes &legacy) {
  const std::uint8_t *r = legacy.data() + 5;
  bytes.insert(bytes.end(), {static_cast<std::uint8_t>(type), static_cast<std::uint8_t>(type >> 8),
                             r[1], r[2], r[3], r[4], r[5], r[6], r[7], 0x01, 0x00, 0xFF, 0x7F,
                             r[9 + r[8]], 0, 0, 0, 0, 0, 0, 0, 0, 0});
  bytes.insert(bytes.end(), r + 8, r + 9 + r[8]);
}

// The PAYLOAD3 text of an extended advertisement received at time 0.
std::string describe(const ExtendedAdvert &advert) {
  static char text[payload3_text_size];  // one raw consumer at a time
  payload3_text(advert, true, 0, text);
  return text;
}

// An LE Extended Advertising Report event of one report that is no legacy
// PDU: TX power -8, RSSI -70, address {tag 22 33 44 55 66}.
Bytes extended(std::uint16_t type, std::uint8_t tag, std::uint8_t sid, const Bytes &data,
               std::uint8_t address_type = 1, std::uint8_t primary = 1,
               std::uint8_t secondary = 0, std::uint16_t periodic = 0) {
  Bytes event = {0x04, 0x3E, 0x00, 0x0D, 0x01, static_cast<std::uint8_t>(type),
                 static_cast<std::uint8_t>(type >> 8), address_type, tag, 0x22, 0x33, 0x44,
                 0x55, 0x66, primary, secondary, sid, 0xF8, 0xBA,
                 static_cast<std::uint8_t>(periodic), static_cast<std::uint8_t>(periodic >> 8),
                 0, 0, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(data.size())};
  event.insert(event.end(), data.begin(), data.end());
  event[2] = static_cast<std::uint8_t>(event.size() - 3);
  return event;
}

std::string hex(const Bytes &bytes) {
  std::string text;
  char two[3];
  for (std::uint8_t byte : bytes) {
    std::snprintf(two, sizeof two, "%02X", byte);
    text += two;
  }
  return text;
}

void raise_stop() {
  exit_requested.store(true);
  wake_handoff_waiters();
}

// A processing thread: takes each report, reads it again after `work` to
// see that the reader left it alone, and records it. With a `window` it
// waits as the windows do, each wait ending at a deadline that many
// microseconds ahead.
class Consumer {
 public:
  enum class Path { raw, smooth };
  explicit Consumer(Path path, std::chrono::microseconds work = 0us,
                    std::chrono::microseconds window = 0us)
      : path_(path), work_(work), window_(window), thread_([this] { run(); }) {}
  ~Consumer() {
    raise_stop();
    join();
  }

  void join() {
    if (thread_.joinable()) thread_.join();
  }
  bool wait_for_count(std::size_t count) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, 10s, [&] { return seen_.size() >= count; });
  }
  std::vector<std::string> seen() {
    std::lock_guard<std::mutex> hold(lock_);
    return seen_;
  }
  bool torn() const { return torn_; }

 private:
  const BeaconReport *take() {
    const bool raw = path_ == Path::raw;
    if (window_ == 0us) return raw ? wait_raw_report() : wait_smooth_report();
    for (;;) {
      const auto end = std::chrono::steady_clock::now() + window_;
      const BeaconReport *report = raw ? wait_raw_report_until(end) : wait_smooth_report_until(end);
      if (report != nullptr || !service_running()) return report;
    }
  }
  void run() {
    for (;;) {
      const BeaconReport *report = take();
      if (report != nullptr) {
        const ExtendedAdvert *advert =
            path_ == Path::raw ? current_extended.load(std::memory_order_acquire) : nullptr;
        const auto text_now = [&] { return advert ? describe(*advert) : describe(*report); };
        const std::string text = text_now();
        if (work_ > 0us) std::this_thread::sleep_for(work_);
        if (text_now() != text) torn_ = true;
        std::lock_guard<std::mutex> hold(lock_);
        seen_.push_back(text);
        changed_.notify_all();
      }
      path_ == Path::raw ? finish_raw_report() : finish_smooth_report();
      if (report == nullptr) return;
    }
  }

  Path path_;
  std::chrono::microseconds work_;
  std::chrono::microseconds window_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> seen_;
  std::atomic<bool> torn_{false};
  std::thread thread_;
};

class HciReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gwtest::reset_sandbox();
    service_config = ServiceConfig{};
    exit_requested.store(false);
    restart_requested.store(false);
    reset_handoff();
    reset_scan_counters();
    clear_reassembly();
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends_), 0);
  }
  void TearDown() override {
    raise_stop();
    for (int fd : ends_) {
      if (fd >= 0) close(fd);
    }
    exit_requested.store(false);
  }

  void send(const Bytes &event) {
    ASSERT_EQ(write(ends_[1], event.data(), event.size()), static_cast<ssize_t>(event.size()));
  }
  void hang_up() {
    close(ends_[1]);
    ends_[1] = -1;
  }
  // Runs one phase on another thread; false when it had not ended after
  // ten seconds (it is then stopped so the test can go on).
  bool phase_ends(std::uint16_t seconds) {
    auto phase = std::async(std::launch::async,
                            [&] { return read_advertising_reports(ends_[0], seconds, 1); });
    if (phase.wait_for(10s) == std::future_status::ready) {
      last_ = phase.get();
      return true;
    }
    raise_stop();
    phase.wait();
    return false;
  }

  int ends_[2] = {-1, -1};
  ReadPhaseResult last_;
};

const std::string first_tag = "665544332201/01/-60";

// Events queued before the phase (taken without a select) and events that
// arrive once the queue is empty (each waited for) come out in one order.
TEST_F(HciReaderTest, EachEventIsHandedToBothConsumersOneAtATime) {
  service_config.smoothing_filter = 1;
  Consumer raw(Consumer::Path::raw, 300us);
  Consumer smooth(Consumer::Path::smooth, 1ms);
  std::vector<std::string> expected;
  const auto send_tags = [&](std::uint8_t first, std::uint8_t last) {
    for (std::uint8_t tag = first; tag <= last; ++tag) {
      send(advert(tag, static_cast<std::int8_t>(-tag)));
      expected.push_back(first_report_text(advert(tag, static_cast<std::int8_t>(-tag))));
    }
  };
  send_tags(1, 40);
  auto phase =
      std::async(std::launch::async, [&] { return read_advertising_reports(ends_[0], 30, 1); });
  ASSERT_TRUE(smooth.wait_for_count(40));
  std::this_thread::sleep_for(5ms);  // the reader now waits in select
  send_tags(41, 60);
  hang_up();
  ASSERT_EQ(phase.wait_for(10s), std::future_status::ready);
  last_ = phase.get();
  EXPECT_TRUE(last_.device_gone) << "end of file: the controller went away";
  EXPECT_EQ(last_.advertising_events, 60u);
  EXPECT_EQ(raw.seen(), expected);
  EXPECT_EQ(smooth.seen(), expected);
  EXPECT_FALSE(raw.torn() || smooth.torn()) << "the buffer changed under a consumer";
}

// Deadlines that pass while reports are raised and finished: no report is
// lost between a wait that timed out and the next, and none is taken twice.
TEST_F(HciReaderTest, WaitsEndingAtTheirDeadlinesMissNoReport) {
  service_config.smoothing_filter = 1;
  Consumer raw(Consumer::Path::raw, 0us, 30us);
  Consumer smooth(Consumer::Path::smooth, 0us, 70us);
  auto phase =
      std::async(std::launch::async, [&] { return read_advertising_reports(ends_[0], 30, 1); });
  std::vector<std::string> expected;
  for (int n = 0; n < 400; ++n) {
    const Bytes event = advert(static_cast<std::uint8_t>(n), static_cast<std::int8_t>(-(n % 90)));
    send(event);
    expected.push_back(first_report_text(event));
    if (n % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(n % 100));
  }
  hang_up();
  ASSERT_EQ(phase.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(raw.seen(), expected);
  EXPECT_EQ(smooth.seen(), expected);
}

TEST_F(HciReaderTest, WithoutSmoothingOnlyThreadOneGatesTheReader) {
  Consumer raw(Consumer::Path::raw);
  for (std::uint8_t tag = 1; tag <= 3; ++tag) send(advert(tag));
  hang_up();
  EXPECT_TRUE(phase_ends(5));
  EXPECT_EQ(raw.seen().size(), 3u);
  EXPECT_EQ(smooth_pending.load(), 0);
  EXPECT_EQ(wait_smooth_report_until(std::chrono::steady_clock::now() + 10ms), nullptr);
}

TEST_F(HciReaderTest, EveryReportOfAnEventIsHandedOnInTurn) {
  service_config.smoothing_filter = 1;
  Consumer raw(Consumer::Path::raw, 300us);
  Consumer smooth(Consumer::Path::smooth);
  send(captured("ibeacon.hex"));
  send(captured("two_reports.hex"));
  send(packed({advert(1), advert(2), advert(3)}));
  // The event's length ends inside its third report; a count above the
  // reports carried stops at the bytes read.
  Bytes cut = packed({advert(4), advert(5), advert(6)});
  cut[2] = static_cast<std::uint8_t>(cut[2] - 1);
  send(cut);
  Bytes overcounted = packed({advert(7)});
  overcounted[4] = 3;
  send(overcounted);
  hang_up();
  EXPECT_TRUE(phase_ends(5));
  const std::vector<std::string> expected = {
      "C47C8D6A210F/0201061AFF4C000215E2C56DB5DFFB48D2B060D0F5A71096E000010002C5/-59",
      "665544332211/020106/-60", "AABBCCDDEEFF/0109/-70",
      first_report_text(advert(1)), first_report_text(advert(2)), first_report_text(advert(3)),
      first_report_text(advert(4)), first_report_text(advert(5)), first_report_text(advert(7))};
  EXPECT_EQ(raw.seen(), expected);
  EXPECT_EQ(smooth.seen(), expected);
  EXPECT_FALSE(raw.torn() || smooth.torn());
}

// Other LE subevents and extended reports come between the reports: the
// phase reads past them, hands on the legacy advertisements among the
// extended reports, and counts what it does not hand on.
TEST_F(HciReaderTest, OtherSubeventsAndExtendedReportsDoNotEndThePhase) {
  Consumer raw(Consumer::Path::raw);
  send(advert(1));
  send(captured("connection_complete.hex"));
  // A scan enable's answer that came after its wait: byte 3 (two commands
  // the controller can take) must not read as an advertising report.
  send({0x04, 0x0E, 0x04, 0x02, 0x0C, 0x20, 0x00});
  Bytes too_long = advert(0xE3);  // a legacy PDU claiming 32 data bytes
  too_long[13] = 32;
  too_long.insert(too_long.end() - 1, 31, 0xE3);
  Bytes event = {0x04, 0x3E, 0x00, 0x0D, 6};
  for (const auto &[type, legacy] : std::vector<std::pair<std::uint16_t, Bytes>>{
           {0x10, advert(2)}, {0x00, advert(0xE1)}, {0x20, advert(0xE2)}, {0x10, too_long},
           {0x13, advert(3)}, {0x10, advert(9)}})
    add_extended(event, type, legacy);
  event[2] = static_cast<std::uint8_t>(event.size() - 4);  // the last report runs past it
  send(event);
  hang_up();
  EXPECT_TRUE(phase_ends(5));
  std::vector<std::string> expected = {first_tag};
  for (std::uint8_t tag : {2, 3}) expected.push_back(first_report_text(advert(tag)));
  EXPECT_EQ(raw.seen(), expected);
  EXPECT_EQ(last_.advertising_events, 2u);
  EXPECT_EQ(scan_counters.other_subevents.load(), 1u);
  EXPECT_EQ(scan_counters.legacy_in_extended.load(), 2u);
  EXPECT_EQ(scan_counters.extended_not_stored.load(), 1u) << "complete, not more to come";
}

// Extended advertisements are joined per advertiser (address type,
// address, SID) in a few slots and handed to thread_one alone; what cannot
// be completed is dropped and counted, and so is the rest of it.
TEST_F(HciReaderTest, ExtendedChainsAreJoinedPerAdvertiserInBoundedSlots) {
  service_config.extended_scanning = 2;
  service_config.max_extended_data = 40;
  service_config.smoothing_filter = 1;
  Consumer raw(Consumer::Path::raw);
  Consumer smooth(Consumer::Path::smooth);
  constexpr std::uint16_t more = 0x20, truncated = 0x40;
  const Bytes a1(20, 0xA1), a2(25, 0xA2), b(10, 0xB1);
  // A chain with another advertiser's report between its parts, cut at 40.
  send(extended(more | 0x01, 0xA1, 1, a1));
  send(extended(0x03, 0xB1, 2, b, 1, 3, 2, 0x50));
  send(extended(0x01, 0xA1, 1, a2));
  send(extended(more, 0xC1, 1, {1, 2}));
  send(extended(truncated, 0xC1, 1, {3}));
  send(extended(0x00, 0x99, 3, {0xEE, 0xEE}, 0xFF));  // anonymous
  // Five chains at once: the first is evicted and its end skipped.
  for (std::uint8_t tag = 0xD1; tag <= 0xD5; ++tag) send(extended(more, tag, 4, Bytes(3, tag)));
  for (std::uint8_t tag = 0xD1; tag <= 0xD5; ++tag) send(extended(0x00, tag, 4, {0x0E}));
  send(extended(more, 0xE1, 5, {1}));
  ASSERT_TRUE(phase_ends(0));
  ASSERT_TRUE(phase_ends(0));
  // A whole phase went by: the chain is gone, its end is no advertisement.
  send(extended(0x00, 0xE1, 5, {2}));
  ASSERT_TRUE(phase_ends(0));

  std::vector<std::string> expected = {
      "6655443322B1" "01BAF8030202" "03" "000A" + hex(b) + "00000000",
      "6655443322A1" "01BAF8010001" "11" "0028" + hex(a1) + hex(Bytes(20, 0xA2)) + "00000000",
      "000000000000" "FFBAF8010003" "00" "0002EEEE00000000"};
  for (std::uint8_t tag = 0xD2; tag <= 0xD5; ++tag) {
    expected.push_back(hex({0x66, 0x55, 0x44, 0x33, 0x22, tag}) + "01BAF801000400" + "0004" +
                       hex({tag, tag, tag, 0x0E}) + "00000000");
  }
  EXPECT_EQ(raw.seen(), expected);
  EXPECT_TRUE(smooth.seen().empty());
  EXPECT_FALSE(raw.torn());
  EXPECT_EQ(scan_counters.extended_chains_dropped.load(), 3u) << "truncated, evicted, aged";
  EXPECT_EQ(scan_counters.extended_cut.load(), 1u);
  EXPECT_EQ(scan_counters.extended_periodic.load(), 1u);
  EXPECT_EQ(scan_counters.extended_not_stored.load(), 0u);
}

// Each event of real captured traffic, heard as an extended report, turns
// back into the very bytes of its legacy report: the pipeline makes the
// same rows of it.
TEST(ExtendedReport, RealTrafficConvertsToItsOwnLegacyReports) {
  std::ifstream file(std::string(GW_SOURCE_DIR) + "/tests/data/hci/real-adv.txt");
  constexpr std::uint16_t types[] = {0x13, 0x15, 0x12, 0x10, 0x1B};
  std::string line;
  int events = 0;
  for (; std::getline(file, line); ++events) {
    Bytes legacy = {0x04};
    for (std::size_t at = 0; line[at] != '\t'; at += 2)
      legacy.push_back(static_cast<std::uint8_t>(std::stoul(line.substr(at, 2), nullptr, 16)));
    // A scan response answers an ADV_IND or an ADV_SCAN_IND.
    const std::uint16_t type = legacy[5] == 4 && events % 2 == 1 ? 0x1A : types[legacy[5]];
    Bytes report;
    add_extended(report, type, legacy);
    ExtendedReport view;
    BeaconReport converted;
    std::uint8_t bytes[legacy_report_capacity];
    ASSERT_EQ(parse_extended_report(report.data(), report.size(), &view), 0);
    ASSERT_EQ(legacy_report_from_extended(view, bytes, &converted), 0) << line;
    EXPECT_EQ(Bytes(converted.bytes(), converted.bytes() + converted.size()),
              Bytes(legacy.begin() + 5, legacy.end())) << line;
  }
  EXPECT_EQ(events, 1772);
}

TEST_F(HciReaderTest, EventsThatLieAboutTheirLengthAreSkipped) {
  Consumer raw(Consumer::Path::raw);
  Bytes too_much_data = advert(3);
  too_much_data[13] = 32;
  too_much_data.resize(5 + 10 + 32, 0x00);
  too_much_data[2] = static_cast<std::uint8_t>(too_much_data.size() - 3);
  Bytes declared_short = advert(4);
  declared_short[2] = 8;  // the event says its report ends before the RSSI
  Bytes no_reports = advert(5);
  no_reports[4] = 0;
  Bytes header_only = {0x04, 0x3E, 0x02, 0x02, 0x01};

  for (const Bytes &event : {captured("lying_length.hex"), too_much_data, declared_short,
                             no_reports, header_only, advert(1)}) {
    send(event);
  }
  hang_up();
  EXPECT_TRUE(phase_ends(5));
  EXPECT_EQ(raw.seen(), std::vector<std::string>{first_tag});
}

TEST_F(HciReaderTest, ShortReadIsSkippedAReadFailureReportsTheDeviceGone) {
  Consumer raw(Consumer::Path::raw);
  send({0x04, 0x3E, 0x01, 0x02});
  send({0x04, 0x3E});
  send(advert(1));
  EXPECT_TRUE(phase_ends(1));
  EXPECT_FALSE(last_.device_gone);
  EXPECT_EQ(raw.seen(), std::vector<std::string>{first_tag});

  // Readable at once, and every read fails (EISDIR).
  const int folder = open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(folder, 0);
  EXPECT_TRUE(read_advertising_reports(folder, 5, 1).device_gone);
  EXPECT_FALSE(discard_queued_events(folder));
  close(folder);
}

TEST_F(HciReaderTest, StopWhilePendingReturnsAndLeavesTheReportIntact) {
  service_config.smoothing_filter = 1;
  send(advert(1));
  auto phase =
      std::async(std::launch::async, [&] { return read_advertising_reports(ends_[0], 30, 1); });
  const BeaconReport *report = wait_raw_report_until(std::chrono::steady_clock::now() + 5s);
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(smooth_pending.load(), 1);
  raise_stop();
  ASSERT_EQ(phase.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(describe(*report), first_tag) << "the report outlives the phase";
  EXPECT_EQ(raw_pending.load(), 1);
  EXPECT_EQ(wait_raw_report(), nullptr) << "after a stop the report is not taken again";
  finish_raw_report();
  finish_smooth_report();
  EXPECT_EQ(raw_pending.load() | smooth_pending.load(), 0);
}

TEST_F(HciReaderTest, StopWakesEveryWaiterWhateverTheTiming) {
  for (int round = 0; round < 300; ++round) {
    exit_requested.store(false);
    Consumer raw(Consumer::Path::raw);
    Consumer smooth(Consumer::Path::smooth);
    auto phase =
        std::async(std::launch::async, [&] { return read_advertising_reports(ends_[0], 60, 1); });
    if (round % 2 == 0) std::this_thread::sleep_for(std::chrono::microseconds(round % 50));
    raise_stop();
    ASSERT_EQ(phase.wait_for(5s), std::future_status::ready) << "round " << round;
    raw.join();
    smooth.join();
  }
}

TEST_F(HciReaderTest, TimedWaitReturnsAtTheDeadline) {
  EXPECT_EQ(wait_raw_report_until(std::chrono::steady_clock::now() + 20ms), nullptr);
  EXPECT_EQ(wait_smooth_report_until(std::chrono::steady_clock::now() - 1s), nullptr);
}

TEST_F(HciReaderTest, ZeroDurationDrainsTheQueueOnly) {
  Consumer raw(Consumer::Path::raw);
  for (std::uint8_t tag = 1; tag <= 3; ++tag) send(advert(tag));
  EXPECT_TRUE(phase_ends(0));
  EXPECT_EQ(raw.seen().size(), 3u);
}

TEST_F(HciReaderTest, NegativeScanDurationDoesNotHoldThePhase) {
  service_config.scan_duration = -1;
  EXPECT_TRUE(phase_ends(0xFFFF));
}

// Steady advertising keeps the socket readable at every look: the phase
// still ends at its deadline.
TEST_F(HciReaderTest, SteadyAdvertisingEndsAtTheDeadline) {
  Consumer raw(Consumer::Path::raw, 200us);
  std::atomic<bool> sending{true};
  std::thread sender([&] {
    for (std::uint8_t tag = 0; sending.load(); ++tag) {
      const Bytes event = advert(tag);
      if (::send(ends_[1], event.data(), event.size(), MSG_NOSIGNAL) < 0) break;
    }
  });
  EXPECT_TRUE(phase_ends(1));
  sending.store(false);
  shutdown(ends_[0], SHUT_RD);
  sender.join();
  EXPECT_FALSE(raw.seen().empty());
}

TEST_F(HciReaderTest, SelectFailurePrintsOnce) {
  {
    gwtest::StdoutCapture output;
    EXPECT_FALSE(read_advertising_reports(FD_SETSIZE + 5, 1, 1).device_gone);
    const int closed = dup(ends_[0]);
    close(closed);
    EXPECT_FALSE(read_advertising_reports(closed, 1, 1).device_gone);
    EXPECT_EQ(output.text(),
              "ZENTIB_ERROR : SENSOR1 : Select error\n\r"
              "ZENTIB_ERROR : SENSOR1 : Select error\n\r");
  }

  // A signal whose handler does not restart calls interrupts the wait.
  struct sigaction action {};
  action.sa_handler = [](int) {};
  struct sigaction previous {};
  sigaction(SIGUSR2, &action, &previous);
  gwtest::StdoutCapture output;
  std::atomic<bool> done{false};
  std::thread phase([&] {
    read_advertising_reports(ends_[0], 30, 1);
    done.store(true);
  });
  for (int i = 0; i < 1000 && !done.load(); ++i) {
    pthread_kill(phase.native_handle(), SIGUSR2);
    std::this_thread::sleep_for(10ms);
  }
  phase.join();
  sigaction(SIGUSR2, &previous, nullptr);
  EXPECT_EQ(output.text(), "ZENTIB_ERROR : SENSOR1 : Select error\n\r");
}

// Thousands of malformed advertising events, each followed by a good one:
// the reader skips every bad one, stays in its phase, and hands on exactly
// the reports that fit the bytes sent.
TEST_F(HciReaderTest, RandomMalformedEventsNeverEndOrCorruptThePhase) {
  service_config.smoothing_filter = 1;
  service_config.uuid_filtering = 1;
  service_config.mac_filtering = 2;
  Consumer raw(Consumer::Path::raw);
  Consumer smooth(Consumer::Path::smooth);
  std::mt19937 random(7);
  std::vector<Bytes> events;
  std::vector<std::string> expected;
  for (int round = 0; round < 4000; ++round) {
    Bytes event(5 + random() % 60);
    for (auto &byte : event) byte = static_cast<std::uint8_t>(random());
    event[0] = 0x04, event[1] = 0x3E, event[3] = 0x02;
    if (round % 2 == 0) event[2] = static_cast<std::uint8_t>(event.size() - 3);
    if (round % 3 == 0 && event.size() > 13) event[13] = static_cast<std::uint8_t>(random() % 40);
    if (round % 4 == 0 && event.size() >= 17 + 6)
      std::memcpy(&event[17], "\x1A\xFF\x4C\x00\x02\x15", 6);
    // What the reports may use: the bytes sent and the length the event
    // states; each report follows the one before it whole.
    const std::size_t usable = std::min<std::size_t>(event.size(), 3u + event[2]);
    BeaconReport report;
    for (std::size_t index = 0, at = 5;
         index < event[4] && at < usable &&
         parse_beacon_report(event.data() + at, usable - at, &report) == 0;
         ++index, at += report.size()) {
      ASSERT_LE(at + report.size(), usable);
      expected.push_back(describe(report));
      (void)uuid_filter(report);
      (void)mac_filter(report);
    }
    events.push_back(event);
    events.push_back(advert(static_cast<std::uint8_t>(round)));
    expected.push_back(first_report_text(events.back()));
  }
  std::thread sender([&] {
    for (const Bytes &event : events) {
      if (::send(ends_[1], event.data(), event.size(), MSG_NOSIGNAL) < 0) break;
    }
    hang_up();
  });
  EXPECT_TRUE(phase_ends(60));
  sender.join();
  EXPECT_EQ(raw.seen(), expected);
  EXPECT_EQ(smooth.seen(), expected);
}

}  // namespace
}  // namespace sensor_handler
