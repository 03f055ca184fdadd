// The unit's configuration records: three layouts sharing one frame (header
// 0-7, checksummed body, 16-bit checksum, two pad bytes), the conversions
// between them, and where each record is written back. Pure, in memory; nothing
// here talks to the unit or prints.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "package/firmware_package.h"

namespace korrin {

constexpr std::size_t kLegacyRecordBytes = 2480;
constexpr std::size_t kConfigRecordBytes = 2512;
constexpr std::size_t kProRecordBytes = 2808;
constexpr std::size_t kConfigRecordCount = 6;
constexpr std::size_t kConfigHeaderBytes = 8;      // outside the checksum
constexpr std::size_t kConfigReadoutBytes = 15072;  // six ConfigRecords from 0x4000
constexpr std::size_t kConfigImageBytes = 16848;    // six ProConfigRecords

// How the unit's records are converted for the carried firmware.
enum class ConfigMode {
  None = 0,         // nothing to preserve
  Legacy = 1,       // the unit holds LegacyConfigRecords
  ConfigOnPro = 2,  // the unit holds ConfigRecords and the package is a Pro package
};

// A record layout as data: its size and where its checksum word lies.
struct ConfigLayout {
  std::size_t recordBytes;
  std::size_t checksumOffset;
};
constexpr ConfigLayout kLegacyLayout{kLegacyRecordBytes, 2476};
constexpr ConfigLayout kConfigLayout{kConfigRecordBytes, 2508};
constexpr ConfigLayout kProLayout{kProRecordBytes, 2804};

using LegacyConfigRecord = std::array<std::uint8_t, kLegacyRecordBytes>;
using ConfigRecord = std::array<std::uint8_t, kConfigRecordBytes>;
using ProConfigRecord = std::array<std::uint8_t, kProRecordBytes>;

// The configuration area between readout and write-back: six records of one
// layout back to back, record k at byte k * record size.
// Read from the unit, it holds the whole area up to the software: the
// records' kConfigReadoutBytes, then what lies past them.
struct ConfigImage {
  std::array<std::uint8_t, kConfigImageBytes> bytes{};
};
static_assert(kConfigImageBytes >= kConfigAreaBytes, "a readout holds the whole area");

// Sum modulo 65536 of the little-endian words from byte 8 up to `checksumOffset`
// (exclusive). `record` must hold at least `checksumOffset` bytes.
std::uint16_t configChecksum(const std::uint8_t* record, std::size_t checksumOffset);

// True when the stored word at the layout's checksum offset equals
// configChecksum of the record and is not 0. Reads checksumOffset + 2 bytes.
bool configRecordValid(const std::uint8_t* record, const ConfigLayout& layout);

// The ConfigRecord made from a LegacyConfigRecord; its checksum is recomputed.
ConfigRecord migrateLegacyRecord(const LegacyConfigRecord& legacy);

// The ProConfigRecord made from a ConfigRecord; its checksum is recomputed.
ProConfigRecord migrateProRecord(const ConfigRecord& record);

// Record size of the package's firmware: 2808 for a Pro package from 10/12/03
// on, otherwise 2512.
std::size_t targetRecordSize(const FirmwarePackage& package);

// Converts the six records in place to the package's layout. Legacy: the image
// holds LegacyConfigRecords (plus 192 ignored bytes); ConfigOnPro: ConfigRecords.
// None leaves the image untouched.
void migrateConfigImage(ConfigImage& image, ConfigMode mode, const FirmwarePackage& package);

// The layout the unit's records are in before a conversion of `mode`, and the
// package's own.
const ConfigLayout& sourceLayout(ConfigMode mode);
const ConfigLayout& targetLayout(const FirmwarePackage& package);

// How many of the six records of the readout are already in the target layout
// and not in the source layout, and how many could be judged (records that lie
// wholly within the readout): an earlier run has written those.
struct ConvertedRecords {
  std::size_t converted;
  std::size_t judged;
};
ConvertedRecords countConvertedRecords(const ConfigImage& readout, ConfigMode mode, const FirmwarePackage& package);

// Unit address at which record k (0-5) is written back: 0x4000 + k * size,
// except that a Pro record 5 beginning with ':' takes record 4's place.
std::uint32_t configTargetAddress(std::size_t k, std::size_t recordBytes, std::uint8_t firstByte);

constexpr std::uint8_t kRecordMarker = ':';  // a Pro record 5 so marked belongs in record 4's slot

// The write-back as the unit receives it, for sending and for recognising what
// a cut one left: each record from its address, in 256-byte download blocks.
constexpr std::size_t kWriteBackBlockBytes = 256;
struct WriteBackRecord {
  std::uint32_t address;
  const std::uint8_t* bytes;  // into the image
  std::size_t size;
};
// The six records of `image`, of `recordBytes` each, in the order they are written.
std::array<WriteBackRecord, kConfigRecordCount> writeBackRecords(const ConfigImage& image, std::size_t recordBytes);

// The configuration area from 0x4000 up to the software at 0x8000 (which the
// download writes after it, over the end of a Pro record 5) as a completed
// write-back leaves it: the records where they are written, every other byte
// as `asFound`, the area read before the write-back, held it.
struct ConfigAreaAsWritten {
  std::array<std::uint8_t, kConfigAreaBytes> bytes{};
};
ConfigAreaAsWritten configAreaAsWritten(const ConfigImage& image, std::size_t recordBytes, const ConfigImage& asFound);

}  // namespace korrin
