#include "extended_reassembly.h"

#include <cstring>

#include "pipeline/pipeline_counters.h"

namespace sensor_handler {

namespace {

// Fields of a report without an accessor in ExtendedReport.
constexpr std::size_t primary_phy_offset = 9;
constexpr std::size_t secondary_phy_offset = 10;
constexpr std::size_t sid_offset = 11;
constexpr std::size_t tx_power_offset = 12;
constexpr std::size_t periodic_interval_offset = 14;
constexpr std::uint8_t anonymous_address = 0xFF;
// Connectable, scannable, directed, scan response: the event type's low
// bits are the flags byte's.
constexpr std::uint16_t event_type_flags = 0x000F;

struct Slot {
  bool busy = false;
  std::uint32_t begun_phase = 0;
  std::uint32_t begun_order = 0;  // smallest is the oldest chain
  ExtendedAdvert advert;
  std::uint8_t data[max_extended_advert_data];
};

// Static: a chain's bytes outlive the report that brought them, and the
// 128 KiB worker stack has no room for them.
Slot slots[reassembly_slot_count];
// An advertisement complete in one report points into the event buffer,
// which stays unchanged as long as the advertisement is in flight.
ExtendedAdvert single;
std::uint32_t phase = 0;
std::uint32_t order = 0;

// Advertisers whose chain was evicted or aged out: the rest may still come,
// and would otherwise read as an advertisement of its own, its head
// missing. Skipped until it ends; the oldest entry gives way to a new one.
struct Skipped {
  bool active = false;
  std::uint8_t address_type = 0;
  std::uint8_t address[6] = {};
  std::uint8_t sid = 0;
};
Skipped skipped[reassembly_slot_count];
std::size_t next_skipped = 0;

// The advertisement's fields from the report that begins it, no data yet.
void header_from(const ExtendedReport &report, ExtendedAdvert *advert) {
  const std::uint8_t *bytes = report.bytes();
  *advert = ExtendedAdvert{};
  advert->address_type = report.address_type();
  if (advert->address_type != anonymous_address) {
    std::memcpy(advert->address, report.address(), sizeof advert->address);
  }
  advert->rssi = static_cast<std::int8_t>(report.rssi_byte());
  advert->tx_power = static_cast<std::int8_t>(bytes[tx_power_offset]);
  advert->primary_phy = bytes[primary_phy_offset];
  advert->secondary_phy = bytes[secondary_phy_offset];
  advert->sid = bytes[sid_offset];
  advert->flags = static_cast<std::uint8_t>(report.event_type() & event_type_flags);
  advert->periodic_interval = static_cast<std::uint16_t>(
      bytes[periodic_interval_offset] | bytes[periodic_interval_offset + 1] << 8);
}

template <typename Key>
bool same_advertiser(const Key &key, const ExtendedReport &report) {
  if (key.address_type != report.address_type() || key.sid != report.bytes()[sid_offset]) {
    return false;
  }
  return key.address_type == anonymous_address ||
         std::memcmp(key.address, report.address(), sizeof key.address) == 0;
}

bool same_advertiser(const Slot &slot, const ExtendedReport &report) {
  return same_advertiser(slot.advert, report);
}

// True when the report belongs to a dropped chain; its end forgets it.
bool skip_rest_of_dropped(const ExtendedReport &report) {
  for (Skipped &entry : skipped) {
    if (entry.active && same_advertiser(entry, report)) {
      if (report.data_status() != ExtendedDataStatus::more_to_come) entry.active = false;
      return true;
    }
  }
  return false;
}

Slot *chain_of(const ExtendedReport &report) {
  for (Slot &slot : slots) {
    if (slot.busy && same_advertiser(slot, report)) return &slot;
  }
  return nullptr;
}

void drop(Slot &slot) {
  slot.busy = false;
  scan_counters.extended_chains_dropped.increment();
}

// Drops a chain whose rest may still come.
void drop_and_skip(Slot &slot) {
  drop(slot);
  Skipped &entry = skipped[next_skipped];
  next_skipped = (next_skipped + 1) % reassembly_slot_count;
  entry.active = true;
  entry.address_type = slot.advert.address_type;
  std::memcpy(entry.address, slot.advert.address, sizeof entry.address);
  entry.sid = slot.advert.sid;
}

// A free slot, or the oldest chain's, which is dropped.
Slot &free_slot() {
  Slot *oldest = &slots[0];
  for (Slot &slot : slots) {
    if (!slot.busy) return slot;
    if (slot.begun_order - oldest->begun_order > 0x80000000u) oldest = &slot;
  }
  drop_and_skip(*oldest);
  return *oldest;
}

const ExtendedAdvert *completed(const ExtendedAdvert &advert) {
  if ((advert.flags & advert_cut) != 0) scan_counters.extended_cut.increment();
  if (advert.periodic_interval != 0) scan_counters.extended_periodic.increment();
  return &advert;
}

}  // namespace

void begin_reassembly_phase() {
  ++phase;
  for (Slot &slot : slots) {
    // Begun before the previous phase: a whole phase went by without its end.
    if (slot.busy && phase - slot.begun_phase > 1) drop_and_skip(slot);
  }
}

const ExtendedAdvert *reassemble_extended(const ExtendedReport &report, std::size_t max_data) {
  if (max_data > max_extended_advert_data) max_data = max_extended_advert_data;
  const ExtendedDataStatus status = report.data_status();
  Slot *chain = chain_of(report);
  if (chain == nullptr && skip_rest_of_dropped(report)) return nullptr;
  if (status != ExtendedDataStatus::complete && status != ExtendedDataStatus::more_to_come) {
    // Truncated (or a reserved status): the rest will never come.
    if (chain != nullptr) {
      drop(*chain);
    } else {
      scan_counters.extended_chains_dropped.increment();
    }
    return nullptr;
  }
  if (chain == nullptr && status == ExtendedDataStatus::complete) {
    header_from(report, &single);
    single.data = report.data();
    single.data_length = static_cast<std::uint16_t>(
        report.data_length() < max_data ? report.data_length() : max_data);
    if (report.data_length() > max_data) single.flags |= advert_cut;
    return completed(single);
  }
  if (chain == nullptr) {
    chain = &free_slot();
    chain->busy = true;
    chain->begun_phase = phase;
    chain->begun_order = order++;
    header_from(report, &chain->advert);
    chain->advert.data = chain->data;
  }
  ExtendedAdvert &advert = chain->advert;
  const std::size_t room = max_data - advert.data_length;
  const std::size_t taken = report.data_length() < room ? report.data_length() : room;
  std::memcpy(chain->data + advert.data_length, report.data(), taken);
  advert.data_length = static_cast<std::uint16_t>(advert.data_length + taken);
  if (taken < report.data_length()) advert.flags |= advert_cut;
  if (status == ExtendedDataStatus::more_to_come) return nullptr;
  chain->busy = false;
  return completed(advert);
}

void clear_reassembly() {
  for (Slot &slot : slots) slot.busy = false;
  for (Skipped &entry : skipped) entry.active = false;
}

}  // namespace sensor_handler
