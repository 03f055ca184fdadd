#include "app/exits.h"

#include "platform/console.h"
#include "platform/os.h"

namespace korrin {

namespace {

// What an exit does with the port once it has printed its first words.
enum class PortEnd {
  Untouched,  // no port was opened, or the unit was never talked to
  Leave,      // 'X', then the port closed: the unit leaves update mode
  Close,      // the port closed and, first, why it failed: nothing more can be sent
};

struct ExitSteps {
  ExitLabel label;
  const char* before;  // printed first
  PortEnd port;        // then this
  const char* after;   // then this
  int status;
  bool portHelp = false;  // after `before`: the PC's serial ports and how to number one
};

// For an operator who cannot find the unit: the ports there are to try.
void printPortHelp() {
  consolePrint("\n\nSerial ports on this PC:");
  int listed = 0;
  os::listSerialPorts(
      [](const char* name, void* context) {
        consolePrint("\n  %s", name);
        ++*static_cast<int*>(context);
      },
      &listed);
  if (listed == 0) consolePrint(" none found");
  consolePrint("\n%s", os::portNamingHelp());
}

constexpr ExitSteps kExits[] = {
    {ExitLabel::kBadPortOption, "Error, usage is -cX to set COM port, where X is 1-4\n", PortEnd::Untouched, nullptr, 0},
    {ExitLabel::kBadSpeedOption,
     "Error, usage is -sX to set RS232 port speed, where X is 0(fastest) to 4(slowest)\n", PortEnd::Untouched, nullptr, 0},
    {ExitLabel::kUnknownOption, "%s :Unrecognized option\n", PortEnd::Untouched, nullptr, 0},
    // The text names com1 whatever the port: operators know it by these words.
    {ExitLabel::kNoUnit,
     "\nKorrin not in update mode, serial cable not connected,\nor other sw already using com1. (err1)\n"
     "To put Korrin in update mode press 'menu',0,6,2,8 on remote\n"
     "If it's already in update mode then press 'exit','menu',0,6,2,8",
     PortEnd::Untouched, nullptr, 0, true},
    {ExitLabel::kNoLineSpeed, "RS232 communication problem. Update exiting\n", PortEnd::Leave, "Connection cannot be made\n", 0},
    {ExitLabel::kWrongModel, "Firmware not updated...Exiting\n", PortEnd::Leave, nullptr, 1},
    {ExitLabel::kRefused, "\nFirmware not updated...Exiting\n", PortEnd::Leave, nullptr, 1},
    {ExitLabel::kConfigSpeedRefused, nullptr, PortEnd::Leave, "Connection failed at check config\n", 0},
    {ExitLabel::kReturnSpeedRefused, nullptr, PortEnd::Leave, "Connection failed after check config\n", 0},
    // The port was closed right after the flash command.
    {ExitLabel::kFlashed, nullptr, PortEnd::Untouched, nullptr, 1},
    // Like a lost line: nothing has been flashed, the unit keeps its old firmware.
    {ExitLabel::kBlockFailed, nullptr, PortEnd::Leave, "Firmware not updated...Exiting\n", 0},
    // Taken at a safe point: never inside the write-back, otherwise between blocks.
    {ExitLabel::kStopped, "\nStopped at the operator's request\n", PortEnd::Leave, "Firmware not updated...Exiting\n", 0},
    {ExitLabel::kLineLost, "\nThe serial port stopped working (cable or USB adapter pulled out?)\n", PortEnd::Close,
     "Firmware not updated...Exiting\n", 0},
};

}  // namespace

int finishRun(ExitLabel label, Link* link, const char* detail) {
  int status = 0;
  for (const ExitSteps& steps : kExits) {
    if (steps.label != label) continue;
    if (steps.before) {
      if (detail) {
        consolePrint(steps.before, detail);
      } else {
        consolePrint("%s", steps.before);
      }
    }
    if (steps.portHelp) printPortHelp();
    if (link && steps.port == PortEnd::Leave) leaveUpdateMode(*link);
    if (link && steps.port == PortEnd::Close) {
      // Why the port stopped, for a field report: a pulled adapter and a driver
      // that refused a call read alike otherwise.
      if (link->port.failure()[0] != '\0') consolePrint("(%s)\n", link->port.failure());
      link->port.close();
    }
    if (steps.after) consolePrint("%s", steps.after);
    status = steps.status;
  }
  consolePrint("\nPress a key to exit program");
  consoleKey();
  return status;
}

ExitLabel exitOf(LinkStart end) {
  switch (end) {
    case LinkStart::kUp: return ExitLabel::kNone;
    case LinkStart::kNoUnit: return ExitLabel::kNoUnit;
    case LinkStart::kNoLineSpeed: return ExitLabel::kNoLineSpeed;
    case LinkStart::kStopped: return ExitLabel::kStopped;
    case LinkStart::kLineLost: break;
  }
  return ExitLabel::kLineLost;
}

ExitLabel exitOf(IdentifyEnd end) {
  switch (end) {
    case IdentifyEnd::kGoOn: return ExitLabel::kNone;
    case IdentifyEnd::kWrongModel: return ExitLabel::kWrongModel;
    case IdentifyEnd::kRefused: return ExitLabel::kRefused;
    case IdentifyEnd::kLineLost: break;
  }
  return ExitLabel::kLineLost;
}

ExitLabel exitOf(ConfigEnd end) {
  switch (end) {
    case ConfigEnd::kGoOn: return ExitLabel::kNone;
    case ConfigEnd::kSpeedRefused: return ExitLabel::kConfigSpeedRefused;
    case ConfigEnd::kBlockFailed: return ExitLabel::kBlockFailed;
    case ConfigEnd::kRefused: return ExitLabel::kRefused;
    case ConfigEnd::kStopped: return ExitLabel::kStopped;
    case ConfigEnd::kLineLost: break;
  }
  return ExitLabel::kLineLost;
}

ExitLabel exitOf(const TransferResult& result) {
  switch (result.end) {
    case TransferEnd::Complete: return ExitLabel::kNone;
    case TransferEnd::NotConfirmed: return ExitLabel::kBlockFailed;
    case TransferEnd::Stopped: return ExitLabel::kStopped;
    case TransferEnd::LineLost: break;
  }
  return ExitLabel::kLineLost;
}

}  // namespace korrin
