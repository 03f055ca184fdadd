// What the fuzz targets share: reading the fuzz input, running the updater
// against the simulated unit in virtual time, an independent model of the
// decisions a run must take, and the properties every run must keep. A broken
// property aborts with a message that names it.
#pragma once

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

#define KORRIN_FUZZ_CHECK(condition, ...)              \
  do {                                                 \
    if (!(condition)) ::korrin::fuzz::violated(__VA_ARGS__); \
  } while (0)

// The line whose console a violation shows; set while a run is judged.
void showOnViolation(const sim::VirtualLine* line);

// With KORRIN_FUZZ_TRACE set in the environment, one line per run on stderr:
// how it ended, and what the unit went through. For looking at what seeds reach.
void traceRun(const char* what, const sim::VirtualLine& line, const sim::UnitModel& unit, int status);

// Reads the fuzz input front to back; once it is used up every read gives 0.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint16_t word() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(word()) | (static_cast<std::uint32_t>(word()) << 16); }
  std::size_t pick(std::size_t choices) { return byte() % choices; }
  std::string bytes(std::size_t count);
  std::size_t left() const { return size_ - at_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// The console without the lines that echo a reply of the unit ("Info: ret ..."),
// whose bytes may spell any text.
std::string ownTexts(const sim::VirtualLine& line);

// Console texts a run ends with.
extern const std::string kPrompt;
extern const std::string kFinalTexts;

// Runs the updater with `arguments` (after the program name) on the installed line.
int runUpdaterWith(const std::vector<std::string>& arguments, const FirmwarePackage& package);

// Fills the unit's software and hardware areas with the bytes of an older build.
void loadOldFirmware(std::vector<std::uint8_t>& memory, std::uint32_t seed);

// The carried release, optionally as the other model and with another revision.
FirmwarePackage packageVariant(bool pro, RevisionCode revision);

// ---- An independent model of the decisions ----

// Year byte first, then month, then day.
int revisionOrder(RevisionCode a, RevisionCode b);

// The reply text the updater gets for a 'C': at most 11 characters, up to a NUL.
std::string replyAsRead(const std::string& sent, std::size_t readLength = 11);
// "CS=%8x", the updater's rule for a checksum reply.
std::optional<std::uint32_t> parseChecksumReply(const std::string& text);

struct IdentDecision {
  enum Kind { kConfirmed, kWrongModel, kAsked } kind;
  std::uint32_t row;                  // kUnitTableRows when no row matched
  std::optional<std::uint32_t> sum;   // the sum read, when the reply parsed
};
IdentDecision decideIdentification(const FirmwarePackage& package, const std::string& replyRead);

// What an update that went ahead must do to the unit.
struct UpdatePlan {
  bool identified = false;
  int configMode = 0;             // 0 untouched, 1 legacy records, 2 ConfigRecords on a Pro package
  sim::RecordLayout from = sim::RecordLayout::Config;
  sim::RecordLayout to = sim::RecordLayout::Config;
  bool legacyRecord0 = false;     // unknown units: what the layout check must find
  bool configRecord0 = false;
  bool hardware = false;
};
// `configArea` is the unit's 0x4000..0x7FFF before the run.
UpdatePlan planUpdate(const FirmwarePackage& package, std::uint32_t row, const std::uint8_t* configArea);

// Little-endian word sum from byte 8 up to `checksumAt`, modulo 65536.
std::uint16_t recordBodySum(const std::uint8_t* record, std::size_t checksumAt);
std::uint16_t recordStoredSum(const std::uint8_t* record, std::size_t checksumAt);
bool recordValid(const std::uint8_t* record, std::size_t checksumAt);
void sealRecord(std::uint8_t* record, std::size_t checksumAt);

// The configuration area (0x4000..0x7FFF) a unit must hold after an update with `plan`.
std::vector<std::uint8_t> expectedConfigArea(const std::vector<std::uint8_t>& memoryBefore, const UpdatePlan& plan);

// ---- The images ----

struct ImageBlock {
  std::uint32_t address;
  const std::uint8_t* bytes;
  std::uint32_t length;
  bool hardware;
};
// Every 1024-byte block of the software image's two parts and of the hardware image.
const std::vector<ImageBlock>& imageBlocks(const FirmwarePackage& package);
const ImageBlock* imageBlockAt(const FirmwarePackage& package, std::uint32_t address);

// ---- Watching the unit ----

// One 'D' block the unit took, and the reply it gave to the 'C' after it.
struct BlockAttempt {
  std::uint32_t address = 0;
  std::uint32_t length = 0;
  bool carriedImage = false;     // when replied: the bytes it stored are exactly the image block there
  std::uint32_t storedSum = 0;
  bool replied = false;
  std::string reply;             // as the unit sent it, after every fault and the hook
  std::uint32_t replyDelayMs = 0;
};

using ReplyPerturbation = std::function<void(char command, std::uint32_t index, std::string& reply,
                                             std::uint32_t& delayMs)>;

// Installed as the unit's replyHook: lets `perturb` have its say on each reply
// (index counts the replies to each command letter from 0), then records the
// identification reply and each 'D' block with the reply to the 'C' after it.
class UnitWatch {
 public:
  UnitWatch(sim::UnitModel& unit, const FirmwarePackage& package, ReplyPerturbation perturb = {});
  // Takes in the blocks written since the last reply: their 'C' got no answer.
  void finish();

  std::vector<BlockAttempt> attempts;
  std::optional<std::string> identReply;   // the reply to the identification 'C', if any
  bool uploadRepliesChanged = false;       // the perturbation touched an 'M' reply or the 'C' after one

 private:
  void onReply(char command, std::string& reply, std::uint32_t& delayMs);
  void takeWrites(const std::string* reply, std::uint32_t delayMs);

  sim::UnitModel& unit_;
  const FirmwarePackage& package_;
  ReplyPerturbation perturb_;
  std::map<char, std::uint32_t> counts_;
  std::size_t writesSeen_ = 0;
};

// ---- Properties ----

enum class Ending {
  kUsage,
  kNoUnit,        // E4
  kNoLineSpeed,   // E5
  kWrongModel,    // E6
  kRefused,       // E7
  kConfigSpeed,   // E8
  kReturnSpeed,   // E9
  kFlashed,       // E10
  kBlockFailed,
};
const char* endingName(Ending ending);

// The worst a whole run may take in virtual time: every wait at its longest,
// every block of every region at its attempt bound, at the slowest line speed.
sim::Ticks worstCaseRunTicks();

// What every run must keep, whatever the unit did: it ends with the prompt and
// one key after it, within the time bound, with the status its ending gives; no
// key is read but at the question and the prompt; nothing goes to the unit after
// 'X' or the flash command; an exit that leaves the unit sends 'X' last; nothing
// is read or written before the "T" that follows identification; every block
// written lies in one of the regions, in the order config, software, hardware.
// Returns how the run ended.
Ending checkRun(const sim::VirtualLine& line, const sim::UnitModel& unit, const FirmwarePackage& package,
                int status);

// The flash came only after every block of the software image, and of the
// hardware image when any of its blocks was sent, was carried by its last attempt
// (and, with `repliesRead`, confirmed by a reply to that attempt's 'C' that
// parses to the block's sum); the unit then holds the images, and its hardware
// area is untouched when no hardware block was sent. Returns whether the
// hardware image was sent.
bool checkFlashedImages(const sim::UnitModel& unit, const FirmwarePackage& package, const UnitWatch& watch,
                        const std::vector<std::uint8_t>& memoryBefore, bool repliesRead);

// The identification texts and the ending agree with `decision` and the operator's first key.
// Returns whether the update went ahead.
bool checkIdentification(const sim::VirtualLine& line, const sim::UnitModel& unit, const FirmwarePackage& package,
                         const IdentDecision& decision, int firstKey, Ending ending);

// For a flashed run that went ahead with `plan`: the console's configuration
// and hardware texts, and the configuration area the unit holds.
void checkPlanCarriedOut(const sim::VirtualLine& line, const sim::UnitModel& unit, const UpdatePlan& plan,
                         const FirmwarePackage& package, const std::vector<std::uint8_t>& memoryBefore);

}  // namespace korrin::fuzz
