#include "config/config_transfer.h"

#include <array>

#include "platform/console.h"
#include "protocol/block_transfer.h"

namespace korrin {

namespace {

constexpr std::uint32_t kConfigDownloadBlock = 256;

ExitLabel transferred(const TransferResult& result) {
  return result.complete ? ExitLabel::kNone : ExitLabel::kBlockFailed;
}

}  // namespace

void selectConfigMode(std::uint32_t& matchedIndex, bool& unitIdentified, int& configMode,
                      const FirmwarePackage& package) {
  configMode = 0;
  unitIdentified = true;
  if (matchedIndex >= kUnitTableRows) {
    unitIdentified = false;
    matchedIndex = 0;
    return;
  }
  const RevisionCode unit = package.unitTable->rev[matchedIndex];
  const RevisionCode release = package.packageRevision;
  if (compareRevision(unit, kLegacyLayoutLimit) < 0 && compareRevision(release, kLegacyLayoutLimit) >= 0) {
    configMode = 1;
  } else if (package.packageIsPro != 0 && compareRevision(unit, kProLayoutLimit) < 0 &&
             compareRevision(release, kProLayoutLimit) >= 0) {
    configMode = 2;
  }
}

ExitLabel capConfigSpeed(Link& link, bool unitIdentified, int configMode) {
  if (link.currentSpeed <= kConfigSpeed || (unitIdentified && configMode == 0)) return ExitLabel::kNone;
  if (!changeSpeed(link, kConfigSpeed)) return ExitLabel::kConfigSpeed;
  return ExitLabel::kNone;
}

ExitLabel checkConfigLayout(Link& link, const FirmwarePackage& package, int& configMode) {
  consolePrint("Checking config data..\n");
  std::array<std::uint8_t, kLayoutCheckBytes> record0{};
  const TransferResult read = transferRegion(link, Direction::Upload, kConfigAreaAddress, kLayoutCheckBytes,
                                             kConfigUploadBlock, record0.data(), true, markerNotice("+"),
                                             Progress::NoDots);
  if (!read.complete) return ExitLabel::kBlockFailed;
  if (configRecordValid(record0.data(), kLegacyLayout)) {
    configMode = 1;
    consolePrint("Config is pre 042803\n");
  }
  if (configRecordValid(record0.data(), kConfigLayout) && package.packageIsPro != 0) {
    configMode = 2;
    consolePrint("Config is pre 101203 for Pro\n");
  }
  return ExitLabel::kNone;
}

ExitLabel readConfigArea(Link& link, ConfigImage& image) {
  consolePrint("Reading config data..\n");
  return transferred(transferRegion(link, Direction::Upload, kConfigAreaAddress, kConfigReadoutBytes,
                                    kConfigUploadBlock, image.bytes.data(), true, markerNotice("+"),
                                    Progress::DotPerKilobyte));
}

ExitLabel writeBackConfig(Link& link, const FirmwarePackage& package, const ConfigImage& image) {
  const std::size_t size = targetRecordSize(package);
  // The transfer reads from its buffer only when downloading; one record at a time.
  std::array<std::uint8_t, kProRecordBytes> record{};
  for (std::size_t k = 0; k < kConfigRecordCount; ++k) {
    const std::uint8_t* source = image.bytes.data() + k * size;
    std::copy(source, source + size, record.begin());
    const std::uint32_t address = configTargetAddress(k, size, record[0]);
    const TransferResult sent =
        transferRegion(link, Direction::Download, address, static_cast<std::uint32_t>(size), kConfigDownloadBlock,
                       record.data(), true, markerNotice("Re43"), Progress::NoDots);
    if (!sent.complete) return ExitLabel::kBlockFailed;
    consolePrint(".");
  }
  return ExitLabel::kNone;
}

}  // namespace korrin
