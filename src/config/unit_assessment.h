// What identification decides for the rest of the run: whether a row matched;
// the conversion its configuration records need (judged by the row's revision);
// whether the hardware image goes down or is checked.
#pragma once

#include <cstdint>

#include "config/config_record.h"
#include "package/firmware_package.h"
#include "package/identify.h"

namespace korrin {

struct UnitAssessment {
  bool identified = false;  // a row matched (a later build included, once the operator said yes)
  // None for a unit no row matched until checkConfigLayout recognises its records.
  ConfigMode conversion = ConfigMode::None;
  bool hardwareDue = false;  // the hardware image is sent after the software
  // The unit reports this release's own build, which is also what a download
  // cut after the identification window leaves behind: its hardware region is
  // checked after the software and the image sent when it is not there whole.
  bool hardwareToCheck = false;
};

// The records' conversion for a unit of revision `unit`: Legacy when it predates
// the ConfigRecord layout and the package does not, ConfigOnPro when a Pro
// package brings the Pro layout to a unit before it, otherwise None.
ConfigMode conversionFor(RevisionCode unit, const FirmwarePackage& package);

// Made once from an identification that let the update go ahead.
UnitAssessment assessUnit(const Identification& identification, const FirmwarePackage& package);

}  // namespace korrin
