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
// Every call reads the file afresh; nothing is cached. Like OpenWrt's own
// tool, a read holds a shared flock on the package file and a set holds an
// exclusive one from its read to its rename, so an administrator's
// `uci commit` and the gateway's own writes (mqtt_status at every link
// change) never undo each other.
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
// Value longer than dest_size - 1: dest untouched,
// "ZENTIB_ERROR : Value too long for %s\n\r" and the result 1, so that a
// caller refuses the setting instead of using a cut value or taking it for
// an absent one. Every other case returns 0.
// Option stored as a list: dest untouched, no message (a list has no single
// text, and joining its items would invent a value nobody configured).
// A package file that does not parse counts as one that cannot be looked up.
int gw_uci_get_string(const char *path, char *dest, std::size_t dest_size);

// Sets package.section.option to value and commits it atomically (temporary
// file beside the target, renamed over it). section is "@type[index]" or a
// section name. Creates the option when the section exists. Returns 0 when
// the value is stored (also when it already was: that is found under the
// shared lock alone and nothing is opened for writing, sparing the device's
// flash and working on a full or read-only overlay), 1 after exactly one
// failure line. A list
// option of that name becomes a plain option holding value. Package missing
// or unreadable: "Cannot Load Configuration"; section missing or a name
// ill-formed: "Cannot Set Value"; temporary file not written: "Cannot Save
// value"; rename refused: "Cannot Commit in config file".
int gw_uci_set_value(const char *package, const char *section, const char *option,
                     const char *value);

// Clears list, then fills it from a list option (the first 10 items in
// stored order) or a plain option (one entry unless empty). Items longer
// than 34 characters are skipped with one line each,
// "ZENTIB_ERROR : List item too long in %s\n\r", and take no slot (a cut
// address or UUID would filter for a device that does not exist). An empty
// list item is kept as an empty entry, as stored. Failures leave the list
// empty, with the same lookup line as the string read.
void gw_uci_get_list(const char *path, FilterList *list);

}  // namespace gw
