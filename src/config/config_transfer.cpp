#include "config/config_transfer.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "package/identify.h"
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
// Past the records up to the software: no record is written there, but a
// damaged address or length in the write-back may put bytes there.
constexpr TransferPlan kPastRecordsPlan{kWriteBackBlockBytes, true, markerNotice("+"), Progress::NoDots, Stops::Taken};
// Past the readout: the rest of a Pro record 5 written at its own place.
constexpr TransferPlan kRecordFiveTailPlan{kConfigUploadBlock, true, markerNotice("+"), Progress::NoDots,
                                           Stops::Taken};
constexpr std::size_t kRecordFiveAt = 5 * kProRecordBytes;  // offset from 0x4000

// A transfer's end as the phase's: kGoOn when it is complete.
ConfigEnd configEnd(const TransferResult& result) {
  switch (result.end) {
    case TransferEnd::Complete: return ConfigEnd::kGoOn;
    case TransferEnd::LineLost: return ConfigEnd::kLineLost;
    case TransferEnd::Stopped: return ConfigEnd::kStopped;
    case TransferEnd::NotConfirmed: break;
  }
  return ConfigEnd::kBlockFailed;
}

const char kNotWritten[] = "\nthe config will not be written. Update firmware anyway (y/n)";

// The operator's y/n, as at the identification question.
bool operatorSaysYes() {
  const int key = consoleKey();
  return key == 'y' || key == 'Y';
}

bool sameRecords(const ConfigConversion& a, const ConfigConversion& b) {
  return a.targetSize == b.targetSize &&
         std::equal(a.converted.bytes.begin(), a.converted.bytes.begin() + kConfigRecordCount * a.targetSize,
                    b.converted.bytes.begin());
}

// A Pro record 5 at its own place ends past the readout: whether the unit
// holds it whole, by its checksum over the rest read (1776 bytes from 0x7AE0).
ConfigEnd proRecordFiveWhole(Link& link, const ConfigImage& readout, bool& whole) {
  ProConfigRecord record{};
  const std::size_t seen = kConfigReadoutBytes - kRecordFiveAt;
  std::copy_n(readout.bytes.begin() + kRecordFiveAt, seen, record.begin());
  const ConfigEnd read = configEnd(uploadChecked(link, static_cast<std::uint32_t>(kConfigAreaAddress + kConfigReadoutBytes),
                                                  record.data() + seen, static_cast<std::uint32_t>(kProRecordBytes - seen),
                                                  kRecordFiveTailPlan));
  whole = read == ConfigEnd::kGoOn && configRecordValid(record.data(), kProLayout);
  return read;
}

// How the saved copies stand to the area just read.
struct CopyFindings {
  std::vector<const SavedCopy*> explaining;  // this release's layouts: Partial or Complete
  bool complete = false;                     // one of them explains the area as written whole
  bool differentRecords = false;             // two of them would write different records
  const SavedCopy* otherRelease = nullptr;   // a copy only another release's updater writes back
  std::vector<std::string> untouched;        // copies of exactly this readout: this unit's own
};

CopyFindings assessCopies(const SavedCopies& copies, const FirmwarePackage& package, ConfigMode mode,
                          const ConfigImage& readout) {
  CopyFindings found;
  for (const SavedCopy& copy : copies.copies) {
    const CopyMatch match = matchCopy(copy, readout.bytes.data(), kConfigReadoutBytes);
    if (match == CopyMatch::None) continue;
    if (match == CopyMatch::Untouched) {
      // Its write-back never reached a unit: a run of this unit cut before it.
      if (!reachedAUnit(copy.journal)) found.untouched.push_back(copy.path);
    } else if (!sameLayouts(copy.conversion, mode, package)) {
      if (!found.otherRelease) found.otherRelease = &copy;
    } else {
      if (!found.explaining.empty() && !sameRecords(found.explaining.front()->conversion, copy.conversion))
        found.differentRecords = true;
      found.explaining.push_back(&copy);
      found.complete = found.complete || match == CopyMatch::Complete;
    }
  }
  return found;
}

