// Arbitrary configuration areas, through the conversion on its own and through
// a whole update.
//
// Input: a package byte; a word choosing the unit (a row of the unit table,
// whose sum it reports, or a build no row knows, accepted with 'y'); a byte of
// sealing flags (valid legacy and/or ConfigRecord checksums for record 0, bits
// 0-1, or all six, bits 2-3; bit 4 marks record 5 with ':'; bit 5: the
// conversion alone); a byte choosing the mode of the conversion alone; a byte
// and a 32-bit seed for the background of 0x4000..0x7FFF (noise, or zeros); a
// word giving where the rest of the input is laid over it.
//
// Properties: the conversion alone gives each record as the oracle in sim/
// does, and leaves the bytes past them, or the whole area when it converts
// nothing, as they were; the whole update flashes unless the unit is of the
// other model, and decides and converts as fuzz_support.h checkDecisions says.
#include <algorithm>
#include <cstring>

#include "config/config_record.h"
#include "config_oracle.h"
#include "fuzz_support.h"

using namespace korrin;
using namespace korrin::fuzz;
using sim::RecordLayout;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kAreaBytes = 0x4000;
  Input input{data, size};
  const FirmwarePackage package = input.package();
  const std::uint32_t row = input.word() % (kUnitTableRows + 1);
  const std::uint8_t seal = input.byte();
  const auto mode = static_cast<ConfigMode>(input.pick(3));

  std::vector<std::uint8_t> memory(kConfigAreaAddress + kAreaBytes, 0);
  std::uint8_t* area = memory.data() + kConfigAreaAddress;
  const bool noise = (input.byte() & 1) != 0;
  std::uint32_t state = input.u32() | 1u;
  for (std::size_t i = 0; noise && i < kAreaBytes; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    area[i] = static_cast<std::uint8_t>(state >> 24);
  }
  const std::size_t offset = input.word() % kAreaBytes;
  const std::string overlay = input.bytes(kAreaBytes - offset);
  std::copy(overlay.begin(), overlay.end(), area + offset);
  const std::pair<RecordLayout, unsigned> kSealed[] = {{RecordLayout::Legacy, 0x01}, {RecordLayout::Config, 0x02}};
  for (const auto& [layout, bit] : kSealed)
    if (seal & 0x10) area[5 * sim::recordBytes(layout)] = ':';
  for (std::size_t k = 0; k < 6; ++k)
    for (const auto& [layout, bit] : kSealed)
      if ((seal & bit && k == 0) || seal & (bit << 2)) sim::sealRecord(area + k * sim::recordBytes(layout), layout);

  ConfigImage image;
  std::memcpy(image.bytes.data(), area, kAreaBytes);
  migrateConfigImage(image, mode, package);
  const RecordLayout from = mode == ConfigMode::Legacy ? RecordLayout::Legacy : RecordLayout::Config;
  const RecordLayout to = writesProRecords(package) ? RecordLayout::Pro : RecordLayout::Config;
  // A marked Pro record 5 lands on record 4's place, so the oracle gives no record 4 then.
  const std::vector<sim::ExpectedRecord> records =
      mode == ConfigMode::None || from == to ? std::vector<sim::ExpectedRecord>{} : sim::expectedRecords(memory, from, to);
  for (const sim::ExpectedRecord& record : records)
    KORRIN_FUZZ_CHECK(std::equal(record.bytes.begin(), record.bytes.end(),
                                 image.bytes.begin() + record.fromRecord * record.bytes.size()),
                      "record %zu converted otherwise than the oracle says (mode %d)", record.fromRecord,
                      static_cast<int>(mode));
  const std::size_t converted = records.empty() ? 0 : std::min(kAreaBytes, 6 * sim::recordBytes(to));
  KORRIN_FUZZ_CHECK(std::equal(area + converted, area + kAreaBytes, image.bytes.begin() + converted),
                    "mode %d changed bytes past the %zu it converts", static_cast<int>(mode), converted);
  if (seal & 0x20) return 0;

  Run run;
  std::copy(area, area + kAreaBytes, run.unit.memory().begin() + kConfigAreaAddress);
  // A build no row knows reports a sum no row holds: more than any window of 57344 bytes can sum to.
  run.unit.setIdentSum(row < kUnitTableRows ? package.unitTable->sum[row] : 0x01000000u);
  run.line.keys = "yy";  // to the unit's question and to the records'
  const Ending ending = run.go({}, package);
  KORRIN_FUZZ_CHECK(ending == Ending::kFlashed || ending == Ending::kWrongModel, "an honest unit ended with exit %d",
                    static_cast<int>(ending));
  run.checkDecisions('y', true);
  return 0;
}
