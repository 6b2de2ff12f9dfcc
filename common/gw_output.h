// Console output of the gateway. On the device a supervisor reads standard
// output through a pipe, so every line must leave at once and lines of
// different threads must never interleave: each call formats the whole text
// into one bounded buffer and hands it to the kernel with one write.
#pragma once

namespace gw {

// printf-like; the caller writes the line ending ("\n\r" for most lines).
void gw_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The text followed by "\n" only (the number parser's and the
// configuration reader's per-key lines end this way).
void gw_puts(const char *text);

}  // namespace gw
