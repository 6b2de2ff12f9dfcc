// The command line of sensor_handler, seen from outside: the real program
// run in the sandbox.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "config/device_files.h"
#include "gateway_process.h"
#include "sandbox.h"
#include "signal_recorder.h"

namespace {

using namespace std::chrono_literals;

std::string usage(const std::string &program) {
  return "Zentib tobix Sensor Handler\n\r"
         "========================\n\r"
         "Verison 1.3\n\r"
         "Usage:\n\r" +
         program + " <Parent Process ID> <Status PID>\n\r";
}

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(gwtest::reset_sandbox());
    ASSERT_TRUE(recorder_.ok());
  }

  // Runs the program to its end; returns its exit status and output.
  std::pair<int, std::string> run(const std::vector<std::string> &arguments) {
    gwtest::GatewayProcess gateway(gwtest::program_path("sensor_handler"), "sensor_handler",
                                   arguments);
    EXPECT_TRUE(gateway.ok());
    auto status = gateway.wait_exit(20s);
    EXPECT_TRUE(status && status->exited());
    return {status ? status->code : -1, gateway.stdout_text()};
  }

  gwtest::SignalRecorder recorder_;
};

TEST_F(CommandLine, TooFewArgumentsShowTheUsage) {
  const std::string pid = std::to_string(recorder_.pid());
  for (const auto &arguments : {std::vector<std::string>{}, std::vector<std::string>{pid}}) {
    auto [code, output] = run(arguments);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(output, "ZENTIB_ERROR : Insufficient number of arguments\n\r" + usage("sensor_handler"));
  }
  EXPECT_TRUE(recorder_.signals().empty());
}

TEST_F(CommandLine, ProcessIdsMustBeNumbersOfRealProcesses) {
  const std::string pid = std::to_string(recorder_.pid());
  const std::string invalid = "ZENTIB_ERROR : Invalid PID Number\n";
  struct Case {
    std::vector<std::string> arguments;
    std::string lines;
  } cases[] = {
      {{"abc", pid}, "ZENTIB_ERROR : Invalid value\n" + invalid},
      {{pid, "abc"}, "ZENTIB_ERROR : Invalid value\n" + invalid},
      {{pid, "12x"}, "ZENTIB_ERROR : Invalid value\n" + invalid},
      {{"-1", pid}, "ZENTIB_ERROR : Invalid value\n" + invalid},
      {{pid, "99999999999"}, "ZENTIB_ERROR : Out of range\n" + invalid},
      // Init, our own process group and "every process" are never targets.
      {{"1", pid}, invalid},
      {{pid, "0"}, invalid},
      {{"4294967295", pid}, invalid},
      {{pid, "0xFFFFFFFF"}, invalid},
  };
  for (const Case &c : cases) {
    auto [code, output] = run(c.arguments);
    EXPECT_EQ(code, 1) << c.arguments[0] << ' ' << c.arguments[1];
    EXPECT_EQ(output, c.lines + usage("sensor_handler")) << c.arguments[0] << ' ' << c.arguments[1];
  }
  EXPECT_TRUE(recorder_.signals().empty());
}

TEST_F(CommandLine, HexadecimalAndOctalProcessIdsAreAccepted) {
  ASSERT_TRUE(gwtest::write_tobixlite_config());
  ASSERT_TRUE(gwtest::write_filter_files());
  char hex[16], octal[16];
  std::snprintf(hex, sizeof hex, "0x%X", static_cast<unsigned>(recorder_.pid()));
  std::snprintf(octal, sizeof octal, "0%o", static_cast<unsigned>(recorder_.pid()));
  for (const char *status_pid : {hex, octal}) {
    recorder_.clear();
    // 0x1F as the parent: accepted, and never signalled by a clean run.
    gwtest::GatewayProcess gateway({"0x1F", status_pid});
    ASSERT_TRUE(gateway.wait_for_output("LHI Rate", 20s)) << gateway.stdout_text();
    gateway.send_signal(SIGTERM);
    auto status = gateway.wait_exit(20s);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 0);
    // The teardown's signal reaches the process the text names.
    EXPECT_TRUE(recorder_.wait_for("SIGUSR1", 1, 10s)) << status_pid;
  }
}

}  // namespace
