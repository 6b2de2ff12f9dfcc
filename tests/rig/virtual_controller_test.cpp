// The virtual controller's HCI behaviour and scenario language, driven with
// chosen times and without /dev/vhci: what the kernel and the gateway rely
// on when the rig runs them for real.
#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "controller.h"
#include "scenario.h"

namespace {

using Packet = std::vector<std::uint8_t>;

Packet command(std::uint16_t opcode, Packet parameters = {}) {
  Packet packet = {0x01, static_cast<std::uint8_t>(opcode), static_cast<std::uint8_t>(opcode >> 8),
                   static_cast<std::uint8_t>(parameters.size())};
  packet.insert(packet.end(), parameters.begin(), parameters.end());
  return packet;
}

const Packet scan_parameters_100ms = {0x00, 0xA0, 0x00, 0xA0, 0x00, 0x00, 0x00};

struct Rig {
  explicit Rig(const std::string &text, const std::string &folder = "") {
    std::string error;
    EXPECT_TRUE(rig::parse_scenario(text, scenario, error, folder)) << error;
    controller.emplace(
        scenario, [this](const std::uint8_t *bytes, std::size_t length) {
          sent.emplace_back(bytes, bytes + length);
        },
        nullptr, 0);
  }
  // The Command Complete answer to one command, or an empty packet.
  Packet send(std::uint16_t opcode, Packet parameters = {}, std::uint64_t now_ms = 0) {
    sent.clear();
    Packet packet = command(opcode, std::move(parameters));
    controller->on_host_packet(packet.data(), packet.size(), now_ms * 1000);
    for (const Packet &p : sent)
      if (p.size() >= 6 && p[1] == 0x0E) return p;
    return {};
  }
  std::uint8_t status_of(std::uint16_t opcode, Packet parameters = {}, std::uint64_t now_ms = 0) {
    Packet answer = send(opcode, std::move(parameters), now_ms);
    return answer.size() > 6 ? answer[6] : 0xFF;
  }
  void start_scan(std::uint64_t now_ms = 0) {
    ASSERT_EQ(status_of(rig::opcode::le_set_scan_parameters, scan_parameters_100ms, now_ms), 0);
    ASSERT_EQ(status_of(rig::opcode::le_set_scan_enable, {1, 0}, now_ms), 0);
  }
  std::vector<Packet> reports_until(std::uint64_t now_ms) {
    sent.clear();
    controller->send_due_reports(now_ms * 1000);
    return sent;
  }

