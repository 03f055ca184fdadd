#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "config/config_record.h"
#include "config_oracle.h"

namespace korrin {
namespace {

FirmwarePackage packageOf(bool pro, RevisionCode revision) {
  FirmwarePackage package{};
  package.packageRevision = revision;
  package.packageIsPro = pro ? 1 : 0;
  return package;
}

std::uint16_t wordAt(const std::uint8_t* bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

template <std::size_t N>
std::array<std::uint8_t, N> randomRecord(std::mt19937& rng) {
  std::array<std::uint8_t, N> record;
  for (auto& byte : record) byte = static_cast<std::uint8_t>(rng());
  return record;
}

sim::RecordLayout simLayout(const ConfigLayout& layout) {
  if (layout.recordBytes == kLegacyRecordBytes) return sim::RecordLayout::Legacy;
  if (layout.recordBytes == kConfigRecordBytes) return sim::RecordLayout::Config;
  return sim::RecordLayout::Pro;
}

// The checksum is a little-endian word sum over bytes 8 up to the checksum
// word: the header, the checksum itself and the pad bytes do not count.
TEST(ConfigChecksum, CoversTheBodyWordsLittleEndian) {
  struct Case {
    ConfigLayout layout;
    std::size_t offset;
    std::uint16_t delta;  // change of the sum when that byte grows by 1
  };
  std::vector<Case> cases;
  for (const ConfigLayout& layout : {kLegacyLayout, kConfigLayout, kProLayout}) {
    const std::size_t c = layout.checksumOffset;
    for (const Case& item : std::vector<Case>{{layout, 0, 0},     {layout, 7, 0},     {layout, 8, 1},
                                              {layout, 9, 256},   {layout, c - 2, 1}, {layout, c - 1, 256},
                                              {layout, c, 0},     {layout, c + 1, 0}, {layout, c + 3, 0}}) {
      cases.push_back(item);
    }
  }
  std::mt19937 rng(7);
  for (const Case& item : cases) {
    SCOPED_TRACE(testing::Message() << "layout " << item.layout.recordBytes << " byte " << item.offset);
    std::vector<std::uint8_t> record(item.layout.recordBytes);
    for (auto& byte : record) byte = static_cast<std::uint8_t>(rng() & 0x7F);  // room to add 1
    const std::uint16_t before = configChecksum(record.data(), item.layout.checksumOffset);
    ++record[item.offset];
    const std::uint16_t after = configChecksum(record.data(), item.layout.checksumOffset);
    EXPECT_EQ(static_cast<std::uint16_t>(after - before), item.delta);
  }
}

TEST(ConfigChecksum, RecordValidity) {
  enum class Kind { Valid, WrongChecksum, ByteSwappedChecksum, NonzeroBodySummingToZero, AllZero };
  struct Case {
    ConfigLayout layout;
    Kind kind;
    bool valid;
  };
  std::vector<Case> cases;
  for (const ConfigLayout& layout : {kLegacyLayout, kConfigLayout, kProLayout}) {
    cases.push_back({layout, Kind::Valid, true});
    cases.push_back({layout, Kind::WrongChecksum, false});
    cases.push_back({layout, Kind::ByteSwappedChecksum, false});
    cases.push_back({layout, Kind::NonzeroBodySummingToZero, false});
    cases.push_back({layout, Kind::AllZero, false});
  }
  std::uint32_t seed = 11;
  for (const Case& item : cases) {
    SCOPED_TRACE(testing::Message() << "layout " << item.layout.recordBytes << " kind " << int(item.kind));
    std::vector<std::uint8_t> memory;
    sim::ConfigAreaSetup setup;
    setup.layout = simLayout(item.layout);
    setup.seed = seed++;
    setup.validChecksums = item.kind != Kind::WrongChecksum;
    sim::fillConfigArea(memory, setup);
    std::uint8_t* record = memory.data() + sim::kConfigBaseAddress;
    const std::size_t c = item.layout.checksumOffset;
    if (item.kind == Kind::ByteSwappedChecksum) {
      ASSERT_NE(record[c], record[c + 1]) << "pick another seed: swapping would change nothing";
      std::swap(record[c], record[c + 1]);
    } else if (item.kind == Kind::NonzeroBodySummingToZero || item.kind == Kind::AllZero) {
      std::fill(record, record + item.layout.recordBytes, 0);
      if (item.kind == Kind::NonzeroBodySummingToZero) {
        record[8] = 0x01;   // word 0x0001
        record[10] = 0xFF;  // word 0xFFFF
        record[11] = 0xFF;
      }
    }
    EXPECT_EQ(configRecordValid(record, item.layout), item.valid);
  }
}

// Whatever a record holds, the new checksum follows from the old body, and the
// header passes through.
TEST(ConfigMigration, ConvertedChecksumFollowsFromTheOldBody) {
  std::mt19937 rng(2024);
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    const auto legacy = randomRecord<kLegacyRecordBytes>(rng);
    const ConfigRecord config = migrateLegacyRecord(legacy);
    const auto legacyExpected = static_cast<std::uint16_t>(configChecksum(legacy.data(), 2476) -
                                                           wordAt(legacy.data(), 26) + 0x1814);
    EXPECT_EQ(wordAt(config.data(), 2508), legacyExpected);
    EXPECT_TRUE(std::equal(legacy.begin(), legacy.begin() + 8, config.begin()));

    const auto record = randomRecord<kConfigRecordBytes>(rng);
    const ProConfigRecord pro = migrateProRecord(record);
    std::uint16_t proExpected = configChecksum(record.data(), 2508);
    for (std::size_t i = 76; i < 372; i += 2) {
      proExpected = static_cast<std::uint16_t>(proExpected + wordAt(record.data(), i));
    }
    EXPECT_EQ(wordAt(pro.data(), 2804), proExpected);
    EXPECT_TRUE(std::equal(record.begin(), record.begin() + 8, pro.begin()));
  }
}

// Old bytes 26-27, the old checksum and the old pad bytes carry nothing over.
TEST(ConfigMigration, DroppedLegacyBytesLeaveNoTrace) {
  std::mt19937 rng(99);
  const auto legacy = randomRecord<kLegacyRecordBytes>(rng);
  const ConfigRecord reference = migrateLegacyRecord(legacy);
  for (std::size_t offset : {26u, 27u, 2476u, 2477u, 2478u, 2479u}) {
    SCOPED_TRACE(offset);
    auto changed = legacy;
    changed[offset] = static_cast<std::uint8_t>(changed[offset] ^ 0x5A);
    EXPECT_EQ(migrateLegacyRecord(changed), reference);
  }
}

// The 192 bytes read after the sixth legacy record belong to no record.
TEST(ConfigMigration, LegacyReadoutTailIsIgnored) {
  for (const FirmwarePackage& package : {packageOf(false, 0x111103), packageOf(true, 0x101203)}) {
    SCOPED_TRACE(package.packageIsPro);
    std::mt19937 rng(5);
    ConfigImage image;
    for (std::size_t i = 0; i < kConfigReadoutBytes; ++i) image.bytes[i] = static_cast<std::uint8_t>(rng());
    ConfigImage changed = image;
    for (std::size_t i = 6 * kLegacyRecordBytes; i < kConfigReadoutBytes; ++i) {
      changed.bytes[i] = static_cast<std::uint8_t>(~changed.bytes[i]);
    }
    migrateConfigImage(image, ConfigMode::Legacy, package);
    migrateConfigImage(changed, ConfigMode::Legacy, package);
    const std::size_t converted = 6 * targetRecordSize(package);
    EXPECT_TRUE(std::equal(image.bytes.begin(), image.bytes.begin() + static_cast<std::ptrdiff_t>(converted),
                           changed.bytes.begin()));
  }
}

TEST(ConfigMigration, BlankLegacyRecordThroughOneAndBothConversions) {
  const LegacyConfigRecord blank{};
  ConfigRecord expectedConfig{};
  ProConfigRecord expectedPro{};
  for (std::size_t i = 0; i < 32; ++i) {
    const std::uint8_t inserted[] = {0x04, 0x05, 0x80, 0x7C};
    expectedConfig[26 + i] = inserted[i / 8];
    expectedPro[26 + i] = inserted[i / 8];
  }
  expectedConfig[2508] = 0x14;
  expectedConfig[2509] = 0x18;
  expectedPro[2804] = 0x14;
  expectedPro[2805] = 0x18;

  const ConfigRecord config = migrateLegacyRecord(blank);
  EXPECT_EQ(config, expectedConfig);
  EXPECT_EQ(migrateProRecord(config), expectedPro);
}

// Six distinct records through migrateConfigImage, against the oracle's byte
// maps: record k must come from record k, and pad bytes must be 0x00.
TEST(ConfigMigration, ImageMatchesTheByteMaps) {
  struct Case {
    int configMode;
    FirmwarePackage package;
    sim::RecordLayout from;
    sim::RecordLayout to;
    bool validChecksums;
  };
  const Case cases[] = {
      {1, packageOf(false, 0x111103), sim::RecordLayout::Legacy, sim::RecordLayout::Config, true},
      {1, packageOf(true, 0x093003), sim::RecordLayout::Legacy, sim::RecordLayout::Config, false},
      {1, packageOf(true, 0x101203), sim::RecordLayout::Legacy, sim::RecordLayout::Pro, true},
      {1, packageOf(true, 0x010104), sim::RecordLayout::Legacy, sim::RecordLayout::Pro, false},
      {2, packageOf(true, 0x101203), sim::RecordLayout::Config, sim::RecordLayout::Pro, true},
      {2, packageOf(true, 0x010104), sim::RecordLayout::Config, sim::RecordLayout::Pro, false},
      {2, packageOf(true, 0x093003), sim::RecordLayout::Config, sim::RecordLayout::Config, true},
  };
  std::uint32_t seed = 300;
  for (const Case& item : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << item.configMode << " package " << std::hex
                                    << item.package.packageRevision << " pro " << item.package.packageIsPro);
    std::vector<std::uint8_t> unit;
    sim::ConfigAreaSetup setup;
    setup.layout = item.from;
    setup.seed = seed++;
    setup.validChecksums = item.validChecksums;
    sim::fillConfigArea(unit, setup);

    ConfigImage image;
    image.bytes.fill(0xA5);  // beyond the readout: must stay as it is unless Pro records fill it
    std::memcpy(image.bytes.data(), unit.data() + sim::kConfigBaseAddress, kConfigReadoutBytes);
    const ConfigImage readout = image;
    migrateConfigImage(image, static_cast<ConfigMode>(item.configMode), item.package);

    const std::size_t size = sim::recordBytes(item.to);
    ASSERT_EQ(targetRecordSize(item.package), size);
    const std::vector<sim::ExpectedRecord> expected = sim::expectedRecords(unit, item.from, item.to);
    ASSERT_EQ(expected.size(), kConfigRecordCount);
    for (const sim::ExpectedRecord& record : expected) {
      SCOPED_TRACE(testing::Message() << "record " << record.fromRecord);
      const auto first = image.bytes.begin() + static_cast<std::ptrdiff_t>(record.fromRecord * size);
      EXPECT_TRUE(std::equal(record.bytes.begin(), record.bytes.end(), first));
    }
    if (item.from == item.to) {
      EXPECT_EQ(image.bytes, readout.bytes);
    }
  }
}

TEST(ConfigMigration, TargetRecordSize) {
  struct Case {
    bool pro;
    RevisionCode revision;
    std::size_t size;
  };
  const Case cases[] = {
      {false, 0x111103, 2512}, {false, 0x010105, 2512},  // base model never changes layout again
      {true, 0x101203, 2808},  {true, 0x111103, 2808},
      {true, 0x010104, 2808},  // January 2004 is after 10/12/03, though smaller as a number
      {true, 0x101103, 2512},  {true, 0x311202, 2512},  // December 2002 is before it
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << item.revision << " pro " << item.pro);
    EXPECT_EQ(targetRecordSize(packageOf(item.pro, item.revision)), item.size);
  }
}

