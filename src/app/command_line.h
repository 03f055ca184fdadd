// The banner and the two options: -cX (COM1 to COM4) and -sX (speed 0 to 4).
#pragma once

#include <cstdint>

#include "package/firmware_package.h"
#include "app/exit_label.h"
#include "protocol/link.h"

namespace korrin {

struct Options {
  char portName[5] = "COM1";
  std::uint32_t requestedSpeed = kDefaultSpeed;
  const char* badArgument = nullptr;  // the argument an unrecognized-option exit names
};

void printBanner(const FirmwarePackage& package);
// Arguments left to right; the last occurrence of an option wins, the first bad
// one ends the reading: kBadPortOption (E1), kBadSpeedOption (E2), kUnknownOption (E3).
ExitLabel parseOptions(int argc, const char* const* argv, Options& options);

}  // namespace korrin
