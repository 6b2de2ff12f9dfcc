// The sandbox must give the programs the device's world: private /etc and
// /tmp, BusyBox as /bin/sh, the eth0 address, the fakes and GPIO files. If
// any of these silently fell back to the host's, the other suites would pass
// or fail for the wrong reason.
#include "gateway_process.h"
#include "sandbox.h"
#include "signal_recorder.h"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

class SandboxTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(gwtest::reset_sandbox()); }
};

TEST_F(SandboxTest, EtcIsAnOverlayThatResetStartsAfresh) {
  EXPECT_NE(gwtest::read_file("/proc/self/mounts").find("overlay /etc overlay"),
            std::string::npos);
  EXPECT_EQ(gwtest::read_file("/etc/openwrt_version"), "18.06.1\n");
  EXPECT_NE(gwtest::read_file("/etc/device_info").find("DEVICE_PRODUCT='ZX400'"),
            std::string::npos);

  ASSERT_TRUE(gwtest::write_file("/etc/gwtest_marker", "x"));
  ASSERT_TRUE(gwtest::write_file("/etc/openwrt_version", "99.0\n"));
  ASSERT_TRUE(gwtest::write_file("/tmp/gwtest_marker", "x"));
  ASSERT_TRUE(gwtest::reset_sandbox());
  EXPECT_FALSE(gwtest::file_exists("/etc/gwtest_marker"));
  EXPECT_FALSE(gwtest::file_exists("/tmp/gwtest_marker"));
  EXPECT_EQ(gwtest::read_file("/etc/openwrt_version"), "18.06.1\n");
  // The host's own files stay visible below the overlay.
  EXPECT_TRUE(gwtest::file_exists("/etc/passwd"));
}

TEST_F(SandboxTest, ShellIsBusyBoxAndItsKillTakesSignalNames) {
  gwtest::SignalRecorder recorder;
  ASSERT_TRUE(recorder.ok());
  gwtest::ShellResult result = gwtest::run_shell(
      "kill -SIGUSR1 " + std::to_string(recorder.pid()) + " >/dev/null 2>&1; "
      "kill -SIGTSTP " + std::to_string(recorder.pid()));
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(recorder.wait_for("SIGUSR1", 1, 5s));
  EXPECT_TRUE(recorder.wait_for("SIGTSTP", 1, 5s));
  std::vector<gwtest::RecordedSignal> got = recorder.signals();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_LE(got[0].time, got[1].time);
  EXPECT_LE(got[1].time, std::chrono::steady_clock::now());
}

TEST_F(SandboxTest, Eth0PipelineReadsTheKnownAddressOrNothing) {
  const std::string pipeline =
      "ifconfig eth0 | grep 'inet addr:' | cut -d: -f2 | awk '{ print  $1}'";
  EXPECT_EQ(gwtest::run_shell(pipeline).output, "198.51.100.7\n");
  ASSERT_TRUE(gwtest::remove_eth0_address());
  EXPECT_EQ(gwtest::run_shell(pipeline).output, "");
  ASSERT_TRUE(gwtest::reset_sandbox());
  EXPECT_EQ(gwtest::run_shell(pipeline).output, "198.51.100.7\n");
}

TEST_F(SandboxTest, FakesLogArgumentsAndTakeTheirOutputAndStatus) {
  gwtest::FakeCommand hciconfig("hciconfig");
  hciconfig.set_output("hci0:\tType: Primary  Bus: UART\n");
  EXPECT_EQ(gwtest::run_shell("hciconfig | grep hci0 > /dev/null 2>&1").status, 0);
  hciconfig.set_exit_status(1);
  EXPECT_EQ(gwtest::run_shell("hciconfig hci0 up > /dev/null 2>&1").status, 1);
  EXPECT_EQ(hciconfig.calls(), (std::vector<std::string>{"", "hci0 up"}));
  std::vector<gwtest::FakeCommand::Call> records = hciconfig.call_records();
  ASSERT_EQ(records.size(), 2u);
  // Stamped on the monotonic clock (at /proc/uptime's 10 ms resolution).
  EXPECT_LE(records[1].time, std::chrono::steady_clock::now() + 20ms);

  hciconfig.clear();
  EXPECT_TRUE(hciconfig.calls().empty());
  EXPECT_EQ(gwtest::run_shell("hciconfig").output, "");
}

TEST_F(SandboxTest, DaemonHciattachIsFoundByPgrepAndEndedByKill) {
  gwtest::FakeCommand hciattach("hciattach");
  hciattach.set_daemon(true);
  // The caller's redirection must not wait for the daemon: it keeps no
  // descriptor of the caller's.
  gwtest::ShellResult attach =
      gwtest::run_shell("hciattach -s 115200 /dev/ttyS1 texas noflow > /dev/null 2>&1", 5s);
  EXPECT_EQ(attach.status, 0);
  EXPECT_EQ(hciattach.calls(), (std::vector<std::string>{"-s 115200 /dev/ttyS1 texas noflow"}));
  std::vector<pid_t> daemons = hciattach.daemon_pids();
  ASSERT_EQ(daemons.size(), 1u);
  // pgrep may also list a daemon of an earlier test that init has not
  // reaped yet.
  EXPECT_NE(gwtest::run_shell("pgrep hciattach").output.find(std::to_string(daemons[0]) + "\n"),
            std::string::npos);

  gwtest::run_shell("kill `pgrep hciattach` >/dev/null 2>&1");
  EXPECT_TRUE(hciattach.wait_for_no_daemons(5s));
}

