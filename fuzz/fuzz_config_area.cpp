// Arbitrary configuration areas, through a whole update and through the
// conversion on its own.
//
// Input: a package byte (base or Pro release; its revision, from a list or any
// value), a word choosing the unit (a row of the unit table, whose sum the unit
// reports, or a build no row knows, accepted with 'y'), a byte of sealing flags
// (give record 0, or all six records, a valid legacy and/or ConfigRecord
// checksum; mark record 5 with ':'; convert only, without a run), a byte
// choosing the mode of the direct conversion, a byte and a 32-bit seed for the
// background of the configuration area 0x4000..0x7FFF (noise from the seed, or
// zeros), a word giving where in the area the rest of the input goes, and that
// rest: bytes laid over the background as they are. So every input, however
// short, gives a whole area, and any byte of it can be set.
//
// Properties of the whole update against an honest unit on a clean line: it is
// flashed unless the unit is of the other model (then nothing is written); the
// identification, the configuration texts and the hardware decision agree with
// an independent model of the rules (revision thresholds 04/24/03 and 10/12/03
// for identified rows, record 0's checksums for an unknown unit); the unit holds
// the images and exactly the configuration area the oracle in sim/ gives for the
// conversion that model chose, or its old area untouched.
//
// Properties of the conversion on its own, for every mode: legacy records come
// out with the checksum old body sum - old word at 26-27 + 0x1814 (mod 65536),
// plus the 148 words at 76-371 of the intermediate record when converted on to
// the Pro layout; ConfigRecords converted to the Pro layout with old body sum +
// the 148 words at 76-371; header bytes 0-7 unchanged; every record exactly as
// the oracle gives it; bytes past the converted records, and the whole image in
// every mode that converts nothing, unchanged.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "config/config_record.h"
#include "fuzz_support.h"

namespace {

using namespace korrin;
using namespace korrin::fuzz;

constexpr RevisionCode kRevisions[] = {0x020904, 0x042403, 0x042303, 0x101203,
                                       0x101103, 0x110503, 0x111103, 0x033101};
constexpr std::uint32_t kAreaStart = 0x4000;
constexpr std::size_t kAreaBytes = 0x4000;
constexpr std::size_t kLegacyBytes = 2480;
constexpr std::size_t kConfigBytes = 2512;
constexpr std::size_t kProBytes = 2808;
constexpr std::size_t kLegacyChecksumAt = 2476;
constexpr std::size_t kConfigChecksumAt = 2508;
constexpr std::size_t kProChecksumAt = 2804;
constexpr std::uint16_t kInsertedRunWords = 0x1814;  // the 32 bytes the first layout change inserted

std::uint16_t word(const std::uint8_t* bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] + 256u * bytes[at + 1]);
}

// The 148 words at bytes `from` .. `from` + 295.
std::uint16_t wordsSum(const std::uint8_t* bytes, std::size_t from) {
  std::uint32_t sum = 0;
  for (std::size_t i = from; i < from + 296; i += 2) sum += word(bytes, i);
  return static_cast<std::uint16_t>(sum & 0xFFFFu);
}

