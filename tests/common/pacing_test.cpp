#include "gw_pacing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>

#include "stdout_capture.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Step {
  std::uint32_t now;
  std::uint32_t wait;
  std::uint32_t deadline;
};

TEST(Pacing, FollowsThePacingRule) {
  // Period 15 with the deadline at 1000, called early, late and very late,
  // and exactly on time (a full period, deadline two periods ahead).
  const Step steps[] = {{990, 10, 1015}, {1003, 12, 1030}, {1040, 25, 1080}, {1000, 15, 1030}};
  for (const Step &step : steps) {
    std::uint32_t deadline = 1000;
    EXPECT_EQ(gw::next_period_wait(step.now, &deadline, 15), step.wait) << step.now;
    EXPECT_EQ(deadline, step.deadline) << step.now;
  }
}

TEST(Pacing, MonotonicClockNeverReadsZero) {
  EXPECT_GT(gw::pacing_clock_seconds(), 0u);
}

class PacingWait : public ::testing::Test {
 protected:
  void TearDown() override { gw::clear_pacing_cancelled(); }
};

TEST_F(PacingWait, CancelledWaitReturnsAtOnceAndKeepsTheDeadline) {
  gw::cancel_pacing();
  std::uint32_t deadline = gw::pacing_clock_seconds() + 3600;
  const std::uint32_t before = deadline;
  auto start = Clock::now();
  gw::wait_next_period(&deadline, 3600, 1);
  EXPECT_EQ(deadline, before);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

TEST_F(PacingWait, CancelEndsAWaitInProgress) {
  std::uint32_t deadline = gw::pacing_clock_seconds() + 3600;
  std::thread canceller([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    gw::cancel_pacing();
  });
  auto start = Clock::now();
  gw::wait_next_period(&deadline, 3600, 1);
  canceller.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
  EXPECT_TRUE(gw::pacing_sleep(60000));  // still cancelled: no sleep at all
}

TEST_F(PacingWait, ZeroPeriodSleepsBriefly) {
  std::uint32_t deadline = gw::pacing_clock_seconds();
  auto start = Clock::now();
  gw::wait_next_period(&deadline, 0, 1);
  auto took = Clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(45));
  EXPECT_LT(took, std::chrono::seconds(10));
}

TEST(FileSize, ReportsMebibytesAndExplainsAMissingFile) {
  char path[] = "/tmp/gw_size_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 1572864), 0);
  close(fd);
  float size = 0;
  EXPECT_EQ(gw::file_size_mib(path, &size, 1), 0);
  EXPECT_FLOAT_EQ(size, 1.5f);
  unlink(path);

  gwtest::StdoutCapture capture;
  EXPECT_EQ(gw::file_size_mib(path, &size, 1), 1);
  EXPECT_EQ(capture.text(),
            "ZENTIB_ERROR : SENSOR1 : Cannot Calculate Size\n\r"
            "ZENTIB_ERROR : SENSOR1 : Error = No such file or directory\n\r");
}

TEST(StopHandshake, ReturnsAtOnceWhenIdleAndWaitsForABusyLoop) {
  gw::stop_attach_and_wait();  // nothing in progress
  EXPECT_EQ(gw::attach_stop.load(), 1);
  gw::clear_attach_stop();
  EXPECT_EQ(gw::attach_stop.load(), 0);

  gw::mark_connect_busy();
  std::atomic<bool> returned{false};
  std::thread stopper([&] {
    gw::stop_connect_and_wait();
    returned = true;
  });
  // The loop sees the stop request, finishes its turn and goes idle.
  while (gw::connect_stop.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(returned.load());
  gw::mark_connect_idle();
  stopper.join();
  EXPECT_TRUE(returned.load());
  gw::clear_connect_stop();
}

}  // namespace