void settleTheseToo(const CopyFindings& found, ConfigOutcome& outcome) {
  for (const SavedCopy* copy : found.explaining) outcome.copies.paths.push_back(copy->path);
  for (const std::string& path : found.untouched) outcome.copies.paths.push_back(path);
}

// Why the records an earlier run left half converted are not written, and the
// operator's answer: kNone to go on with the firmware, kRefused to stop.
ConfigEnd askAboutPartlyConverted(const CopyFindings& found, const SavedCopies& copies) {
  if (found.differentRecords) {
    consolePrint("\nConfig partly converted by an earlier run, and copies saved on this PC for different units"
                 " match it (%s, %s):",
                 found.explaining[0]->path.c_str(), found.explaining[1]->path.c_str());
  } else if (found.otherRelease) {
    const ConfigConversion& other = found.otherRelease->conversion;
    consolePrint("\nConfig partly converted by an earlier run of the updater for firmware version %06x (%s):"
                 "\nrun that updater again on this PC, it writes back the copy it saved (%s);",
                 other.packageRevision, plainModelName(static_cast<std::uint32_t>(other.packageIsPro)),
                 found.otherRelease->path.c_str());
  } else if (!copies.unreadable.empty()) {
    consolePrint("\nConfig partly converted by an earlier run, and a copy saved on this PC cannot be read (%s):",
                 copies.unreadable.front().c_str());
  } else {
    consolePrint("\nConfig partly converted by an earlier run, and no copy saved on this PC matches it:");
  }
  consolePrint("%s", kNotWritten);
  if (!operatorSaysYes()) return ConfigEnd::kRefused;
  consolePrint("\nUpdate proceeding..\n");
  return ConfigEnd::kGoOn;
}

// What a write-back journals into its copy, and where the line stood when the
// unit last confirmed a block.
struct WriteBackJournal {
  SavedCopy& copy;
  const SerialPort& port;
  std::uint32_t confirmed = 0;  // the address of that block; 0: none yet
  std::uint64_t sentThen = 0;
};

// Every block held otherwise, and the first block confirmed: from then on the
// copy's unit no longer shows its readout untouched, and the copy is no
// longer taken for that of a unit that does (an identical one).
void journalEntry(void* context, std::uint32_t address, std::uint32_t unitSum, bool asSent) {
  auto& journal = *static_cast<WriteBackJournal*>(context);
  if (!asSent || !reachedAUnit(journal.copy.journal)) journalBlock(journal.copy, {address, unitSum});
  if (asSent) journal.confirmed = address, journal.sentThen = journal.port.sent();
}

// A block given up: the unit may have been out of step, taking what was sent
// since it last confirmed a block as the data of a damaged 'D' written where
// its address register pointed (that block, or the one given up). The copy
// says so, so that a later run still knows the area for this unit's.
void journalLineDamage(WriteBackJournal& journal, std::uint32_t givenUp) {
  const std::uint32_t from = journal.confirmed != 0 ? journal.confirmed : givenUp;
  const std::uint64_t reach = givenUp + (journal.port.sent() - journal.sentThen);
  const std::uint32_t end = reach < kSoftwareSecondPartAddress ? static_cast<std::uint32_t>(reach)
                                                               : kSoftwareSecondPartAddress;
  std::vector<HeldBlock> entries{{from | kLineDamageMark, end}};
  // The copy holds the records, not what lies past them: the words there that
  // the line's bytes may have reached go with the mark, as the run found them.
  const std::uint8_t* found = journal.copy.conversion.readout.bytes.data();
  const std::uint32_t pastRecords = kConfigAreaAddress + kConfigReadoutBytes;
  for (std::uint32_t at = std::max(from, pastRecords) & ~3u; at < end; at += 4) {
    const std::uint8_t* word = found + (at - kConfigAreaAddress);
    entries.push_back(
        {at | kAsFoundMark, static_cast<std::uint32_t>(word[0] | word[1] << 8 | word[2] << 16 | word[3] << 24)});
  }
  journalEntries(journal.copy, entries);
}

