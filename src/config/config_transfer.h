// Before the images go down: decide whether the unit's configuration records
// must be preserved, bring the line down to 14400 baud for it, recognise the
// layout of an unidentified unit, read the configuration area, and write the
// converted records back, with a saved copy on the PC while they are written.
#pragma once

#include <cstdint>

#include "config/config_record.h"
#include "package/firmware_package.h"
#include "protocol/exit_label.h"
#include "protocol/link.h"

namespace korrin {

constexpr std::uint32_t kConfigUploadBlock = 64;
constexpr std::uint32_t kLayoutCheckBytes = 2512;  // record 0 of either layout

// An unmatched unit (matchedIndex >= 162) becomes unidentified with matchedIndex 0.
void selectConfigMode(std::uint32_t& matchedIndex, bool& unitIdentified, ConfigMode& mode,
                      const FirmwarePackage& package);
// 14400 baud when the configuration will be touched and the line is faster.
// kConfigSpeedRefused (E8) when the unit does not answer there.
ExitLabel capConfigSpeed(Link& link, bool unitIdentified, ConfigMode mode);
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
ExitLabel preserveConfig(Link& link, const FirmwarePackage& package, ConfigMode mode, const ConfigImage& readout);
// Each of the six converted records to its address in 256-byte blocks, a dot
// per record. The operator's stop waits until the last record is written.
ExitLabel writeBackConfig(Link& link, const FirmwarePackage& package, const ConfigImage& image);

}  // namespace korrin
