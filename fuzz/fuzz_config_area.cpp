// Arbitrary configuration areas, through a whole update and through the
// conversion on its own.
//
// Input: a package byte (base or Pro release; its revision from a list or any
// value); a word choosing the unit (a row of the unit table, whose sum it
// reports, or a build no row knows, accepted with 'y'); a byte of sealing flags
// (valid legacy and/or ConfigRecord checksums for record 0 or all six; record 5
// marked with ':'; convert only, without a run); a byte choosing the mode of the
// direct conversion; a byte and a 32-bit seed for the background of the area
// 0x4000..0x7FFF (noise, or zeros); a word giving where the rest of the input
// is laid over it. So every input gives a whole area, and any byte can be set.
//
// Properties of the whole update against an honest unit on a clean line: it is
// flashed unless the unit is of the other model (then nothing is written); the
// identification, the configuration texts and the hardware decision agree with
// an independent model of the rules (revision thresholds for identified rows,
// record 0's checksums for an unknown unit); the unit holds the images and
// exactly the configuration area the oracle in sim/ gives for the conversion
// that model chose, or its old area untouched.
//
// Properties of the conversion on its own, for every mode: legacy records come
// out with the checksum old body sum - old word at 26-27 + 0x1814 (mod 65536),
// plus the 148 words at 76-371 of the intermediate record when converted on to
// the Pro layout; ConfigRecords converted to the Pro layout with old body sum +
// the 148 words at 76-371; header bytes 0-7 unchanged; every record exactly as
// the oracle gives it; bytes past the converted records, and the whole image in
// every mode that converts nothing, unchanged.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "config/config_record.h"
#include "fuzz_support.h"

