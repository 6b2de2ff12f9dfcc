#include "gw_number.h"

#include <gtest/gtest.h>

#include "stdout_capture.h"

namespace {

struct Case {
  const char *text;
  int base;
  int result;
  std::int32_t value;  // expected output (the sentinel when untouched)
  const char *line;    // expected output line, "" for none
};

constexpr std::int32_t untouched = 0x5A5A5A5A;

TEST(ParseNumber, AcceptsAndRejectsLikeTheBoard) {
  const Case cases[] = {
      {"1883", 0, 0, 1883, ""},
      {"0x75B", 0, 0, 1883, ""},
      {"0X75b", 0, 0, 1883, ""},
      {"010", 0, 0, 8, ""},
      {"0", 0, 0, 0, ""},
      {"4294967295", 0, 0, -1, ""},  // 32-bit pattern kept in a signed field
      {"2147483648", 0, 0, INT32_MIN, ""},
      {"ff", 16, 1, untouched, "ZENTIB_ERROR : Invalid value\n"},  // not a decimal digit first
      {"08", 0, 1, 0, "ZENTIB_ERROR : Invalid value\n"},
      {"09", 0, 1, 0, "ZENTIB_ERROR : Invalid value\n"},
      {"0x", 0, 1, 0, "ZENTIB_ERROR : Invalid value\n"},
      {"12abc", 0, 1, 12, "ZENTIB_ERROR : Invalid value\n"},
      {"-5", 0, 1, untouched, "ZENTIB_ERROR : Invalid value\n"},
      {"+5", 0, 1, untouched, "ZENTIB_ERROR : Invalid value\n"},
      {" 5", 0, 1, untouched, "ZENTIB_ERROR : Invalid value\n"},
      {"", 0, 1, untouched, "ZENTIB_ERROR : Invalid value\n"},
      {"4294967296", 0, 1, -1, "ZENTIB_ERROR : Out of range\n"},
      {"99999999999999999999999", 0, 1, -1, "ZENTIB_ERROR : Out of range\n"},
      // Both too long and with a stray character: the stray character wins.
      {"99999999999999999999999x", 0, 1, -1, "ZENTIB_ERROR : Invalid value\n"},
      {"12", 1, 1, untouched, "ZENTIB_ERROR : Unsupported value in given base\n"},
      {"12", 37, 1, untouched, "ZENTIB_ERROR : Unsupported value in given base\n"},
      {"12", -3, 1, untouched, "ZENTIB_ERROR : Unsupported value in given base\n"},
      {"z", 36, 1, untouched, "ZENTIB_ERROR : Invalid value\n"},
      {"1z", 36, 0, 71, ""},
  };
  for (const Case &c : cases) {
    std::int32_t value = untouched;
    gwtest::StdoutCapture capture;
    int result = gw::gw_parse_number(c.text, c.base, &value);
    EXPECT_EQ(result, c.result) << '"' << c.text << "\" base " << c.base;
    EXPECT_EQ(value, c.value) << '"' << c.text << "\" base " << c.base;
    EXPECT_EQ(capture.text(), c.line) << '"' << c.text << "\" base " << c.base;
  }
}

TEST(ParseNumber, RowIdentifiersAreNotCutTo32Bits) {
  std::uint64_t value = 0;
  EXPECT_EQ(gw::gw_parse_number64("4294967296", 0, &value), 0);
  EXPECT_EQ(value, 4294967296ULL);
  EXPECT_EQ(gw::gw_parse_number64("18446744073709551615", 0, &value), 0);
  EXPECT_EQ(value, UINT64_MAX);
  gwtest::StdoutCapture capture;
  EXPECT_EQ(gw::gw_parse_number64("18446744073709551616", 0, &value), 1);
  EXPECT_EQ(capture.text(), "ZENTIB_ERROR : Out of range\n");
}

}  // namespace