// This run's conversion of the readout: saved (or the operator asked), then
// written back, journalled into the copy.
ConfigEnd writeOwnConversion(Link& link, const FirmwarePackage& package, ConfigMode mode, const ConfigImage& readout,
                             const SavedCopies& copies, const CopyFindings& found, ConfigOutcome& outcome) {
  auto own = std::make_unique<SavedCopy>();
  own->conversion = convertReadout(readout, mode, package);
  const CopySave save = saveCopy(copies.store, *own);
  if (save != CopySave::Saved) {
    if (save == CopySave::NoFolder) {
      consolePrint("\nCould not save a copy of the config on this PC (there is no folder for it)");
    } else if (save == CopySave::Full) {
      consolePrint("\nCould not save a copy of the config on this PC (%s holds %d copies of these very records:"
                   " remove those of units updated since)",
                   own->path.c_str(), kMaxCopiesOfOneReadout);
    } else {
      consolePrint("\nCould not save a copy of the config on this PC (%s)", own->path.c_str());
    }
    consolePrint(".\nIf the write-back is cut short the config is lost. Write it anyway (y/n)");
    if (!operatorSaysYes()) return ConfigEnd::kRefused;
    consolePrint("\n");
    own->path.clear();
  }
  const ConfigEnd exit = writeBackConfig(link, package, own->conversion.converted, own.get());
  if (exit != ConfigEnd::kGoOn) return exit;
  outcome.records = ConfigOutcome::Records::WrittenThisRun;
  outcome.conversion = own->conversion;
  if (!own->path.empty()) outcome.copies.paths.push_back(own->path);
  settleTheseToo(found, outcome);
  return ConfigEnd::kGoOn;
}

}  // namespace

ConfigEnd capConfigSpeed(Link& link, const UnitAssessment& unit) {
  if (link.currentSpeed <= kConfigBaud || (unit.identified && unit.conversion == ConfigMode::None))
    return ConfigEnd::kGoOn;
  if (!changeSpeed(link, kConfigBaud)) return link.port.lost() ? ConfigEnd::kLineLost : ConfigEnd::kSpeedRefused;
  return ConfigEnd::kGoOn;
}

LayoutCheck checkConfigLayout(Link& link, const FirmwarePackage& package) {
  consolePrint("Checking config data..\n");
  LayoutCheck check;
  check.end = configEnd(uploadChecked(link, kConfigAreaAddress, check.record0.data(), kLayoutCheckBytes,
                                         kLayoutCheckPlan));
  if (check.end != ConfigEnd::kGoOn) return check;
  if (configRecordValid(check.record0.data(), kLegacyLayout)) {
    check.layout = ConfigMode::Legacy;
    consolePrint("Config is pre 042803\n");
  }
  if (configRecordValid(check.record0.data(), kConfigLayout) && package.packageIsPro != 0) {
    check.layout = ConfigMode::ConfigOnPro;
    consolePrint("Config is pre 101203 for Pro\n");
  }
  return check;
}

ConfigMode conversionToRun(const UnitAssessment& unit, const LayoutCheck& check, const SavedCopies& copies,
                           const FirmwarePackage& package) {
  if (unit.identified) return unit.conversion;
  if (check.layout != ConfigMode::None) return check.layout;
  // A write-back cut short leaves record 0 in neither layout, or in the new
  // one with the records after it still old: only a saved copy can tell.
  for (const SavedCopy& copy : copies.copies) {
    const ConfigMode mode = copy.conversion.mode;
    if (!sameLayouts(copy.conversion, mode, package) || (mode == ConfigMode::ConfigOnPro && !package.packageIsPro))
      continue;
    const CopyMatch match = matchCopy(copy, check.record0.data(), kLayoutCheckBytes);
    if (match == CopyMatch::Partial || match == CopyMatch::Complete) return mode;
  }
  return ConfigMode::None;
}

