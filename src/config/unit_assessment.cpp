#include "config/unit_assessment.h"

namespace korrin {

ConfigMode conversionFor(RevisionCode unit, const FirmwarePackage& package) {
  const RevisionCode release = package.packageRevision;
  if (compareRevision(unit, kLegacyLayoutLimit) < 0 && compareRevision(release, kLegacyLayoutLimit) >= 0)
    return ConfigMode::Legacy;
  if (package.packageIsPro != 0 && compareRevision(unit, kProLayoutLimit) < 0 &&
      compareRevision(release, kProLayoutLimit) >= 0)
    return ConfigMode::ConfigOnPro;
  return ConfigMode::None;
}

UnitAssessment assessUnit(const Identification& identification, const FirmwarePackage& package) {
  UnitAssessment unit;
  unit.identified = identification.matchedIndex < kUnitTableRows;
  unit.row = unit.identified ? identification.matchedIndex : 0;
  unit.assumedRevision = package.unitTable->rev[unit.row];
  // An unknown unit's records are judged by what it holds, not by a revision.
  unit.conversion = unit.identified ? conversionFor(unit.assumedRevision, package) : ConfigMode::None;
  const RevisionCode limit = package.packageIsPro ? kProHardwareLimit : kBaseHardwareLimit;
  unit.hardwareDue = compareRevision(unit.assumedRevision, limit) < 0;
  unit.hardwareToCheck =
      unit.identified && !unit.hardwareDue && compareRevision(unit.assumedRevision, package.packageRevision) == 0;
  return unit;
}

}  // namespace korrin