void checkConversionAlone(const std::uint8_t* area, int mode, const FirmwarePackage& package) {
  ConfigImage image;
  std::memcpy(image.bytes.data(), area, kAreaBytes);
  const ConfigImage read = image;
  migrateConfigImage(image, mode, package);
  const std::uint8_t* before = read.bytes.data();
  const std::uint8_t* after = image.bytes.data();

  const bool toPro = package.packageIsPro != 0 && revisionOrder(package.packageRevision, 0x101203) >= 0;
  const bool converts = mode == 1 || (mode == 2 && toPro);
  if (!converts) {
    KORRIN_FUZZ_CHECK(read.bytes == image.bytes, "mode %d changed the image", mode);
    return;
  }
  const sim::RecordLayout from = mode == 1 ? sim::RecordLayout::Legacy : sim::RecordLayout::Config;
  const sim::RecordLayout to = toPro ? sim::RecordLayout::Pro : sim::RecordLayout::Config;
  const std::size_t fromBytes = mode == 1 ? kLegacyBytes : kConfigBytes;
  const std::size_t toBytes = toPro ? kProBytes : kConfigBytes;
  const std::size_t checksumAt = toPro ? kProChecksumAt : kConfigChecksumAt;

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
    std::uint16_t expected;
    if (mode == 1) {
      expected = static_cast<std::uint16_t>(recordBodySum(old, kLegacyChecksumAt) - word(old, 26) + kInsertedRunWords);
      // Bytes 76-371 of the intermediate ConfigRecord are legacy bytes 44-339.
      if (toPro) expected = static_cast<std::uint16_t>(expected + wordsSum(old, 44));
    } else {
      expected = static_cast<std::uint16_t>(recordBodySum(old, kConfigChecksumAt) + wordsSum(old, 76));
    }
    KORRIN_FUZZ_CHECK(recordStoredSum(made, checksumAt) == expected,
                      "record %zu: checksum %04X after conversion, the identity gives %04X (mode %d, %zu bytes)", k,
                      recordStoredSum(made, checksumAt), expected, mode, toBytes);
    KORRIN_FUZZ_CHECK(recordBodySum(made, checksumAt) == expected, "record %zu: checksum does not match its body", k);
    const sim::ExpectedRecord* mine = nullptr;
    for (const sim::ExpectedRecord& record : k == 5 ? oracle : unmarked)
      if (record.fromRecord == k) mine = &record;
    KORRIN_FUZZ_CHECK(mine && mine->bytes.size() == toBytes, "the oracle has no record %zu", k);
    for (std::size_t i = 0; i < toBytes; ++i)
      KORRIN_FUZZ_CHECK(made[i] == mine->bytes[i], "record %zu byte %zu: %02X, the oracle says %02X (mode %d)", k, i,
                        made[i], mine->bytes[i], mode);
  }
  for (std::size_t i = 6 * toBytes; i < read.bytes.size(); ++i)
    KORRIN_FUZZ_CHECK(after[i] == before[i], "image byte %zu past the six records changed", i);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  const std::uint8_t packageChoice = input.byte();
  const std::size_t revisionChoice = (packageChoice >> 1) % 9;
  const RevisionCode revision = revisionChoice < 8 ? kRevisions[revisionChoice] : input.u32() & 0xFFFFFFu;
  const FirmwarePackage package = packageVariant(packageChoice & 1, revision);
  const std::uint32_t row = input.word() % (kUnitTableRows + 1);
  const std::uint8_t seal = input.byte();
  static const int kModes[] = {0, 1, 2, 3, -1};
  const int directMode = kModes[input.pick(5)];

  std::vector<std::uint8_t> area(kAreaBytes, 0);
  const bool noise = (input.byte() & 1) != 0;
  std::uint32_t state = input.u32() | 1u;
  if (noise) {
    for (std::uint8_t& byte : area) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      byte = static_cast<std::uint8_t>(state >> 24);
    }
  }
  const std::size_t offset = input.word() % kAreaBytes;
  const std::string bytes = input.bytes(kAreaBytes - offset);
  std::memcpy(area.data() + offset, bytes.data(), bytes.size());
  if (seal & 0x10) {
    area[5 * kLegacyBytes] = ':';
    area[5 * kConfigBytes] = ':';
  }
  for (std::size_t k = 0; k < 6; ++k) {
    if ((seal & 0x01 && k == 0) || seal & 0x04) sealRecord(area.data() + k * kLegacyBytes, kLegacyChecksumAt);
    if ((seal & 0x02 && k == 0) || seal & 0x08) sealRecord(area.data() + k * kConfigBytes, kConfigChecksumAt);
  }

  checkConversionAlone(area.data(), directMode, package);
  if (seal & 0x20) return 0;

  sim::UnitModel unit;
  std::vector<std::uint8_t>& memory = unit.memory();
  loadOldFirmware(memory, row);
  std::memcpy(memory.data() + kAreaStart, area.data(), kAreaBytes);
  // A build no row knows reports a sum no row holds: more than any window of 57344 bytes can sum to.
  unit.setIdentSum(row < kUnitTableRows ? package.unitTable->sum[row] : 0x01000000u);
  sim::VirtualLine line{unit};
  line.keys = "y";
  const std::vector<std::uint8_t> before = memory;
  UnitWatch watch(unit, package);
  const int status = runUpdaterWith({}, package);
  watch.finish();
  traceRun("config area", line, unit, status);

  const Ending ending = checkRun(line, unit, package, status);
  const IdentDecision decision = decideIdentification(package, replyAsRead(watch.identReply.value_or("")));
  if (checkIdentification(line, unit, package, decision, 'y', ending)) {
    KORRIN_FUZZ_CHECK(ending == Ending::kFlashed, "an honest unit on a clean line was not flashed: %s",
                      endingName(ending));
    const UpdatePlan plan = planUpdate(package, decision.row, area.data());
    const bool hardwareSent = checkFlashedImages(unit, package, watch, before, true);
    KORRIN_FUZZ_CHECK(hardwareSent == plan.hardware, "the hardware image was%s sent, it was%s due",
                      hardwareSent ? "" : " not", plan.hardware ? "" : " not");
    checkPlanCarriedOut(line, unit, plan, package, before);
  } else {
    KORRIN_FUZZ_CHECK(unit.log().writes.empty(), "memory written for a unit that was turned away");
  }
  showOnViolation(nullptr);
  return 0;
}