  rig::Scenario scenario;
  std::optional<rig::Controller> controller;
  std::vector<Packet> sent;
};

TEST(ScenarioText, ParsesEveryKindAndBuildsTheBeaconData) {
  rig::Scenario scenario;
  std::string error;
  ASSERT_TRUE(rig::parse_scenario(
      "controller address=00:11:22:33:44:55  # our BD_ADDR\n"
      "ibeacon name=b1 address=C0:FF:EE:00:00:01 type=random uuid=E2C56DB5DFFB48D2B060D0F5A71096E0"
      " major=258 minor=3 power=-59 rssi=-71 interval=200 count=5 start=1000\n"
      "\n"
      "burst name=flood address=D0:00:00:00:00:00 devices=50 rate=3 seconds=10\n"
      "mute command=0x200B occurrence=2\n",
      scenario, error))
      << error;
  EXPECT_EQ(scenario.controller_address, (rig::Address{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
  ASSERT_EQ(scenario.advertisers.size(), 2u);
  const rig::Advertiser &beacon = scenario.advertisers[0];
  // The gateway finds the iBeacon prefix 1AFF4C000215 at data byte 3.
  const std::vector<std::uint8_t> expected = {
      0x02, 0x01, 0x06, 0x1A, 0xFF, 0x4C, 0x00, 0x02, 0x15, 0xE2, 0xC5, 0x6D, 0xB5, 0xDF, 0xFB,
      0x48, 0xD2, 0xB0, 0x60, 0xD0, 0xF5, 0xA7, 0x10, 0x96, 0xE0, 0x01, 0x02, 0x00, 0x03, 0xC5};
  EXPECT_EQ(beacon.data, expected);
  EXPECT_EQ(beacon.address_type, 1);
  EXPECT_EQ(beacon.event_type, 3);
  EXPECT_EQ(beacon.rssi, -71);
  EXPECT_EQ(beacon.count, 5u);
  EXPECT_EQ(beacon.start_us, 1000000u);
  const rig::Advertiser &flood = scenario.advertisers[1];
  EXPECT_TRUE(flood.sequence);
  EXPECT_EQ(flood.count, 30u);
  EXPECT_EQ(flood.devices, 50u);
  ASSERT_EQ(scenario.mutes.size(), 1u);
  EXPECT_EQ(*scenario.mutes[0].command, 0x200B);
  EXPECT_EQ(scenario.mutes[0].occurrence, 2u);
}

TEST(ScenarioText, RejectsWhatWouldPlaySomethingElse) {
  const std::pair<const char *, const char *> cases[] = {
      // 24 bytes of data and the 8-byte sequence no longer fit a legacy report.
      {"advertiser name=a address=00:00:00:00:00:01 sequence=1 "
       "data=000102030405060708090A0B0C0D0E0F1011121314151617",
       "line 1: advertising data of 32 bytes exceeds the 31 of a legacy report"},
      {"advertiser name=a address=00:00:00:00:00:01 rssi=-60 intervall=100",
       "line 1: unknown key intervall"},
      {"\nadvertiser name=a address=00-00-00-00-00-01", "line 2: bad address '00-00-00-00-00-01'"},
      {"advertiser name=a address=00:00:00:00:00:01 rssi=-200", "line 1: bad rssi '-200'"},
      {"ibeacon name=a address=00:00:00:00:00:01 uuid=E2C5", "line 1: uuid must be 32 hexadecimal digits"},
      {"advertiser name=a address=00:00:00:00:00:01 data=0G", "line 1: bad data '0G'"},
      {"advertiser name=a address=00:00:00:00:00:01\nadvertiser name=a address=00:00:00:00:00:02",
       "line 2: repeated name a"},
      {"mute occurrence=2", "line 1: mute needs command or time"},
      {"burst name=f address=00:00:00:00:00:01 rate=0 seconds=1", "line 1: rate and seconds must be at least 1"},
      {"scanner x=1", "line 1: unknown keyword scanner"},
      {"controller address=00:00:00:00:00:01 pack=0", "line 1: pack must be 1 or more"},
      {"controller address=00:00:00:00:00:01 pack=7", "line 1: bad pack '7'"},
      {"controller address=00:00:00:00:00:01 bt5=", "line 1: bad bt5 ''"},
      {"extended name=e address=00:00:00:00:00:01 length=1643 sequence=1",
       "line 1: advertising data of 1651 bytes exceeds the 1650 of an extended advertisement"},
      {"extended name=e address=00:00:00:00:00:01 phy=2m", "line 1: bad phy '2m'"},
      {"extended name=e address=00:00:00:00:00:01 data=00 length=1",
       "line 1: data or length, not both"},
  };
  for (const auto &[text, why] : cases) {
    rig::Scenario scenario;
    std::string error;
    EXPECT_FALSE(rig::parse_scenario(text, scenario, error)) << text;
    EXPECT_EQ(error, why) << text;
  }
}

TEST(Controller, AnswersTheInitSequenceAsAnLeOnlyController) {
  Rig rig("controller address=00:1B:DC:0F:00:01\n");
  Packet reset = rig.send(rig::opcode::reset);
  // Command Complete, one command credit, the opcode, status 0.
  EXPECT_EQ(reset, (Packet{0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00}));

  Packet features = rig.send(0x1003);
  ASSERT_EQ(features.size(), 7u + 8u);
  EXPECT_EQ(features[7 + 4], 0x60) << "LE supported, BR/EDR not supported";

  Packet version = rig.send(0x1001);
  ASSERT_EQ(version.size(), 7u + 8u);
  EXPECT_EQ(version[7], 0x06);

  Packet address = rig.send(0x1009);
  EXPECT_EQ(Packet(address.begin() + 7, address.end()),
            (Packet{0x01, 0x00, 0x0F, 0xDC, 0x1B, 0x00}));

  EXPECT_EQ(rig.send(0x1002).size(), 7u + 64u);
  EXPECT_EQ(rig.send(0x2002).size(), 7u + 3u);
  for (std::uint16_t mandatory : {0x0C01, 0x2001, 0x2003, 0x201C})
    EXPECT_EQ(rig.status_of(mandatory), 0) << std::hex << mandatory;
  EXPECT_EQ(rig.status_of(0xFC01), rig::status::unknown_command);
}

TEST(Controller, KeepsTheScanStateARealControllerKeeps) {
  Rig rig("advertiser name=a address=00:00:00:00:00:01 interval=100\n");
  // 40,960 ms wraps to 0 units in the gateway's 16 bits: a controller refuses it.
  EXPECT_EQ(rig.status_of(rig::opcode::le_set_scan_parameters, {0, 0, 0, 0, 0, 0, 0}),
            rig::status::invalid_parameters);
  EXPECT_EQ(rig.status_of(rig::opcode::le_set_scan_parameters, {0, 0x10, 0, 0x20, 0, 0, 0}),
            rig::status::invalid_parameters)
      << "window longer than interval";
  EXPECT_EQ(rig.status_of(rig::opcode::le_set_scan_enable, {2, 0}), rig::status::invalid_parameters);
  rig.start_scan();
  EXPECT_EQ(rig.status_of(rig::opcode::le_set_scan_parameters, scan_parameters_100ms),
            rig::status::command_disallowed);
  EXPECT_EQ(rig.status_of(rig::opcode::le_set_scan_enable, {0, 0}), 0);
  EXPECT_EQ(rig.status_of(rig::opcode::le_set_scan_parameters, scan_parameters_100ms), 0);

  // After a reset (hciconfig down/up) the scan is off until enabled again.
  rig.start_scan();
  EXPECT_TRUE(rig.controller->scanning());
  EXPECT_EQ(rig.status_of(rig::opcode::reset), 0);
  EXPECT_FALSE(rig.controller->scanning());
  EXPECT_EQ(rig.status_of(rig::opcode::le_set_scan_parameters, scan_parameters_100ms), 0);
}

TEST(Controller, SendsOneReportPerEventOnTheAdvertisersSchedule) {
  Rig rig(
      "advertiser name=a address=11:22:33:44:55:66 type=random event=3 rssi=-60 data=020106 "
      "interval=100 count=3 start=50\n");
  EXPECT_TRUE(rig.reports_until(10000).empty()) << "nothing before the first scan enable";
  rig.start_scan(1000);
  EXPECT_TRUE(rig.reports_until(1049).empty());
  std::vector<Packet> first = rig.reports_until(1050);
  ASSERT_EQ(first.size(), 1u);
  // 04 3E len 02 01, event type, address type, address LSB first, length, data, RSSI.
  EXPECT_EQ(first[0], (Packet{0x04, 0x3E, 0x0F, 0x02, 0x01, 0x03, 0x01, 0x66, 0x55, 0x44, 0x33,
                              0x22, 0x11, 0x03, 0x02, 0x01, 0x06, 0xC4}));
  EXPECT_EQ(rig.controller->next_due_us(), std::optional<std::uint64_t>(1150000));
  // A late host gets everything that came due, then nothing beyond count.
  EXPECT_EQ(rig.reports_until(5000).size(), 2u);
  EXPECT_FALSE(rig.controller->next_due_us());
}

TEST(Controller, PacksReportsDueTogetherEachReportWhole) {
  Rig rig(
      "controller address=00:00:00:00:00:09 pack=2\n"
      "advertiser name=a address=00:00:00:00:00:01 data=0201 rssi=-60 interval=100 count=1\n"
      "advertiser name=b address=00:00:00:00:00:02 rssi=-61 interval=100 count=1\n"
      "advertiser name=c address=00:00:00:00:00:03 data=05 rssi=-62 interval=100 count=1\n");
  rig.start_scan();
  std::vector<Packet> events = rig.reports_until(0);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], (Packet{0x04, 0x3E, 0x18, 0x02, 0x02,                                 //
                               0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0x02, 0x02, 0x01, 0xC4,  //
                               0x00, 0x00, 0x02, 0, 0, 0, 0, 0, 0x00, 0xC3}));
  EXPECT_EQ(events[1], (Packet{0x04, 0x3E, 0x0D, 0x02, 0x01,  //
                               0x00, 0x00, 0x03, 0, 0, 0, 0, 0, 0x01, 0x05, 0xC2}));
}

TEST(Controller, LosesReportsWhileNotScanningAndFiltersDuplicatesOnRequest) {
  Rig rig("advertiser name=a address=00:00:00:00:00:01 interval=100\n");
  rig.start_scan();
  EXPECT_EQ(rig.reports_until(250).size(), 3u);  // 0, 100, 200
  ASSERT_EQ(rig.status_of(rig::opcode::le_set_scan_enable, {0, 0}, 250), 0);
  EXPECT_FALSE(rig.controller->next_due_us()) << "no wake-ups while not scanning";
  ASSERT_EQ(rig.status_of(rig::opcode::le_set_scan_enable, {1, 1}, 1000), 0);
  // 300..1000 were due while off; with duplicate filtering only the first
  // of the identical reports after the enable is sent.
  EXPECT_TRUE(rig.reports_until(1000).empty());
  EXPECT_EQ(rig.reports_until(1100).size(), 1u);
  EXPECT_TRUE(rig.reports_until(1500).empty());
}

TEST(Controller, BurstNumbersEveryReportAcrossItsDevices) {
  Rig rig("burst name=f address=D0:00:00:00:00:FE devices=3 rate=1000 seconds=1 rssi=-55\n");
  rig.start_scan();
  std::vector<Packet> reports = rig.reports_until(2000);
  ASSERT_EQ(reports.size(), 1000u);
  for (std::uint32_t i = 0; i < reports.size(); ++i) {
    const Packet &report = reports[i];
    ASSERT_EQ(report.size(), 3u + 12u + 8u);
    // The address counts up from D0:00:00:00:00:FE with a carry.
    std::uint32_t low = report[7] | report[8] << 8;
    EXPECT_EQ(low, 0xFEu + i % 3) << i;
    std::uint32_t number = report[18] << 24 | report[19] << 16 | report[20] << 8 | report[21];
    EXPECT_EQ(number, i);
  }
  // 1,000 per second spread evenly: report 999 is due at 999 ms.
  Rig exact("burst name=f address=D0:00:00:00:00:00 rate=3 seconds=1\n");
  exact.start_scan();
  EXPECT_EQ(exact.reports_until(666).size(), 2u);
  EXPECT_EQ(exact.reports_until(667).size(), 1u);
}

TEST(Controller, ReplaysRecordedEventsByteForByteAndRefusesBrokenOnes) {
  const std::string folder = testing::TempDir();
  auto write = [&](const char *name, const char *text) { std::ofstream(folder + name) << text; };
  write("replay_good.txt",
        "3E0C0201000166554433221100C4\ttag one\n"
        "\n"
        "3E0F02010301A1A2A3A4A5A603020106B0\n");
  Rig rig("replay name=r file=replay_good.txt interval=20 start=10 count=3\n", folder);
  rig.start_scan(1000);
  EXPECT_TRUE(rig.reports_until(1009).empty());
  const Packet first = {0x04, 0x3E, 0x0C, 0x02, 0x01, 0x00, 0x01, 0x66, 0x55,
                        0x44, 0x33, 0x22, 0x11, 0x00, 0xC4};
  const Packet second = {0x04, 0x3E, 0x0F, 0x02, 0x01, 0x03, 0x01, 0xA1, 0xA2,
                         0xA3, 0xA4, 0xA5, 0xA6, 0x03, 0x02, 0x01, 0x06, 0xB0};
  // In order, cycling through the file, and count is events in all.
  EXPECT_EQ(rig.reports_until(5000), (std::vector<Packet>{first, second, first}));
  EXPECT_FALSE(rig.controller->next_due_us());

  write("replay_odd.txt", "3E0C0201000166554433221100C4\n3E0C020\n");
  write("replay_short.txt", "3E2B0201000166554433221100C4\n");
  const std::pair<const char *, const char *> cases[] = {
      {"replay_odd.txt", "line 1: replay_odd.txt line 2: not whole bytes of hexadecimal"},
      {"replay_short.txt", "line 1: replay_short.txt line 1: parameter length 43 but 12 bytes follow"},
      {"replay_none.txt", "line 1: cannot read replay_none.txt"},
  };
  for (const auto &[file, why] : cases) {
    rig::Scenario scenario;
    std::string error;
    EXPECT_FALSE(rig::parse_scenario(std::string("replay name=r file=") + file, scenario, error,
                                     folder));
    EXPECT_EQ(error, why);
  }
}


TEST(Controller, MutedControllerAnswersNothingAndFallsSilent) {
  Rig by_command(
      "advertiser name=a address=00:00:00:00:00:01 interval=100\n"
      "mute command=0x200B occurrence=2\n");
  by_command.start_scan();
  ASSERT_EQ(by_command.status_of(rig::opcode::le_set_scan_enable, {0, 0}), 0);
  EXPECT_TRUE(by_command.send(rig::opcode::le_set_scan_parameters, scan_parameters_100ms).empty());
  EXPECT_TRUE(by_command.send(rig::opcode::reset).empty());
  EXPECT_TRUE(by_command.controller->muted());

  Rig by_time(
      "advertiser name=a address=00:00:00:00:00:01 interval=100\n"
      "mute time=450\n");
  by_time.start_scan();
  EXPECT_EQ(by_time.controller->next_due_us(), std::optional<std::uint64_t>(0));
  EXPECT_EQ(by_time.reports_until(10000).size(), 5u) << "what came before the mute went out";
  EXPECT_TRUE(by_time.send(rig::opcode::reset, {}, 10000).empty());
}

TEST(Controller, ExtendedAdvertisersChainTheirDataOnTheScannedPhysOnly) {
  const std::string text =
      "controller address=00:1B:DC:0F:00:01 bt5=lenient CODED\n"
      "extended name=sensor address=11:22:33:44:55:66 type=random event=1 length=30 "
      "secondary=2m sid=3 tx_power=-8 rssi=-70 count=1\n"
      "extended name=chain address=C0:00:00:00:00:01 length=992 sequence=1 count=1 start=100\n"
      "extended name=far phy=coded secondary=coded type=anonymous address=00:00:00:00:00:09 "
      "length=20 count=1 start=200\n"
      "extended name=broken address=C0:00:00:00:00:02 length=300 truncated=1 count=1 start=300\n"
      "advertiser name=legacy address=D0:00:00:00:00:01 data=020106 count=1 start=400\n";
  using Fragments = std::vector<std::pair<int, std::size_t>>;  // data status, data bytes
  const Fragments sensor = {{0, 30}}, far = {{0, 20}}, legacy = {{0, 3}};
  const Fragments chain = {{1, 229}, {1, 229}, {1, 229}, {1, 229}, {0, 84}};
  const Fragments broken = {{1, 229}, {2, 71}};
  auto join = [](std::initializer_list<Fragments> parts) {
    Fragments all;
    for (const Fragments &part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
  };
  struct Case {
    const char *coded;
    std::uint8_t phys;  // 0: a legacy scan
    std::uint8_t status;
    Fragments heard;
  };
  const Case cases[] = {
      {"", 0, 0, legacy},  // extended advertisers are not heard by a legacy scan
      {"", 0x01, 0, join({sensor, chain, broken, legacy})},
      {"", 0x05, 0, join({sensor, chain, far, broken, legacy})},
      {"", 0x04, 0, far},  // legacy PDUs are on the 1M PHY
      // Refused: the scan keeps the 1M parameters it had.
      {"coded=0", 0x05, rig::status::unsupported_feature, join({sensor, chain, broken, legacy})},
  };
  for (const Case &c : cases) {
    std::string scenario = text;
    scenario.replace(scenario.find("CODED"), 5, c.coded);
    Rig rig(scenario);
    SCOPED_TRACE(std::string(c.coded) + " phys " + std::to_string(c.phys));
    EXPECT_EQ(rig.send(0x2003).at(8), *c.coded ? 0x10 : 0x18) << "LE Coded PHY feature bit";
    if (c.phys == 0) {
      rig.start_scan();
    } else {
      Packet parameters = {0, 0, c.phys};
      for (int phy = 0; phy < (c.phys == 0x05 ? 2 : 1); ++phy)
        parameters.insert(parameters.end(), {0, 0xA0, 0, 0xA0, 0});
      ASSERT_EQ(rig.status_of(0x2041, parameters), c.status);
      ASSERT_EQ(rig.status_of(0x2042, {1, 0, 0, 0, 0, 0}), 0);
    }
    Fragments heard;
    for (const Packet &event : rig.reports_until(1000)) {
      ASSERT_EQ(event.at(3), c.phys ? 0x0D : 0x02);
      ASSERT_EQ(event.at(4), 1) << "one report an event";
      if (c.phys == 0) {
        heard.emplace_back(0, event.at(13));
        continue;
      }
      ASSERT_EQ(event.size(), 29u + event.at(28)) << "the event holds its report whole";
      heard.emplace_back(event[5] >> 5 & 3, event[28]);
    }
    EXPECT_EQ(heard, c.heard);
  }
}

}  // namespace
