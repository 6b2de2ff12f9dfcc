#include "gw_command.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "config/device_files.h"
#include "gateway_process.h"
#include "process.h"
#include "signal_recorder.h"

namespace {

std::string read_output(const char *command) {
  gw::CommandPipe pipe(command);
  std::string text;
  if (pipe.stream() == nullptr) return text;
  char block[256];
  std::size_t got;
  while ((got = std::fread(block, 1, sizeof block, pipe.stream())) > 0) text.append(block, got);
  return text;
}

TEST(Command, ReportsTheShellsExitStatus) {
  EXPECT_EQ(gw::run_command("exit 0"), 0);
  EXPECT_EQ(gw::run_command("exit 7"), 7);
  EXPECT_EQ(gw::run_command("kill -KILL $$"), -1);
}

TEST(Command, ChildStartsWithNoBlockedOrIgnoredSignals) {
  // The gateway blocks its stop signals for the signal thread and ignores
  // SIGPIPE; a daemon it starts must still obey kill.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGUSR1);
  sigset_t previous;
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &stop_signals, &previous), 0);
  auto old_pipe = std::signal(SIGPIPE, SIG_IGN);

  // A program the shell starts, as hciattach would be.
  std::string status = read_output("/usr/bin/grep -E '^Sig(Blk|Ign)' /proc/self/status");

  std::signal(SIGPIPE, old_pipe);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  // Signals 1 to 31 (the C library may reserve real-time ones for itself).
  unsigned long long blocked = ~0ULL, ignored = ~0ULL;
  ASSERT_EQ(std::sscanf(status.c_str(), "SigBlk:\t%llx\nSigIgn:\t%llx", &blocked, &ignored), 2)
      << status;
  EXPECT_EQ(blocked & 0x7fffffffULL, 0u) << status;
  // BusyBox's shell ignores SIGQUIT itself; the signals the gateway touches
  // must reach the command at their defaults.
  for (int signal_number : {SIGPIPE, SIGTERM, SIGINT, SIGUSR1}) {
    EXPECT_EQ(ignored & (1ULL << (signal_number - 1)), 0u) << signal_number << ' ' << status;
  }
}

// Also a descriptor opened without close-on-exec, as a library's socket may be.
TEST(Command, ChildInheritsNoDescriptorOfOurs) {
  int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(null_fd, 0);
  int fd = fcntl(null_fd, F_DUPFD_CLOEXEC, 57);
  int plain_fd = fcntl(null_fd, F_DUPFD, 58);
  close(null_fd);
  ASSERT_EQ(fd, 57);
  ASSERT_EQ(plain_fd, 58);
  std::string listing = read_output("ls /proc/self/fd");
  close(fd);
  close(plain_fd);
  EXPECT_EQ(listing.find("57\n"), std::string::npos) << listing;
  EXPECT_EQ(listing.find("58\n"), std::string::npos) << listing;
  EXPECT_NE(listing.find("1\n"), std::string::npos) << listing;
}

TEST(Command, FormattedCommandThatWouldNotFitIsNotRun) {
  char marker[] = "/tmp/gw_cmd_XXXXXX";
  int fd = mkstemp(marker);
  ASSERT_GE(fd, 0);
  close(fd);
  unlink(marker);
  std::string padding(90, 'x');
  EXPECT_EQ(gw::run_command_formatted("touch %s # %s", marker, padding.c_str()), -1);
  EXPECT_NE(access(marker, F_OK), 0);
  EXPECT_EQ(gw::run_command_formatted("touch %s", marker), 0);
  EXPECT_EQ(access(marker, F_OK), 0);
  unlink(marker);
}

TEST(Command, PipeReadsTheWholeOutputAndReapsTheChild) {
  EXPECT_EQ(read_output("printf 'a b\\nc\\n'"), "a b\nc\n");
  gw::CommandPipe pipe("exit 3");
  ASSERT_NE(pipe.stream(), nullptr);
  EXPECT_EQ(pipe.close(), 3);
  EXPECT_EQ(pipe.close(), -1);
}

// A supervisor that ignores SIGCHLD passes that on through exec: the gateway
// must still see its commands succeed (the dongle back-off's hciconfig).
TEST(Command, GatewayStartedWithChildSignalIgnoredStillSeesTheStatus) {
  ASSERT_TRUE(gwtest::reset_sandbox());
  gwtest::SignalRecorder parent, status;
  gwtest::FakeCommand hciconfig("hciconfig");
  ASSERT_TRUE(gwtest::write_filter_files() &&
              gwtest::write_tobixlite_config({{"EN_S1", "1"}, {"en_usb_s1", "1"}, {"SR_S1", "0"}}));
  std::vector<std::string> arguments{"--ignore-signal=CHLD"};
  for (const std::string &word : gwtest::emulator_words()) arguments.push_back(word);
  arguments.insert(arguments.end(), {gwtest::program_path("sensor_handler"),
                                     std::to_string(parent.pid()), std::to_string(status.pid())});
  gwtest::GatewayProcess gateway(arguments, "/usr/bin/env");
  ASSERT_TRUE(hciconfig.wait_for_calls(2, std::chrono::seconds(30))) << gateway.stdout_text();
  gateway.send_signal(SIGTERM);
  ASSERT_TRUE(gateway.wait_exit(std::chrono::seconds(20)));
  EXPECT_EQ(gateway.stdout_text().find("Cannot Execute"), std::string::npos) << gateway.stdout_text();
}

}  // namespace
