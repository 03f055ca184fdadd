// The configuration phase: what identification decides for it, the layout
// check of an unidentified unit on the wire, and which saved copy explains an
// area. The conversions themselves are judged by the whole runs, against the
// simulated unit's independent byte maps.
#include <gtest/gtest.h>

#include <array>

#include <numeric>

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
    const UnitAssessment unit = assessUnit({IdentifyEnd::kGoOn, c.row}, package(c.pro, c.release));
    EXPECT_EQ(unit.identified, c.row < kUnitTableRows);
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
    const LayoutCheck check = checkConfigLayout(bench.link, package(c.pro, 0x020904));
    EXPECT_EQ(check.end, ConfigEnd::kGoOn);
    EXPECT_EQ(check.layout, c.mode);
    EXPECT_EQ(bench.line.console(), "Checking config data..\n" + c.console);
    const std::string wire = bench.line.wire();
    EXPECT_EQ(wire.substr(0, 37), "L0009D0A004000CA008000L000040A004000M")
        << "the unit's sum of record 0 before it is read, the address register parked, the first block";
    EXPECT_EQ(testing::tailOf(wire, 31), "L000010A0049C0MCL0009D0A004000C")
        << "2512 bytes: record 0 of either layout, then the unit's sum of them again";
  }
}

// Units for the copy tests: unit 1's records; another unit's; unit 1's but
// for a 4-byte ID in record 0 (a fleet set up alike); records set up with
// defaults (a header and one setting each, the rest zeros). Pro: ConfigRecords
// for a Pro release, record 5 at its own place unless `marked`.
enum class Unit { One, Another, Alike, Sparse };
std::vector<std::uint8_t> unitMemory(bool pro, Unit which, bool marked = false) {
  const sim::RecordLayout layout = pro ? sim::RecordLayout::Config : sim::RecordLayout::Legacy;
  std::vector<std::uint8_t> unit(0x9000, 0);  // a Pro record 5 may reach past 0x8000
  sim::fillConfigArea(unit, {layout, which == Unit::Another ? 2u : 1u, true, marked});
  const std::size_t size = sim::recordBytes(layout);
  for (std::size_t k = 0; which == Unit::Sparse && k < 6; ++k) {
    std::uint8_t* record = unit.data() + 0x4000 + k * size;
    std::fill(record + 8, record + size, 0);
    record[100] = 7;
    sim::sealRecord(record, layout);
  }
  if (which == Unit::Alike) {
    for (std::size_t i = 16; i < 20; ++i) unit[0x4000 + i] ^= 0x5A;
    sim::sealRecord(unit.data() + 0x4000, layout);
  }
  return unit;
}

SavedCopy copyOf(bool pro, const std::vector<std::uint8_t>& unit) {
  ConfigImage readout;
  std::copy_n(unit.begin() + 0x4000, kConfigReadoutBytes, readout.bytes.begin());
  SavedCopy copy;
  copy.conversion = convertReadout(readout, pro ? ConfigMode::ConfigOnPro : ConfigMode::Legacy, package(pro, 0x020904));
  return copy;
}

// The area of `unit` as a write-back of its records leaves it: `blocks` whole
// blocks, then `bytes` of the next, its first byte flipped when `damaged`
// (the unit's sum of it in `journal`). The records and where they go come
// from the simulated unit's own byte maps.
std::vector<std::uint8_t> writtenBack(bool pro, std::vector<std::uint8_t> unit, std::size_t blocks, std::size_t bytes,
                                      bool damaged, std::vector<HeldBlock>& journal) {
  const auto records = sim::expectedRecords(unit, pro ? sim::RecordLayout::Config : sim::RecordLayout::Legacy,
                                            pro ? sim::RecordLayout::Pro : sim::RecordLayout::Config);
  std::size_t block = 0;
  for (const sim::ExpectedRecord& record : records) {
    for (std::size_t offset = 0; offset < record.bytes.size(); offset += 256, ++block) {
      const std::size_t size = std::min<std::size_t>(256, record.bytes.size() - offset);
      const std::size_t length = block < blocks ? size : block == blocks ? std::min(bytes, size) : 0;
      std::uint8_t* at = unit.data() + record.address + offset;
      std::copy_n(record.bytes.begin() + offset, length, at);
      if (block != blocks || !damaged) continue;
      at[0] ^= 0x01;
      journal.push_back({static_cast<std::uint32_t>(record.address + offset),
                         std::accumulate(at, at + size, std::uint32_t{0})});
    }
  }
  return {unit.begin() + 0x4000, unit.begin() + 0x4000 + kConfigReadoutBytes};
}

