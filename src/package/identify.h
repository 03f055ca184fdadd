// Which build is the unit running? Asks the unit for the sum of its
// identification window, looks it up in the unit table, refuses a unit of the
// other model, and asks the operator when the build is unknown or later.
#pragma once

#include <cstdint>

#include "package/firmware_package.h"
#include "protocol/link.h"

namespace korrin {

constexpr std::uint32_t kIdentWaitMs = 1000;  // the unit sums 57344 bytes before it answers
constexpr int kIdentReplyLength = 11;         // "CS=" and eight digits
// Shown as the unit's sum when its reply did not parse: no window of 57344
// bytes can sum to it, so it cannot be mistaken for a real reading.
constexpr std::uint32_t kNoChecksumShown = 0xFFFFFFFFu;

// First row whose sum equals `sum`, or kUnitTableRows when none does.
std::uint32_t findUnitRow(const FirmwarePackage& package, std::uint32_t sum);
// "KorrinPro", or "Korrin   " padded to the same nine characters / plain "Korrin".
const char* paddedModelName(std::uint32_t isPro);
const char* plainModelName(std::uint32_t isPro);

// How the identification ended.
enum class IdentifyEnd {
  kGoOn,        // confirmed, or the operator said yes
  kWrongModel,  // the unit's row is of the other model
  kRefused,     // the operator answered no
  kLineLost,
};

struct Identification {
  IdentifyEnd end;
  std::uint32_t matchedIndex;  // the matched row, or kUnitTableRows when none matched
};

Identification identifyUnit(Link& link, const FirmwarePackage& package);

}  // namespace korrin
