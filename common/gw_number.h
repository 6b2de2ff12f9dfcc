// Strict text-to-number conversion for settings, process IDs and row IDs.
#pragma once

#include <cstdint>

namespace gw {

// Parses text in base (0: decimal, "0x" hexadecimal or leading-zero octal;
// 2..36 fixed) into *out as a 32-bit pattern (4294967295 reads back as -1).
// Returns 0, or 1 after printing one of "ZENTIB_ERROR : Invalid value",
// "ZENTIB_ERROR : Out of range", "ZENTIB_ERROR : Unsupported value in given
// base" (each ended by "\n" only). A text not starting with a decimal digit
// and a base outside 0 and 2..36 leave *out untouched. Reentrant.
int gw_parse_number(const char *text, int base, std::int32_t *out);

// The same for 64-bit row identifiers: no 32-bit wrap, "Out of range" above
// 18446744073709551615.
int gw_parse_number64(const char *text, int base, std::uint64_t *out);

}  // namespace gw
