// What the fuzz targets share: reading the fuzz input, and a whole run of the
// updater against the simulated unit in virtual time, checked for what every
// run keeps and for what the unit's identity and records decide. A broken
// property aborts with a message that names it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "config/config_record.h"
#include "config_oracle.h"
#include "package/firmware_package.h"
#include "unit_model.h"
#include "virtual_line.h"

namespace korrin::fuzz {

// Prints "PROPERTY VIOLATED: <message>" and the end of the run's console, then aborts.
[[noreturn]] void violated(const char* format, ...) __attribute__((format(printf, 1, 2)));
#define KORRIN_FUZZ_CHECK(condition, ...)                    \
  do {                                                       \
    if (!(condition)) ::korrin::fuzz::violated(__VA_ARGS__); \
  } while (0)

// Reads the fuzz input front to back; past its end every read gives 0.
struct Input {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
  std::uint8_t byte() { return at < size ? data[at++] : 0; }
  std::uint16_t word() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }
  std::uint32_t u32() { return word() | static_cast<std::uint32_t>(word()) << 16; }
  std::uint32_t pick(std::uint32_t choices) { return byte() % choices; }
  std::string bytes(std::size_t count);
  // A byte: base or Pro release; its revision from a list of telling ones or (four more bytes) any.
  FirmwarePackage package();
};

// The layouts a conversion in `mode` reads and the package writes.
std::pair<sim::RecordLayout, sim::RecordLayout> recordLayouts(ConfigMode mode, const FirmwarePackage& package);

// The exit a run took; kFailed: E8, E9, a block never confirmed, the port lost.
enum class Ending { kUsage, kNoUnit, kNoLineSpeed, kWrongModel, kRefused, kFailed, kFlashed };

using Perturbation = std::function<void(char command, std::uint32_t index, std::string& reply, std::uint32_t& delayMs)>;

// One run of the updater: set up `unit` and `line`, then call go().
struct Run {
  ~Run();
  // Runs the updater, `perturb` having its say on each reply (index counts
  // them per command letter), and checks what every run keeps: no hang, a
  // time bound; one exit with its status; one prompt, its key last; keys only
  // at a question or the prompt; nothing sent after 'X' or the flash command,
  // nor by a usage error; no 'D' or 'M' before the "T".
  Ending go(const std::vector<std::string>& arguments, const FirmwarePackage& package, Perturbation perturb = {});
  // After a flash: the unit holds the software image, the hardware image
  // when any of it was sent (else its old bytes) and nothing else new, every
  // block of them sent. Returns whether the hardware image was sent.
  bool checkImages() const;
  // If the run reached identification: the unit table, the reply and
  // `firstKey` decided its way and when the operator was asked; a flash came
  // after checkImages(), with the hardware image when due, and (with
  // `checkConfig`) the records as sim's oracle converts them, once.
  void checkDecisions(int firstKey, bool checkConfig);

  sim::UnitModel unit;
  sim::VirtualLine line{unit};
  const FirmwarePackage* package = nullptr;
  int status = 0;
  Ending ending = Ending::kUsage;
  std::vector<std::uint8_t> before;  // the unit's memory before the run
  std::string console;
  std::vector<std::string> identReplies;  // to the identification 'C'
};

}  // namespace korrin::fuzz
