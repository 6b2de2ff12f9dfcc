// The joining of extended advertisements that come in several LE Extended
// Advertising Reports (data status "more to come", then "complete" or
// "truncated") into one ExtendedAdvert for the raw path.
//
// Chains are joined per advertiser (address type, address, advertising SID)
// in reassembly_slot_count slots of static storage, each holding up to
// max_extended_advert_data bytes: about 6.7 KiB in all, nothing allocated
// per report. Data beyond SP_BT5_MAXD is cut and the advertisement flagged
// advert_cut. A truncated chain is dropped; so is a chain still incomplete
// after a whole read phase (the next phase begins without it), and the
// oldest chain when a new one finds every slot busy (the rest of an evicted
// or aged chain is then skipped, not taken for an advertisement of its own). Each
// drop is counted once in scan_counters.extended_chains_dropped.
//
// Runs on sensor_thread inside the read phase only. The advertisement
// returned points into a slot (or, for a single report, the single-report
// buffer) that stays unchanged until the next call: the reader calls again
// only once thread_one is done with the previous one (the hand-off's rule).
#pragma once

#include <cstddef>
#include <cstdint>

#include "pipeline/extended_advert.h"
#include "scan/extended_report.h"

namespace sensor_handler {

constexpr std::size_t reassembly_slot_count = 4;

// A read phase begins: chains begun before the previous phase are dropped.
void begin_reassembly_phase();

// Takes one report that is not a legacy PDU. Returns the advertisement it
// completes, its data cut to max_data bytes, or nullptr (more to come, or
// the chain was dropped).
const ExtendedAdvert *reassemble_extended(const ExtendedReport &report, std::size_t max_data);

// Every slot free again (tests).
void clear_reassembly();

}  // namespace sensor_handler
