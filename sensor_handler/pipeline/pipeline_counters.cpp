#include "pipeline_counters.h"

#include <initializer_list>

namespace sensor_handler {

PipelineCounters pipeline_counters;
ScanCounters scan_counters;

namespace {

void reset_stage(StageCounters &stage) {
  stage.in.store(0);
  stage.out.store(0);
  stage.rate_in.store(0);
  stage.rate_out.store(0);
  stage.in_at_window_start.store(0);
  stage.out_at_window_start.store(0);
}

}  // namespace

void close_rate_window(const Counter64 &counter, Counter64 &window_start, Counter64 &rate,
                       std::uint64_t window_seconds) {
  const std::uint64_t now = counter.load();
  const std::uint64_t divisor = window_seconds == 0 ? 1 : window_seconds;
  rate.store((now - window_start.load()) / divisor);
  window_start.store(now);
}

void reset_raw_path_counters() {
  for (StageCounters *stage : {&pipeline_counters.DC, &pipeline_counters.L0, &pipeline_counters.L1,
                               &pipeline_counters.L2, &pipeline_counters.L3}) {
    reset_stage(*stage);
  }
  scan_counters.extended_stored_1m.store(0);
  scan_counters.extended_stored_coded.store(0);
  scan_counters.extended_stored_2m.store(0);
}

void reset_smoothing_path_counters() {
  for (StageCounters *stage : {&pipeline_counters.RC, &pipeline_counters.RC_L0,
                               &pipeline_counters.RC_L1, &pipeline_counters.RC_L2}) {
    reset_stage(*stage);
  }
}

void reset_scan_counters() {
  scan_counters.mode.store(ScanMode::none, std::memory_order_relaxed);
  scan_counters.other_subevents.store(0);
  scan_counters.legacy_in_extended.store(0);
  scan_counters.extended_not_stored.store(0);
  scan_counters.extended_chains_dropped.store(0);
  scan_counters.extended_cut.store(0);
  scan_counters.extended_periodic.store(0);
}

}  // namespace sensor_handler
