#include "config_oracle.h"

#include <algorithm>
#include <iterator>

namespace sim {

namespace {

constexpr std::size_t kHeaderBytes = 8;
constexpr std::size_t kTrailerBytes = 4;  // checksum word, then two pad bytes
constexpr std::uint8_t kMarker = ':';

std::size_t checksumOffset(RecordLayout layout) { return recordBytes(layout) - kTrailerBytes; }

// Even bytes count once, odd bytes 256 times: the little-endian word sum.
std::uint16_t bodySum(const std::uint8_t* record, std::size_t checksumAt) {
  std::uint32_t low = 0;
  std::uint32_t high = 0;
  for (std::size_t i = kHeaderBytes; i < checksumAt; ++i) {
    ((i % 2 == 0) ? low : high) += record[i];
  }
  return static_cast<std::uint16_t>((low + (high << 8)) & 0xFFFF);
}

std::uint16_t storedSum(const std::uint8_t* record, std::size_t checksumAt) {
  return static_cast<std::uint16_t>(record[checksumAt] + 256u * record[checksumAt + 1]);
}

void storeSum(std::uint8_t* record, std::size_t checksumAt, std::uint16_t sum) {
  record[checksumAt] = static_cast<std::uint8_t>(sum % 256);
  record[checksumAt + 1] = static_cast<std::uint8_t>(sum / 256);
}

bool validAs(const std::uint8_t* record, RecordLayout layout) {
  const std::size_t at = checksumOffset(layout);
  const std::uint16_t sum = bodySum(record, at);
  return sum != 0 && sum == storedSum(record, at);
}

struct Noise {
  std::uint32_t state;
  std::uint8_t next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return static_cast<std::uint8_t>(state >> 24);
  }
};

// One row of a conversion's byte map: new bytes first..last (inclusive) are
// either old bytes from `oldFirst` on, or `fill` repeated.
struct Stretch {
  std::size_t first;
  std::size_t last;
  bool fromOld;
  std::size_t oldFirst;
  std::uint8_t fill;
};

constexpr Stretch old(std::size_t first, std::size_t last, std::size_t oldFirst) {
  return {first, last, true, oldFirst, 0};
}
constexpr Stretch fill(std::size_t first, std::size_t last, std::uint8_t value) {
  return {first, last, false, 0, value};
}

// LegacyConfigRecord -> ConfigRecord; checksum at 2508.
constexpr Stretch kLegacyToConfig[] = {
    old(0, 25, 0),       fill(26, 33, 0x04),  fill(34, 41, 0x05), fill(42, 49, 0x80),
    fill(50, 57, 0x7C),  fill(58, 59, 0x00),  old(60, 2507, 28),
};

// ConfigRecord -> ProConfigRecord; checksum at 2804.
constexpr Stretch kConfigToPro[] = {
    old(0, 2443, 0),
    old(2444, 2739, 76),
    old(2740, 2803, 2444),
};

// LegacyConfigRecord -> ProConfigRecord, both conversions in a row.
constexpr Stretch kLegacyToPro[] = {
    old(0, 25, 0),        fill(26, 33, 0x04),  fill(34, 41, 0x05),   fill(42, 49, 0x80),
    fill(50, 57, 0x7C),   fill(58, 59, 0x00),  old(60, 2443, 28),    old(2444, 2739, 44),
    old(2740, 2803, 2412),
};

struct ByteMap {
  const Stretch* begin;
  const Stretch* end;
};

std::optional<ByteMap> byteMap(RecordLayout from, RecordLayout to) {
  if (from == RecordLayout::Legacy && to == RecordLayout::Config)
    return ByteMap{std::begin(kLegacyToConfig), std::end(kLegacyToConfig)};
  if (from == RecordLayout::Config && to == RecordLayout::Pro)
    return ByteMap{std::begin(kConfigToPro), std::end(kConfigToPro)};
  if (from == RecordLayout::Legacy && to == RecordLayout::Pro)
    return ByteMap{std::begin(kLegacyToPro), std::end(kLegacyToPro)};
  return std::nullopt;
}

std::vector<std::uint8_t> convert(const std::uint8_t* oldRecord, const ByteMap& map, RecordLayout to) {
  // Pad bytes after the checksum: 0x00, the updater's choice for a converted record.
  std::vector<std::uint8_t> out(recordBytes(to), 0x00);
  for (const Stretch* s = map.begin; s != map.end; ++s) {
    for (std::size_t i = s->first; i <= s->last; ++i) {
      out[i] = s->fromOld ? oldRecord[s->oldFirst + (i - s->first)] : s->fill;
    }
  }
  const std::size_t at = checksumOffset(to);
  storeSum(out.data(), at, bodySum(out.data(), at));
  return out;
}

bool acceptable(const std::vector<std::uint8_t>& memory, const ConfigAreaSetup& setup) {
  const std::uint8_t* record0 = memory.data() + kConfigBaseAddress;
  for (RecordLayout other : {RecordLayout::Legacy, RecordLayout::Config, RecordLayout::Pro}) {
    if (other != setup.layout && validAs(record0, other)) return false;
  }
  const std::size_t size = recordBytes(setup.layout);
  for (std::size_t a = 0; a < kRecordsPerUnit; ++a) {
    for (std::size_t b = a + 1; b < kRecordsPerUnit; ++b) {
      const std::uint8_t* ra = record0 + a * size;
      if (std::equal(ra, ra + size, record0 + b * size)) return false;
    }
  }
  return true;
}

}  // namespace

