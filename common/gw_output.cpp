#include "gw_output.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace gw {
namespace {

// Longest line the system prints is a configuration echo with a 51-character
// value; anything beyond this is cut rather than written past the buffer.
constexpr std::size_t line_capacity = 512;

void write_all(const char *text, std::size_t length) {
  while (length > 0) {
    ssize_t written = ::write(STDOUT_FILENO, text, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;  // nobody left to tell
    }
    text += written;
    length -= static_cast<std::size_t>(written);
  }
}

}  // namespace

void gw_printf(const char *format, ...) {
  char line[line_capacity];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (length < 0) return;
  std::size_t size = static_cast<std::size_t>(length);
  write_all(line, size < sizeof line ? size : sizeof line - 1);
}

void gw_puts(const char *text) { gw_printf("%s\n", text); }

}  // namespace gw
