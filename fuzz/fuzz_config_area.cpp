// Arbitrary configuration areas, converted on their own and through a whole
// update. The input (make_corpus.py writes it) gives the package, the unit (a
// row of the unit table, or a build no row knows, accepted with 'y'), flags
// that seal records in the old layouts, mark record 5 or ask for the conversion
// alone, its mode, a background, and bytes laid over it. The conversion alone
// must give the oracle's records and leave all else; the update must flash
// unless the unit is of the other model, deciding as checkDecisions says.
#include <algorithm>
#include <cstring>

#include "config/config_record.h"
#include "config_oracle.h"
#include "fuzz_support.h"
#include "scenarios.h"

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
  const bool noise = input.byte() & 1;
  const std::uint32_t seed = input.u32();
  if (noise) sim::fillConfigArea(memory, {RecordLayout::Pro, seed, false, false});
  memory.resize(kConfigAreaAddress + kAreaBytes);
  const std::size_t offset = input.word() % kAreaBytes;
  const std::string overlay = input.bytes(kAreaBytes - offset);
  std::uint8_t* area = memory.data() + kConfigAreaAddress;
  std::copy(overlay.begin(), overlay.end(), area + offset);
  const std::pair<RecordLayout, unsigned> kSealed[] = {{RecordLayout::Legacy, 0x01}, {RecordLayout::Config, 0x02}};
  for (const auto& [layout, bit] : kSealed)
    if (seal & 0x10) area[5 * sim::recordBytes(layout)] = ':';
  for (std::size_t k = 0; k < 6; ++k)
    for (const auto& [layout, bit] : kSealed)  // the bit seals record 0, four times it all six
      if ((seal & bit && k == 0) || seal & (bit << 2)) sim::sealRecord(area + k * sim::recordBytes(layout), layout);

  ConfigImage image;
  std::memcpy(image.bytes.data(), area, kAreaBytes);
  migrateConfigImage(image, mode, package);
  const auto [from, to] = recordLayouts(mode, package);
  // A marked Pro record 5 takes record 4's place on the unit: the oracle then gives no record 4.
  const std::vector<sim::ExpectedRecord> records = mode == ConfigMode::None || from == to
                                                       ? std::vector<sim::ExpectedRecord>{}
                                                       : sim::expectedRecords(memory, from, to);
  for (const sim::ExpectedRecord& record : records)
    KORRIN_FUZZ_CHECK(
        std::equal(record.bytes.begin(), record.bytes.end(), &image.bytes[record.fromRecord * record.bytes.size()]),
        "record %zu converted otherwise than the oracle says (mode %d)", record.fromRecord, static_cast<int>(mode));
  const std::size_t converted = records.empty() ? 0 : std::min(kAreaBytes, 6 * sim::recordBytes(to));
  KORRIN_FUZZ_CHECK(std::equal(area + converted, area + kAreaBytes, &image.bytes[converted]),
                    "mode %d changed bytes past the %zu it converts", static_cast<int>(mode), converted);
  if (seal & 0x20) return 0;

  Run run;
  std::copy(area, area + kAreaBytes, run.unit.memory().begin() + kConfigAreaAddress);
  // A build no row knows: its window sums to what no row holds.
  sim::setIdentificationSum(run.unit.memory(), row < kUnitTableRows ? package.unitTable->sum[row] : 0x4B1234u);
  run.line.keys = "yy";  // to the question about the unit and to the one about its records
  const Ending ending = run.go({}, package);
  KORRIN_FUZZ_CHECK(ending == Ending::kFlashed || ending == Ending::kWrongModel, "an honest unit ended with exit %d",
                    static_cast<int>(ending));
  run.checkDecisions('y', true);
  return 0;
}
