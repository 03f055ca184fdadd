#include "app/exits.h"

#include "platform/console.h"
#include "platform/os.h"

namespace korrin {

namespace {

struct ExitSteps {
  ExitLabel label;
  const char* before;  // printed first
  bool leaveUnit;      // then 'X' and the port closed
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
    {ExitLabel::kBadPortOption, "Error, usage is -cX to set COM port, where X is 1-4\n", false, nullptr, 0},
    {ExitLabel::kBadSpeedOption,
     "Error, usage is -sX to set RS232 port speed, where X is 0(fastest) to 4(slowest)\n", false, nullptr, 0},
    {ExitLabel::kUnknownOption, "%s :Unrecognized option\n", false, nullptr, 0},
    // The text names com1 whatever the port: operators know it by these words.
    {ExitLabel::kNoUnit,
     "\nKorrin not in update mode, serial cable not connected,\nor other sw already using com1. (err1)\n"
     "To put Korrin in update mode press 'menu',0,6,2,8 on remote\n"
     "If it's already in update mode then press 'exit','menu',0,6,2,8",
     false, nullptr, 0, true},
    {ExitLabel::kNoLineSpeed, "RS232 communication problem. Update exiting\n", true, "Connection cannot be made\n", 0},
    {ExitLabel::kWrongModel, "Firmware not updated...Exiting\n", true, nullptr, 1},
    {ExitLabel::kRefused, "\nFirmware not updated...Exiting\n", true, nullptr, 1},
    {ExitLabel::kConfigSpeedRefused, nullptr, true, "Connection failed at check config\n", 0},
    {ExitLabel::kReturnSpeedRefused, nullptr, true, "Connection failed after check config\n", 0},
    {ExitLabel::kFlashed, nullptr, false, nullptr, 1},
    // Like a lost line: nothing has been flashed, the unit keeps its old firmware.
    {ExitLabel::kBlockFailed, nullptr, true, "Firmware not updated...Exiting\n", 0},
    // Taken at a safe point: never inside the write-back, otherwise between blocks.
    {ExitLabel::kStopped, "\nStopped at the operator's request\n", true, "Firmware not updated...Exiting\n", 0},
    // Nothing more can be sent: the port is only closed.
    {ExitLabel::kLineLost, "\nThe serial port stopped working (cable or USB adapter pulled out?)\n", false,
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
    // Why the port stopped, for a field report: a pulled adapter and a driver
    // that refused a call read alike otherwise.
    if (label == ExitLabel::kLineLost && link && link->port.failure()[0] != '\0')
      consolePrint("(%s)\n", link->port.failure());
    if (steps.portHelp) printPortHelp();
    if (steps.leaveUnit && link) leaveUpdateMode(*link);
    if (label == ExitLabel::kLineLost && link) link->port.close();
    if (steps.after) consolePrint("%s", steps.after);
    status = steps.status;
  }
  consolePrint("\nPress a key to exit program");
  consoleKey();
  return status;
}

}  // namespace korrin
