#include <cstddef>
#include <cstdint>
#include <set>

#include <gtest/gtest.h>

#include "package/firmware_package.h"

namespace korrin {
namespace {

TEST(CompareRevision, OrdersByYearThenMonthThenDay) {
  struct Case {
    RevisionCode a;
    RevisionCode b;
    int expected;
  };
  const Case cases[] = {
      {0x020904, 0x020904, 0},
      {0x033101, 0x030303, -1},  // year 01 is earlier, whatever month and day say
      {0x030303, 0x033101, 1},
      {0x011904, 0x123103, 1},   // January 2004 after December 2003
      {0x123103, 0x011904, -1},
      {0x000000, 0x020904, -1},  // a placeholder revision precedes every real one
      {0x7F020904, 0x020904, 0},  // bits 24-31 are not part of the code
      {0x020904, 0xFF020904, 0},
      {0x042303, 0x042403, -1},  // one day before the legacy layout limit
      {0x042403, 0x042303, 1},
      {0x042403, kLegacyLayoutLimit, 0},
      {0x103003, 0x110603, -1},  // month decides within a year
      {0x110603, 0x103003, 1},
      {0x111103, kBaseHardwareLimit, 0},
      {0x110603, kBaseHardwareLimit, -1},
      {0x112003, kBaseHardwareLimit, 1},
      {0x093003, 0x101003, -1},  // 09 < 10 as bytes too: hex digits read as decimal
      {0x100903, 0x101003, -1},
      {0x101203, kProLayoutLimit, 0},
      {0x101003, kProLayoutLimit, -1},
      {0x110503, kProHardwareLimit, 0},
      {0x110603, kProHardwareLimit, 1},
      {0x123199, 0x010100, 1},   // the year byte is compared as it stands
  };
  for (const Case& c : cases) {
    EXPECT_EQ(compareRevision(c.a, c.b), c.expected) << std::hex << "0x" << c.a << " vs 0x" << c.b;
  }
}

std::uint32_t sumOf(const std::uint8_t* bytes, std::size_t begin, std::size_t end) {
  std::uint32_t sum = 0;
  for (std::size_t i = begin; i < end; ++i) {
    sum += bytes[i];
  }
  return sum;
}

std::uint32_t firstRowWithSum(const FirmwarePackage& package, std::uint32_t sum) {
  std::uint32_t row = 0;
  while (row < kUnitTableRows && package.unitTable->sum[row] != sum) {
    ++row;
  }
  return row;
}

bool holdsZeroBlock(const std::uint8_t* bytes, std::size_t at) {
  for (std::size_t i = at; i < at + 1024; ++i) {
    if (bytes[i] != 0) {
      return false;
    }
  }
  return true;
}

TEST(CarriedPackage, IsTheBaseModelReleaseOf020904) {
  const FirmwarePackage& package = carriedPackage();
  EXPECT_EQ(package.swSize, 127186u);  // ends at unit address 0x01F0D1
  EXPECT_EQ(package.hwSize, 180254u);  // ends at unit address 0x06C01D
  EXPECT_EQ(package.packageRevision, 0x020904u);
  EXPECT_EQ(package.packageIsPro, 0);
}

constexpr std::uint32_t kAnyValue = 0xFFFFFFFF;  // a field the updater does not rely on

TEST(CarriedPackage, TableHoldsTheTellingRows) {
  struct Row {
    std::uint32_t row;
    std::uint32_t id;
    std::uint32_t rev;
    std::uint32_t sum;
  };
  const Row rows[] = {
      {0, 0, 0x030303, 0x4C9B93},   {1, 1, 0x000000, 0x000001},   {3, 1, kAnyValue, 0x4D5A69},
      {25, 1, 0x033101, 0x4CB6A0},  {32, 0, 0x042303, 0x000000},  {81, 0, 0x083003, 0x4C3260},
      {82, 0, 0x083003, 0x4C3260},  {83, 1, 0x083003, 0x4C3260},  {94, 0, 0x091103, 0x4C0AC6},
      {95, 1, 0x091103, 0x4C20E2},  {98, 1, 0x091503, 0x4C0AC6},  {99, 1, 0x091503, 0x4C20E2},
      {103, 1, 0x091603, 0x4C20E2}, {107, 1, 0x091803, 0x4C20E2}, {120, 0, 0x093003, 0x4A3B41},
      {124, 0, 0x101003, 0x4A3B41}, {155, 0, 0x011904, 0x4AC0A3}, {158, 0, 0x020904, 0x4AA4BE},
      {159, 0, 0x020904, 0x4AEFD5}, {160, 1, 0x020904, 0x4A80EB}, {161, 1, 0x020904, 0x4A6E04},
      // Base builds on either side of the hardware-image limit 0x111103.
      {137, 0, 0x103003, kAnyValue}, {140, 0, 0x110603, kAnyValue},
      {143, 0, 0x111103, kAnyValue}, {146, 0, 0x112003, kAnyValue},
  };
  const FirmwarePackage& package = carriedPackage();
  for (const Row& r : rows) {
    const UnitEntry entry = unitEntry(package, r.row);
    EXPECT_EQ(entry.id, r.id) << "row " << r.row;
    if (r.rev != kAnyValue) {
      EXPECT_EQ(entry.rev, r.rev) << "row " << r.row;
    }
    if (r.sum != kAnyValue) {
      EXPECT_EQ(entry.sum, r.sum) << "row " << r.row;
    }
  }
}

TEST(CarriedPackage, SharedChecksumsResolveToTheirFirstRow) {
  struct Shared {
    std::uint32_t sum;
    std::set<std::uint32_t> rows;
  };
  const Shared shared[] = {
      {0x4C3260, {81, 82, 83}},       {0x4C0AC6, {94, 98}},      {0x4C20E2, {95, 99, 103, 107}},
      {0x4A3B41, {120, 124}},         {0x4D67B3, {54, 57}},      {0x4C9EEB, {84, 85, 86}},
      {0x4C7845, {87, 88, 89}},       {0x4A71F2, {102, 106}},    {0x4A9EBA, {121, 125}},
  };
  const FirmwarePackage& package = carriedPackage();
  std::set<std::uint32_t> distinct;
  for (std::uint32_t row = 0; row < kUnitTableRows; ++row) {
    distinct.insert(package.unitTable->sum[row]);
  }
  EXPECT_EQ(distinct.size(), 148u);

  for (const Shared& s : shared) {
    std::set<std::uint32_t> found;
    for (std::uint32_t row = 0; row < kUnitTableRows; ++row) {
      if (package.unitTable->sum[row] == s.sum) {
        found.insert(row);
      }
    }
    EXPECT_EQ(found, s.rows) << std::hex << "sum 0x" << s.sum;
    EXPECT_EQ(firstRowWithSum(package, s.sum), *s.rows.begin()) << std::hex << "sum 0x" << s.sum;
  }
}

TEST(CarriedPackage, NoBuildIsLaterThanTheRelease) {
  const FirmwarePackage& package = carriedPackage();
  for (std::uint32_t row = 0; row < kUnitTableRows; ++row) {
    EXPECT_LE(compareRevision(package.unitTable->rev[row], package.packageRevision), 0) << "row " << row;
  }
}

TEST(CarriedPackage, IdentificationWindowNamesThisRelease) {
  const FirmwarePackage& package = carriedPackage();
  const std::uint32_t windowSum =
      sumOf(package.swImage, kIdentWindowAddress, kIdentWindowAddress + kIdentWindowLength);
  EXPECT_EQ(windowSum, 0x4AA4BEu);
  const std::uint32_t row = firstRowWithSum(package, windowSum);
  ASSERT_EQ(row, 158u);
  EXPECT_EQ(static_cast<std::int32_t>(package.unitTable->id[row]), package.packageIsPro);
  EXPECT_EQ(package.unitTable->rev[row], package.packageRevision);
}

TEST(CarriedPackage, ImagesHoldWhatTheDownloadReliesOn) {
  const FirmwarePackage& package = carriedPackage();
  // The configuration area is never sent; the image keeps zeros in its place.
  EXPECT_EQ(sumOf(package.swImage, kConfigAreaAddress, kSoftwareSecondPartAddress), 0u);
  EXPECT_NE(sumOf(package.swImage, 0, kConfigAreaAddress), 0u);
  EXPECT_NE(sumOf(package.swImage, package.swSize - 210, package.swSize), 0u);

  const std::uint8_t hwHeader[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x55, 0x99, 0xAA, 0x66};
  for (std::size_t i = 0; i < sizeof hwHeader; ++i) {
    EXPECT_EQ(package.hwImage[i], hwHeader[i]) << "hardware image byte " << i;
  }

  // A block that sums to 0 must still be confirmed by the unit: each image has one
  // whole zero download block, counted from the addresses its blocks start at.
  bool swZeroBlock = false;
  for (std::size_t at = 0; at + 1024 <= kConfigAreaAddress; at += 1024) {
    swZeroBlock = swZeroBlock || holdsZeroBlock(package.swImage, at);
  }
  for (std::size_t at = kSoftwareSecondPartAddress; at + 1024 <= package.swSize; at += 1024) {
    swZeroBlock = swZeroBlock || holdsZeroBlock(package.swImage, at);
  }
  EXPECT_TRUE(swZeroBlock);
  bool hwZeroBlock = false;
  for (std::size_t at = 0; at + 1024 <= package.hwSize; at += 1024) {
    hwZeroBlock = hwZeroBlock || holdsZeroBlock(package.hwImage, at);
  }
  EXPECT_TRUE(hwZeroBlock);
}

}  // namespace
}  // namespace korrin
