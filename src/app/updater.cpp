#include "app/updater.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "app/command_line.h"
#include "app/exits.h"
#include "app/progress_title.h"
#include "app/update_session.h"
#include "config/config_transfer.h"
#include "package/identify.h"
#include "platform/console.h"
#include "platform/os.h"
#include "protocol/block_transfer.h"
#include "protocol/link_startup.h"
#include "protocol/memory_check.h"

namespace korrin {

namespace {

constexpr std::uint32_t kImageBlock = 1024;
constexpr std::uint32_t kSoftwareFirstPartBytes = 0x4000;  // up to the configuration area
constexpr int kStepReplyLength = 20;  // what the closing steps read after 'T' and "V0", never examined

constexpr TransferPlan kSoftwareFirstPartPlan{kImageBlock, false, markerNotice("Retry003\n"), Progress::DotPerBlock,
                                              Stops::Taken};
// The unit's length register still holds 1024 from the first part.
constexpr TransferPlan kSoftwareSecondPartPlan{kImageBlock, false, countedNotice(), Progress::DotPerBlock,
                                               Stops::Taken};
constexpr TransferPlan kHardwarePlan{kImageBlock, true, countedNotice(), Progress::DotPerBlock, Stops::Taken};

void planHardware(ProgressTitle& progress, const FirmwarePackage& package, std::uint32_t speed) {
  planPhase(progress, ProgressTitle::kHardware, package.hwSize, kImageBlock, false, speed);
}

// Between phases: the operator's stop, or a port that has failed.
ExitLabel interruption(const Link& link) {
  if (link.port.lost()) return ExitLabel::kLineLost;
  if (os::stopRequested()) return ExitLabel::kStopped;
  return ExitLabel::kNone;
}

// Preserve the unit's records across the layout change, when it has one.
ExitLabel runConfigPhase(UpdateSession& session, const FirmwarePackage& package, ProgressTitle& progress) {
  const UnitAssessment& unit = session.unit;
  ExitLabel exit = exitOf(capConfigSpeed(session.link, unit));
  if (exit != ExitLabel::kNone || (unit.identified && unit.conversion == ConfigMode::None)) return exit;
  // The copies on this PC, read once for the whole phase.
  const auto copies = std::make_unique<SavedCopies>(readSavedCopies());
  LayoutCheck check;
  if (!unit.identified) {
    check = checkConfigLayout(session.link, package);
    if (check.end != ConfigEnd::kGoOn) return exitOf(check.end);
  }
  const ConfigMode conversion = conversionToRun(unit, check, *copies, package);
  if (conversion == ConfigMode::None) return ExitLabel::kNone;

  const std::uint32_t speed = session.link.currentSpeed;
  planPhase(progress, ProgressTitle::kConfiguration, kConfigReadoutBytes, kConfigUploadBlock, true, speed);
  for (std::size_t record = 0; record < kConfigRecordCount; ++record)
    planPhase(progress, ProgressTitle::kConfiguration, targetRecordSize(package), kWriteBackBlockBytes, false, speed);
  planSums(progress, 1 + kConfigAreaBytes / kWriteBackBlockBytes, session.link.requestedSpeed);
  beginPhase(progress, ProgressTitle::kConfiguration);

  exit = exitOf(readConfigArea(session.link, session.configImage));
  if (exit != ExitLabel::kNone) return exit;
  sendStepK(session.link);
  // The copy is saved and the operator may be asked before anything else is sent.
  session.link.port.flush();
  exit = exitOf(preserveConfig(session.link, package, conversion, session.configImage, *copies, session.config));
  // The unit's address register still points into the records: a stray 'D'
  // on a damaged line before the first software block would land there. It
  // rests where every memory sum leaves it.
  if (exit == ExitLabel::kNone) sendAddress(session.link, kParkAddress);
  return exit;
}

// The unit's steps out of the configuration phase, then back to the negotiated speed.
ExitLabel closeConfigPhase(Link& link) {
  sendStepK(link);
  presenceCheck(link);  // answered or not, the steps go on
  sendStepV0(link);
  sendStepT(link);
  readReply(link.reply, link.port, kStepReplyLength);
  sendStepV0(link);
  readReply(link.reply, link.port, kStepReplyLength);
  if (link.currentSpeed == link.requestedSpeed) return interruption(link);
  if (changeSpeed(link, link.requestedSpeed)) return interruption(link);
  return link.port.lost() ? ExitLabel::kLineLost : ExitLabel::kReturnSpeedRefused;
}

// Whether the records a conversion gives are due on the unit: written this
// run, or found in place as a saved copy's whole write-back.
bool recordsDue(const UpdateSession& session) {
  return session.config.records != ConfigOutcome::Records::None;
}

// What the run must leave as it found: the records when this run did not
// write them, the hardware region when no hardware image goes down. Asked
// before anything is written (each sum leaves the unit's address register on
// the software).
bool noteWhatStays(UpdateSession& session, const FirmwarePackage& package, std::vector<SumWindow>& records,
                   std::vector<SumWindow>& hardware) {
  Link& link = session.link;
  const bool hardwareStays = !session.unit.hardwareDue && !session.unit.hardwareToCheck;
  if (!recordsDue(session) && !addWindowsAsFound(link, records, kConfigAreaAddress, kConfigAreaBytes)) return false;
  return !hardwareStays ||
         addWindowsAsFound(link, hardware, kHardwareAddress, static_cast<std::uint32_t>(package.hwSize));
}

ExitLabel sendHardwareImage(Link& link, const FirmwarePackage& package, ProgressTitle& progress, bool planned) {
  if (!planned) planHardware(progress, package, link.currentSpeed);
  beginPhase(progress, ProgressTitle::kHardware);
  consolePrint("\nSending HW update..");
  return exitOf(downloadRegion(link, kHardwareAddress, package.hwImage,
                                     static_cast<std::uint32_t>(package.hwSize), kHardwarePlan));
}

// Nothing is flashed until the unit is seen to hold it all: the software at
// both its parts, the records as written (or as found), the hardware image
// when it went down or was found whole (or the region as found).
ExitLabel confirmUpdateHeld(UpdateSession& session, const FirmwarePackage& package, ProgressTitle& progress,
                            std::vector<SumWindow> windows, std::vector<SumWindow> hardware) {
  Link& link = session.link;
  consolePrint("\nChecking the update on the unit..");
  if (recordsDue(session)) {
    session.configAsWritten = configAreaAsWritten(session.config.conversion.converted,
                                                  session.config.conversion.targetSize, session.configImage);
    const std::uint8_t* area = session.configAsWritten.bytes.data();
    addWindows(windows, kConfigAreaAddress, area, kConfigAreaBytes, kWriteBackBlockBytes);
    addHalfBlockWindows(windows, kConfigAreaAddress, area, kConfigAreaBytes, kWriteBackBlockBytes);
  }
  for (;;) {
    std::vector<SumWindow> all = windows;
    all.insert(all.end(), hardware.begin(), hardware.end());
    const CheckResult held = confirmHeld(link, all);
    switch (held.end) {
      case CheckEnd::Held: return interruption(link);
      case CheckEnd::LineLost: return ExitLabel::kLineLost;
      case CheckEnd::Stopped: return ExitLabel::kStopped;
      case CheckEnd::NotHeld: return ExitLabel::kBlockFailed;
      case CheckEnd::Changed: break;
    }
    if (held.address < kHardwareAddress) {
      consolePrint("\nThe config records on the unit were overwritten by a line error: not flashed.\n"
                   "Run the update again; the unit's settings must then be set again by hand.\n");
      return ExitLabel::kBlockFailed;
    }
    // The unit's own hardware image was damaged: this release's takes its place.
    consolePrint(" hardware region damaged by a line error");
    const ExitLabel sent = sendHardwareImage(link, package, progress, false);
    if (sent != ExitLabel::kNone) return sent;
    hardware.clear();
    addWindows(hardware, kHardwareAddress, package.hwImage, static_cast<std::uint32_t>(package.hwSize),
               kImageBlock);
    addHalfBlockWindows(hardware, kHardwareAddress, package.hwImage, static_cast<std::uint32_t>(package.hwSize),
                        kImageBlock);
    consolePrint("\nChecking the update on the unit..");
  }
}

ExitLabel downloadImages(UpdateSession& session, const FirmwarePackage& package, ProgressTitle& progress) {
  Link& link = session.link;
  beginPhase(progress, ProgressTitle::kSoftware);
  std::vector<SumWindow> windows, hardware;
  if (!noteWhatStays(session, package, windows, hardware)) {
    if (link.port.lost()) return ExitLabel::kLineLost;
    consolePrint("\nThe unit did not answer a memory sum: not flashed\n");
    return ExitLabel::kBlockFailed;
  }
  // Records this run did not read it could not put back: no block may go astray into them.
  if (!recordsDue(session)) {
    link.keepOutFrom = kConfigAreaAddress;
    link.keepOutTo = kSoftwareSecondPartAddress;
  }
  showOnUnit(link, "DOWNLOADING UPDATE");
  consolePrint("\nSending SW update..");
  presenceCheck(link);  // answered or not, the download goes on
  sendLength(link, kImageBlock);
  sendStepK(link);

  ExitLabel exit =
      exitOf(downloadRegion(link, 0, package.swImage, kSoftwareFirstPartBytes, kSoftwareFirstPartPlan));
  if (exit != ExitLabel::kNone) return exit;
  const auto secondPartBytes = static_cast<std::uint32_t>(package.swSize - kSoftwareSecondPartAddress);
  exit = exitOf(downloadRegion(link, kSoftwareSecondPartAddress, package.swImage + kSoftwareSecondPartAddress,
                                     secondPartBytes, kSoftwareSecondPartPlan));
  if (exit != ExitLabel::kNone) return exit;

  addWindows(windows, 0, package.swImage, kSoftwareFirstPartBytes, kImageBlock);
  addWindows(windows, kSoftwareSecondPartAddress, package.swImage + kSoftwareSecondPartAddress, secondPartBytes,
             kImageBlock);
  addHalfBlockWindows(windows, 0, package.swImage, kSoftwareFirstPartBytes, kImageBlock);
  addHalfBlockWindows(windows, kSoftwareSecondPartAddress, package.swImage + kSoftwareSecondPartAddress,
                      secondPartBytes, kImageBlock);
  const bool hardwareGoes = session.unit.hardwareDue || session.unit.hardwareToCheck;
  if (hardwareGoes)
    addWindows(hardware, kHardwareAddress, package.hwImage, static_cast<std::uint32_t>(package.hwSize), kImageBlock);
  bool sendHardware = session.unit.hardwareDue;
  if (!sendHardware && session.unit.hardwareToCheck) {
    consolePrint("\nChecking HW image..");
    // A reply that does not parse counts as a difference: the cost of doubt is
    // one hardware download, the cost of a wrong yes a unit flashed over a
    // half-written hardware image.
    const std::size_t held = askWindowsOnce(link, hardware);
    if (link.port.lost()) return ExitLabel::kLineLost;
    sendHardware = held < hardware.size();
    // A region that matches nowhere holds another release's whole image as
    // often as a download cut in its first window: nothing is claimed.
    if (sendHardware)
      consolePrint(held == 0 ? " not this release's on the unit"
                             : " not whole on the unit (a run before this one was cut short?)");
  }
  if (sendHardware) {
    exit = sendHardwareImage(link, package, progress, session.unit.hardwareDue);
    if (exit != ExitLabel::kNone) return exit;
    for (SumWindow& w : hardware) w.known = false;
    addHalfBlockWindows(hardware, kHardwareAddress, package.hwImage, static_cast<std::uint32_t>(package.hwSize),
                        kImageBlock);
  }
  return confirmUpdateHeld(session, package, progress, windows, hardware);
}

void flashAndInstruct(Link& link) {
  consolePrint("\nNow flashing\n");
  showOnUnit(link, "FLASHING DONE IN ABOUT 30 SECS");
  sendFlashCommand(link);
  link.port.close();
  consolePrint("\nDO NOT SHUT OFF UNIT. Wait for unit to turn itself off or");
  consolePrint("\nrequest you to disconnect and reconnect power.");
  consolePrint("\nAlso, if you've waited over 3 minutes disconnect and reconnect power.");
  consolePrint("\nYou can then turn it back on");
  consolePrint("\nWhen powered back up you can check sw rev by pressing \"menu\",0,6,0,5\n");
}

int runSession(UpdateSession& session, const FirmwarePackage& package) {
  Link& link = session.link;
  ProgressTitle progress;
  followBlocks(progress, link);
  ExitLabel exit = exitOf(startLink(link));
  if (exit != ExitLabel::kNone) return finishRun(exit, &link);

  const Identification identified = identifyUnit(link, package);
  exit = identified.end != IdentifyEnd::kGoOn ? exitOf(identified.end) : interruption(link);
  // A stop that ended the wait for the operator's answer is a stop, not a refusal.
  if (exit == ExitLabel::kRefused && os::stopRequested()) exit = ExitLabel::kStopped;
  if (exit != ExitLabel::kNone) return finishRun(exit, &link);
  session.unit = assessUnit(identified, package);
  sendStepT(link);
  planPhase(progress, ProgressTitle::kSoftware, kSoftwareFirstPartBytes, kImageBlock, false, link.requestedSpeed);
  planPhase(progress, ProgressTitle::kSoftware, package.swSize - kSoftwareSecondPartAddress, kImageBlock, false,
            link.requestedSpeed);
  if (session.unit.hardwareDue) planHardware(progress, package, link.requestedSpeed);
  // The check before the flash: a window and the half of every block of each image.
  const auto blocks = [](std::size_t bytes) { return static_cast<std::uint32_t>(bytes / kImageBlock); };
  planSums(progress, 2 + blocks(package.swSize) - blocks(kConfigAreaBytes), link.requestedSpeed);
  if (session.unit.hardwareDue) planSums(progress, 4 + blocks(package.hwSize), link.requestedSpeed);

  exit = runConfigPhase(session, package, progress);
  if (exit == ExitLabel::kNone) exit = interruption(link);
  if (exit == ExitLabel::kRefused && os::stopRequested()) exit = ExitLabel::kStopped;
  if (exit == ExitLabel::kNone) exit = closeConfigPhase(link);
  if (exit == ExitLabel::kNone) exit = downloadImages(session, package, progress);
  if (exit != ExitLabel::kNone) return finishRun(exit, &link);

  settleCopies(session.config.copies);
  flashAndInstruct(link);
  return finishRun(ExitLabel::kFlashed, &link);
}

// What a run takes from the system (the fine timer tick, the operator's stop
// requests, QuickEdit off, the PC kept awake, the window's title), given back
// when the run returns, after the exit's key prompt.
struct RunResources {
  RunResources() { os::takeRunResources(); }
  ~RunResources() { os::giveBackRunResources(); }
  RunResources(const RunResources&) = delete;
  RunResources& operator=(const RunResources&) = delete;
};

}  // namespace

int runUpdater(int argc, const char* const* argv, const FirmwarePackage& package) {
  const RunResources resources;
  printBanner(package);
  Options options;
  const ExitLabel usage = parseOptions(argc, argv, options);
  if (usage != ExitLabel::kNone) return finishRun(usage, nullptr, options.badArgument);

  // Large (the configuration image) and alive until the run ends.
  auto session = std::make_unique<UpdateSession>();
  std::memcpy(session->link.portName, options.portName, sizeof options.portName);
  session->link.requestedSpeed = options.requestedSpeed;
  return runSession(*session, package);
}

}  // namespace korrin
