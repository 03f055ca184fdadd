// The configuration records and their phase: validity, the conversions against
// the simulated unit's independent byte maps, what identification decides for
// the phase, and on the wire the 14400-baud cap, the layout check of an
// unidentified unit, the readout and the write-back.
#include <gtest/gtest.h>

#include <cstring>

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

void storeWord(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value & 0xFF);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}

TEST(ConfigRecordTest, ValidOnlyWithItsOwnNonzeroLittleEndianSum) {
  const std::pair<ConfigLayout, sim::RecordLayout> layouts[] = {{kLegacyLayout, sim::RecordLayout::Legacy},
                                                                {kConfigLayout, sim::RecordLayout::Config},
                                                                {kProLayout, sim::RecordLayout::Pro}};
  for (const auto& [layout, simLayout] : layouts) {
    SCOPED_TRACE(layout.recordBytes);
    std::vector<std::uint8_t> memory;
    sim::fillConfigArea(memory, {simLayout, 11, true, false});
    std::uint8_t* record = memory.data() + 0x4000;
    const std::size_t c = layout.checksumOffset;
    EXPECT_TRUE(configRecordValid(record, layout));
    ASSERT_NE(record[c], record[c + 1]);
    std::swap(record[c], record[c + 1]);
    EXPECT_FALSE(configRecordValid(record, layout)) << "the sum stored big-endian";
    std::fill(record, record + layout.recordBytes, 0);
    EXPECT_FALSE(configRecordValid(record, layout)) << "a blank record";
    record[8] = 0x01;  // word 0x0001
    record[10] = record[11] = 0xFF;  // word 0xFFFF: the body sums to 0, as the stored word reads
    EXPECT_FALSE(configRecordValid(record, layout)) << "a body summing to 0";
    sim::fillConfigArea(memory, {simLayout, 12, false, false});
    EXPECT_FALSE(configRecordValid(memory.data() + 0x4000, layout)) << "a wrong sum";
  }
}

// Six distinct records through migrateConfigImage, against the oracle's byte
// maps: record k must come from record k, pad bytes are 0x00, a checksum that
// was wrong before is right after.
TEST(ConfigRecordTest, ConversionsMatchTheByteMaps) {
  struct Case {
    ConfigMode mode;
    FirmwarePackage package;
    sim::RecordLayout from, to;
    bool validChecksums;
  } const cases[] = {
      {ConfigMode::Legacy, package(false, 0x111103), sim::RecordLayout::Legacy, sim::RecordLayout::Config, true},
      {ConfigMode::Legacy, package(true, 0x093003), sim::RecordLayout::Legacy, sim::RecordLayout::Config, false},
      {ConfigMode::Legacy, package(true, 0x101203), sim::RecordLayout::Legacy, sim::RecordLayout::Pro, true},
      // January 2004 is after 10/12/03, though smaller as a number.
      {ConfigMode::Legacy, package(true, 0x010104), sim::RecordLayout::Legacy, sim::RecordLayout::Pro, false},
      {ConfigMode::ConfigOnPro, package(true, 0x101203), sim::RecordLayout::Config, sim::RecordLayout::Pro, true},
      {ConfigMode::ConfigOnPro, package(true, 0x010104), sim::RecordLayout::Config, sim::RecordLayout::Pro, false},
      {ConfigMode::None, package(true, 0x093003), sim::RecordLayout::Config, sim::RecordLayout::Config, true},
  };
  std::uint32_t seed = 300;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::vector<std::uint8_t> unit;
    sim::fillConfigArea(unit, {c.from, seed++, c.validChecksums, false});
    ConfigImage image;
    image.bytes.fill(0xA5);  // beyond the readout: stays unless Pro records fill it
    std::memcpy(image.bytes.data(), unit.data() + 0x4000, kConfigReadoutBytes);
    const ConfigImage readout = image;
    migrateConfigImage(image, c.mode, c.package);
    const std::size_t size = sim::recordBytes(c.to);
    ASSERT_EQ(targetRecordSize(c.package), size);
    const std::vector<sim::ExpectedRecord> expected = sim::expectedRecords(unit, c.from, c.to);
    ASSERT_EQ(expected.size(), kConfigRecordCount);
    for (const sim::ExpectedRecord& record : expected) {
      EXPECT_TRUE(std::equal(record.bytes.begin(), record.bytes.end(), image.bytes.begin() + record.fromRecord * size))
          << "record " << record.fromRecord;
    }
    if (c.from == c.to) {
      EXPECT_EQ(image.bytes, readout.bytes);
    }
  }
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
      {"04/23/03 unit, the day before the change", 32, false, 0x020904, kLegacy, true},
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
    const bool matched = c.row < kUnitTableRows;
    const UnitAssessment unit = assessUnit({ExitLabel::kNone, c.row}, package(c.pro, c.release));
    EXPECT_EQ(unit.identified, matched);
    EXPECT_EQ(unit.row, matched ? c.row : 0);
    EXPECT_EQ(unit.assumedRevision, carriedPackage().unitTable->rev[matched ? c.row : 0]);
    EXPECT_EQ(unit.conversion, c.conversion);
    EXPECT_EQ(unit.hardwareDue, c.hardware);
  }
}

