// Before the images go down: bring the line down to 14400 baud when the unit's
// configuration records must be preserved, recognise the layout of an
// unidentified unit, read the configuration area, and write the converted
// records back, with a saved copy on the PC while they are written.
#pragma once

#include <array>
#include <cstdint>

#include "config/config_copy.h"
#include "config/config_record.h"
#include "config/unit_assessment.h"
#include "package/firmware_package.h"
#include "protocol/link.h"

namespace korrin {

constexpr std::uint32_t kConfigUploadBlock = 64;
constexpr std::uint32_t kLayoutCheckBytes = 2512;  // record 0 of either layout

// What the configuration phase leaves for the rest of the run.
struct ConfigOutcome {
  enum class Records {
    None,            // no records of a conversion are known to be due on the unit
    WrittenThisRun,  // a write-back or a restore of a saved copy completed
    FoundInPlace,    // a saved copy's write-back was found complete: nothing written
  } records = Records::None;
  // When records is not None, what the unit must hold:
  // writeBackRecords(conversion.converted, conversion.targetSize).
  ConfigConversion conversion;
  // Removed by settleCopies once those records are seen in place.
  CopiesToSettle copies;
};

// How a step of the configuration phase ended.
enum class ConfigEnd {
  kGoOn,
  kSpeedRefused,  // 14400 baud not answered before the configuration
  kBlockFailed,   // a block never confirmed within its bound (message printed)
  kRefused,       // the operator answered a question with no
  kStopped,
  kLineLost,
};

// 14400 baud when the configuration will be touched (a conversion is due, or
// the unit is unidentified and its layout must be checked) and the line is
// faster. kSpeedRefused when the unit does not answer there.
ConfigEnd capConfigSpeed(Link& link, const UnitAssessment& unit);

// Record 0 as read, and the layout it is valid in (None: neither, or the
// ConfigRecord layout on a base release); prints its findings.
struct LayoutCheck {
  ConfigEnd end = ConfigEnd::kGoOn;
  ConfigMode layout = ConfigMode::None;
  std::array<std::uint8_t, kLayoutCheckBytes> record0{};
};
LayoutCheck checkConfigLayout(Link& link, const FirmwarePackage& package);

// The conversion this run makes, decided once: an identified unit's by its
// assessment; an unidentified unit's by the layout of its record 0, or, when
// that is in no old layout, by a saved copy whose write-back explains record 0.
ConfigMode conversionToRun(const UnitAssessment& unit, const LayoutCheck& check, const SavedCopies& copies,
                           const FirmwarePackage& package);

// The 15072 bytes from 0x4000 into the image, 14 dots.
ConfigEnd readConfigArea(Link& link, ConfigImage& image);

// Converts the readout and writes it back, six dots. Records an earlier run
// has converted are not converted again: an area that the write-back of a
// saved copy explains exactly is written again from that copy; with no such
// copy (or two that explain it with different records), nothing is written and
// the operator is asked whether to update the firmware anyway. A copy is saved
// before the first block (the operator is asked when it cannot be); the
// write-back journals into it the blocks the unit reports holding otherwise.
// A copy's bytes past the records, where its journal holds them as first
// found, go into `readout`. kRefused when the operator says no; kBlockFailed,
// kLineLost as the transfer ends.
ConfigEnd preserveConfig(Link& link, const FirmwarePackage& package, ConfigMode mode, ConfigImage& readout,
                         const SavedCopies& copies, ConfigOutcome& outcome);

// Each of the six converted records to its address in 256-byte blocks, a dot
// per record. The operator's stop waits until the last record is written.
// Blocks the unit reports holding otherwise go to `copy`'s journal (none:
// null), and so does a block given up, as line damage.
ConfigEnd writeBackConfig(Link& link, const FirmwarePackage& package, const ConfigImage& image,
                          SavedCopy* copy = nullptr);

}  // namespace korrin
