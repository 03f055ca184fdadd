#include "config/config_record.h"

#include <algorithm>

namespace korrin {

namespace {


// The 32 bytes the first layout change added after byte 25, then two zero bytes.
constexpr std::uint8_t kInsertedFill[] = {0x04, 0x05, 0x80, 0x7C};
constexpr std::size_t kInsertedRunBytes = 8;  // each fill byte repeated this often

std::uint16_t readWord(const std::uint8_t* bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

// Writes the checksum and the pad bytes that follow it. The pad bytes lie
// outside the checksum and no conversion defines them: 0x00, as a blank
// record holds, so the same input always gives the same bytes on the unit.
void sealRecord(std::uint8_t* record, const ConfigLayout& layout) {
  const std::uint16_t sum = configChecksum(record, layout.checksumOffset);
  record[layout.checksumOffset] = static_cast<std::uint8_t>(sum & 0xFF);
  record[layout.checksumOffset + 1] = static_cast<std::uint8_t>(sum >> 8);
  record[layout.checksumOffset + 2] = 0x00;
  record[layout.checksumOffset + 3] = 0x00;
}

}  // namespace

std::uint16_t configChecksum(const std::uint8_t* record, std::size_t checksumOffset) {
  std::uint16_t sum = 0;
  for (std::size_t i = kConfigHeaderBytes; i + 1 < checksumOffset; i += 2) {
    sum = static_cast<std::uint16_t>(sum + readWord(record, i));
  }
  return sum;
}

bool configRecordValid(const std::uint8_t* record, const ConfigLayout& layout) {
  const std::uint16_t sum = configChecksum(record, layout.checksumOffset);
  return sum != 0 && sum == readWord(record, layout.checksumOffset);
}

ConfigRecord migrateLegacyRecord(const LegacyConfigRecord& legacy) {
  ConfigRecord out{};
  std::copy(legacy.begin(), legacy.begin() + 26, out.begin());
  std::size_t at = 26;
  for (std::uint8_t fill : kInsertedFill) {
    std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(at), kInsertedRunBytes, fill);
    at += kInsertedRunBytes;
  }
  out[58] = 0x00;
  out[59] = 0x00;
  // Old bytes 26-27 are dropped; everything after keeps its word alignment.
  std::copy(legacy.begin() + 28, legacy.begin() + 2476, out.begin() + 60);
  sealRecord(out.data(), kConfigLayout);
  return out;
}

ProConfigRecord migrateProRecord(const ConfigRecord& record) {
  ProConfigRecord out{};
  std::copy(record.begin(), record.begin() + 2444, out.begin());
  // The Pro firmware keeps a second copy of bytes 76-371; the first stays in place.
  std::copy(record.begin() + 76, record.begin() + 372, out.begin() + 2444);
  std::copy(record.begin() + 2444, record.begin() + 2508, out.begin() + 2740);
  sealRecord(out.data(), kProLayout);
  return out;
}

std::size_t targetRecordSize(const FirmwarePackage& package) {
  if (package.packageIsPro != 0 && compareRevision(package.packageRevision, kProLayoutLimit) >= 0) {
    return kProRecordBytes;
  }
  return kConfigRecordBytes;
}

void migrateConfigImage(ConfigImage& image, ConfigMode mode, const FirmwarePackage& package) {
  if (mode == ConfigMode::None) return;

  // Every output record is longer than its input, so each step converts from a
  // copy: writing in place would overwrite records not yet converted.
  if (mode == ConfigMode::Legacy) {
    std::array<LegacyConfigRecord, kConfigRecordCount> legacy;
    for (std::size_t k = 0; k < kConfigRecordCount; ++k) {
      std::copy_n(image.bytes.begin() + static_cast<std::ptrdiff_t>(k * kLegacyRecordBytes),
                  kLegacyRecordBytes, legacy[k].begin());
    }
    for (std::size_t k = 0; k < kConfigRecordCount; ++k) {
      const ConfigRecord converted = migrateLegacyRecord(legacy[k]);
      std::copy(converted.begin(), converted.end(),
                image.bytes.begin() + static_cast<std::ptrdiff_t>(k * kConfigRecordBytes));
    }
  }

  if (targetRecordSize(package) == kProRecordBytes) {
    std::array<ConfigRecord, kConfigRecordCount> records;
    for (std::size_t k = 0; k < kConfigRecordCount; ++k) {
      std::copy_n(image.bytes.begin() + static_cast<std::ptrdiff_t>(k * kConfigRecordBytes),
                  kConfigRecordBytes, records[k].begin());
    }
    for (std::size_t k = 0; k < kConfigRecordCount; ++k) {
      const ProConfigRecord converted = migrateProRecord(records[k]);
      std::copy(converted.begin(), converted.end(),
                image.bytes.begin() + static_cast<std::ptrdiff_t>(k * kProRecordBytes));
    }
  }
}

const ConfigLayout& sourceLayout(ConfigMode mode) {
  return mode == ConfigMode::Legacy ? kLegacyLayout : kConfigLayout;
}

const ConfigLayout& targetLayout(const FirmwarePackage& package) {
  return targetRecordSize(package) == kProRecordBytes ? kProLayout : kConfigLayout;
}

ConvertedRecords countConvertedRecords(const ConfigImage& readout, ConfigMode mode, const FirmwarePackage& package) {
  const ConfigLayout& from = sourceLayout(mode);
  const ConfigLayout& to = targetLayout(package);
  ConvertedRecords counted{0, 0};
  for (std::size_t k = 0; k < kConfigRecordCount; ++k) {
    // A Pro record 5 lies partly beyond what the readout covers.
    if ((k + 1) * to.recordBytes > kConfigReadoutBytes) break;
    ++counted.judged;
    const std::uint8_t* record = readout.bytes.data();
    if (configRecordValid(record + k * to.recordBytes, to) && !configRecordValid(record + k * from.recordBytes, from))
      ++counted.converted;
  }
  return counted;
}

std::uint32_t configTargetAddress(std::size_t k, std::size_t recordBytes, std::uint8_t firstByte) {
  std::size_t slot = k;
  if (recordBytes == kProRecordBytes && k == 5 && firstByte == kRecordMarker) slot = 4;
  return static_cast<std::uint32_t>(kConfigAreaAddress + slot * recordBytes);
}

std::array<WriteBackRecord, kConfigRecordCount> writeBackRecords(const ConfigImage& image, std::size_t recordBytes) {
  std::array<WriteBackRecord, kConfigRecordCount> records{};
  for (std::size_t k = 0; k < kConfigRecordCount; ++k) {
    const std::uint8_t* record = image.bytes.data() + k * recordBytes;
    records[k] = {configTargetAddress(k, recordBytes, record[0]), record, recordBytes};
  }
  return records;
}

ConfigAreaAsWritten configAreaAsWritten(const ConfigImage& image, std::size_t recordBytes, const ConfigImage& asFound) {
  ConfigAreaAsWritten area;
  std::copy_n(asFound.bytes.begin(), area.bytes.size(), area.bytes.begin());
  for (const WriteBackRecord& record : writeBackRecords(image, recordBytes)) {
    for (std::size_t i = 0; i < record.size; ++i) {
      const std::size_t at = record.address + i - kConfigAreaAddress;
      if (at >= area.bytes.size()) break;
      area.bytes[at] = record.bytes[i];
    }
  }
  return area;
}

}  // namespace korrin
