// Ready-made units for the demo, the end-to-end tests and the benchmark, and
// the verdict on what a unit holds after a run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config_oracle.h"
#include "package/firmware_package.h"
#include "unit_model.h"

namespace sim {

struct Expectation {
  bool flashed = true;         // false: the run must leave the unit unflashed
  bool untouched = false;      // nothing at all may be written (refused before any transfer)
  bool hardware = false;       // the hardware image is due
  RecordLayout configFrom = RecordLayout::Config;
  RecordLayout configTo = RecordLayout::Config;  // equal to configFrom: records left alone
  std::vector<std::uint8_t> memoryBefore;        // the unit before the run
};

struct Scenario {
  const char* name;
  const char* summary;
};
const std::vector<Scenario>& scenarios();

// Rewrites as few bytes of the unit's identification window (0x8000-0x15FFF)
// as it takes for them to sum to `sum`, as the build of that sum would: the
// unit then reports it from its own memory. False when no 57344 bytes can.
bool setIdentificationSum(std::vector<std::uint8_t>& memory, std::uint32_t sum);

// Prepares `unit` for the named scenario and says what the run must leave behind.
// False for an unknown name.
bool setUpScenario(const std::string& name, const korrin::FirmwarePackage& package, UnitModel& unit,
                   Expectation& expect);

struct Verdict {
  bool ok;
  std::string report;  // one line per finding, the first line a summary
};
Verdict judgeUnit(const UnitModel& unit, const korrin::FirmwarePackage& package, const Expectation& expect);

}  // namespace sim