// A saved copy recognises exactly the states its write-backs leave when cut
// short, once or again in a restore (the rerun writes those again), however
// few bytes of the conversion show, and nothing of another unit, however alike.
TEST(ConfigCopyTest, MatchesOnlyTheStatesItsWriteBackLeaves) {
  constexpr std::size_t kNone = ~std::size_t{0};
  constexpr CopyMatch kUntouched = CopyMatch::Untouched, kPartial = CopyMatch::Partial;
  constexpr CopyMatch kComplete = CopyMatch::Complete, kNoMatch = CopyMatch::None;
  struct Case {
    const char* label;
    bool pro;
    Unit area;  // the unit whose area it is; the copy is of unit 1 (of Sparse when the area is)
    std::size_t blocks, bytes;
    bool damaged;
    bool journaled;  // the unit's sums of damaged blocks are in the copy's journal
    CopyMatch match;
    std::size_t alsoDamaged = kNone;  // a byte of an earlier block a restore left damaged
    std::size_t otherByte = kNone;    // the first byte of the area that is another unit's
    std::size_t otherBytes = 1;       // how many from there
    bool farOff = false;              // the damaged first block far off what was sent, its sum kept
    std::size_t lineBytes = 0;        // line bytes from block 24 on (record 2), marked in the journal when journaled
  } const cases[] = {
      {"nothing written", false, Unit::One, 0, 0, false, false, kUntouched},
      {"the first block stored in part", false, Unit::One, 0, 100, false, false, kPartial},
      {"the first block damaged on every attempt", false, Unit::One, 0, 256, true, true, kPartial},
      {"the same, the damage not in the journal", false, Unit::One, 0, 256, true, false, kNoMatch},
      {"the same, summing as journaled but twenty bytes off", false, Unit::One, 0, 256, true, true, kNoMatch, kNone,
       kNone, 1, true},
      {"one block written", false, Unit::One, 1, 0, false, false, kPartial},
      {"cut inside a later block", false, Unit::One, 17, 100, false, false, kPartial},
      {"a later block damaged", false, Unit::One, 30, 256, true, true, kPartial},
      {"a restore cut by a damaged block before the first cut", false, Unit::One, 20, 0, false, true, kPartial, 3112},
      {"the same, the damage not in the journal", false, Unit::One, 20, 0, false, false, kNoMatch, 3112},
      {"written whole", false, Unit::One, 60, 0, false, false, kComplete},
      {"another unit", false, Unit::Another, 0, 0, false, false, kNoMatch},
      {"another unit, half written", false, Unit::Another, 30, 0, false, false, kNoMatch},
      {"a unit alike but for its ID", false, Unit::Alike, 0, 0, false, false, kNoMatch},
      {"a unit alike but for its ID, cut in record 2", false, Unit::Alike, 25, 0, false, false, kNoMatch},
      {"a unit alike but for its ID, written whole", false, Unit::Alike, 60, 0, false, false, kNoMatch},
      {"a unit alike but for its ID, its first block stored in part", false, Unit::Alike, 0, 8, false, false,
       kNoMatch},
      {"a unit alike but for one header byte", false, Unit::One, 0, 0, false, false, kNoMatch, kNone, 3},
      {"cut, with a byte past the cut another unit's", false, Unit::One, 20, 0, false, false, kNoMatch, kNone, 9000},
      {"cut, with the first block another unit's", false, Unit::One, 20, 0, false, false, kNoMatch, kNone, 0, 40},
      {"the first block stored in part, its rest another unit's", false, Unit::One, 0, 100, false, false, kNoMatch,
       kNone, 200, 40},
      {"defaults: the first block stored in part, 8 converted bytes showing", false, Unit::Sparse, 0, 34, false, false,
       kPartial},
      {"Pro defaults: cut in record 0, one converted byte showing", true, Unit::Sparse, 9, 200, false, false, kPartial},
      {"Pro defaults: cut at the start of record 1", true, Unit::Sparse, 11, 20, false, false, kPartial},
      {"Pro: written whole but record 5, which reaches past the readout", true, Unit::One, 66, 0, false, false,
       kPartial},
      {"out of step in block 25: the line's bytes over block 24 and on, marked", false, Unit::One, 25, 0, false, true,
       kPartial, kNone, kNone, 1, false, 700},
      {"the same, not marked", false, Unit::One, 25, 0, false, false, kNoMatch, kNone, kNone, 1, false, 700},
      {"the same, line bytes past the mark", false, Unit::One, 25, 0, false, true, kNoMatch, kNone, 0x17A0 + 700, 1,
       false, 700},
      {"written whole, marked line bytes still there: never left as it is", false, Unit::One, 60, 0, false, true,
       kPartial, kNone, kNone, 1, false, 700},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SavedCopy copy = copyOf(c.pro, unitMemory(c.pro, c.area == Unit::Sparse ? Unit::Sparse : Unit::One));
    std::vector<HeldBlock> journal;
    std::vector<std::uint8_t> area = writtenBack(c.pro, unitMemory(c.pro, c.area), c.blocks, c.bytes, c.damaged, journal);
    if (c.alsoDamaged != kNone) {
      area[c.alsoDamaged] ^= 0x5A;  // in record 1's third block, from 0x49D0 + 0x200
      journal.push_back({0x4BD0, std::accumulate(area.begin() + 0xBD0, area.begin() + 0xCD0, std::uint32_t{0})});
    }
    for (std::size_t i = 100; c.farOff && i < 120; i += 2) std::swap(area[i], area[i + 1]);  // the sum kept
    for (std::size_t i = 0; i < c.lineBytes; ++i) area[0x17A0 + i] ^= 0x33;
    if (c.lineBytes != 0) journal.push_back({(0x4000 + 0x17A0) | kLineDamageMark, 0x4000 + 0x17A0 + 700});
    if (c.journaled) copy.journal = journal;
    for (std::size_t i = 0; c.otherByte != kNone && i < c.otherBytes; ++i) area[c.otherByte + i] ^= 0x20;
    EXPECT_EQ(matchCopy(copy, area.data(), area.size()), c.match);
  }
  // Pro, record 5 marked: it takes record 4's place, so the write-back lies within the readout.
  const std::vector<std::uint8_t> marked = unitMemory(true, Unit::One, true);
  std::vector<HeldBlock> none;
  EXPECT_EQ(matchCopy(copyOf(true, marked), writtenBack(true, marked, 66, 0, false, none).data(), kConfigReadoutBytes),
            kComplete);
}

