// UCI access for the gateway: read one option as text, set one option and
// commit it, read a list option into a FilterList.
//
// The store reads and writes OpenWrt's UCI file syntax itself (OpenWrt's
// libuci is not available off the device); everything above this header
// deals only in dotted paths and plain buffers, so a device build can link
// the real libuci behind the same three routines.
//
// Paths: "package.@type[index].option" (a negative index counts from the
// end), "package.section_name.option", and an absolute file path as the
// package ("/etc/tobixlite_config2.@mqtt[0].mqtt_username1"). A plain
// package name is the file of that name under /etc/config.
//
// Every call reads the file afresh; nothing is cached. Calls take no lock:
// the gateway never runs two of them at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace gw {

constexpr std::size_t filter_entry_count = 10;
constexpr std::size_t filter_entry_size = 35;  // 34 characters and the NUL

struct FilterList {
  std::uint8_t count;
  char entries[filter_entry_count][filter_entry_size];
};

// Copies the option's value into dest (dest_size bytes including the NUL).
// Option absent (package present): dest untouched, no message.
// Package missing or path malformed: "ZENTIB_ERROR : Cannot Lookup for %s\n\r".
// Value longer than dest_size - 1: dest untouched and
// "ZENTIB_ERROR : Value too long for %s\n\r", so the caller, which cleared
// dest, rejects it as a missing value instead of using a cut one.
void gw_uci_get_string(const char *path, char *dest, std::size_t dest_size);

// Sets package.section.option to value and commits it atomically (temporary
// file beside the target, renamed over it). section is "@type[index]" or a
// section name. Creates the option when the section exists. Returns 0 when
// the value is stored (also when it already was: then nothing is written,
// sparing the device's flash), 1 after exactly one failure line.
int gw_uci_set_value(const char *package, const char *section, const char *option,
                     const char *value);

// Clears list, then fills it from a list option (the first 10 items in
// stored order) or a plain option (one entry unless empty). Items longer
// than 34 characters are skipped with one line each.
void gw_uci_get_list(const char *path, FilterList *list);

}  // namespace gw
