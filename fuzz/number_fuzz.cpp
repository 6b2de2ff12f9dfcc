// The settings' number parser against the C library's own conversion, for
// every base from 0 to 37 (1 and 37 are refused). The first byte picks the
// base, the rest is the text. The reference is strtoul as the board's 32-bit
// C library gives it: on a 64-bit host its result is held to 32 bits here,
// under the board's emulator it is the real thing. The 64-bit form is held
// against strtoull the same way.
//
// Built with gw_number.cpp alone: the console line each refusal prints is
// caught here and checked too.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_target.h"
#include "gw_number.h"
#include "gw_output.h"

namespace {

std::string printed;

}  // namespace

namespace gw {

void gw_puts(const char *text) {
  printed += text;
  printed += '\n';
}

}  // namespace gw

namespace {

struct Expected {
  int result;
  bool stored;
  unsigned long long value;
  const char *line;
};

template <typename Value>
Expected reference(const char *text, int base, unsigned long long limit) {
  if (text[0] < '0' || text[0] > '9') return {1, false, 0, "ZENTIB_ERROR : Invalid value\n"};
  if (base != 0 && (base < 2 || base > 36)) {
    return {1, false, 0, "ZENTIB_ERROR : Unsupported value in given base\n"};
  }
  char *end = nullptr;
  errno = 0;
  unsigned long long value = sizeof(Value) > sizeof(unsigned long) ? std::strtoull(text, &end, base)
                                                                   : std::strtoul(text, &end, base);
  bool range = errno == ERANGE;
  if (value > limit) {
    value = limit;
    range = true;
  }
  if (*end != '\0') return {1, true, value, "ZENTIB_ERROR : Invalid value\n"};
  if (range) return {1, true, value, "ZENTIB_ERROR : Out of range\n"};
  return {0, true, value, ""};
}

// A refusal before conversion leaves *out as it was; otherwise it holds
// the converted (or clamped) value, also when the text is refused.
void check(const Expected &expected, int result, unsigned long long out, unsigned long long marker) {
  if (result != expected.result || printed != expected.line) std::abort();
  if (out != (expected.stored ? expected.value : marker)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *input, std::size_t size) {
  if (size < 1) return 0;
  const int base = input[0] % 38;
  // The text as a setting holds it: NUL-terminated, in a block of its size.
  std::string text(reinterpret_cast<const char *>(input + 1), size - 1);
  auto *copy = static_cast<char *>(std::malloc(text.size() + 1));
  if (copy == nullptr) return 0;
  std::memcpy(copy, text.c_str(), text.size() + 1);

  constexpr std::uint32_t marker32 = 0x5A5A5A5A;
  std::int32_t out32 = static_cast<std::int32_t>(marker32);
  printed.clear();
  int result = gw::gw_parse_number(copy, base, &out32);
  check(reference<std::uint32_t>(copy, base, UINT32_MAX), result, static_cast<std::uint32_t>(out32),
        marker32);

  constexpr std::uint64_t marker64 = 0x5A5A5A5A5A5A5A5AULL;
  std::uint64_t out64 = marker64;
  printed.clear();
  result = gw::gw_parse_number64(copy, base, &out64);
  check(reference<std::uint64_t>(copy, base, UINT64_MAX), result, out64, marker64);

  std::free(copy);
  return 0;
}