namespace {

using namespace korrin;
using namespace korrin::fuzz;
using sim::RecordLayout;

constexpr std::uint32_t kAreaStart = 0x4000;
constexpr std::size_t kAreaBytes = 0x4000;
constexpr std::uint16_t kInsertedRunWords = 0x1814;  // the 32 bytes the first layout change inserted

void checkConversionAlone(const std::uint8_t* area, int mode, const FirmwarePackage& package) {
  ConfigImage image;
  std::memcpy(image.bytes.data(), area, kAreaBytes);
  const ConfigImage read = image;
  migrateConfigImage(image, static_cast<ConfigMode>(mode), package);
  const std::uint8_t* before = read.bytes.data();
  const std::uint8_t* after = image.bytes.data();
  const bool toPro = writesProRecords(package);
  const RecordLayout from = mode == 1 ? RecordLayout::Legacy : RecordLayout::Config;
  const RecordLayout to = toPro ? RecordLayout::Pro : RecordLayout::Config;
  const std::size_t fromBytes = sim::recordBytes(from), toBytes = sim::recordBytes(to);
  // Modes that convert nothing leave the whole image as it was.
  const std::size_t converted = mode == 1 || (mode == 2 && toPro) ? 6 * toBytes : 0;
  KORRIN_FUZZ_CHECK(std::equal(after + converted, after + read.bytes.size(), before + converted),
                    "mode %d changed image bytes past the %zu it converts", mode, converted);
  if (converted == 0) return;

  std::vector<std::uint8_t> unitMemory(kAreaStart + read.bytes.size());
  std::memcpy(unitMemory.data() + kAreaStart, before, read.bytes.size());
  const std::vector<sim::ExpectedRecord> oracle = sim::expectedRecords(unitMemory, from, to);
  // A marked Pro record 5 takes record 4's place on the unit, so the oracle
  // leaves record 4 out; unmarked, it gives record 4 as converted all the same.
  unitMemory[kAreaStart + 5 * fromBytes] = ':' + 1;
  const std::vector<sim::ExpectedRecord> unmarked = sim::expectedRecords(unitMemory, from, to);

  for (std::size_t k = 0; k < 6; ++k) {
    const std::uint8_t* old = before + k * fromBytes;
    const std::uint8_t* made = after + k * toBytes;
    KORRIN_FUZZ_CHECK(std::memcmp(old, made, 8) == 0, "record %zu: header bytes changed (mode %d)", k, mode);
    // Bytes 76-371 of a ConfigRecord join the Pro checksum; in a legacy record
    // converted on to the Pro layout they are its bytes 44-339.
    const int moved = mode == 2 ? wordSum(old, 76, 372) : toPro ? wordSum(old, 44, 340) : 0;
    const int inserted = mode == 1 ? kInsertedRunWords - le16(old + 26) : 0;
    const auto expected = static_cast<std::uint16_t>(wordSum(old, 8, checksumAt(from)) + inserted + moved);
    const std::size_t at = checksumAt(to);
    KORRIN_FUZZ_CHECK(le16(made + at) == expected,
                      "record %zu: checksum %04X after conversion, the identity gives %04X (mode %d, %zu bytes)", k,
                      le16(made + at), expected, mode, toBytes);
    KORRIN_FUZZ_CHECK(wordSum(made, 8, at) == expected, "record %zu: checksum does not match its body", k);
    const sim::ExpectedRecord* mine = nullptr;
    for (const sim::ExpectedRecord& record : k == 5 ? oracle : unmarked)
      if (record.fromRecord == k) mine = &record;
    KORRIN_FUZZ_CHECK(mine && mine->bytes.size() == toBytes, "the oracle has no record %zu", k);
    for (std::size_t i = 0; i < toBytes; ++i)
      KORRIN_FUZZ_CHECK(made[i] == mine->bytes[i], "record %zu byte %zu: %02X, the oracle says %02X (mode %d)", k, i,
                        made[i], mine->bytes[i], mode);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  const FirmwarePackage package = input.package();
  const std::uint32_t row = input.word() % (kUnitTableRows + 1);
  const std::uint8_t seal = input.byte();
  const int directMode = static_cast<int>(input.pick(3));  // a ConfigMode: None, Legacy, ConfigOnPro

  std::vector<std::uint8_t> area(kAreaBytes, 0);
  const bool noise = (input.byte() & 1) != 0;
  std::uint32_t state = input.u32() | 1u;
  for (std::size_t i = 0; noise && i < kAreaBytes; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    area[i] = static_cast<std::uint8_t>(state >> 24);
  }
  const std::size_t offset = input.word() % kAreaBytes;
  const std::string bytes = input.bytes(kAreaBytes - offset);
  std::memcpy(area.data() + offset, bytes.data(), bytes.size());
  const std::pair<RecordLayout, unsigned> kSealed[] = {{RecordLayout::Legacy, 0x01}, {RecordLayout::Config, 0x02}};
  for (const auto& [layout, bit] : kSealed)
    if (seal & 0x10) area[5 * sim::recordBytes(layout)] = ':';
  for (std::size_t k = 0; k < 6; ++k)
    for (const auto& [layout, bit] : kSealed)  // the bit seals record 0, four times it all six
      if ((seal & bit && k == 0) || seal & (bit << 2)) sealRecord(area.data() + k * sim::recordBytes(layout), layout);

  checkConversionAlone(area.data(), directMode, package);
  if (seal & 0x20) return 0;

  Run run;
  loadOldFirmware(run.unit.memory(), row);
  std::memcpy(run.unit.memory().data() + kAreaStart, area.data(), kAreaBytes);
  // A build no row knows reports a sum no row holds: more than any window of 57344 bytes can sum to.
  run.unit.setIdentSum(row < kUnitTableRows ? package.unitTable->sum[row] : 0x01000000u);
  run.line.keys = "y";
  run.before = run.unit.memory();
  const Ending ending = run.go("config area", {}, package);
  // An honest unit on a clean line, and 'y' to any question.
  KORRIN_FUZZ_CHECK(ending == Ending::kFlashed || ending == Ending::kWrongModel, "an honest unit ended with %s",
                    endingName(ending));
  run.checkDecisions('y', true);
  return 0;
}
