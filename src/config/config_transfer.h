// Before the images go down: bring the line down to 14400 baud when the unit's
// configuration records must be preserved, recognise the layout of an
// unidentified unit, read the configuration area, and write the converted
// records back, with a saved copy on the PC while they are written.
#pragma once

#include <cstdint>

#include "config/config_record.h"
#include "config/unit_assessment.h"
#include "package/firmware_package.h"
#include "protocol/exit_label.h"
#include "protocol/link.h"

namespace korrin {

constexpr std::uint32_t kConfigUploadBlock = 64;
constexpr std::uint32_t kLayoutCheckBytes = 2512;  // record 0 of either layout

// 14400 baud when the configuration will be touched (a conversion is due, or
// the unit is unidentified and its layout must be checked) and the line is
// faster. kConfigSpeedRefused (E8) when the unit does not answer there.
ExitLabel capConfigSpeed(Link& link, const UnitAssessment& unit);
// Reads record 0 and sets the mode from the layouts it is valid in; prints its
// findings. A record 0 that a saved copy's write-back explains takes that copy's mode.
ExitLabel checkConfigLayout(Link& link, const FirmwarePackage& package, ConfigMode& mode);
// The 15072 bytes from 0x4000 into the image, 14 dots.
ExitLabel readConfigArea(Link& link, ConfigImage& image);
// Converts the readout and writes it back, six dots. Records an earlier run has
// converted are not converted again: an area some write-back left half done is
// written again from the copy saved then, or, with no copy that matches it,
// not written at all (the operator is asked whether to update the firmware
// anyway). A copy is saved before the first block (the operator is asked when
// it cannot be) and removed when the write-back is complete. kRefused (E7)
// when the operator says no; kBlockFailed, kLineLost as the transfer ends.
// `written` gets the records the unit must hold from then on, when they were written.
ExitLabel preserveConfig(Link& link, const FirmwarePackage& package, ConfigMode mode, const ConfigImage& readout,
                         ConfigImage& written, bool& wrote);
// Each of the six converted records to its address in 256-byte blocks, a dot
// per record. The operator's stop waits until the last record is written.
ExitLabel writeBackConfig(Link& link, const FirmwarePackage& package, const ConfigImage& image);

}  // namespace korrin
