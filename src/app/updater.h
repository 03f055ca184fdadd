// A whole run, from the banner to one of the exits; returns the process status.
#pragma once

#include "package/firmware_package.h"

namespace korrin {

int runUpdater(int argc, const char* const* argv, const FirmwarePackage& package);

}  // namespace korrin