TEST(ConfigWriteBack, TargetAddresses) {
  struct Case {
    std::size_t k;
    std::size_t size;
    std::uint8_t firstByte;
    std::uint32_t address;
  };
  const Case cases[] = {
      {0, 2512, 0x00, 0x4000}, {1, 2512, 0x00, 0x49D0}, {2, 2512, 0x00, 0x53A0},
      {3, 2512, 0x00, 0x5D70}, {4, 2512, 0x00, 0x6740}, {5, 2512, 0x00, 0x7110},
      {5, 2512, ':', 0x7110},  // the marker means nothing to the 2512-byte layout
      {0, 2808, 0x00, 0x4000}, {1, 2808, 0x00, 0x4AF8}, {2, 2808, 0x00, 0x55F0},
      {3, 2808, 0x00, 0x60E8}, {4, 2808, 0x00, 0x6BE0}, {5, 2808, 0x3B, 0x76D8},
      {5, 2808, ':', 0x6BE0},  {4, 2808, ':', 0x6BE0},  {0, 2808, ':', 0x4000},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(testing::Message() << "record " << item.k << " size " << item.size << " first "
                                    << int(item.firstByte));
    EXPECT_EQ(configTargetAddress(item.k, item.size, item.firstByte), item.address);
  }
}

// The simulated unit judges a run by the oracle's addresses; they must be the
// ones the write-back uses, marker included.
TEST(ConfigWriteBack, OracleAddressesAgree) {
  for (bool marker : {false, true}) {
    SCOPED_TRACE(marker);
    std::vector<std::uint8_t> unit;
    sim::ConfigAreaSetup setup;
    setup.layout = sim::RecordLayout::Config;
    setup.record5Marker = marker;
    sim::fillConfigArea(unit, setup);
    const auto expected = sim::expectedRecords(unit, sim::RecordLayout::Config, sim::RecordLayout::Pro);
    ASSERT_EQ(expected.size(), marker ? 5u : 6u);  // with the marker, record 5 replaces record 4
    for (const sim::ExpectedRecord& record : expected) {
      EXPECT_EQ(configTargetAddress(record.fromRecord, kProRecordBytes, record.bytes[0]), record.address);
    }
  }
}

}  // namespace
}  // namespace korrin
