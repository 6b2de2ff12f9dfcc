// The sysfs GPIO routines against the sandbox's /sys/class/gpio.
#include "gw_gpio.h"
#include "gw_hci.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "sandbox.h"
#include "stdout_capture.h"

namespace {

using namespace std::chrono_literals;
constexpr int line = 7;

// What the code writes to standard error (fd 2) while it lives.
class StderrCapture {
 public:
  StderrCapture() : file_(std::tmpfile()), saved_(dup(STDERR_FILENO)) {
    dup2(fileno(file_), STDERR_FILENO);
  }
  ~StderrCapture() { std::fclose(file_); }
  std::string text() {
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    std::string result(256, '\0');
    std::rewind(file_);
    result.resize(std::fread(result.data(), 1, result.size(), file_));
    return result;
  }

 private:
  std::FILE *file_;
  int saved_;
};

int open_descriptors() {
  int count = 0;
  DIR *folder = opendir("/proc/self/fd");
  while (dirent *entry = readdir(folder)) count += entry->d_name[0] != '.';
  closedir(folder);
  return count;
}

class Gpio : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(gwtest::reset_sandbox()); }
};

TEST_F(Gpio, WritesExactlyTheTextsTheKernelExpects) {
  ASSERT_TRUE(gwtest::make_gpio_line(line));
  gwtest::StdoutCapture output;

  EXPECT_EQ(gw::gpio_export(line), 0);
  EXPECT_EQ(gwtest::read_gpio_export(), "7");
  EXPECT_EQ(gw::gpio_set_direction(line, ""), 0);
  EXPECT_EQ(gwtest::read_gpio_file(line, "direction"), "");
  EXPECT_EQ(gw::gpio_set_direction(line, "out"), 0);
  EXPECT_EQ(gwtest::read_gpio_file(line, "direction"), "out");

  // Any non-zero value or flag is "1", one character, nothing else.
  for (auto [given, written] : {std::pair{5, "1"}, {0, "0"}, {-1, "1"}}) {
    for (const char *file : {"value", "active_low"}) {
      ASSERT_TRUE(gwtest::write_file(gwtest::gpio_path(line, file), ""));
      int result = file[0] == 'v' ? gw::gpio_write_value(line, given)
                                  : gw::gpio_set_active_low(line, given);
      EXPECT_EQ(result, 0);
      EXPECT_EQ(gwtest::read_gpio_file(line, file), written) << file << ' ' << given;
    }
  }

  for (auto [text, value] : {std::pair{"1\n", 1}, {"0\n", 0}, {"", 0}, {"12x", 12}}) {
    ASSERT_TRUE(gwtest::write_file(gwtest::gpio_path(line, "value"), text));
    EXPECT_EQ(gw::gpio_read_value(line), value) << text;
  }
  EXPECT_EQ(output.text(), "");
}

TEST_F(Gpio, MissingFilesFailWithTheirOwnLines) {
  gwtest::StdoutCapture output;
  EXPECT_EQ(gw::gpio_set_direction(line, "out"), 1);
  EXPECT_EQ(gw::gpio_set_active_low(line, 1), 1);
  EXPECT_EQ(gw::gpio_write_value(line, 1), 1);
  EXPECT_EQ(gw::gpio_read_value(line), -1);
  ASSERT_EQ(unlink("/sys/class/gpio/export"), 0);
  ASSERT_EQ(unlink("/sys/class/gpio/unexport"), 0);
  EXPECT_EQ(gw::gpio_export(line), 1);
  StderrCapture errors;
  EXPECT_EQ(gw::gpio_unexport(line), -1);
  EXPECT_EQ(errors.text(), "Failed to open unexport for writing\n");
  EXPECT_EQ(output.text(),
            "ZENTIB_ERROR : Failed to open gpio direction file for GPIO 7\n\r"
            "ZENTIB_ERROR : Failed to open gpio value for writing for GPIO 7\n\r"
            "ZENTIB_ERROR : Failed to open gpio value for writing for GPIO 7\n\r"
            "ZENTIB_ERROR : Failed to open gpio value for reading for GPIO 7\n\r"
            "ZENTIB_ERROR : Failed to open export for writing\n\r");
}

TEST_F(Gpio, RefusedWritesAndReadsFailAndLeaveNoDescriptorOpen) {
  // /dev/full refuses every write; a folder opens but cannot be read.
  ASSERT_EQ(mkdir(gwtest::gpio_path(line).c_str(), 0755), 0);
  for (const char *file : {"direction", "active_low"})
    ASSERT_EQ(symlink("/dev/full", gwtest::gpio_path(line, file).c_str()), 0);
  ASSERT_EQ(mkdir(gwtest::gpio_path(line, "value").c_str(), 0755), 0);

  const int before = open_descriptors();
  auto output = std::make_unique<gwtest::StdoutCapture>();
  EXPECT_EQ(gw::gpio_set_direction(line, "out"), 1);
  EXPECT_EQ(gw::gpio_set_active_low(line, 1), 1);
  EXPECT_EQ(gw::gpio_read_value(line), -1);
  for (int i = 0; i < 50; ++i) {
    gw::gpio_set_direction(line, "out");
    gw::gpio_read_value(line);
    gw::gpio_write_value(line, 1);  // the folder cannot be opened for writing
    gw::gpio_export(line);
  }
  const std::string first_lines =
      "ZENTIB_ERROR : Failed to set direction for GPIO 7\n\r"
      "ZENTIB_ERROR : Failed to write value for GPIO 7\n\r"
      "ZENTIB_ERROR : Failed to read value for GPIO 7\n\r"
      "ZENTIB_ERROR : Failed to set direction for GPIO 7\n\r";
  EXPECT_EQ(output->text().substr(0, first_lines.size()), first_lines);
  output.reset();
  EXPECT_EQ(open_descriptors(), before);
}

TEST_F(Gpio, ConfiguredLinesCountFromTheLowestChipBase) {
  // A kernel that numbers its sysfs lines from 512: configured 17 is 529.
  for (const char *chip : {"gpiochip544", "gpiochip512"}) {
    const std::string folder = std::string("/sys/class/gpio/") + chip;
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    ASSERT_TRUE(gwtest::write_file(folder + "/base", chip + 8 + std::string("\n")));
  }
  ASSERT_TRUE(gwtest::make_gpio_line(529));
  gwtest::GpioFifo value(529, "value");
  ASSERT_TRUE(value.ok());
  gwtest::StdoutCapture output;
  EXPECT_EQ(gw::gpio_line_number(600), 600);  // above the base: a line number already
  const std::int32_t hci0 = 0;
  EXPECT_EQ(gw::attach_uart_module(17, "ttyS1", hci0, 115200, 3, 1), 0);
  EXPECT_EQ(gw::gpio_line_number(17), 529);
  EXPECT_EQ(gwtest::read_gpio_file(529, "direction"), "out");
  ASSERT_TRUE(value.wait_for_writes(3, 1s));
  std::string written;
  for (const auto &write : value.writes()) written += write.bytes;
  EXPECT_EQ(written, "010");
  EXPECT_EQ(output.text(), "GPIO 17 is line 529 (GPIO chip base 512)\n\r");  // once

  // Without chips, or with a base of 0, numbers stay as configured.
  ASSERT_TRUE(gwtest::write_file("/sys/class/gpio/gpiochip512/base", "0\n"));
  EXPECT_EQ(gw::gpio_line_number(17), 17);
}

}  // namespace