std::size_t recordBytes(RecordLayout layout) {
  switch (layout) {
    case RecordLayout::Legacy: return 2480;
    case RecordLayout::Config: return 2512;
    case RecordLayout::Pro: return 2808;
  }
  return 0;
}

bool recordValid(const std::uint8_t* record, RecordLayout layout) { return validAs(record, layout); }

void sealRecord(std::uint8_t* record, RecordLayout layout) {
  const std::size_t at = checksumOffset(layout);
  storeSum(record, at, bodySum(record, at));
}

void fillConfigArea(std::vector<std::uint8_t>& memory, const ConfigAreaSetup& setup) {
  const std::size_t size = recordBytes(setup.layout);
  const std::size_t at = checksumOffset(setup.layout);
  const std::size_t end = std::max<std::size_t>(kConfigBaseAddress + kRecordsPerUnit * size, kConfigAreaEndAddress);
  if (memory.size() < end) memory.resize(end, 0);

  // A rare draw that breaks a promise of the header is drawn again.
  for (std::uint32_t attempt = 0;; ++attempt) {
    Noise noise{(setup.seed * 2654435761u) ^ (attempt * 40503u) ^ 0x5A17C3E1u};
    if (noise.state == 0) noise.state = 1;
    for (std::size_t k = 0; k < kRecordsPerUnit; ++k) {
      std::uint8_t* record = memory.data() + kConfigBaseAddress + k * size;
      for (std::size_t i = 0; i < size; ++i) record[i] = noise.next();
      if (k == 5) {
        if (setup.record5Marker) {
          record[0] = kMarker;
        } else if (record[0] == kMarker) {
          record[0] = kMarker + 1;
        }
      }
      std::uint16_t sum = bodySum(record, at);
      if (setup.validChecksums) {
        if (sum == 0) {
          ++record[kHeaderBytes];  // a zero sum reads as "no record"
          sum = bodySum(record, at);
        }
        storeSum(record, at, sum);
      } else {
        const std::uint32_t low = noise.next();
        const std::uint32_t high = noise.next();
        const std::uint32_t off = 1 + (low | (high << 8)) % 0xFFFF;  // 1 to 65535: never the sum
        storeSum(record, at, static_cast<std::uint16_t>(sum + off));
      }
    }
    // What no record holds up to the software is whatever the unit last kept there.
    for (std::size_t a = kConfigBaseAddress + kRecordsPerUnit * size; a < kConfigAreaEndAddress; ++a)
      memory[a] = noise.next();
    if (acceptable(memory, setup)) return;
  }
}

void blankConfigArea(std::vector<std::uint8_t>& memory) {
  if (memory.size() < kConfigAreaEndAddress) memory.resize(kConfigAreaEndAddress, 0);
  std::fill(memory.begin() + kConfigBaseAddress, memory.begin() + kConfigAreaEndAddress, 0);
}

std::vector<ExpectedRecord> expectedRecords(const std::vector<std::uint8_t>& before, RecordLayout from,
                                            RecordLayout to) {
  const std::size_t fromSize = recordBytes(from);
  const std::size_t toSize = recordBytes(to);
  if (before.size() < kConfigBaseAddress + kRecordsPerUnit * fromSize) return {};

  std::vector<ExpectedRecord> expected;
  if (from == to) {
    for (std::size_t k = 0; k < kRecordsPerUnit; ++k) {
      const auto first = before.begin() + static_cast<std::ptrdiff_t>(kConfigBaseAddress + k * fromSize);
      expected.push_back({static_cast<std::uint32_t>(kConfigBaseAddress + k * fromSize), k,
                          std::vector<std::uint8_t>(first, first + static_cast<std::ptrdiff_t>(fromSize))});
    }
    return expected;
  }

  const std::optional<ByteMap> map = byteMap(from, to);
  if (!map) return {};
  for (std::size_t k = 0; k < kRecordsPerUnit; ++k) {
    std::vector<std::uint8_t> bytes = convert(before.data() + kConfigBaseAddress + k * fromSize, *map, to);
    std::uint32_t address = static_cast<std::uint32_t>(kConfigBaseAddress + k * toSize);
    if (to == RecordLayout::Pro && k == 5 && bytes[0] == kMarker) {
      // Written over record 4 after it: the unit ends up without record 4.
      address = static_cast<std::uint32_t>(kConfigBaseAddress + 4 * toSize);
      expected.pop_back();
    }
    expected.push_back({address, k, std::move(bytes)});
  }
  return expected;
}

std::optional<std::uint32_t> firstConfigMismatch(const std::vector<std::uint8_t>& memory,
                                                 const std::vector<ExpectedRecord>& expected) {
  for (const ExpectedRecord& record : expected) {
    for (std::size_t i = 0; i < record.bytes.size(); ++i) {
      const std::size_t address = record.address + i;
      if (address >= kConfigAreaEndAddress) break;
      if (address >= memory.size() || memory[address] != record.bytes[i]) {
        return static_cast<std::uint32_t>(address);
      }
    }
  }
  return std::nullopt;
}

}  // namespace sim