// Words a copy holds as first found go back past the records only, whatever
// addresses its file claims, and never count as a block that reached a unit.
TEST(ConfigCopyTest, WordsFoundPastTheRecordsGoBackThereOnly) {
  SavedCopy copy;
  copy.journal = {{0x7AE0 | kAsFoundMark, 0x44332211}, {0x7FFC | kAsFoundMark, 0x88776655},
                  {0x7ADC | kAsFoundMark, 1},  {0x7FFD | kAsFoundMark, 2},
                  {0x3FFC | kAsFoundMark, 3},  {0x7B00 | kAsFoundMark | kLineDamageMark, 4}};
  EXPECT_FALSE(reachedAUnit(copy.journal));
  ConfigImage area;
  area.bytes.fill(0xEE);
  putBackAsFound(copy, area);
  std::array<std::uint8_t, kConfigImageBytes> expected;
  expected.fill(0xEE);
  for (std::size_t i = 0; i < 4; ++i) {
    expected[0x3AE0 + i] = static_cast<std::uint8_t>(0x11 * (i + 1));
    expected[0x3FFC + i] = static_cast<std::uint8_t>(0x11 * (i + 5));
  }
  EXPECT_EQ(area.bytes, expected);
}

// A unit no row names, its record 0 in neither layout: a copy whose write-back
// left it so decides the conversion, but only a copy of this release's
// layouts; another release's is that updater's to write back.
TEST(ConfigCopyTest, OnlyACopyOfThisReleasesLayoutsDecidesAnUnknownUnitsConversion) {
  const std::vector<std::uint8_t> unit = unitMemory(false, Unit::One);
  ConfigImage readout;
  std::copy_n(unit.begin() + 0x4000, kConfigReadoutBytes, readout.bytes.begin());
  SavedCopies copies;
  copies.copies.resize(1);
  copies.copies[0].conversion = convertReadout(readout, ConfigMode::Legacy, package(true, 0x020904));
  LayoutCheck check;  // the first block of the Pro layout's record 0 written, then cut
  std::copy_n(readout.bytes.begin(), kLayoutCheckBytes, check.record0.begin());
  std::copy_n(copies.copies[0].conversion.converted.bytes.begin(), 256, check.record0.begin());
  const UnitAssessment unknown{};
  EXPECT_EQ(conversionToRun(unknown, check, copies, package(true, 0x020904)), ConfigMode::Legacy);
  EXPECT_EQ(conversionToRun(unknown, check, copies, package(false, 0x020904)), ConfigMode::None);
}

