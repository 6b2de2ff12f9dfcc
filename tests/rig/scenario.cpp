#include "scenario.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace rig {

namespace {

using Words = std::map<std::string, std::string>;

bool parse_unsigned(const std::string &text, std::uint64_t maximum, std::uint64_t &value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char *end = nullptr;
  unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || parsed > maximum) return false;
  value = parsed;
  return true;
}

bool parse_signed(const std::string &text, long long minimum, long long maximum,
                  long long &value) {
  if (text.empty()) return false;
  errno = 0;
  char *end = nullptr;
  long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < minimum || parsed > maximum) return false;
  value = parsed;
  return true;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool parse_hex(const std::string &text, std::vector<std::uint8_t> &bytes) {
  if (text.size() % 2 != 0) return false;
  bytes.clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    int high = hex_digit(text[i]), low = hex_digit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  return true;
}

// "AA:BB:CC:DD:EE:FF", most significant byte first.
bool parse_address(const std::string &text, Address &address) {
  if (text.size() != 17) return false;
  for (std::size_t i = 0; i < 6; ++i) {
    if (i > 0 && text[i * 3 - 1] != ':') return false;
    int high = hex_digit(text[i * 3]), low = hex_digit(text[i * 3 + 1]);
    if (high < 0 || low < 0) return false;
    address[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return true;
}

class LineParser {
 public:
  LineParser(Words words, std::string &error) : words_(std::move(words)), error_(error) {}

  bool has(const char *key) const { return words_.count(key) != 0; }

  // Each taker marks its key as known; finish() rejects the others, so a
  // misspelt key cannot silently fall back to a default.
  bool text(const char *key, std::string &value, bool required) {
    used_.insert(key);
    auto found = words_.find(key);
    if (found == words_.end()) return required ? fail(std::string("missing ") + key) : true;
    value = found->second;
    return true;
  }
  bool number(const char *key, std::uint64_t maximum, std::uint64_t &value, bool required) {
    std::string word;
    if (!text(key, word, required)) return false;
    if (!has(key)) return true;
    return parse_unsigned(word, maximum, value) || fail(std::string("bad ") + key + " '" + word + "'");
  }
  bool signed_number(const char *key, long long minimum, long long maximum, long long &value,
                     bool required) {
    std::string word;
    if (!text(key, word, required)) return false;
    if (!has(key)) return true;
    return parse_signed(word, minimum, maximum, value) ||
           fail(std::string("bad ") + key + " '" + word + "'");
  }
  bool address(const char *key, Address &value, bool required) {
    std::string word;
    if (!text(key, word, required)) return false;
    if (!has(key)) return true;
    return parse_address(word, value) || fail(std::string("bad ") + key + " '" + word + "'");
  }
  bool hex(const char *key, std::vector<std::uint8_t> &value, bool required) {
    std::string word;
    if (!text(key, word, required)) return false;
    if (!has(key)) return true;
    return parse_hex(word, value) || fail(std::string("bad ") + key + " '" + word + "'");
  }
  // Takes a key's word away before the shared takers see it.
  void erase(const char *key) {
    used_.insert(key);
    words_.erase(key);
  }
  bool finish() {
    for (const auto &[key, value] : words_)
      if (!used_.count(key)) return fail("unknown key " + key);
    return true;
  }
  bool fail(const std::string &why) {
    error_ = why;
    return false;
  }

 private:
  Words words_;
  std::set<std::string> used_;
  std::string &error_;
};

// The keys every kind of advertiser shares.
bool parse_common(LineParser &line, Advertiser &advertiser, bool sequence_allowed) {
  std::string type = "public";
  std::uint64_t event = 0, start = 0, devices = 1, sequence = 0;
  long long rssi = -60;
  if (!line.text("name", advertiser.name, true) ||
      !line.address("address", advertiser.address, true) || !line.text("type", type, false) ||
      !line.number("event", 0x04, event, false) ||
      !line.signed_number("rssi", -127, 20, rssi, false) ||
      !line.number("start", 86400000, start, false) ||
      !line.number("devices", 65536, devices, false))
    return false;
  if (sequence_allowed && !line.number("sequence", 1, sequence, false)) return false;
  if (type == "public") {
    advertiser.address_type = 0;
  } else if (type == "random") {
    advertiser.address_type = 1;
  } else {
    return line.fail("bad type '" + type + "'");
  }
  if (devices == 0) return line.fail("devices must be at least 1");
  advertiser.event_type = static_cast<std::uint8_t>(event);
  advertiser.rssi = static_cast<std::int8_t>(rssi);
  advertiser.start_us = start * 1000;
  advertiser.devices = static_cast<std::uint32_t>(devices);
  if (sequence_allowed) advertiser.sequence = sequence != 0;
  return true;
}

bool parse_repeat(LineParser &line, Advertiser &advertiser) {
  std::uint64_t interval = 100, count = 0;
  if (!line.number("interval", 86400000, interval, false) ||
      !line.number("count", UINT32_MAX, count, false))
    return false;
  if (interval == 0) return line.fail("interval must be at least 1 ms");
  advertiser.period_numerator = interval * 1000;
  advertiser.period_denominator = 1;
  advertiser.count = count;
  return true;
}

bool parse_advertiser(LineParser &line, Advertiser &advertiser) {
  return parse_common(line, advertiser, true) && line.hex("data", advertiser.data, false) &&
         parse_repeat(line, advertiser);
}

bool parse_ibeacon(LineParser &line, Advertiser &advertiser) {
  std::vector<std::uint8_t> uuid;
  std::uint64_t major = 0, minor = 0, event = 3;
  long long power = -59;
  if (!parse_common(line, advertiser, true) || !line.hex("uuid", uuid, true) ||
      !line.number("major", 0xFFFF, major, false) || !line.number("minor", 0xFFFF, minor, false) ||
      !line.signed_number("power", -128, 127, power, false) || !parse_repeat(line, advertiser))
    return false;
  if (uuid.size() != 16) return line.fail("uuid must be 32 hexadecimal digits");
  // Beacons advertise non-connectable unless the line says otherwise.
  if (!line.has("event")) advertiser.event_type = static_cast<std::uint8_t>(event);
  std::array<std::uint8_t, 16> bytes{};
  std::copy(uuid.begin(), uuid.end(), bytes.begin());
  advertiser.data = ibeacon_data(bytes, static_cast<std::uint16_t>(major),
                                 static_cast<std::uint16_t>(minor), static_cast<std::int8_t>(power));
  return true;
}

// A flood of numbered reports at a fixed rate: every report differs, so a
// receiver can count exactly what it lost. Noise floods at a rate too.
bool parse_burst(LineParser &line, Advertiser &advertiser, bool noise) {
  std::uint64_t rate = 0, seconds = 0;
  if (!parse_common(line, advertiser, false) || !line.hex("data", advertiser.data, false) ||
      !line.number("rate", 100000, rate, true) || !line.number("seconds", 86400, seconds, true))
    return false;
  if (rate == 0 || seconds == 0) return line.fail("rate and seconds must be at least 1");
  advertiser.sequence = !noise;
  advertiser.noise = noise;
  advertiser.period_numerator = 1000000;
  advertiser.period_denominator = rate;
  advertiser.count = rate * seconds;
  return true;
}

// An extended advertiser: the advertiser keys, with type anonymous allowed
// and event the extended event type's low four bits, then its PHYs, set
// and chain.
bool parse_extended(LineParser &line, Advertiser &advertiser) {
  std::string type, primary = "1m", secondary = "1m";
  std::uint64_t event = 0, sid = 0, periodic = 0, length = 0, truncated = 0;
  long long tx_power = 127;
  // Taken before the shared keys, which know neither.
  if (!line.number("event", 0x0F, event, false)) return false;
  line.erase("event");
  if (line.text("type", type, false) && type == "anonymous") line.erase("type");
  if (!parse_common(line, advertiser, true) || !line.text("phy", primary, false) ||
      !line.text("secondary", secondary, false) || !line.number("sid", 0x0F, sid, false) ||
      !line.signed_number("tx_power", -127, 127, tx_power, false) ||
      !line.number("periodic", 0xFFFF, periodic, false) ||
      !line.number("length", max_extended_data, length, false) ||
      !line.number("truncated", 1, truncated, false) || !line.hex("data", advertiser.data, false) ||
      !parse_repeat(line, advertiser))
    return false;
  if (line.has("data") && line.has("length")) return line.fail("data or length, not both");
  if (line.has("length")) advertiser.data = generated_data(length);
  if (type == "anonymous") advertiser.address_type = anonymous_address;
  const std::map<std::string, std::uint8_t> phys = {{"1m", 1}, {"2m", 2}, {"coded", 3}};
  auto found = phys.find(primary);
  if (found == phys.end() || found->second == 2) return line.fail("bad phy '" + primary + "'");
  advertiser.primary_phy = found->second;
  found = phys.find(secondary);
  if (found == phys.end()) return line.fail("bad secondary '" + secondary + "'");
  advertiser.secondary_phy = found->second;
  advertiser.extended = true;
  advertiser.event_type = static_cast<std::uint8_t>(event);
  advertiser.sid = static_cast<std::uint8_t>(sid);
  advertiser.tx_power = static_cast<std::int8_t>(tx_power);
  advertiser.periodic_interval = static_cast<std::uint16_t>(periodic);
  advertiser.truncated = truncated != 0;
  return true;
}

// Recorded LE Advertising Report events, one a line: hexadecimal from the
// event code on, then optionally a tab (or space) and a tag.
bool parse_replay(LineParser &line, Advertiser &advertiser, const std::string &folder) {
  std::string file;
  std::uint64_t start = 0;
  if (!line.text("name", advertiser.name, true) || !line.text("file", file, true) ||
      !line.number("start", 86400000, start, false) || !parse_repeat(line, advertiser))
    return false;
  if (file.empty()) return line.fail("bad file ''");
  advertiser.start_us = start * 1000;
  std::ifstream in(file.front() == '/' ? file : folder + file);
  if (!in) return line.fail("cannot read " + file);
  std::string raw;
  for (int number = 1; std::getline(in, raw); ++number) {
    auto bad = [&](const std::string &why) {
      return line.fail(file + " line " + std::to_string(number) + ": " + why);
    };
    std::string hex = raw.substr(0, raw.find_first_of(" \t\r"));
    if (hex.empty()) continue;
    std::vector<std::uint8_t> event;
    if (!parse_hex(hex, event)) return bad("not whole bytes of hexadecimal");
    if (event.size() < 3 || event[0] != 0x3E || event[2] != 0x02)
      return bad("not an LE Advertising Report event");
    if (event[1] != event.size() - 2)
      return bad("parameter length " + std::to_string(event[1]) + " but " +
                 std::to_string(event.size() - 2) + " bytes follow");
    advertiser.recorded.push_back(std::move(event));
  }
  if (advertiser.recorded.empty()) return line.fail(file + " holds no event");
  return true;
}

bool parse_mute(LineParser &line, Mute &mute) {
  std::uint64_t command = 0, occurrence = 1, time = 0;
  if (!line.number("command", 0xFFFF, command, false) ||
      !line.number("occurrence", UINT32_MAX, occurrence, false) ||
      !line.number("time", 86400000, time, false))
    return false;
  if (line.has("command") == line.has("time")) return line.fail("mute needs command or time");
  if (occurrence == 0) return line.fail("occurrence counts from 1");
  if (line.has("command")) mute.command = static_cast<std::uint16_t>(command);
  if (line.has("time")) mute.time_ms = time;
  mute.occurrence = static_cast<std::uint32_t>(occurrence);
  return true;
}

}  // namespace

std::vector<std::uint8_t> generated_data(std::size_t length) {
  std::vector<std::uint8_t> data;
  while (data.size() < length) {
    std::size_t structure = std::min<std::size_t>(length - data.size(), 256);
    data.push_back(static_cast<std::uint8_t>(structure - 1));
    for (std::size_t i = 1; i < structure; ++i)
      data.push_back(i < 4 ? 0xFF : static_cast<std::uint8_t>(data.size()));
  }
  return data;
}

std::vector<std::uint8_t> ibeacon_data(const std::array<std::uint8_t, 16> &uuid,
                                       std::uint16_t major, std::uint16_t minor,
                                       std::int8_t power) {
  std::vector<std::uint8_t> data = {0x02, 0x01, 0x06, 0x1A, 0xFF, 0x4C, 0x00, 0x02, 0x15};
  append(data, uuid.begin(), uuid.end());
  data.push_back(static_cast<std::uint8_t>(major >> 8));
  data.push_back(static_cast<std::uint8_t>(major));
  data.push_back(static_cast<std::uint8_t>(minor >> 8));
  data.push_back(static_cast<std::uint8_t>(minor));
  data.push_back(static_cast<std::uint8_t>(power));
  return data;
}

bool parse_scenario(const std::string &text, Scenario &scenario, std::string &error,
                    const std::string &folder) {
  scenario = Scenario{};
  std::set<std::string> names;
  std::istringstream lines(text);
  std::string raw;
  for (int number = 1; std::getline(lines, raw); ++number) {
    auto fail = [&](const std::string &why) {
      error = "line " + std::to_string(number) + ": " + why;
      return false;
    };
    std::string content = raw.substr(0, raw.find('#'));
    std::istringstream words_in(content);
    std::string keyword, word;
    if (!(words_in >> keyword)) continue;
    Words words;
    while (words_in >> word) {
      std::size_t equals = word.find('=');
      if (equals == std::string::npos || equals == 0) return fail("expected key=value, got '" + word + "'");
      if (!words.emplace(word.substr(0, equals), word.substr(equals + 1)).second)
        return fail("repeated key " + word.substr(0, equals));
    }
    std::string why;
    LineParser line(std::move(words), why);
    bool parsed = false;
    if (keyword == "controller") {
      std::uint64_t pack = 1;
      std::string bt5;
      std::uint64_t coded = 1;
      parsed = line.address("address", scenario.controller_address, true) &&
               line.number("pack", max_reports_per_event, pack, false) &&
               line.text("bt5", bt5, false) && line.number("coded", 1, coded, false) &&
               line.finish();
      scenario.coded = coded != 0;
      if (parsed && pack == 0) return fail("pack must be 1 or more");
      scenario.reports_per_event = static_cast<std::uint32_t>(pack);
      if (bt5 == "lenient") {
        scenario.bt5 = Bt5::lenient;
      } else if (bt5 == "strict") {
        scenario.bt5 = Bt5::strict;
      } else if (parsed && line.has("bt5")) {
        return fail("bad bt5 '" + bt5 + "'");
      }
    } else if (keyword == "mute") {
      Mute mute;
      parsed = parse_mute(line, mute) && line.finish();
      if (parsed) scenario.mutes.push_back(mute);
    } else if (keyword == "advertiser" || keyword == "ibeacon" || keyword == "burst" ||
               keyword == "noise" || keyword == "replay" || keyword == "extended") {
      Advertiser advertiser;
      parsed = (keyword == "advertiser" ? parse_advertiser(line, advertiser)
                : keyword == "extended" ? parse_extended(line, advertiser)
                : keyword == "ibeacon"  ? parse_ibeacon(line, advertiser)
                : keyword == "burst"    ? parse_burst(line, advertiser, false)
                : keyword == "noise"    ? parse_burst(line, advertiser, true)
                                        : parse_replay(line, advertiser, folder)) &&
               line.finish();
      if (parsed) {
        std::size_t length = advertiser.data.size() + (advertiser.sequence ? sequence_ad_length : 0);
        if (advertiser.extended && length > max_extended_data)
          return fail("advertising data of " + std::to_string(length) + " bytes exceeds the " +
                      std::to_string(max_extended_data) + " of an extended advertisement");
        if (!advertiser.extended && length > 31)
          return fail("advertising data of " + std::to_string(length) +
                      " bytes exceeds the 31 of a legacy report");
        if (!names.insert(advertiser.name).second) return fail("repeated name " + advertiser.name);
        scenario.advertisers.push_back(std::move(advertiser));
      }
    } else {
      return fail("unknown keyword " + keyword);
    }
    if (!parsed) return fail(why);
  }
  return true;
}

}  // namespace rig