TEST_F(SandboxTest, DaemonStartedWithSigtermBlockedSurvivesKillUntilReset) {
  // What a command inherits from a caller that blocks its stop signals: the
  // daemon ignores the plain kill. The fake must reproduce that, or the
  // tests of the command helper could not see the fault.
  gwtest::FakeCommand hciattach("hciattach");
  hciattach.set_daemon(true);
  sigset_t term, previous;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &term, &previous), 0);
  // Through a GatewayProcess-like spawn the mask would be cleared, so the
  // blocked mask is handed over by the shell's own exec.
  pid_t child = fork();
  if (child == 0) {
    execl("/bin/sh", "sh", "-c", "hciattach -s 115200 /dev/ttyS1 texas noflow", nullptr);
    _exit(127);
  }
  ASSERT_EQ(pthread_sigmask(SIG_SETMASK, &previous, nullptr), 0);
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(hciattach.daemon_pids().size(), 1u);

  gwtest::run_shell("kill `pgrep hciattach` >/dev/null 2>&1");
  EXPECT_FALSE(hciattach.wait_for_no_daemons(500ms));
  ASSERT_TRUE(gwtest::reset_sandbox());
  EXPECT_TRUE(hciattach.daemon_pids().empty());
}

TEST_F(SandboxTest, GpioHasExportFilesLinesOnlyWhenMadeAndFifosTimeEachWrite) {
  EXPECT_TRUE(gwtest::file_exists("/sys/class/gpio/export"));
  EXPECT_TRUE(gwtest::file_exists("/sys/class/gpio/unexport"));
  EXPECT_FALSE(gwtest::file_exists(gwtest::gpio_path(17)));
  ASSERT_TRUE(gwtest::write_file("/sys/class/gpio/export", "17"));
  EXPECT_EQ(gwtest::read_gpio_export(), "17");
  EXPECT_FALSE(gwtest::file_exists(gwtest::gpio_path(17)));  // a plain file cannot export

  ASSERT_TRUE(gwtest::make_gpio_line(17));
  ASSERT_TRUE(gwtest::write_file(gwtest::gpio_path(17, "direction"), "out"));
  EXPECT_EQ(gwtest::read_gpio_file(17, "direction"), "out");
  EXPECT_EQ(gwtest::read_gpio_file(17, "value"), "");

  gwtest::GpioFifo value(18, "value");
  ASSERT_TRUE(value.ok());
  // A write-only open, as the programs do, must neither block nor fail.
  for (const char *level : {"1", "0"}) {
    int fd = open(gwtest::gpio_path(18, "value").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, level, 1), 1);
    close(fd);
    ASSERT_TRUE(value.wait_for_writes(level[0] == '1' ? 1 : 2, 5s));
  }
  std::vector<gwtest::GpioFifo::Write> writes = value.writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].bytes, "1");
  EXPECT_EQ(writes[1].bytes, "0");
  EXPECT_LE(writes[0].time, writes[1].time);

  ASSERT_TRUE(gwtest::reset_sandbox());
  EXPECT_FALSE(gwtest::file_exists(gwtest::gpio_path(17)));
  EXPECT_EQ(gwtest::read_gpio_export(), "");
}

TEST_F(SandboxTest, ProgramsStartWithCleanSignalsAndOnlyTheirPipes) {
  // The test process blocks SIGTERM; a program it starts must not inherit it.
  sigset_t term, previous;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &term, &previous), 0);
  int stray = open("/dev/null", O_RDONLY);  // without close-on-exec on purpose
  gwtest::GatewayProcess shell(
      {"-c", "grep SigBlk /proc/self/status; ls /proc/self/fd; printf 'done\\n\\rlast\\r\\n'"},
      "/bin/sh");
  ASSERT_EQ(pthread_sigmask(SIG_SETMASK, &previous, nullptr), 0);
  close(stray);
  ASSERT_TRUE(shell.ok());
  std::optional<gwtest::ExitStatus> status = shell.wait_exit(10s);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->code, 0);
  std::vector<gwtest::OutputLine> lines = shell.lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, "SigBlk:\t0000000000000000");
  // The system's "\n\r" ends a line; a "\r" elsewhere stays in the text.
  EXPECT_EQ(lines[lines.size() - 2].text, "done");
  EXPECT_EQ(lines[lines.size() - 2].ending, "\n\r");
  EXPECT_EQ(lines.back().text, "last\r");
  EXPECT_EQ(lines.back().ending, "\n");
  // ls itself opens its listing as descriptor 3.
  std::string listing = shell.stdout_text();
  EXPECT_EQ(listing.substr(listing.find('\n') + 1), "0\n1\n2\n3\ndone\n\rlast\r\n");
}

TEST_F(SandboxTest, ProgramsSeeTheChosenArgv0) {
  // The usage banner shows argv[0]; in the cross build the emulator must
  // pass it on.
  gwtest::GatewayProcess recorder(gwtest::program_path("signal_recorder"), "recorder-name", {});
  std::optional<gwtest::ExitStatus> status = recorder.wait_exit(10s);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->code, 2);
  EXPECT_EQ(recorder.stderr_text(), "usage: recorder-name <log file>\n");
}

TEST_F(SandboxTest, ProgramEndIsReportedEvenWhileItsChildHoldsThePipe) {
  // A daemon left holding the program's stdout (a descriptor leak) must not
  // stall the test: the end and the output so far still come back.
  gwtest::GatewayProcess shell({"-c", "sleep 6 & echo started; kill -TERM $$"}, "/bin/sh");
  auto begin = std::chrono::steady_clock::now();
  std::optional<gwtest::ExitStatus> status = shell.wait_exit(10s);
  ASSERT_TRUE(status);
  EXPECT_FALSE(status->exited());
  EXPECT_EQ(status->signal, SIGTERM);
  EXPECT_EQ(shell.stdout_text(), "started\n");
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
  EXPECT_FALSE(shell.wait_for_output("never printed", 50ms));
}

}  // namespace
