#include "scenarios.h"

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {

// The firmware a unit runs before the update: anything but the release's bytes.
void loadOldFirmware(std::vector<std::uint8_t>& memory, std::uint32_t seed) {
  std::uint32_t state = seed * 2654435761u + 1;
  auto fill = [&](std::uint32_t from, std::uint32_t to) {
    for (std::uint32_t a = from; a < to; ++a) {
      state = state * 1103515245u + 12345u;
      memory[a] = static_cast<std::uint8_t>(state >> 16);
    }
  };
  fill(0x000000, 0x004000);
  fill(0x008000, 0x020000);
  fill(0x040000, 0x070000);
}

void loadRelease(std::vector<std::uint8_t>& memory, const korrin::FirmwarePackage& package) {
  for (std::size_t i = 0; i < package.swSize; ++i)
    if (i < 0x4000 || i >= 0x8000) memory[i] = package.swImage[i];
  for (std::size_t i = 0; i < package.hwSize; ++i) memory[0x40000 + i] = package.hwImage[i];
}

std::string hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%06X", value);
  return text;
}

// First address in [from, from + length) where the unit differs from `expected`.
std::optional<std::uint32_t> firstDifference(const std::vector<std::uint8_t>& memory, std::uint32_t from,
                                             const std::uint8_t* expected, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i)
    if (memory[from + i] != expected[i]) return static_cast<std::uint32_t>(from + i);
  return std::nullopt;
}

}  // namespace

bool setIdentificationSum(std::vector<std::uint8_t>& memory, std::uint32_t sum) {
  const std::uint32_t from = korrin::kIdentWindowAddress, to = from + korrin::kIdentWindowLength;
  std::uint32_t now = 0;
  for (std::uint32_t a = from; a < to; ++a) now += memory[a];
  for (std::uint32_t a = from; a < to && now != sum; ++a) {
    const std::uint32_t byte = memory[a];
    const std::uint32_t step = now > sum ? std::min(byte, now - sum) : std::min(255 - byte, sum - now);
    memory[a] = static_cast<std::uint8_t>(now > sum ? byte - step : byte + step);
    now = now > sum ? now - step : now + step;
  }
  return now == sum;
}

const std::vector<Scenario>& scenarios() {
  static const std::vector<Scenario> all = {
      {"convert", "an early base unit (table row 0, 03/03/03): legacy records converted, hardware image sent"},
      {"uptodate", "a unit already running this release: no conversion, no hardware image"},
      {"fallback", "an up-to-date unit whose line only works up to 9600 baud"},
      {"convert-9600", "the early base unit of 'convert' on a line that only works up to 9600 baud"},
      {"convert-alike", "the early base unit of 'convert' but for a 4-byte ID in record 0 (a fleet set up alike)"},
      {"wrong-model", "a Pro unit (table row 3) meeting this base-model release: refused, nothing written"},
      {"unknown", "a build in no table row: the operator is asked; on 'y' its legacy records are converted"},
      {"silent", "no unit in update mode on the line"},
      {"dropout", "a unit that stops answering after its first reply"},
  };
  return all;
}

bool setUpScenario(const std::string& name, const korrin::FirmwarePackage& package, UnitModel& unit,
                   Expectation& expect) {
  std::vector<std::uint8_t>& memory = unit.memory();
  expect = Expectation{};
  ConfigAreaSetup config;
  if (name == "convert" || name == "convert-9600" || name == "convert-alike" || name == "unknown") {
    loadOldFirmware(memory, 7);
    config.layout = RecordLayout::Legacy;
    fillConfigArea(memory, config);
    if (name == "convert-alike") {
      for (std::uint32_t a = kConfigBaseAddress + 16; a < kConfigBaseAddress + 20; ++a) memory[a] ^= 0x5A;
      sealRecord(memory.data() + kConfigBaseAddress, RecordLayout::Legacy);
    }
    setIdentificationSum(memory, name == "unknown" ? 0x4B1234u : package.unitTable->sum[0]);
    if (name == "convert-9600") unit.faults.maxAnswerSpeed = 9600;
    expect.hardware = true;
    expect.configFrom = RecordLayout::Legacy;
    expect.configTo = RecordLayout::Config;
  } else if (name == "uptodate" || name == "fallback") {
    loadRelease(memory, package);  // its own window sum names the release's row
    fillConfigArea(memory, config);
    if (name == "fallback") unit.faults.maxAnswerSpeed = 9600;
  } else if (name == "wrong-model") {
    loadOldFirmware(memory, 3);
    fillConfigArea(memory, config);
    setIdentificationSum(memory, package.unitTable->sum[3]);
    expect.flashed = false;
    expect.untouched = true;
  } else if (name == "silent") {
    unit.faults.answerLimit = 0;
    expect.flashed = false;
    expect.untouched = true;
  } else if (name == "dropout") {
    unit.faults.answerLimit = 1;
    expect.flashed = false;
    expect.untouched = true;
  } else {
    return false;
  }
  expect.memoryBefore = memory;
  return true;
}

