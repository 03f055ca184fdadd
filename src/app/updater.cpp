#include "app/updater.h"

#include <algorithm>
#include <cstring>
#include <memory>

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

// Whether the unit's hardware region holds the release's hardware image, by
// its sums over windows no larger than the identification window, each given
// the identification's wait. A reply that does not parse counts as a difference:
// the cost of doubt is one hardware download, the cost of a wrong yes a unit
// flashed over a half-written hardware image.
bool hardwareImageInPlace(Link& link, const FirmwarePackage& package) {
  const auto size = static_cast<std::uint32_t>(package.hwSize);
  for (std::uint32_t offset = 0; offset < size; offset += kIdentWindowLength) {
    const std::uint32_t length = std::min(kIdentWindowLength, size - offset);
    std::uint32_t expected = 0;
    for (std::uint32_t i = 0; i < length; ++i) expected += package.hwImage[offset + i];
    sendAddress(link, kHardwareAddress + offset);
    sendLength(link, length);
    requestChecksum(link, kIdentWaitMs);
    std::uint32_t reported = 0;
    if (!parseChecksum(link.reply.text, reported) || reported != expected) return false;
  }
  return true;
}

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
  UnitAssessment& unit = session.unit;
  ExitLabel exit = capConfigSpeed(session.link, unit);
  if (exit == ExitLabel::kNone && !unit.identified) exit = checkConfigLayout(session.link, package, unit.conversion);
  if (exit != ExitLabel::kNone || unit.conversion == ConfigMode::None) return exit;

  const std::uint32_t speed = session.link.currentSpeed;
  planPhase(progress, ProgressTitle::kConfiguration, kConfigReadoutBytes, kConfigUploadBlock, true, speed);
  for (std::size_t record = 0; record < kConfigRecordCount; ++record)
    planPhase(progress, ProgressTitle::kConfiguration, targetRecordSize(package), kWriteBackBlockBytes, false, speed);
  beginPhase(progress, ProgressTitle::kConfiguration);

  exit = readConfigArea(session.link, session.configImage);
  if (exit != ExitLabel::kNone) return exit;
  sendStepK(session.link);
  // The copy is saved and the operator may be asked before anything else is sent.
  session.link.port.flush();
  return preserveConfig(session.link, package, unit.conversion, session.configImage);
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

ExitLabel downloadImages(UpdateSession& session, const FirmwarePackage& package, ProgressTitle& progress) {
  Link& link = session.link;
  beginPhase(progress, ProgressTitle::kSoftware);
  showOnUnit(link, "DOWNLOADING UPDATE");
  consolePrint("\nSending SW update..");
  sendCommand(link.port, 'E', 0, 20, link.reply);
  sendLength(link, kImageBlock);
  sendStepK(link);

  ExitLabel exit =
      transferExit(downloadRegion(link, 0, package.swImage, kSoftwareFirstPartBytes, kSoftwareFirstPartPlan));
  if (exit != ExitLabel::kNone) return exit;
  exit = transferExit(downloadRegion(link, kSoftwareSecondPartAddress, package.swImage + kSoftwareSecondPartAddress,
                                     static_cast<std::uint32_t>(package.swSize - kSoftwareSecondPartAddress),
                                     kSoftwareSecondPartPlan));
  if (exit != ExitLabel::kNone) return exit;

  bool sendHardware = session.unit.hardwareDue;
  if (!sendHardware && session.unit.hardwareToCheck) {
    consolePrint("\nChecking HW image..");
    sendHardware = !hardwareImageInPlace(link, package);
    if (link.port.lost()) return ExitLabel::kLineLost;
    if (sendHardware) consolePrint(" not whole on the unit (a run before this one was cut short?)");
  }
  if (sendHardware) {
    if (!session.unit.hardwareDue) planHardware(progress, package, link.currentSpeed);
    beginPhase(progress, ProgressTitle::kHardware);
    consolePrint("\nSending HW update..");
    exit = transferExit(downloadRegion(link, kHardwareAddress, package.hwImage,
                                       static_cast<std::uint32_t>(package.hwSize), kHardwarePlan));
    if (exit != ExitLabel::kNone) return exit;
  }
  // The last safe point: after the flash command the unit is on its own.
  return interruption(link);
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
  ExitLabel exit = startLink(link);
  if (exit != ExitLabel::kNone) return finishRun(exit, &link);

  const Identification identified = identifyUnit(link, package);
  exit = identified.exit != ExitLabel::kNone ? identified.exit : interruption(link);
  // A stop that ended the wait for the operator's answer is a stop, not a refusal.
  if (exit == ExitLabel::kRefused && os::stopRequested()) exit = ExitLabel::kStopped;
  if (exit != ExitLabel::kNone) return finishRun(exit, &link);
  session.unit = assessUnit(identified, package);
  sendStepT(link);
  planPhase(progress, ProgressTitle::kSoftware, kSoftwareFirstPartBytes, kImageBlock, false, link.requestedSpeed);
  planPhase(progress, ProgressTitle::kSoftware, package.swSize - kSoftwareSecondPartAddress, kImageBlock, false,
            link.requestedSpeed);
  if (session.unit.hardwareDue) planHardware(progress, package, link.requestedSpeed);

  exit = runConfigPhase(session, package, progress);
  if (exit == ExitLabel::kNone) exit = interruption(link);
  if (exit == ExitLabel::kRefused && os::stopRequested()) exit = ExitLabel::kStopped;
  if (exit == ExitLabel::kNone) exit = closeConfigPhase(link);
  if (exit == ExitLabel::kNone) exit = downloadImages(session, package, progress);
  if (exit != ExitLabel::kNone) return finishRun(exit, &link);

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
