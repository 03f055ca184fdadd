#include "app/command_line.h"

#include "package/identify.h"
#include "platform/console.h"

namespace korrin {

namespace {

constexpr std::uint32_t kSpeedTable[] = {28800, 14400, 9600, 4800, 2400};  // -s0 fastest to -s4 slowest

}  // namespace

void printBanner(const FirmwarePackage& package) {
  consolePrint("\n****************************************\n");
  consolePrint("* %s firmware update utility    *\n", paddedModelName(static_cast<std::uint32_t>(package.packageIsPro)));
  consolePrint("****************************************\n");
  consolePrint("\nUpdater for firmware version %06x\n\n", package.packageRevision);
}

ExitLabel parseOptions(int argc, const char* const* argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument[0] != '-') continue;
    // Only the first three characters count: -c2abc is -c2. The digit is
    // compared as a signed character, so bytes above 127 are out of range too.
    const signed char digit = static_cast<signed char>(argument[1] == '\0' ? '\0' : argument[2]);
    if (argument[1] == 'c') {
      if (digit < '1' || digit > '4') return ExitLabel::kBadPortOption;
      options.portName[3] = static_cast<char>(digit);
    } else if (argument[1] == 's') {
      if (digit < '0' || digit > '4') return ExitLabel::kBadSpeedOption;
      options.requestedSpeed = kSpeedTable[digit - '0'];
    } else {
      options.badArgument = argument;
      return ExitLabel::kUnknownOption;
    }
  }
  return ExitLabel::kNone;
}

}  // namespace korrin
