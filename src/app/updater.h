// A whole run, from the banner to one of the exits; returns the process status.
// The 1 ms timer resolution and the operator's stop requests are held for the
// run and given back after the exit's key.
#pragma once

#include "package/firmware_package.h"

namespace korrin {

int runUpdater(int argc, const char* const* argv, const FirmwarePackage& package);

}  // namespace korrin
