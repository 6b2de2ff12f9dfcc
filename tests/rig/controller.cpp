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

// An LE-only controller of Bluetooth 4.0: the kernel then skips every
// BR/EDR step, and with an empty supported-commands mask every optional
// one, so its init stays a short fixed sequence.
constexpr std::uint8_t bluetooth_4_0 = 0x06;
constexpr std::uint16_t manufacturer_for_tests = 0xFFFF;
constexpr std::uint8_t le_only_features[8] = {0, 0, 0, 0, 0x60, 0, 0, 0};
constexpr std::uint16_t le_mtu = 27;
constexpr std::uint8_t le_packets = 8;

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
  char text[512];
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
  std::vector<std::uint8_t> reply = {status::success};
  switch (command) {
    case opcode::reset:
      scan_enabled_ = false;
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
      reply.push_back(bluetooth_4_0);
      put16(reply, 0);
      reply.push_back(bluetooth_4_0);
      put16(reply, manufacturer_for_tests);
      put16(reply, 0);
      break;
    case 0x1002:  // Read Local Supported Commands: none beyond the mandatory ones
      reply.resize(1 + 64, 0);
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
    case 0x2003:  // LE Read Local Supported Features: plain 4.0
      reply.resize(1 + 8, 0);
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
      bool enable = parameters[0] == 1;
      if (enable && !clock_start_us_) clock_start_us_ = now_us;
      if (enable) heard_.clear();
      scan_enabled_ = enable;
      filter_duplicates_ = parameters[1] == 1;
      log_line(now_us, "scan_enable enable=%u filter_duplicates=%u status=0x%02X", parameters[0],
               parameters[1], reply[0]);
      break;
    }
    default:
      reply[0] = status::unknown_command;
      break;
  }
  return reply;
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
      if (scan_enabled_ && !muted_) {
        if (advertiser.recorded.empty()) {
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

void Controller::flush_event() {
  if (pending_count_ == 0) return;
  std::vector<std::uint8_t> packet = {event_packet, le_meta_event, 0, advertising_report_subevent,
                                      static_cast<std::uint8_t>(pending_count_)};
  append(packet, pending_reports_.begin(), pending_reports_.end());
  packet[2] = static_cast<std::uint8_t>(packet.size() - 3);
  writer_(packet.data(), packet.size());
  ++events_;
  pending_reports_.clear();
  pending_count_ = 0;
}

void Controller::unplugged(std::uint64_t now_us) {
  send_due_reports(now_us);
  scan_enabled_ = false;
  log_line(now_us, "unplugged");
}

void Controller::replugged(std::uint64_t now_us) { log_line(now_us, "replugged"); }

void Controller::send_report(const Advertiser &advertiser, Progress &progress,
                             std::uint64_t now_us) {
  std::uint64_t device = progress.next % advertiser.devices;
  std::uint8_t address[6];  // least significant byte first, as on the air
  std::uint64_t carry = device;
  for (int i = 0; i < 6; ++i) {
    std::uint64_t sum = advertiser.address[5 - i] + carry;
    address[i] = static_cast<std::uint8_t>(sum);
    carry = sum >> 8;
  }
  std::vector<std::uint8_t> data = advertiser.data;
  if (advertiser.sequence) {
    std::uint32_t number = static_cast<std::uint32_t>(progress.next);
    const std::uint8_t ad[sequence_ad_length] = {
        7, 0xFF, 0xFF, 0xFF, static_cast<std::uint8_t>(number >> 24),
        static_cast<std::uint8_t>(number >> 16), static_cast<std::uint8_t>(number >> 8),
        static_cast<std::uint8_t>(number)};
    append(data, ad, ad + sizeof ad);
  }
  if (filter_duplicates_) {
    std::string key(reinterpret_cast<const char *>(address), 6);
    key.append(data.begin(), data.end());
    if (!heard_.insert(key).second) {
      ++progress.filtered;
      return;
    }
  }
  // Each report whole, one after the other, as controllers pack them.
  pending_reports_.push_back(advertiser.event_type);
  pending_reports_.push_back(advertiser.address_type);
  append(pending_reports_, address, address + 6);
  pending_reports_.push_back(static_cast<std::uint8_t>(data.size()));
  append(pending_reports_, data.begin(), data.end());
  pending_reports_.push_back(static_cast<std::uint8_t>(advertiser.rssi));
  if (++pending_count_ == scenario_.reports_per_event) flush_event();
  ++progress.sent;
  if (!progress.first_us) progress.first_us = now_us;
  progress.last_us = now_us;
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
  std::vector<std::uint8_t> packet = {event_packet};
  append(packet, event.begin(), event.end());
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
           "summary commands=%llu reports=%llu missed=%llu filtered=%llu muted=%s events=%llu",
           static_cast<unsigned long long>(commands_), static_cast<unsigned long long>(sent),
           static_cast<unsigned long long>(missed), static_cast<unsigned long long>(filtered),
           muted_ ? "yes" : "no", static_cast<unsigned long long>(events_));
}

}  // namespace rig