TEST(ConfigPhaseTest, CapTo14400OnlyWhenTheConfigurationIsTouched) {
  struct Case {
    const char* label;
    std::uint32_t speed;
    bool identified;
    ConfigMode mode;
    bool answers;
    std::string wire;
    ExitLabel exit;
  } const cases[] = {
      {"needed at 28800", 28800, true, ConfigMode::Legacy, true, "B014400E", ExitLabel::kNone},
      {"unidentified at 28800, whatever the check will find", 28800, false, ConfigMode::None, true, "B014400E",
       ExitLabel::kNone},
      {"nothing to preserve", 28800, true, ConfigMode::None, true, "", ExitLabel::kNone},
      {"already 14400", 14400, true, ConfigMode::Legacy, true, "", ExitLabel::kNone},
      {"9600 after a fall-back", 9600, false, ConfigMode::None, true, "", ExitLabel::kNone},
      {"refused: E8", 28800, true, ConfigMode::Legacy, false, "B014400E", ExitLabel::kConfigSpeedRefused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    testing::OpenLink bench(c.speed);
    if (!c.answers) bench.unit.faults.answerLimit = 0;
    UnitAssessment unit;
    unit.identified = c.identified;
    unit.conversion = c.mode;
    EXPECT_EQ(capConfigSpeed(bench.link, unit), c.exit);
    EXPECT_EQ(bench.line.wire(), c.wire);
    EXPECT_EQ(bench.link.currentSpeed, c.wire.empty() ? c.speed : 14400);
  }
}

TEST(ConfigPhaseTest, RecordZeroDecidesTheLayoutOfAnUnidentifiedUnit) {
  enum Content { Blank, Legacy, Config, Both, BadConfig };
  struct Case {
    const char* label;
    Content content;
    bool pro;
    ConfigMode mode;
    std::string console;
  } const cases[] = {
      {"blank area", Blank, true, ConfigMode::None, ""},
      {"legacy record", Legacy, false, ConfigMode::Legacy, "Config is pre 042803\n"},
      {"ConfigRecord, base release", Config, false, ConfigMode::None, ""},
      {"ConfigRecord, Pro release", Config, true, ConfigMode::ConfigOnPro, "Config is pre 101203 for Pro\n"},
      {"valid in both layouts, Pro release", Both, true, ConfigMode::ConfigOnPro,
       "Config is pre 042803\nConfig is pre 101203 for Pro\n"},
      {"valid in both layouts, base release", Both, false, ConfigMode::Legacy, "Config is pre 042803\n"},
      {"ConfigRecord with a bad checksum", BadConfig, true, ConfigMode::None, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    testing::OpenLink bench;
    std::uint8_t* record0 = bench.unit.memory().data() + 0x4000;
    if (c.content == Legacy) sim::fillConfigArea(bench.unit.memory(), {sim::RecordLayout::Legacy, 3, true, false});
    if (c.content >= Config) sim::fillConfigArea(bench.unit.memory(), {sim::RecordLayout::Config, 3, c.content != BadConfig, false});
    if (c.content == Both) {
      storeWord(record0 + 2476, configChecksum(record0, 2476));
      storeWord(record0 + 2508, configChecksum(record0, 2508));
    }
    ConfigMode mode = ConfigMode::None;
    EXPECT_EQ(checkConfigLayout(bench.link, package(c.pro, 0x020904), mode), ExitLabel::kNone);
    EXPECT_EQ(mode, c.mode);
    EXPECT_EQ(bench.line.console(), "Checking config data..\n" + c.console);
    const std::string wire = bench.line.wire();
    EXPECT_EQ(wire.substr(0, 15), "L000040A004000M");
    EXPECT_EQ(testing::tailOf(wire, 16), "L000010A0049C0MC") << "2512 bytes: record 0 of either layout";
  }
}

TEST(ConfigPhaseTest, ReadoutIsFifteenThousandBytesInSixtyFourByteBlocks) {
  testing::OpenLink bench;
  sim::fillConfigArea(bench.unit.memory(), {sim::RecordLayout::Legacy, 8, true, false});
  bench.unit.faults.corruptReads[0x4040] = 2;
  ConfigImage image;
  EXPECT_EQ(readConfigArea(bench.link, image), ExitLabel::kNone);
  EXPECT_TRUE(std::equal(image.bytes.begin(), image.bytes.begin() + 15072, bench.unit.memory().begin() + 0x4000));
  EXPECT_EQ(bench.line.console(), "Reading config data..\n++" + std::string(14, '.'));
  const std::string wire = bench.line.wire();
  EXPECT_EQ(wire.substr(0, 23), "L000040A004000MCA004040");
  EXPECT_EQ(testing::tailOf(wire, 16), "L000020A007AC0MC");
  EXPECT_EQ(wire.size(), 7 + 236 * 9 + 2 * 9 + 7u) << "236 blocks, two repeats, two length commands";
}

TEST(ConfigPhaseTest, WriteBackPutsSixRecordsAtTheirAddresses) {
  struct Case {
    const char* label;
    bool pro, marker;
    std::vector<std::uint32_t> addresses;
  } const cases[] = {
      {"2512-byte records", false, false, {0x4000, 0x49D0, 0x53A0, 0x5D70, 0x6740, 0x7110}},
      {"2512-byte records: ':' changes nothing", false, true, {0x4000, 0x49D0, 0x53A0, 0x5D70, 0x6740, 0x7110}},
      {"2808-byte records", true, false, {0x4000, 0x4AF8, 0x55F0, 0x60E8, 0x6BE0, 0x76D8}},
      {"2808-byte records, record 5 with ':'", true, true, {0x4000, 0x4AF8, 0x55F0, 0x60E8, 0x6BE0, 0x6BE0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    testing::OpenLink bench;
    bench.unit.faults.corruptWrites[c.addresses[2] + 0x100] = 1;
    const std::size_t size = c.pro ? 2808 : 2512;
    ConfigImage image;
    for (std::size_t i = 0; i < image.bytes.size(); ++i) image.bytes[i] = static_cast<std::uint8_t>(i * 13 + i / 2808);
    image.bytes[5 * size] = c.marker ? ':' : '#';
    EXPECT_EQ(writeBackConfig(bench.link, package(c.pro, 0x020904), image), ExitLabel::kNone);
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
        if (block < 256) expected += c.pro ? "L0000F8" : "L0000D0";
        expected += k == 2 && offset == 0x100 ? send + send : send;  // moved again once
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
