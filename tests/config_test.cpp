// The configuration phase: what identification decides for it, the layout
// check of an unidentified unit on the wire, and which saved copy explains an
// area. The conversions themselves are judged by the whole runs, against the
// simulated unit's independent byte maps.
#include <gtest/gtest.h>


#include "config/config_copy.h"
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

TEST(UnitAssessmentTest, DecidedOnceFromTheMatchedRow) {
  constexpr ConfigMode kNone = ConfigMode::None, kLegacy = ConfigMode::Legacy, kOnPro = ConfigMode::ConfigOnPro;
  struct Case {
    const char* label;
    std::uint32_t row;  // kUnitTableRows: no row matched
    bool pro;
    RevisionCode release;
    ConfigMode conversion;
    bool hardware;
    bool hardwareChecked = false;  // the unit may hold a cut download of this release
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
      {"Pro release of 10/12/03 itself: the Pro layout", 95, true, 0x101203, kOnPro, true},
      {"Pro release, unit of 11/20/03: nothing", 146, true, 0x020904, kNone, false},
      {"year byte 01 counts as older than 2003", 25, false, 0x020904, kLegacy, true},
      {"11/06/03 base unit: before the base hardware limit", 140, false, 0x020904, kNone, true},
      {"11/06/03 unit, Pro release: past the Pro hardware limit", 140, true, 0x020904, kNone, false},
      {"11/11/03 base unit: at the base hardware limit", 143, false, 0x020904, kNone, false},
      {"a unit of this very release: its hardware region checked", 158, false, 0x020904, kNone, false, true},
      {"the same unit, a release after it: nothing checked", 158, false, 0x030104, kNone, false},
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
    EXPECT_EQ(unit.hardwareToCheck, c.hardwareChecked);
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
    EXPECT_EQ(testing::tailOf(wire, 31), "L000010A0049C0MCA004000L0009D0C")
        << "2512 bytes: record 0 of either layout, then the unit's sum of them";
  }
}

// A unit's records as read, and what one conversion of them gives; Pro: a Pro
// release meeting ConfigRecords, record 5 marked to take record 4's place.
ConfigCopy copyOf(bool pro, std::uint32_t seed) {
  const FirmwarePackage release = package(pro, 0x020904);
  std::vector<std::uint8_t> unit;
  sim::fillConfigArea(unit, {pro ? sim::RecordLayout::Config : sim::RecordLayout::Legacy, seed, true, pro});
  ConfigCopy copy;
  copy.packageRevision = release.packageRevision;
  copy.packageIsPro = release.packageIsPro;
  copy.mode = pro ? ConfigMode::ConfigOnPro : ConfigMode::Legacy;
  copy.targetSize = targetRecordSize(release);
  std::copy_n(unit.begin() + 0x4000, kConfigReadoutBytes, copy.readout.bytes.begin());
  copy.converted = copy.readout;
  migrateConfigImage(copy.converted, copy.mode, release);
  return copy;
}

// The area as the write-back of `copy` leaves it: `blocks` whole blocks, then
// `bytes` of the next, its first byte flipped when `damaged`. The records and
// where they go come from the simulated unit's own byte maps.
std::vector<std::uint8_t> writtenBack(const ConfigCopy& copy, std::size_t blocks, std::size_t bytes, bool damaged) {
  std::vector<std::uint8_t> unit(0x9000, 0);  // a Pro record 5 may reach past 0x8000
  std::copy_n(copy.readout.bytes.begin(), kConfigReadoutBytes, unit.begin() + 0x4000);
  const bool pro = copy.mode == ConfigMode::ConfigOnPro;
  const auto records = sim::expectedRecords(unit, pro ? sim::RecordLayout::Config : sim::RecordLayout::Legacy,
                                            pro ? sim::RecordLayout::Pro : sim::RecordLayout::Config);
  std::size_t block = 0;
  for (const sim::ExpectedRecord& record : records) {
    for (std::size_t offset = 0; offset < record.bytes.size(); offset += 256, ++block) {
      const std::size_t length = std::min<std::size_t>(block < blocks ? 256 : block == blocks ? bytes : 0,
                                                       record.bytes.size() - offset);
      std::copy_n(record.bytes.begin() + offset, length, unit.begin() + record.address + offset);
      if (block == blocks && damaged) unit[record.address + offset] ^= 0x01;
    }
  }
  return {unit.begin() + 0x4000, unit.begin() + 0x4000 + kConfigReadoutBytes};
}

// A saved copy recognises exactly the states its write-backs leave when cut
// short, once or again in a restore (the rerun writes those again), and
// nothing of another unit, however alike.
TEST(ConfigCopyTest, MatchesOnlyTheStatesItsWriteBackLeaves) {
  constexpr std::size_t kNone = ~std::size_t{0};
  struct Case {
    const char* label;
    bool pro;
    std::uint32_t seed;  // of the unit whose area it is; the copy is of unit 1
    std::size_t blocks, bytes;
    bool damaged;
    std::size_t alsoDamaged;  // an earlier block a restore left damaged
    std::size_t otherByte;    // the first byte of the area that is another unit's
    CopyMatch match;
    std::size_t otherBytes = 1;  // how many from there
  } const cases[] = {
      {"nothing written", false, 1, 0, 0, false, kNone, kNone, CopyMatch::Untouched},
      {"the first block part written", false, 1, 0, 100, false, kNone, kNone, CopyMatch::Partial},
      {"the first block damaged on every attempt", false, 1, 0, 256, true, kNone, kNone, CopyMatch::Partial},
      {"one block written", false, 1, 1, 0, false, kNone, kNone, CopyMatch::Partial},
      {"cut inside a later block", false, 1, 17, 100, false, kNone, kNone, CopyMatch::Partial},
      {"a later block damaged", false, 1, 30, 256, true, kNone, kNone, CopyMatch::Partial},
      {"a restore cut by a damaged block before the first cut", false, 1, 20, 0, false, 12, kNone, CopyMatch::Partial},
      {"another unit", false, 2, 0, 0, false, kNone, kNone, CopyMatch::None},
      {"another unit, half written", false, 2, 30, 0, false, kNone, kNone, CopyMatch::None},
      {"a unit alike but for one header byte", false, 1, 0, 0, false, kNone, 3, CopyMatch::None},
      {"a unit alike but for one byte of its first block", false, 1, 0, 0, false, kNone, 100, CopyMatch::None},
      {"cut, with a byte past the cut another unit's", false, 1, 20, 0, false, kNone, 9000, CopyMatch::None},
      {"cut, with the first block another unit's", false, 1, 20, 0, false, kNone, 0, CopyMatch::None, 40},
      {"the first block part written, its rest another unit's", false, 1, 0, 100, false, kNone, 200, CopyMatch::None,
       40},
      {"Pro, cut in record 5 over record 4's place", true, 1, 58, 0, false, kNone, kNone, CopyMatch::Partial},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const ConfigCopy copy = copyOf(c.pro, 1);
    std::vector<std::uint8_t> area = writtenBack(copyOf(c.pro, c.seed), c.blocks, c.bytes, c.damaged);
    if (c.alsoDamaged != kNone) area[c.alsoDamaged * 256 + 40] ^= 0x5A;
    for (std::size_t i = 0; c.otherByte != kNone && i < c.otherBytes; ++i) area[c.otherByte + i] ^= 0x20;
    EXPECT_EQ(matchCopy(copy, area.data(), area.size()), c.match);
  }
}

}  // namespace
}  // namespace korrin
