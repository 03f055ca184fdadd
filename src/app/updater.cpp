#include "app/updater.h"

#include <cstring>
#include <memory>

#include "app/command_line.h"
#include "app/exits.h"
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

bool hardwareImageDue(const FirmwarePackage& package, std::uint32_t matchedIndex) {
  const RevisionCode unit = package.unitTable->rev[matchedIndex];
  const RevisionCode limit = package.packageIsPro ? kProHardwareLimit : kBaseHardwareLimit;
  return compareRevision(unit, limit) < 0;
}

// The download only reads from its buffer; the images themselves are constant.
TransferResult downloadImage(Link& link, std::uint32_t address, const std::uint8_t* image, std::size_t length,
                             bool sendLengthFirst, RetryNotice notice) {
  return transferRegion(link, Direction::Download, address, static_cast<std::uint32_t>(length), kImageBlock,
                        const_cast<std::uint8_t*>(image), sendLengthFirst, notice, Progress::DotPerBlock);
}

// Preserve the unit's records across the layout change, when it has one.
ExitLabel runConfigPhase(UpdateSession& session, const FirmwarePackage& package) {
  selectConfigMode(session.matchedIndex, session.unitIdentified, session.configMode, package);
  ExitLabel exit = capConfigSpeed(session.link, session.unitIdentified, session.configMode);
  if (exit == ExitLabel::kNone && !session.unitIdentified)
    exit = checkConfigLayout(session.link, package, session.configMode);
  if (exit != ExitLabel::kNone || session.configMode == 0) return exit;

  exit = readConfigArea(session.link, session.configImage);
  if (exit != ExitLabel::kNone) return exit;
  sendText("K", session.link.port);
  migrateConfigImage(session.configImage, session.configMode, package);
  return writeBackConfig(session.link, package, session.configImage);
}

// The unit's steps out of the configuration phase, then back to the negotiated speed.
ExitLabel closeConfigPhase(Link& link) {
  sendText("K", link.port);
  sendCommand(link.port, 'E', 0, 20, link.reply);
  sendText("V0", link.port);
  sendCommand(link.port, 'T', 0, 20, link.reply);
  sendText("V0", link.port);
  readReply(link.reply, link.port, 20);
  if (link.currentSpeed == link.requestedSpeed) return ExitLabel::kNone;
  return changeSpeed(link, link.requestedSpeed) ? ExitLabel::kNone : ExitLabel::kReturnSpeed;
}

ExitLabel downloadImages(UpdateSession& session, const FirmwarePackage& package) {
  Link& link = session.link;
  sendText("JDOWNLOADING UPDATE\n", link.port);
  consolePrint("\nSending SW update..");
  sendCommand(link.port, 'E', 0, 20, link.reply);
  sendText("L000400", link.port);
  sendText("K", link.port);

  TransferResult sent = downloadImage(link, 0, package.swImage, kSoftwareFirstPartBytes, false,
                                      markerNotice("Retry003\n"));
  if (!sent.complete) return ExitLabel::kBlockFailed;
  // The unit's length register still holds 1024 from the first part.
  sent = downloadImage(link, kSoftwareSecondPartAddress, package.swImage + kSoftwareSecondPartAddress,
                       package.swSize - kSoftwareSecondPartAddress, false, countedNotice());
  if (!sent.complete) return ExitLabel::kBlockFailed;

  if (hardwareImageDue(package, session.matchedIndex)) {
    consolePrint("\nSending HW update..");
    sent = downloadImage(link, kHardwareAddress, package.hwImage, package.hwSize, true, countedNotice());
    if (!sent.complete) return ExitLabel::kBlockFailed;
  }
  return ExitLabel::kNone;
}

void flashAndInstruct(Link& link) {
  consolePrint("\nNow flashing\n");
  sendText("JFLASHING DONE IN ABOUT 30 SECS\n", link.port);
  sendText("F5382", link.port);
  link.port.close();
  consolePrint("\nDO NOT SHUT OFF UNIT. Wait for unit to turn itself off or");
  consolePrint("\nrequest you to disconnect and reconnect power.");
  consolePrint("\nAlso, if you've waited over 3 minutes disconnect and reconnect power.");
  consolePrint("\nYou can then turn it back on");
  consolePrint("\nWhen powered back up you can check sw rev by pressing \"menu\",0,6,0,5\n");
}

int runSession(UpdateSession& session, const FirmwarePackage& package) {
  Link& link = session.link;
  ExitLabel exit = startLink(link);
  if (exit != ExitLabel::kNone) return finishRun(exit, &link);

  const Identification identified = identifyUnit(link, package);
  if (identified.exit != ExitLabel::kNone) return finishRun(identified.exit, &link);
  session.matchedIndex = identified.matchedIndex;
  sendText("T", link.port);

  exit = runConfigPhase(session, package);
  if (exit == ExitLabel::kNone) exit = closeConfigPhase(link);
  if (exit == ExitLabel::kNone) exit = downloadImages(session, package);
  if (exit != ExitLabel::kNone) return finishRun(exit, &link);

  flashAndInstruct(link);
  return finishRun(ExitLabel::kFlashed, &link);
}

}  // namespace

int runUpdater(int argc, const char* const* argv, const FirmwarePackage& package) {
  // Windows stretches Sleep(40) to a whole scheduler tick unless asked; every
  // exit gives the resolution back.
  os::timeBeginPeriod(1);
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
