// The statistics writer: rewrites "/tmp/tobixlite_stats" once a second with
// one JSON line showing every value of pipeline_counters and, in its last
// object "SCAN", the scan mode in use with what the read phase heard but did
// not hand on (scan_counters), for other tools of the gateway (nothing in
// this program reads it back).
//
// Thread: statistics_writer, started at every service build. It only reads
// the counters (relaxed loads, no lock; see pipeline_counters.h) and owns
// the file. Each record is written to a fresh file of an unpredictable name
// beside it (created exclusively: /tmp is every user's, and a name known in
// advance could be planted as a link to a file of root's) and renamed over
// the file, so a reader sees either the previous record or the new one,
// never a truncated file; a link in the file's place is replaced, never
// followed, and a directory there is moved aside to "<file>.not-ours". When the file cannot be created or replaced the
// writer writes nothing, tries again every second and requests a restart
// once the failure has lasted 5 s; each such restart doubles that delay (up
// to ten minutes, kept across service runs) until a record is written again,
// so a file that stays unwritable never restarts the service every few
// seconds. A failed write keeps the previous record. It waits between
// records with gw::pacing_sleep, so a stop ends it within microseconds, and
// leaves the file as last written.
#pragma once

#include <cstddef>

namespace sensor_handler {

constexpr const char statistics_file_path[] = "/tmp/tobixlite_stats";

// Longest record, NUL included: 38 values of 20 digits each and the mode
// "extended" make 1389 characters.
constexpr std::size_t statistics_record_size = 1408;

// Formats one record of the current values into text (size bytes, NUL
// included). Returns its length; every value below 2^63 prints as with
// "%lld".
int format_statistics_record(char *text, std::size_t size);

// Writes one record to path through a fresh file beside it and a rename. Returns 0
// (also when a write error kept the previous record), or 1 when the file
// could not be created or replaced.
int write_statistics_file(const char *path);

// Thread entry; returns nullptr once a stop flag is seen.
void *statistics_writer(void *);

}  // namespace sensor_handler
