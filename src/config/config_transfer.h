// Before the images go down: decide whether the unit's configuration records
// must be preserved, bring the line down to 14400 baud for it, recognise the
// layout of an unidentified unit, and read the configuration area.
#pragma once

#include <cstdint>

#include "config/config_record.h"
#include "package/firmware_package.h"
#include "protocol/link.h"

namespace korrin {

constexpr std::uint32_t kConfigUploadBlock = 64;
constexpr std::uint32_t kLayoutCheckBytes = 2512;  // record 0 of either layout

// configMode 0: nothing to preserve; 1: legacy records; 2: ConfigRecords on a Pro package.
// An unmatched unit (matchedIndex >= 162) becomes unidentified with matchedIndex 0.
void selectConfigMode(std::uint32_t& matchedIndex, bool& unitIdentified, int& configMode,
                      const FirmwarePackage& package);
// 14400 baud when the configuration will be touched and the line is faster.
// kConfigSpeed (E8) when the unit does not answer there.
ExitLabel capConfigSpeed(Link& link, bool unitIdentified, int configMode);
// Reads record 0 and sets configMode from the layouts it is valid in; prints its findings.
ExitLabel checkConfigLayout(Link& link, const FirmwarePackage& package, int& configMode);
// The 15072 bytes from 0x4000 into the image, 14 dots.
ExitLabel readConfigArea(Link& link, ConfigImage& image);
// Each of the six converted records to its address in 256-byte blocks, a dot per record.
ExitLabel writeBackConfig(Link& link, const FirmwarePackage& package, const ConfigImage& image);

}  // namespace korrin
