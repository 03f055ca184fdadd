#include "config/config_transfer.h"

#include <array>
#include <memory>
#include <string>

#include "config/config_copy.h"
#include "platform/console.h"
#include "protocol/block_transfer.h"
#include "protocol/memory_check.h"

namespace korrin {

namespace {

constexpr TransferPlan kLayoutCheckPlan{kConfigUploadBlock, true, markerNotice("+"), Progress::NoDots, Stops::Taken};
constexpr TransferPlan kReadoutPlan{kConfigUploadBlock, true, markerNotice("+"), Progress::DotPerKilobyte,
                                    Stops::Taken};
constexpr TransferPlan kWriteBackPlan{kWriteBackBlockBytes, true, markerNotice("Re43"), Progress::NoDots,
                                      Stops::Deferred};

// The operator's y/n, as at the identification question.
bool operatorSaysYes() {
  const int key = consoleKey();
  return key == 'y' || key == 'Y';
}

}  // namespace

ExitLabel capConfigSpeed(Link& link, const UnitAssessment& unit) {
  if (link.currentSpeed <= kConfigBaud || (unit.identified && unit.conversion == ConfigMode::None))
    return ExitLabel::kNone;
  if (!changeSpeed(link, kConfigBaud)) return link.port.lost() ? ExitLabel::kLineLost : ExitLabel::kConfigSpeedRefused;
  return ExitLabel::kNone;
}

ExitLabel checkConfigLayout(Link& link, const FirmwarePackage& package, ConfigMode& mode) {
  consolePrint("Checking config data..\n");
  std::array<std::uint8_t, kLayoutCheckBytes> record0{};
  const ExitLabel read = transferExit(uploadChecked(link, kConfigAreaAddress, record0.data(), kLayoutCheckBytes,
                                                   kLayoutCheckPlan));
  if (read != ExitLabel::kNone) return read;
  if (configRecordValid(record0.data(), kLegacyLayout)) {
    mode = ConfigMode::Legacy;
    consolePrint("Config is pre 042803\n");
  }
  if (configRecordValid(record0.data(), kConfigLayout) && package.packageIsPro != 0) {
    mode = ConfigMode::ConfigOnPro;
    consolePrint("Config is pre 101203 for Pro\n");
  }
  if (mode == ConfigMode::None) {
    // A write-back cut short leaves record 0 in neither layout, or in the new
    // one with the records after it still old: only the saved copy can tell.
    auto copy = std::make_unique<ConfigCopy>();
    std::string path;
    const CopyMatch match =
        findCopyAnyMode(openCopyStore(), package, record0.data(), kLayoutCheckBytes, *copy, path);
    if (match == CopyMatch::Partial) mode = copy->mode;
  }
  return ExitLabel::kNone;
}

ExitLabel readConfigArea(Link& link, ConfigImage& image) {
  consolePrint("Reading config data..\n");
  return transferExit(uploadChecked(link, kConfigAreaAddress, image.bytes.data(), kConfigReadoutBytes, kReadoutPlan));
}

ExitLabel preserveConfig(Link& link, const FirmwarePackage& package, ConfigMode mode, const ConfigImage& readout,
                         ConfigImage& written, bool& wrote) {
  auto conversion = std::make_unique<ConfigCopy>();
  conversion->packageRevision = package.packageRevision;
  conversion->packageIsPro = package.packageIsPro;
  conversion->mode = mode;
  conversion->targetSize = targetRecordSize(package);
  conversion->readout = readout;
  conversion->converted = readout;
  migrateConfigImage(conversion->converted, mode, package);

  const CopyStore store = openCopyStore();
  auto saved = std::make_unique<ConfigCopy>();
  std::string savedPath;
  switch (findCopy(store, package, mode, readout.bytes.data(), kConfigReadoutBytes, *saved, savedPath)) {
    case CopyMatch::Partial: {
      consolePrint("\nConfig partly converted by an earlier run: writing back the copy saved then\n");
      wrote = true;
      written = saved->converted;
      const ExitLabel exit = writeBackConfig(link, package, saved->converted);
      if (exit == ExitLabel::kNone) removeCopy(savedPath);
      return exit;
    }
    case CopyMatch::Untouched:
      break;  // the same readout as last time: convert it as then
    case CopyMatch::None: {
      const ConvertedRecords records = countConvertedRecords(readout, mode, package);
      if (records.converted > 0 && records.converted == records.judged) {
        consolePrint("\nConfig already converted by an earlier run, left as it is");
        return ExitLabel::kNone;
      }
      if (records.converted > 0) {
        consolePrint("\nConfig partly converted by an earlier run, and no copy saved on this PC matches it:"
                     "\nthe config will not be written. Update firmware anyway (y/n)");
        if (!operatorSaysYes()) return ExitLabel::kRefused;
        consolePrint("\nUpdate proceeding..\n");
        return ExitLabel::kNone;
      }
      break;
    }
  }

  std::string path;
  if (!saveCopy(store, *conversion, path)) {
    consolePrint("\nCould not save a copy of the config on this PC (%s).\nIf the write-back is cut short the config"
                 " is lost. Write it anyway (y/n)",
                 path.empty() ? "there is no folder for it" : path.c_str());
    if (!operatorSaysYes()) return ExitLabel::kRefused;
    consolePrint("\n");
  }
  wrote = true;
  written = conversion->converted;
  const ExitLabel exit = writeBackConfig(link, package, conversion->converted);
  if (exit == ExitLabel::kNone) removeCopy(path);
  return exit;
}

ExitLabel writeBackConfig(Link& link, const FirmwarePackage& package, const ConfigImage& image) {
  for (const WriteBackRecord& record : writeBackRecords(image, targetRecordSize(package))) {
    const ExitLabel exit = transferExit(
        downloadRegion(link, record.address, record.bytes, static_cast<std::uint32_t>(record.size), kWriteBackPlan));
    if (exit != ExitLabel::kNone) return exit;
    consolePrint(".");
  }
  return ExitLabel::kNone;
}

}  // namespace korrin
