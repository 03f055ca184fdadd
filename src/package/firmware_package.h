// The firmware release this updater carries, as constant data, and the
// revision codes by which builds are ordered.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korrin {

// 0xMMDDYY: month, day and two-digit year, each two hex digits read as decimal.
using RevisionCode = std::uint32_t;

// -1, 0 or 1: year byte first, then month, then day; bits 24-31 are ignored.
int compareRevision(RevisionCode a, RevisionCode b);

constexpr std::uint32_t kUnitTableRows = 162;

// The known builds: row numbers matter (first match wins, row 0 stands in for an unknown unit).
struct UnitTable {
  std::uint32_t id[kUnitTableRows];   // 0 Korrin, 1 KorrinPro
  std::uint32_t rev[kUnitTableRows];  // RevisionCode of the build
  std::uint32_t sum[kUnitTableRows];  // sum of the identification window as that build leaves it
};

struct UnitEntry {
  std::uint32_t id;
  RevisionCode rev;
  std::uint32_t sum;
};

struct FirmwarePackage {
  const std::uint8_t* swImage;  // byte i belongs at unit address i
  std::size_t swSize;
  const std::uint8_t* hwImage;  // byte i belongs at unit address 0x40000 + i
  std::size_t hwSize;
  RevisionCode packageRevision;
  std::int32_t packageIsPro;  // 0 base model, 1 Pro model
  const UnitTable* unitTable;
};

inline UnitEntry unitEntry(const FirmwarePackage& package, std::uint32_t row) {
  return {package.unitTable->id[row], package.unitTable->rev[row], package.unitTable->sum[row]};
}

// Unit memory map as the updater uses it.
constexpr std::uint32_t kConfigAreaAddress = 0x004000;
constexpr std::uint32_t kSoftwareSecondPartAddress = 0x008000;
constexpr std::uint32_t kConfigAreaBytes = kSoftwareSecondPartAddress - kConfigAreaAddress;
constexpr std::uint32_t kHardwareAddress = 0x040000;
constexpr std::uint32_t kIdentWindowAddress = 0x008000;
constexpr std::uint32_t kIdentWindowLength = 0x00E000;

// Thresholds that every revision decision compares against.
constexpr RevisionCode kLegacyLayoutLimit = 0x042403;  // below it: LegacyConfigRecord
constexpr RevisionCode kProLayoutLimit = 0x101203;     // Pro from it on: ProConfigRecord
constexpr RevisionCode kBaseHardwareLimit = 0x111103;  // base units below it get the hardware image
constexpr RevisionCode kProHardwareLimit = 0x110503;   // Pro units below it get the hardware image

// The release built into this executable.
const FirmwarePackage& carriedPackage();

}  // namespace korrin
