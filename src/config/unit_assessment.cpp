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
  // Row 0 stands in for a unit no row matched.
  const RevisionCode revision = package.unitTable->rev[unit.identified ? identification.matchedIndex : 0];
  // An unknown unit's records are judged by what it holds, not by a revision.
  unit.conversion = unit.identified ? conversionFor(revision, package) : ConfigMode::None;
  const RevisionCode limit = package.packageIsPro ? kProHardwareLimit : kBaseHardwareLimit;
  unit.hardwareDue = compareRevision(revision, limit) < 0;
  unit.hardwareToCheck =
      unit.identified && !unit.hardwareDue && compareRevision(revision, package.packageRevision) == 0;
  return unit;
}

}  // namespace korrin
