#include "gw_number.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "gw_output.h"

namespace gw {
namespace {

// strtoul is 64 bits wide here and 32 bits on the board; converting with the
// 64-bit routine and checking the 32-bit limit ourselves gives the board's
// results on both.
template <typename Value>
int parse_checked(const char *text, int base, Value limit, Value *out, bool *stored) {
  errno = 0;
  *stored = false;
  if (text == nullptr || text[0] < '0' || text[0] > '9') {
    gw_puts("ZENTIB_ERROR : Invalid value");
    return 1;
  }
  // strtoul leaves its end position unset for such a base.
  if (base != 0 && (base < 2 || base > 36)) {
    gw_puts("ZENTIB_ERROR : Unsupported value in given base");
    return 1;
  }
  char *end = nullptr;
  unsigned long long value = std::strtoull(text, &end, base);
  if (errno == 0 && value > limit) errno = ERANGE;
  if (errno == ERANGE) value = limit;
  *out = static_cast<Value>(value);
  *stored = true;
  if (end == nullptr || *end != '\0') {
    gw_puts("ZENTIB_ERROR : Invalid value");
    return 1;
  }
  if (errno == ERANGE) {
    gw_puts("ZENTIB_ERROR : Out of range");
    return 1;
  }
  if (errno == EINVAL) {
    gw_puts("ZENTIB_ERROR : Unsupported value in given base");
    return 1;
  }
  return 0;
}

}  // namespace

int gw_parse_number(const char *text, int base, std::int32_t *out) {
  std::uint32_t value = 0;
  bool stored = false;
  int result = parse_checked<std::uint32_t>(text, base, UINT32_MAX, &value, &stored);
  if (stored) *out = static_cast<std::int32_t>(value);
  return result;
}

int gw_parse_number64(const char *text, int base, std::uint64_t *out) {
  std::uint64_t value = 0;
  bool stored = false;
  int result = parse_checked<std::uint64_t>(text, base, UINT64_MAX, &value, &stored);
  if (stored) *out = value;
  return result;
}

}  // namespace gw
