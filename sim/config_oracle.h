// The configuration records as the simulated unit holds them: builders that
// fill the unit's configuration area, and the records the unit must hold after
// a run. Written apart from src/config, from the layouts' byte maps, so that it
// judges the updater's conversions rather than repeating them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

enum class RecordLayout { Legacy, Config, Pro };  // 2480, 2512, 2808 bytes

constexpr std::uint32_t kConfigBaseAddress = 0x4000;
constexpr std::uint32_t kConfigAreaEndAddress = 0x8000;  // the software image from here on
constexpr std::size_t kRecordsPerUnit = 6;

std::size_t recordBytes(RecordLayout layout);

// True when the record's stored checksum is the sum of its body's words and not 0.
bool recordValid(const std::uint8_t* record, RecordLayout layout);
// Stores the sum of the record's body words as its checksum.
void sealRecord(std::uint8_t* record, RecordLayout layout);

struct ConfigAreaSetup {
  RecordLayout layout = RecordLayout::Config;
  std::uint32_t seed = 1;
  bool validChecksums = true;  // false: every stored checksum is off by a nonzero amount
  bool record5Marker = false;  // record 5 begins with ':' (otherwise it never does)
};

// Writes six records of `setup.layout` at 0x4000 + k * size, pseudo-random
// from the seed, each record different. A valid record's sum is never 0, and
// record 0 is never by chance valid in one of the other two layouts. With the
// legacy layout the 192 bytes up to 0x7AE0 are filled with noise too.
// Grows `memory` when it is too short.
void fillConfigArea(std::vector<std::uint8_t>& memory, const ConfigAreaSetup& setup);

// Zeros from 0x4000 up to 0x8000: a unit with no records.
void blankConfigArea(std::vector<std::uint8_t>& memory);

struct ExpectedRecord {
  std::uint32_t address;  // unit address of the record's first byte
  std::size_t fromRecord;  // which record as the unit held it
  std::vector<std::uint8_t> bytes;
};

// What the unit must hold at each record address after a run that converted
// its six records from `from` to `to` (Legacy->Config, Config->Pro,
// Legacy->Pro), or left them alone (from == to). `before` is the unit's memory
// before the run. A converted Pro record 5 beginning with ':' is held at
// record 4's address instead of its own. Bytes from 0x8000 on belong to the
// software image afterwards. Empty for a conversion that does not exist.
std::vector<ExpectedRecord> expectedRecords(const std::vector<std::uint8_t>& before, RecordLayout from,
                                            RecordLayout to);

// First unit address below 0x8000 at which `memory` differs from `expected`.
std::optional<std::uint32_t> firstConfigMismatch(const std::vector<std::uint8_t>& memory,
                                                 const std::vector<ExpectedRecord>& expected);

}  // namespace sim
