#include "controller.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>

namespace rig {

namespace {

constexpr std::uint8_t command_packet = 0x01;
constexpr std::uint8_t event_packet = 0x04;
constexpr std::uint8_t command_complete_event = 0x0E;
constexpr std::uint8_t le_meta_event = 0x3E;
constexpr std::uint8_t advertising_report_subevent = 0x02;
constexpr std::uint8_t extended_advertising_report_subevent = 0x0D;
constexpr std::uint8_t channel_selection_algorithm_subevent = 0x14;
constexpr std::size_t max_event_parameters = 255;
constexpr std::size_t legacy_report_size = 10;    // without its data
constexpr std::size_t extended_report_size = 24;  // without its data
// One report alone in an event: subevent, count, the report, its data.
constexpr std::size_t max_extended_fragment = max_event_parameters - 2 - extended_report_size;
// Data status of an extended report (event type bits 5-6).
constexpr std::uint16_t data_more_to_come = 0x0020;
constexpr std::uint16_t data_truncated = 0x0040;

// An LE-only controller of Bluetooth 4.0: the kernel then skips every
// BR/EDR step, and with an empty supported-commands mask every optional
// one, so its init stays a short fixed sequence.
constexpr std::uint8_t bluetooth_4_0 = 0x06;
constexpr std::uint16_t manufacturer_for_tests = 0xFFFF;
constexpr std::uint8_t le_only_features[8] = {0, 0, 0, 0, 0x60, 0, 0, 0};
constexpr std::uint16_t le_mtu = 27;
constexpr std::uint8_t le_packets = 8;

// The Bluetooth 5 personality: version 5.0, LE features bit 11 (LE Coded
// PHY) and bit 12 (extended advertising), supported-commands octet 36 bit 7
// (LE Read Number of Supported Advertising Sets) and octet 37 bits 5-6 (LE
// Set Extended Scan Parameters / Enable). The kernel's init then adds only
// 0x203B to the 4.0 sequence.
constexpr std::uint8_t bluetooth_5_0 = 0x09;
constexpr std::uint8_t bt5_le_features_octet1 = 0x18;
constexpr std::uint8_t le_coded_phy_feature = 0x08;
constexpr std::uint8_t advertising_sets = 4;

// The extended advertising and scanning commands (LE Set Advertising Set
// Random Address to LE Read Periodic Advertiser List Size), and the legacy
// advertising and scanning commands a controller may refuse once the host
// used one of them.
bool extended_command(std::uint16_t command) { return command >= 0x2035 && command <= 0x204A; }
bool legacy_advertising_or_scanning(std::uint16_t command) {
  return command >= 0x2006 && command <= 0x200D;
}

// The extended event type of each legacy PDU (legacy bit 4 with its
// connectable, scannable, directed and scan-response bits).
std::uint16_t extended_type_of_legacy(std::uint8_t event_type) {
  constexpr std::uint16_t types[5] = {0x13, 0x15, 0x12, 0x10, 0x1B};
  return event_type < 5 ? types[event_type] : 0x10;
}

void put16(std::vector<std::uint8_t> &out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

std::uint16_t get16(const std::uint8_t *bytes) {
  return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

}  // namespace

Controller::Controller(Scenario scenario, Writer writer, std::FILE *log, std::uint64_t start_us)
    : scenario_(std::move(scenario)),
      writer_(std::move(writer)),
      log_(log),
      start_us_(start_us),
      progress_(scenario_.advertisers.size()),
      mute_seen_(scenario_.mutes.size(), 0) {}

void Controller::log_line(std::uint64_t now_us, const char *format, ...) {
  if (log_ == nullptr) return;
  char text[4096];  // an extended advertisement's row of 1,650 data bytes fits
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  // The kind comes first, then the time, so every line reads "kind t_ms=…".
  const char *space = std::strchr(text, ' ');
  std::size_t kind = space ? static_cast<std::size_t>(space - text) : std::strlen(text);
  std::fprintf(log_, "%.*s t_ms=%llu%s\n", static_cast<int>(kind), text,
               static_cast<unsigned long long>((now_us - start_us_) / 1000), text + kind);
  std::fflush(log_);
}

void Controller::answer(std::uint16_t command, const std::vector<std::uint8_t> &return_parameters) {
  std::vector<std::uint8_t> packet = {event_packet, command_complete_event, 0, 1};
  put16(packet, command);
  append(packet, return_parameters.begin(), return_parameters.end());
  packet[2] = static_cast<std::uint8_t>(packet.size() - 3);
  writer_(packet.data(), packet.size());
}

void Controller::on_host_packet(const std::uint8_t *packet, std::size_t length,
                                std::uint64_t now_us) {
  if (length < 4 || packet[0] != command_packet || packet[3] != length - 4) {
    log_line(now_us, "ignored type=0x%02X length=%zu", length ? packet[0] : 0, length);
    return;
  }
  std::uint16_t command = get16(packet + 1);
  ++commands_;
  // Reports due before this command went out under the old scan state.
  send_due_reports(now_us);
  for (std::size_t i = 0; i < scenario_.mutes.size() && !muted_; ++i) {
    const Mute &mute = scenario_.mutes[i];
    if (mute.command && *mute.command == command && ++mute_seen_[i] >= mute.occurrence) {
      muted_ = true;
      log_line(now_us, "mute reason=command opcode=0x%04X", command);
    }
  }
  if (muted_) {
    log_line(now_us, "command opcode=0x%04X length=%u answered=no", command, packet[3]);
    return;
  }
  std::vector<std::uint8_t> reply = handle_command(command, packet + 4, packet[3], now_us);
  log_line(now_us, "command opcode=0x%04X length=%u answered=yes status=0x%02X", command,
           packet[3], reply[0]);
  answer(command, reply);
}

std::vector<std::uint8_t> Controller::handle_command(std::uint16_t command,
                                                     const std::uint8_t *parameters,
                                                     std::size_t length, std::uint64_t now_us) {
  const bool bt5 = scenario_.bt5 != Bt5::none;
  if (!bt5 && extended_command(command)) return {status::unknown_command};
  // Core Vol 4, Part E, 3.1.1: once the host has used an extended
  // command, a controller may refuse the legacy ones until its next reset.
  if (scenario_.bt5 == Bt5::strict && extended_used_ && legacy_advertising_or_scanning(command))
    return {status::command_disallowed};
  std::vector<std::uint8_t> reply = {status::success};
  switch (command) {
    case opcode::reset:
      scan_enabled_ = false;
      extended_scan_ = false;
      scan_phys_ = 0x01;
      extended_used_ = false;
      filter_duplicates_ = false;
      heard_.clear();
      log_line(now_us, "reset");
      break;
    case 0x0C01:  // Set Event Mask
    case 0x0C05:  // Set Event Filter
    case 0x0C63:  // Set Event Mask Page 2
    case 0x0C6D:  // Write LE Host Supported
    case 0x2001:  // LE Set Event Mask
    case 0x2005:  // LE Set Random Address
    case 0x2006:  // LE Set Advertising Parameters
    case 0x2008:  // LE Set Advertising Data
    case 0x2009:  // LE Set Scan Response Data
    case 0x200A:  // LE Set Advertise Enable
    case 0x2010:  // LE Clear Accept List
      break;
    case 0x0C14: {  // Read Local Name
      static const char name[] = "rig virtual controller";
      append(reply, name, name + sizeof name);
      reply.resize(1 + 248, 0);
      break;
    }
    case 0x0C23:  // Read Class of Device
      reply.resize(1 + 3, 0);
      break;
    case 0x0C25:  // Read Voice Setting
      reply.resize(1 + 2, 0);
      break;
    case 0x1001:  // Read Local Version Information
      reply.push_back(bt5 ? bluetooth_5_0 : bluetooth_4_0);
      put16(reply, 0);
      reply.push_back(bt5 ? bluetooth_5_0 : bluetooth_4_0);
      put16(reply, manufacturer_for_tests);
      put16(reply, 0);
      break;
    case 0x1002:  // Read Local Supported Commands: none beyond the mandatory ones
      reply.resize(1 + 64, 0);
      if (bt5) {
        reply[1 + 36] = 0x80;
        reply[1 + 37] = 0x60;
      }
      break;
    case 0x1003:  // Read Local Supported Features
      append(reply, le_only_features, le_only_features + 8);
      break;
    case 0x1004:  // Read Local Extended Features
      reply.push_back(length > 0 ? parameters[0] : 0);
      reply.push_back(0);
      append(reply, le_only_features, le_only_features + 8);
      break;
    case 0x1005:  // Read Buffer Size: LE-only, so no BR/EDR buffers
      put16(reply, 0);
      reply.push_back(0);
      put16(reply, 0);
      put16(reply, 0);
      break;
    case 0x1009:  // Read BD_ADDR, least significant byte first
      append(reply, scenario_.controller_address.rbegin(),
                   scenario_.controller_address.rend());
      break;
    case 0x2002:  // LE Read Buffer Size
      put16(reply, le_mtu);
      reply.push_back(le_packets);
      break;
    case 0x2003:  // LE Read Local Supported Features: plain 4.0 or the 5.0 above
      reply.resize(1 + 8, 0);
      if (bt5)
        reply[1 + 1] = scenario_.coded ? bt5_le_features_octet1
                                       : bt5_le_features_octet1 & ~le_coded_phy_feature;
      break;
    case opcode::le_read_number_of_supported_advertising_sets:
      reply.push_back(advertising_sets);
      break;
    case 0x2007:  // LE Read Advertising Physical Channel Tx Power
      reply.push_back(0);
      break;
    case 0x200F:  // LE Read Accept List Size
      reply.push_back(8);
      break;
    case 0x201C:  // LE Read Supported States
      reply.resize(1 + 8, 0);
      break;
    case opcode::le_set_scan_parameters: {
      if (length != 7) {
        reply[0] = status::invalid_parameters;
        log_line(now_us, "scan_parameters length=%zu status=0x%02X", length, reply[0]);
        break;
      }
      std::uint8_t type = parameters[0], own = parameters[5], policy = parameters[6];
      std::uint16_t interval = get16(parameters + 1), window = get16(parameters + 3);
      // A real controller refuses a change while it scans, and values
      // outside the ranges Bluetooth 4.x allows for this command.
      if (scan_enabled_) {
        reply[0] = status::command_disallowed;
      } else if (type > 1 || interval < 0x0004 || interval > 0x4000 || window < 0x0004 ||
                 window > 0x4000 || window > interval || own > 3 || policy > 3) {
        reply[0] = status::invalid_parameters;
      }
      log_line(now_us,
               "scan_parameters type=%u interval=0x%04X window=0x%04X own_address_type=%u "
               "filter_policy=%u status=0x%02X",
               type, interval, window, own, policy, reply[0]);
      break;
    }
    case opcode::le_set_scan_enable: {
      if (length != 2 || parameters[0] > 1 || parameters[1] > 1) {
        reply[0] = status::invalid_parameters;
        log_line(now_us, "scan_enable length=%zu status=0x%02X", length, reply[0]);
        break;
      }
      set_scan_enable(parameters[0] == 1, parameters[1] == 1, false, now_us);
      log_line(now_us, "scan_enable enable=%u filter_duplicates=%u status=0x%02X", parameters[0],
               parameters[1], reply[0]);
      break;
    }
    case opcode::le_set_extended_scan_parameters:
      reply[0] = set_extended_scan_parameters(parameters, length, now_us);
      break;
    case opcode::le_set_extended_scan_enable: {
      if (length != 6 || parameters[0] > 1 || parameters[1] > 2) {
        reply[0] = status::invalid_parameters;
        log_line(now_us, "ext_scan_enable length=%zu status=0x%02X", length, reply[0]);
        break;
      }
      std::uint16_t duration = get16(parameters + 2), period = get16(parameters + 4);
      // This controller scans only continuously: a scan that ends by itself
      // would need the LE Scan Timeout event too.
      if (duration != 0 || period != 0) {
        reply[0] = status::unsupported_feature;
      } else {
        // Duplicate filtering reset at each period (2) is filtering for
        // ever here, as there are no periods.
        set_scan_enable(parameters[0] == 1, parameters[1] != 0, true, now_us);
      }
      log_line(now_us,
               "ext_scan_enable enable=%u filter_duplicates=%u duration=%u period=%u status=0x%02X",
               parameters[0], parameters[1], duration, period, reply[0]);
      break;
    }
    default:
      reply[0] = status::unknown_command;
      break;
  }
  if (reply[0] == status::success && extended_command(command)) extended_used_ = true;
  return reply;
}

std::uint8_t Controller::set_extended_scan_parameters(const std::uint8_t *parameters,
                                                      std::size_t length, std::uint64_t now_us) {
  // Own address type, filter policy, scanning PHYs (bit 0 1M, bit 2 Coded),
  // then per PHY: scan type, interval, window.
  std::uint8_t phys = length >= 3 ? parameters[2] : 0;
  std::size_t entries = (phys & 1u) + (phys >> 2 & 1u);
  if (length < 3 || entries == 0 || (phys & ~0x05u) != 0 || length != 3 + 5 * entries) {
    log_line(now_us, "ext_scan_parameters length=%zu status=0x%02X", length,
             status::invalid_parameters);
    return status::invalid_parameters;
  }
  std::uint8_t own = parameters[0], policy = parameters[1];
  bool valid = own <= 3 && policy <= 3;
  for (std::size_t i = 0; i < entries; ++i) {
    const std::uint8_t *entry = parameters + 3 + 5 * i;
    std::uint16_t interval = get16(entry + 1), window = get16(entry + 3);
    valid = valid && entry[0] <= 1 && interval >= 0x0004 && window >= 0x0004 && window <= interval;
  }
  std::uint8_t result = scan_enabled_                   ? status::command_disallowed
                        : !valid                         ? status::invalid_parameters
                        : (phys & 0x04) && !scenario_.coded ? status::unsupported_feature
                                                         : status::success;
  if (result == status::success) scan_phys_ = phys;
  // The first PHY's entry: the 1M PHY's whenever it is scanned.
  log_line(now_us,
           "ext_scan_parameters phys=0x%02X type=%u interval=0x%04X window=0x%04X "
           "own_address_type=%u filter_policy=%u status=0x%02X",
           phys, parameters[3], get16(parameters + 4), get16(parameters + 6), own, policy, result);
  return result;
}

void Controller::set_scan_enable(bool enable, bool filter_duplicates, bool extended,
                                 std::uint64_t now_us) {
  if (enable && !clock_start_us_) clock_start_us_ = now_us;
  if (enable) heard_.clear();
  // One scanner behind both command sets: either set's disable stops it.
  scan_enabled_ = enable;
  if (enable) extended_scan_ = extended;
  filter_duplicates_ = filter_duplicates;
}

std::uint64_t Controller::due_us(std::size_t index) const {
  const Advertiser &advertiser = scenario_.advertisers[index];
  return *clock_start_us_ + advertiser.start_us +
         progress_[index].next * advertiser.period_numerator / advertiser.period_denominator;
}

void Controller::check_mute_time(std::uint64_t now_us) {
  if (muted_) return;
  for (const Mute &mute : scenario_.mutes) {
    if (!mute.time_ms || now_us - start_us_ < *mute.time_ms * 1000) continue;
    std::uint64_t mute_at = start_us_ + *mute.time_ms * 1000;
    deliver(mute_at);  // what was due before the controller hung still went out
    muted_ = true;
    log_line(mute_at, "mute reason=time");
    return;
  }
}

void Controller::send_due_reports(std::uint64_t now_us) {
  check_mute_time(now_us);
  deliver(now_us);
}

void Controller::deliver(std::uint64_t now_us) {
  if (!clock_start_us_) return;
  for (std::size_t i = 0; i < progress_.size(); ++i) {
    const Advertiser &advertiser = scenario_.advertisers[i];
    Progress &progress = progress_[i];
    while ((advertiser.count == 0 || progress.next < advertiser.count) && due_us(i) <= now_us) {
      if (hears(advertiser)) {
        if (advertiser.extended) {
          send_extended(advertiser, progress, now_us);
        } else if (advertiser.noise) {
          send_noise(advertiser, progress, now_us);
        } else if (advertiser.recorded.empty()) {
          send_report(advertiser, progress, now_us);
        } else {
          send_recorded(advertiser, progress, now_us);
        }
      } else {
        ++progress.missed;
      }
      ++progress.next;
    }
  }
  flush_event();
}

bool Controller::hears(const Advertiser &advertiser) const {
  if (!scan_enabled_ || muted_) return false;
  // Legacy PDUs are on the 1M PHY; an extended advertiser only on its
  // primary PHY's channels, and only an extended scan takes it.
  if (!extended_scan_) return !advertiser.extended;
  return (scan_phys_ & (advertiser.primary_phy == 3 ? 0x04 : 0x01)) != 0;
}

void Controller::flush_event() {
  if (pending_count_ == 0) return;
  std::vector<std::uint8_t> packet = {
      event_packet, le_meta_event, 0,
      extended_scan_ ? extended_advertising_report_subevent : advertising_report_subevent,
      static_cast<std::uint8_t>(pending_count_)};
  append(packet, pending_reports_.begin(), pending_reports_.end());
  packet[2] = static_cast<std::uint8_t>(packet.size() - 3);
  writer_(packet.data(), packet.size());
  ++events_;
  if (extended_scan_) ++extended_events_;
  pending_reports_.clear();
  pending_count_ = 0;
}

void Controller::unplugged(std::uint64_t now_us) {
  send_due_reports(now_us);
  scan_enabled_ = false;
  log_line(now_us, "unplugged");
}

void Controller::replugged(std::uint64_t now_us) { log_line(now_us, "replugged"); }

namespace {

// The address of an advertiser's report i, least significant byte first as
// on the air: address + (i mod devices).
void report_address(const Advertiser &advertiser, std::uint64_t index, std::uint8_t (&address)[6]) {
  std::uint64_t carry = index % advertiser.devices;
  for (int i = 0; i < 6; ++i) {
    std::uint64_t sum = advertiser.address[5 - i] + carry;
    address[i] = static_cast<std::uint8_t>(sum);
    carry = sum >> 8;
  }
}

}  // namespace

void Controller::append_extended_report(std::vector<std::uint8_t> &out, std::uint16_t event_type,
                                        std::uint8_t address_type, const std::uint8_t *address,
                                        std::int8_t rssi, const std::uint8_t *data,
                                        std::size_t length, const Advertiser *set) const {
  const bool legacy = (event_type & 0x10) != 0;
  put16(out, event_type);
  out.push_back(address_type);
  append(out, address, address + 6);
  if (set != nullptr) {
    out.push_back(set->primary_phy);
    out.push_back(set->secondary_phy);
    out.push_back(set->sid);
    out.push_back(static_cast<std::uint8_t>(set->tx_power));
    out.push_back(static_cast<std::uint8_t>(rssi));
    put16(out, set->periodic_interval);
  } else {
    out.push_back(0x01);                  // primary PHY: LE 1M
    out.push_back(legacy ? 0x00 : 0x01);  // secondary PHY: none for a legacy PDU
    out.push_back(legacy ? 0xFF : 0x00);  // advertising SID: none for a legacy PDU
    out.push_back(0x7F);                  // TX power not available
    out.push_back(static_cast<std::uint8_t>(rssi));
    put16(out, 0);  // no periodic advertising
  }
  // A directed advertisement names its target: this controller.
  const bool directed = (event_type & 0x04) != 0;
  out.push_back(0x00);
  for (int i = 5; i >= 0; --i) out.push_back(directed ? scenario_.controller_address[i] : 0);
  out.push_back(static_cast<std::uint8_t>(length));
  append(out, data, data + length);
}

void Controller::add_report(std::uint8_t event_type, std::uint8_t address_type,
                            const std::uint8_t *address, std::int8_t rssi,
                            const std::uint8_t *data, std::size_t length) {
  std::size_t size = (extended_scan_ ? extended_report_size : legacy_report_size) + length;
  if (pending_count_ > 0 && 2 + pending_reports_.size() + size > max_event_parameters)
    flush_event();
  ++pending_count_;
  if (extended_scan_) {
    append_extended_report(pending_reports_, extended_type_of_legacy(event_type), address_type,
                           address, rssi, data, length);
    return;
  }
  // Each report whole, one after the other, as controllers pack them.
  pending_reports_.push_back(event_type);
  pending_reports_.push_back(address_type);
  append(pending_reports_, address, address + 6);
  pending_reports_.push_back(static_cast<std::uint8_t>(length));
  append(pending_reports_, data, data + length);
  pending_reports_.push_back(static_cast<std::uint8_t>(rssi));
}

namespace {

// An advertiser's data for its report i, with the sequence structure.
std::vector<std::uint8_t> report_data(const Advertiser &advertiser, std::uint64_t index) {
  std::vector<std::uint8_t> data = advertiser.data;
  if (advertiser.sequence) {
    std::uint32_t number = static_cast<std::uint32_t>(index);
    const std::uint8_t ad[sequence_ad_length] = {
        7, 0xFF, 0xFF, 0xFF, static_cast<std::uint8_t>(number >> 24),
        static_cast<std::uint8_t>(number >> 16), static_cast<std::uint8_t>(number >> 8),
        static_cast<std::uint8_t>(number)};
    append(data, ad, ad + sizeof ad);
  }
  return data;
}

}  // namespace

void Controller::send_report(const Advertiser &advertiser, Progress &progress,
                             std::uint64_t now_us) {
  std::uint8_t address[6];
  report_address(advertiser, progress.next, address);
  std::vector<std::uint8_t> data = report_data(advertiser, progress.next);
  if (filter_duplicates_) {
    std::string key(reinterpret_cast<const char *>(address), 6);
    key.append(data.begin(), data.end());
    if (!heard_.insert(key).second) {
      ++progress.filtered;
      return;
    }
  }
  add_report(advertiser.event_type, advertiser.address_type, address, advertiser.rssi, data.data(),
             data.size());
  if (pending_count_ == scenario_.reports_per_event) flush_event();
  ++progress.sent;
  if (!progress.first_us) progress.first_us = now_us;
  progress.last_us = now_us;
}

void Controller::send_extended(const Advertiser &advertiser, Progress &progress,
                               std::uint64_t now_us) {
  std::uint8_t address[6] = {};
  const bool anonymous = advertiser.address_type == anonymous_address;
  if (!anonymous) report_address(advertiser, progress.next, address);
  std::vector<std::uint8_t> data = report_data(advertiser, progress.next);
  if (filter_duplicates_) {
    std::string key(reinterpret_cast<const char *>(address), 6);
    key.append(data.begin(), data.end());
    if (!heard_.insert(key).second) {
      ++progress.filtered;
      return;
    }
  }
  flush_event();  // reports gathered before it go out first
  // As AUX_CHAIN_IND PDUs arrive: each report as much data as an event
  // holds, "more to come" on all but the last, which is complete (or
  // truncated, when the scenario has the chain break off).
  std::size_t at = 0, reports = 0;
  do {
    std::size_t length = std::min(data.size() - at, max_extended_fragment);
    const bool last = at + length == data.size();
    std::uint16_t event_type = advertiser.event_type;
    if (!last) event_type |= data_more_to_come;
    if (last && advertiser.truncated) event_type |= data_truncated;
    pending_reports_.clear();
    append_extended_report(pending_reports_, event_type, advertiser.address_type, address,
                           advertiser.rssi, data.data() + at, length, &advertiser);
    pending_count_ = 1;
    flush_event();
    at += length;
    ++reports;
  } while (at < data.size());
  ++progress.sent;
  if (!progress.first_us) progress.first_us = now_us;
  progress.last_us = now_us;
  // The row the gateway stores of it, but for the receive time (and its
  // cut when the data is longer than the gateway keeps).
  std::string row;
  auto hex = [&row](std::uint8_t byte) {
    static const char digits[] = "0123456789ABCDEF";
    row += digits[byte >> 4];
    row += digits[byte & 0x0F];
  };
  for (int i = 5; i >= 0; --i) hex(address[i]);
  for (std::uint8_t byte :
       {advertiser.address_type, static_cast<std::uint8_t>(advertiser.rssi),
        static_cast<std::uint8_t>(advertiser.tx_power), advertiser.primary_phy,
        advertiser.secondary_phy, advertiser.sid, advertiser.event_type,
        static_cast<std::uint8_t>(data.size() >> 8), static_cast<std::uint8_t>(data.size())})
    hex(byte);
  for (std::uint8_t byte : data) hex(byte);
  log_line(now_us, "extended name=%s number=%llu reports=%zu status=%s row=%s",
           advertiser.name.c_str(), static_cast<unsigned long long>(progress.next), reports,
           advertiser.truncated ? "truncated" : "complete", row.c_str());
}

void Controller::send_recorded(const Advertiser &advertiser, Progress &progress,
                               std::uint64_t now_us) {
  const std::vector<std::uint8_t> &event =
      advertiser.recorded[progress.next % advertiser.recorded.size()];
  if (filter_duplicates_) {
    // The same event but for its last byte (the RSSI of a one-report event).
    if (!heard_.insert(std::string(event.begin(), event.end() - 1)).second) {
      ++progress.filtered;
      return;
    }
  }
  flush_event();  // reports gathered before it go out first
  if (extended_scan_) {
    // 3E len 02 count, then each report: type, address type, address,
    // length, data, RSSI; converted as far as its reports lie within it.
    std::size_t at = 4;
    for (std::uint8_t i = 0; i < event[3] && at + 9 <= event.size(); ++i) {
      std::size_t length = event[at + 8];
      if (at + 9 + length + 1 > event.size()) break;
      add_report(event[at], event[at + 1], &event[at + 2],
                 static_cast<std::int8_t>(event[at + 9 + length]), &event[at + 9], length);
      at += 9 + length + 1;
    }
    flush_event();
  } else {
    std::vector<std::uint8_t> packet = {event_packet};
    append(packet, event.begin(), event.end());
    writer_(packet.data(), packet.size());
    ++events_;
  }
  ++progress.sent;
  if (!progress.first_us) progress.first_us = now_us;
  progress.last_us = now_us;
}

void Controller::send_noise(const Advertiser &advertiser, Progress &progress,
                            std::uint64_t now_us) {
  flush_event();  // reports gathered before it go out first
  std::vector<std::uint8_t> packet = {event_packet, le_meta_event, 0};
  if (progress.next % 2 == 0) {
    // Non-connectable, non-scannable, undirected, data complete: an
    // advertisement only an extended scan can hear.
    std::uint8_t address[6];
    report_address(advertiser, progress.next, address);
    packet.push_back(extended_advertising_report_subevent);
    packet.push_back(1);
    append_extended_report(packet, 0x0000, advertiser.address_type, address, advertiser.rssi,
                           advertiser.data.data(), advertiser.data.size());
  } else {
    // Which channel selection algorithm a connection uses; there is none.
    packet.push_back(channel_selection_algorithm_subevent);
    put16(packet, 0x0001);
    packet.push_back(0x01);
  }
  packet[2] = static_cast<std::uint8_t>(packet.size() - 3);
  writer_(packet.data(), packet.size());
  ++events_;
  ++progress.sent;
  if (!progress.first_us) progress.first_us = now_us;
  progress.last_us = now_us;
}

std::optional<std::uint64_t> Controller::next_due_us() const {
  if (!clock_start_us_ || !scan_enabled_ || muted_) return std::nullopt;
  std::optional<std::uint64_t> next;
  for (std::size_t i = 0; i < progress_.size(); ++i) {
    const Advertiser &advertiser = scenario_.advertisers[i];
    if (advertiser.count != 0 && progress_[i].next >= advertiser.count) continue;
    std::uint64_t due = due_us(i);
    if (!next || due < *next) next = due;
  }
  for (const Mute &mute : scenario_.mutes) {
    if (!mute.time_ms) continue;
    std::uint64_t due = start_us_ + *mute.time_ms * 1000;
    if (!next || due < *next) next = due;
  }
  return next;
}

void Controller::write_summary(std::uint64_t now_us) {
  send_due_reports(now_us);
  std::uint64_t sent = 0, missed = 0, filtered = 0;
  for (std::size_t i = 0; i < progress_.size(); ++i) {
    const Progress &progress = progress_[i];
    auto relative_ms = [&](const std::optional<std::uint64_t> &time) -> long long {
      return time ? static_cast<long long>((*time - start_us_) / 1000) : -1;
    };
    log_line(now_us, "advertiser name=%s sent=%llu missed=%llu filtered=%llu first_ms=%lld last_ms=%lld",
             scenario_.advertisers[i].name.c_str(), static_cast<unsigned long long>(progress.sent),
             static_cast<unsigned long long>(progress.missed),
             static_cast<unsigned long long>(progress.filtered), relative_ms(progress.first_us),
             relative_ms(progress.last_us));
    sent += progress.sent;
    missed += progress.missed;
    filtered += progress.filtered;
  }
  log_line(now_us,
           "summary commands=%llu reports=%llu missed=%llu filtered=%llu muted=%s events=%llu "
           "extended_events=%llu",
           static_cast<unsigned long long>(commands_), static_cast<unsigned long long>(sent),
           static_cast<unsigned long long>(missed), static_cast<unsigned long long>(filtered),
           muted_ ? "yes" : "no", static_cast<unsigned long long>(events_),
           static_cast<unsigned long long>(extended_events_));
}

}  // namespace rig
