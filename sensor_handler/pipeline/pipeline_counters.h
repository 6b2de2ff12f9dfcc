// Per-stage counts and per-window rates of both processing paths.
//
// Raw path (written only by thread_one): DC is the path as a whole, L0 the
// repeat check, L1 the MAC filter, L2 the RSSI filter, L3 the UUID filter
// with the storing of the row. Smoothing path (written only by thread_two):
// RC is the path as a whole, RC_L1 the MAC filter, RC_L2 the RSSI filter
// with the folding into the window's record; RC_L0 carries only the row
// count of the last flush in rate_out.
//
// Each value has exactly one writer; statistics_writer and the ping thread
// read them with no lock. A 64-bit value must still be read whole (on
// 32-bit MIPS a plain 64-bit store is two stores), so every value is a
// std::atomic<uint64_t> used with relaxed order: readers need no ordering
// between values, only untorn ones. The record as a whole is no snapshot.
#pragma once

#include <atomic>
#include <cstdint>

namespace sensor_handler {

// One counter. The single writer increments with a load and a store rather
// than a read-modify-write: nobody else writes it, and on MIPS both go
// through libatomic's lock anyway.
class Counter64 {
 public:
  std::uint64_t load() const { return value_.load(std::memory_order_relaxed); }
  void store(std::uint64_t value) { value_.store(value, std::memory_order_relaxed); }
  void increment() { store(load() + 1); }

 private:
  std::atomic<std::uint64_t> value_{0};
};

// One object of the statistics file. Stages show only some of the fields
// (the file's template says which); the rest stay 0.
struct StageCounters {
  Counter64 in;
  Counter64 out;
  Counter64 rate_in;
  Counter64 rate_out;
  // Values of in / out at the end of the previous window of the path.
  Counter64 in_at_window_start;
  Counter64 out_at_window_start;
};

struct PipelineCounters {
  StageCounters DC;
  StageCounters L0;
  StageCounters L1;
  StageCounters L2;
  StageCounters L3;
  StageCounters RC;
  StageCounters RC_L0;
  StageCounters RC_L1;
  StageCounters RC_L2;
};

extern PipelineCounters pipeline_counters;

// What the scan hears beside the reports it hands on, for the statistics
// file: how much of a site legacy scanning leaves unseen. Written only by
// sensor_thread (the mode by the scan controller, the counts by the read
// phase), but for the stored counts, which thread_one writes; read by
// statistics_writer, relaxed, as the counters above.
enum class ScanMode : std::uint8_t { none, legacy, extended };

struct ScanCounters {
  std::atomic<ScanMode> mode{ScanMode::none};
  // LE Meta events of a subevent the read phase does not handle.
  Counter64 other_subevents;
  // Legacy advertisements that came in extended reports and were handed on.
  Counter64 legacy_in_extended;
  // Extended advertisements (not legacy PDUs) heard and not stored.
  Counter64 extended_not_stored;
  // With SP_BT5_EXT 2: chains dropped (truncated, a whole phase old, or
  // evicted by a newer chain), advertisements completed with their data cut
  // to SP_BT5_MAXD, and those with a periodic advertising interval.
  Counter64 extended_chains_dropped;
  Counter64 extended_cut;
  Counter64 extended_periodic;
  // Extended advertisements stored as PAYLOAD3 rows, by primary PHY (1M,
  // Coded) and those with 2M as secondary PHY. Written by thread_one, which
  // sets them back to 0 with its own counters.
  Counter64 extended_stored_1m;
  Counter64 extended_stored_coded;
  Counter64 extended_stored_2m;
};

extern ScanCounters scan_counters;

// The rate rule at a window end, for the path's own thread: rate becomes
// (counter - window start) / window_seconds, truncated, and the window start
// takes the counter's value. A window_seconds of 0 is taken as 1.
void close_rate_window(const Counter64 &counter, Counter64 &window_start, Counter64 &rate,
                       std::uint64_t window_seconds);

// Every value of one path back to 0 (its thread, as it ends); the raw path's
// include the scan's stored counts.
void reset_raw_path_counters();
void reset_smoothing_path_counters();
// The scan's other values back to none and 0 (sensor_thread, as it ends).
void reset_scan_counters();

}  // namespace sensor_handler