ConfigEnd readConfigArea(Link& link, ConfigImage& image) {
  consolePrint("Reading config data..\n");
  const ConfigEnd exit =
      configEnd(uploadChecked(link, kConfigAreaAddress, image.bytes.data(), kConfigReadoutBytes, kReadoutPlan));
  if (exit != ConfigEnd::kGoOn) return exit;
  return configEnd(uploadChecked(link, kConfigAreaAddress + kConfigReadoutBytes,
                                    image.bytes.data() + kConfigReadoutBytes, kConfigAreaBytes - kConfigReadoutBytes,
                                    kPastRecordsPlan));
}

ConfigEnd preserveConfig(Link& link, const FirmwarePackage& package, ConfigMode mode, ConfigImage& readout,
                         const SavedCopies& copies, ConfigOutcome& outcome) {
  const CopyFindings found = assessCopies(copies, package, mode, readout);
  if (!found.explaining.empty() && !found.differentRecords) {
    const SavedCopy& saved = *found.explaining.front();
    outcome.conversion = saved.conversion;
    // Past the records the area is as this run read it, but where a write-back
    // of the copy overran: there as the copy's first run found it.
    putBackAsFound(saved, readout);
    if (found.complete) {
      consolePrint("\nConfig already converted by an earlier run, left as it is");
      outcome.records = ConfigOutcome::Records::FoundInPlace;
      settleTheseToo(found, outcome);
      return ConfigEnd::kGoOn;
    }
    consolePrint("\nConfig partly converted by an earlier run: writing back the copy saved then\n");
    auto journal = std::make_unique<SavedCopy>(saved);
    std::copy(readout.bytes.begin() + kConfigReadoutBytes, readout.bytes.begin() + kConfigAreaBytes,
              journal->conversion.readout.bytes.begin() + kConfigReadoutBytes);
    const ConfigEnd exit = writeBackConfig(link, package, journal->conversion.converted, journal.get());
    if (exit != ConfigEnd::kGoOn) return exit;
    outcome.records = ConfigOutcome::Records::WrittenThisRun;
    settleTheseToo(found, outcome);
    return ConfigEnd::kGoOn;
  }

  if (found.explaining.empty() && !found.otherRelease) {
    const ConvertedRecords records = countConvertedRecords(readout, mode, package);
    bool whole = records.converted > 0 && records.converted == records.judged;
    // Record 5 is judged too unless the Pro layout put it in record 4's place.
    if (whole && targetRecordSize(package) == kProRecordBytes &&
        readout.bytes[4 * kProRecordBytes] != kRecordMarker) {
      const ConfigEnd exit = proRecordFiveWhole(link, readout, whole);
      if (exit != ConfigEnd::kGoOn) return exit;
    }
    if (whole) {
      consolePrint("\nConfig already converted by an earlier run, left as it is");
      return ConfigEnd::kGoOn;
    }
    if (records.converted == 0) return writeOwnConversion(link, package, mode, readout, copies, found, outcome);
  }
  return askAboutPartlyConverted(found, copies);
}

ConfigEnd writeBackConfig(Link& link, const FirmwarePackage& package, const ConfigImage& image, SavedCopy* copy) {
  TransferPlan plan = kWriteBackPlan;
  std::unique_ptr<WriteBackJournal> journal;
  if (copy) {
    journal.reset(new WriteBackJournal{*copy, link.port, 0, link.port.sent()});
    plan.watch = {journalEntry, journal.get()};
  }
  for (const WriteBackRecord& record : writeBackRecords(image, targetRecordSize(package))) {
    const TransferResult sent =
        downloadRegion(link, record.address, record.bytes, static_cast<std::uint32_t>(record.size), plan);
    if (sent.end == TransferEnd::NotConfirmed && journal) journalLineDamage(*journal, sent.failedAddress);
    if (sent.end != TransferEnd::Complete) return configEnd(sent);
    consolePrint(".");
  }
  return ConfigEnd::kGoOn;
}

}  // namespace korrin
