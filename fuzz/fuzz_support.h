// What the fuzz targets share: reading the fuzz input, a whole run of the
// updater against the simulated unit in virtual time with the properties every
// run keeps, and an independent model of the decisions a run must take. A
// broken property aborts with a message that names it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

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

// Reads the fuzz input front to back; once it is used up every read gives 0.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint16_t word() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(word()) | (static_cast<std::uint32_t>(word()) << 16); }
  std::size_t pick(std::size_t choices) { return byte() % choices; }
  std::size_t left() const { return size_ - at_; }
  std::string bytes(std::size_t count) {
    const std::size_t take = std::min(count, left());
    at_ += take;
    return std::string(reinterpret_cast<const char*>(data_ + at_ - take), take);
  }
  // A byte: base or Pro release, and its revision from a list of telling ones
  // or (then four more bytes) any value.
  FirmwarePackage package();

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

extern const std::string kPrompt, kBadPortText, kBadSpeedText;

// Fills the unit's software and hardware areas with the bytes of an older build.
void loadOldFirmware(std::vector<std::uint8_t>& memory, std::uint32_t seed);

// Whether the release writes the Pro record layout.
bool writesProRecords(const FirmwarePackage& package);

inline std::uint16_t le16(const std::uint8_t* bytes) { return static_cast<std::uint16_t>(bytes[0] + 256u * bytes[1]); }
// The little-endian words at bytes from..to-1, modulo 65536.
std::uint16_t wordSum(const std::uint8_t* bytes, std::size_t from, std::size_t to);
// Where a record of `layout` keeps its checksum, the sum of its words from byte 8 on.
std::size_t checksumAt(sim::RecordLayout layout);
void sealRecord(std::uint8_t* record, sim::RecordLayout layout);

struct ImageBlock { std::uint32_t address; const std::uint8_t* bytes; std::uint32_t length; bool hardware; };
// Every 1024-byte block of the carried software image's two parts and of its hardware image.
const std::vector<ImageBlock>& imageBlocks();

// The usage error, E4 to E9, a block never confirmed, and E10; those up to
// kRefused all come before the "T" that follows identification.
enum class Ending {
  kUsage, kNoUnit, kNoLineSpeed, kWrongModel, kRefused, kConfigSpeedRefused, kReturnSpeedRefused, kBlockFailed,
  kFlashed
};
const char* endingName(Ending ending);

// Has its say on each reply of the unit; index counts the replies to each command letter from 0.
using ReplyPerturbation = std::function<void(char command, std::uint32_t index, std::string& reply,
                                             std::uint32_t& delayMs)>;

// One run of the updater: set up `unit` and `line`, then call go().
struct Run {
  ~Run();  // later violations show no console of this run

  // Runs the updater with `arguments` (after the program name), then checks
  // what every run must keep, whatever the unit did: it ends with the prompt
  // and one key after it, within the time bound, with the status its ending
  // gives; no key is read but at the question and the prompt; nothing goes to
  // the unit after 'X' or the flash command; an exit that leaves the unit
  // closes the port, sending 'X' last if it sends it; nothing is read or
  // written before the "T" that follows identification, and a run that went
  // on past a usage error, no unit or no line speed printed the identification
  // texts; every block written lies in one of the regions, in the order
  // config, software, hardware.
  Ending go(const char* what, const std::vector<std::string>& arguments, const FirmwarePackage& package,
            ReplyPerturbation perturb = {});

  // After go(), if the run reached identification: it printed the texts and
  // took the way the model decides from the unit's reply and `firstKey`; a
  // flashed update came after checkImages(true), sent the hardware image
  // exactly when the unit's build is older than the threshold, and (with
  // `checkConfig`) printed the configuration texts and left the configuration
  // area as the model and the oracle in sim/ say. Returns whether the update
  // went ahead.
  bool checkDecisions(int firstKey, bool checkConfig);

  // After a flash: it came only after every block of the software image, and
  // of the hardware image when any of its blocks was sent, was carried by its
  // last attempt (and, with `repliesRead`, confirmed by a reply to that
  // attempt's 'C' that parses to the block's sum); the unit then holds the
  // images, and its hardware area is untouched when no hardware block was
  // sent. Returns whether the hardware image was sent.
  bool checkImages(bool repliesRead) const;

  sim::UnitModel unit;
  sim::VirtualLine line{unit};
  const FirmwarePackage* package = nullptr;
  int status = 0;
  Ending ending = Ending::kUsage;
  // The unit's memory before the run, for checkDecisions() and checkImages():
  // the caller copies it (a copy costs runs that never get that far).
  std::vector<std::uint8_t> before;
  // The console without the lines that echo a reply of the unit ("Info: ret
  // ..."), whose bytes may spell any text.
  std::string texts;
  // For each address a 'D' block went to, the reply the unit gave to the 'C'
  // after the last block there (as sent, after every fault and the
  // perturbation), if it gave one.
  std::map<std::uint32_t, std::optional<std::string>> lastReplies;
  std::optional<std::string> identReply;  // the reply to the identification 'C', if any
  bool uploadRepliesChanged = false;      // the perturbation touched an 'M' reply or the 'C' after one
};

}  // namespace korrin::fuzz