Verdict judgeUnit(const UnitModel& unit, const korrin::FirmwarePackage& package, const Expectation& expect) {
  const UnitLog& log = unit.log();
  std::vector<std::string> faults;
  if (log.bytesAfterExit) faults.push_back(std::to_string(log.bytesAfterExit) + " bytes sent after 'X'");
  if (log.bytesAfterFlash) faults.push_back(std::to_string(log.bytesAfterFlash) + " bytes sent after the flash command");

  if (!expect.flashed) {
    if (log.flashed) faults.push_back("the unit was told to flash");
    if (expect.untouched && !log.writes.empty())
      faults.push_back("memory written at " + hex(log.writes.front().first) + " although the update was refused");
  } else if (!log.flashed) {
    faults.push_back("the unit was never told to flash");
  } else {
    const std::vector<std::uint8_t>& flashed = log.flashedMemory;
    if (log.flashCode != "5382") faults.push_back("flash code " + log.flashCode);
    if (auto at = firstDifference(flashed, 0, package.swImage, 0x4000))
      faults.push_back("software differs at " + hex(*at));
    if (auto at = firstDifference(flashed, 0x8000, package.swImage + 0x8000, package.swSize - 0x8000))
      faults.push_back("software differs at " + hex(*at));
    const std::uint8_t* hardware = expect.hardware ? package.hwImage : expect.memoryBefore.data() + 0x40000;
    if (auto at = firstDifference(flashed, 0x40000, hardware, package.hwSize))
      faults.push_back(std::string(expect.hardware ? "hardware image differs at " : "hardware area changed at ") +
                       hex(*at));

    std::vector<ExpectedRecord> records;
    if (expect.configFrom != expect.configTo)
      records = expectedRecords(expect.memoryBefore, expect.configFrom, expect.configTo);
    // The whole area: the records where they belong, every other byte as it was.
    std::vector<std::uint8_t> area(expect.memoryBefore.begin() + kConfigBaseAddress,
                                   expect.memoryBefore.begin() + kConfigAreaEndAddress);
    for (const ExpectedRecord& record : records)
      for (std::size_t i = 0; i < record.bytes.size() && record.address + i < kConfigAreaEndAddress; ++i)
        area[record.address + i - kConfigBaseAddress] = record.bytes[i];
    if (auto at = firstDifference(flashed, kConfigBaseAddress, area.data(), area.size()))
      faults.push_back("configuration differs at " + hex(*at));
  }

  Verdict verdict{faults.empty(), ""};
  if (verdict.ok) {
    verdict.report = expect.flashed ? "unit OK: flashed with exactly the release's images"
                                    : "unit OK: not flashed, as the run required";
    if (expect.flashed) {
      verdict.report += expect.hardware ? " (software and hardware)" : " (software; hardware not due)";
      verdict.report += expect.configFrom != expect.configTo ? ", configuration converted exactly"
                                                              : ", configuration untouched";
    }
  } else {
    verdict.report = "unit NOT as it must be:";
    for (const std::string& fault : faults) verdict.report += "\n  " + fault;
  }
  return verdict;
}

}  // namespace sim