// A copy that the 02/09/04 updater saved (no journal) is read by this one;
// a file damaged on the disk is named as unreadable, never taken.
TEST(ConfigCopyTest, ACopyAnEarlierVersionSavedIsRead) {
  const SavedCopy saved = copyOf(false, unitMemory(false, Unit::One));
  const ConfigConversion& conversion = saved.conversion;
  std::vector<std::uint8_t> file = {'K', 'R', 'N', 'C', 'F', 'G', '0', '1'};
  const auto word = [&](std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) file.push_back(static_cast<std::uint8_t>(value >> shift));
  };
  for (const std::uint32_t field : {0x020904u, 0u, 1u, 2512u, 15072u}) word(field);
  file.insert(file.end(), conversion.readout.bytes.begin(), conversion.readout.bytes.begin() + 15072);
  file.insert(file.end(), conversion.converted.bytes.begin(), conversion.converted.bytes.begin() + 6 * 2512);
  std::uint32_t fnv = 2166136261u;  // FNV-1a over everything before it
  for (const std::uint8_t byte : file) fnv = (fnv ^ byte) * 16777619u;
  word(fnv);
  for (const bool damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "damaged on the disk" : "as saved");
    testing::OpenLink bench;
    const std::string path = std::string(sim::VirtualLine::kUserFolder) + "config-0badf00d.bin";
    bench.line.files[path] = file;
    if (damaged) bench.line.files[path][5000] ^= 0x04;
    const SavedCopies copies = readSavedCopies();
    EXPECT_EQ(copies.unreadable, std::vector<std::string>(damaged ? 1 : 0, path));
    ASSERT_EQ(copies.copies.size(), damaged ? 0u : 1u);
    if (damaged) continue;
    const SavedCopy& read = copies.copies[0];
    EXPECT_EQ(read.path, path);
    EXPECT_EQ(read.conversion.packageRevision, 0x020904u);
    EXPECT_TRUE(sameLayouts(read.conversion, ConfigMode::Legacy, package(false, 0x030104)));
    EXPECT_TRUE(read.journal.empty());
    EXPECT_EQ(read.conversion.readout.bytes, conversion.readout.bytes);
    EXPECT_TRUE(std::equal(conversion.converted.bytes.begin(), conversion.converted.bytes.begin() + 6 * 2512,
                           read.conversion.converted.bytes.begin()));
  }
}

// The journal is written only when the unit reports a block held otherwise,
// and once when the first block is confirmed: on a slow disk (30 ms a durable
// write) and a noisy line it adds less than 2 % to the write-back, where a
// journal of every block would add about 14 %.
TEST(ConfigCopyTest, TheJournalCostsTheWriteBackLittle) {
  for (const std::uint32_t noise : {0u, 30u, 60u}) {
    SCOPED_TRACE("noise " + std::to_string(noise) + " per mille");
    sim::Ticks took[2] = {};
    int writes = 0;
    for (const sim::Ticks disk : {sim::Ticks{0}, 30 * sim::kTicksPerMs}) {
      testing::VirtualRun run("convert");
      run.unit.faults.noisePerMille = noise;
      run.line.durableWriteTicks = disk;
      run.run();
      ASSERT_TRUE(run.verdict().ok) << run.verdict().report;
      // From the saving of the copy (just before the first block) to the last reply of record 5.
      const sim::Ticks from = testing::sentAt(run.line, "A004000D") - disk;
      sim::Ticks to = 0;
      for (const sim::Event& e : run.line.transcript)
        if (e.kind == sim::Event::FromUnit && e.at > testing::sentAt(run.line, "A007A10D") && to == 0) to = e.end;
      took[disk != 0] = to - from;
      writes = run.line.durableWrites;
    }
    const double cost = static_cast<double>(took[1] - took[0]) / static_cast<double>(took[0]);
    std::printf("noise %u/1000: write-back %.2f s, durable writes %d, slow disk +%.2f %%\n", noise,
                sim::toMs(took[0]) / 1000, writes, 100 * cost);
    EXPECT_LT(cost, 0.02);
  }
}

}  // namespace
}  // namespace korrin
