// The configuration phase: what identification decides for it, and on the wire
// the 14400-baud cap, the layout check of an unidentified unit, the readout and
// the write-back.
#include <gtest/gtest.h>

#include <cstdio>

#include "config/config_transfer.h"
#include "harness.h"

namespace korrin {
namespace {

FirmwarePackage package(bool pro, RevisionCode revision) {
  FirmwarePackage p = carriedPackage();
  p.packageIsPro = pro ? 1 : 0;
  p.packageRevision = revision;
  return p;
}

std::uint32_t rowWithRevision(RevisionCode rev) {
  for (std::uint32_t row = 0; row < kUnitTableRows; ++row)
    if (carriedPackage().unitTable->rev[row] == rev) return row;
  return kUnitTableRows;
}

TEST(UnitAssessmentTest, DecidedOnceFromTheMatchedRow) {
  constexpr ConfigMode kNone = ConfigMode::None, kLegacy = ConfigMode::Legacy, kOnPro = ConfigMode::ConfigOnPro;
  struct Case {
    const char* label;
    std::uint32_t row;  // kUnitTableRows: no row matched
    bool pro;
    RevisionCode release;
    ConfigMode conversion;
    bool hardware;
  } const cases[] = {
      {"unknown unit: judged as row 0, its layout checked later", kUnitTableRows, false, 0x020904, kNone, true},
      {"unknown unit, Pro release", kUnitTableRows, true, 0x020904, kNone, true},
      {"03/03/03 unit, legacy records", 0, false, 0x020904, kLegacy, true},
      {"04/23/03 unit, the day before the change", rowWithRevision(0x042303), false, 0x020904, kLegacy, true},
      {"08/30/03 base unit: already ConfigRecords", 81, false, 0x020904, kNone, true},
      {"a release older than the change converts nothing", 0, false, 0x042303, kNone, true},
      {"Pro release, 09/11/03 unit: to the Pro layout", 95, true, 0x020904, kOnPro, true},
      {"Pro release, legacy unit: legacy first", 0, true, 0x020904, kLegacy, true},
      {"Pro release before 10/12/03: no Pro layout", 95, true, 0x093003, kNone, true},
      {"Pro release, unit of 11/20/03: nothing", 146, true, 0x020904, kNone, false},
      {"year byte 01 counts as older than 2003", 25, false, 0x020904, kLegacy, true},
      {"11/06/03 base unit: before the base hardware limit", 140, false, 0x020904, kNone, true},
      {"11/06/03 unit, Pro release: past the Pro hardware limit", 140, true, 0x020904, kNone, false},
      {"11/11/03 base unit: at the base hardware limit", 143, false, 0x020904, kNone, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_LE(c.row, kUnitTableRows);
    const bool matched = c.row < kUnitTableRows;
    const UnitAssessment unit = assessUnit({ExitLabel::kNone, c.row}, package(c.pro, c.release));
    EXPECT_EQ(unit.identified, matched);
    if (matched) {
      EXPECT_EQ(unit.row, c.row);
    }
    EXPECT_EQ(unit.assumedRevision, carriedPackage().unitTable->rev[matched ? c.row : 0]);
    EXPECT_EQ(unit.conversion, c.conversion);
    EXPECT_EQ(unit.hardwareDue, c.hardware);
  }
}

TEST(ConfigSpeedTest, CapOnlyWhenTheConfigurationIsTouched) {
  struct Case {
    const char* label;
    std::uint32_t speed;
    bool identified;
    int mode;
    bool answers;
    std::string wire;
    ExitLabel exit;
    std::uint32_t after;
  } const cases[] = {
      {"needed at 28800", 28800, true, 1, true, "B014400E", ExitLabel::kNone, 14400},
      {"unidentified at 28800, whatever the check will find", 28800, false, 0, true, "B014400E", ExitLabel::kNone, 14400},
      {"nothing to preserve", 28800, true, 0, true, "", ExitLabel::kNone, 28800},
      {"already 14400", 14400, true, 1, true, "", ExitLabel::kNone, 14400},
      {"9600 after a fall-back", 9600, false, 0, true, "", ExitLabel::kNone, 9600},
      {"refused: E8", 28800, true, 1, false, "B014400E", ExitLabel::kConfigSpeedRefused, 14400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    testing::OpenLink bench(c.speed);
    if (!c.answers) bench.unit.faults.answerLimit = 0;
    UnitAssessment unit;
    unit.identified = c.identified;
    unit.conversion = static_cast<ConfigMode>(c.mode);
    EXPECT_EQ(capConfigSpeed(bench.link, unit), c.exit);
    EXPECT_EQ(bench.line.wire(), c.wire);
    EXPECT_EQ(bench.link.currentSpeed, c.after);
    EXPECT_EQ(bench.line.console(), "");
  }
}

void storeWord(std::vector<std::uint8_t>& memory, std::size_t at, std::uint16_t value) {
  memory[at] = static_cast<std::uint8_t>(value & 0xFF);
  memory[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

TEST(ConfigLayoutTest, RecordZeroDecides) {
  enum Content { Blank, Legacy, Config, Both, BadConfig };
  struct Case {
    const char* label;
    Content content;
    bool pro;
    int mode;
    std::string console;
  } const cases[] = {
      {"blank area", Blank, true, 0, ""},
      {"legacy record", Legacy, false, 1, "Config is pre 042803\n"},
      {"ConfigRecord, base release", Config, false, 0, ""},
      {"ConfigRecord, Pro release", Config, true, 2, "Config is pre 101203 for Pro\n"},
      {"valid in both layouts, Pro release", Both, true, 2, "Config is pre 042803\nConfig is pre 101203 for Pro\n"},
      {"valid in both layouts, base release", Both, false, 1, "Config is pre 042803\n"},
      {"ConfigRecord with a bad checksum", BadConfig, true, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    testing::OpenLink bench;
    std::vector<std::uint8_t>& memory = bench.unit.memory();
    if (c.content == Legacy) sim::fillConfigArea(memory, {sim::RecordLayout::Legacy, 3, true, false});
    if (c.content == Config || c.content == BadConfig || c.content == Both)
      sim::fillConfigArea(memory, {sim::RecordLayout::Config, 3, c.content != BadConfig, false});
    if (c.content == Both) {
      storeWord(memory, 0x4000 + 2476, configChecksum(memory.data() + 0x4000, 2476));
      storeWord(memory, 0x4000 + 2508, configChecksum(memory.data() + 0x4000, 2508));
    }
    ConfigMode mode = ConfigMode::None;
    EXPECT_EQ(checkConfigLayout(bench.link, package(c.pro, 0x020904), mode), ExitLabel::kNone);
    EXPECT_EQ(static_cast<int>(mode), c.mode);
    EXPECT_EQ(bench.line.console(), "Checking config data..\n" + c.console);
    const std::string wire = bench.line.wire();
    EXPECT_EQ(wire.substr(0, 15), "L000040A004000M");
    EXPECT_EQ(wire.substr(wire.size() - 16), "L000010A0049C0MC");
  }
}

TEST(ConfigReadoutTest, FifteenThousandBytesInSixtyFourByteBlocks) {
  testing::OpenLink bench;
  sim::fillConfigArea(bench.unit.memory(), {sim::RecordLayout::Legacy, 8, true, false});
  bench.unit.faults.corruptReads[0x4040] = 2;
  ConfigImage image;
  EXPECT_EQ(readConfigArea(bench.link, image), ExitLabel::kNone);
  EXPECT_TRUE(std::equal(image.bytes.begin(), image.bytes.begin() + 15072, bench.unit.memory().begin() + 0x4000));
  EXPECT_EQ(bench.line.console(), "Reading config data..\n++" + std::string(14, '.'));
  const std::string wire = bench.line.wire();
  EXPECT_EQ(wire.substr(0, 23), "L000040A004000MCA004040");
  EXPECT_EQ(wire.substr(wire.size() - 16), "L000020A007AC0MC");
  EXPECT_EQ(wire.size(), 7 + 236 * 9 + 2 * 9 + 7u) << "236 blocks, two repeats, two length commands";
}

TEST(ConfigWriteBackTest, SixRecordsToTheirAddresses) {
  struct Case {
    const char* label;
    bool pro;
    bool marker;
    std::vector<std::uint32_t> addresses;
    const char* lastLength;
  } const cases[] = {
      {"2512-byte records", false, false, {0x4000, 0x49D0, 0x53A0, 0x5D70, 0x6740, 0x7110}, "L0000D0"},
      {"2512-byte records: ':' changes nothing", false, true, {0x4000, 0x49D0, 0x53A0, 0x5D70, 0x6740, 0x7110}, "L0000D0"},
      {"2808-byte records", true, false, {0x4000, 0x4AF8, 0x55F0, 0x60E8, 0x6BE0, 0x76D8}, "L0000F8"},
      {"2808-byte records, record 5 with ':'", true, true, {0x4000, 0x4AF8, 0x55F0, 0x60E8, 0x6BE0, 0x6BE0}, "L0000F8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    testing::OpenLink bench;
    bench.unit.faults.corruptWrites[c.addresses[2] + 0x100] = 1;
    const FirmwarePackage release = package(c.pro, 0x020904);
    const std::size_t size = c.pro ? 2808 : 2512;
    ConfigImage image;
    for (std::size_t i = 0; i < image.bytes.size(); ++i) image.bytes[i] = static_cast<std::uint8_t>(i * 13 + i / 2808);
    image.bytes[5 * size] = c.marker ? ':' : '#';
    EXPECT_EQ(writeBackConfig(bench.link, release, image), ExitLabel::kNone);
    EXPECT_EQ(bench.line.console(), "..Re43....") << "a dot per record, the marker on record 2's repeat";
    std::string expected;
    for (std::size_t k = 0; k < 6; ++k) {
      const std::uint8_t* record = image.bytes.data() + k * size;
      expected += "L000100";
      for (std::size_t offset = 0; offset < size; offset += 256) {
        const std::size_t block = std::min<std::size_t>(256, size - offset);
        char address[8];
        std::snprintf(address, sizeof address, "A%06X", static_cast<unsigned>(c.addresses[k] + offset));
        const std::string send = std::string(address) + "D" + std::string(record + offset, record + offset + block) + "C";
        if (block < 256) expected += c.lastLength;
        expected += send;
        if (k == 2 && offset == 0x100) expected += send;  // moved again once
      }
      if (k != 4 || !c.marker) {
        EXPECT_TRUE(std::equal(record, record + size, bench.unit.memory().begin() + c.addresses[k])) << k;
      }
    }
    EXPECT_EQ(bench.line.wire(), expected);
  }
}

}  // namespace
}  // namespace korrin
