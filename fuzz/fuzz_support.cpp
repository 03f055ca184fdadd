#include "fuzz_support.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/updater.h"
#include "protocol/block_transfer.h"

namespace korrin::fuzz {

namespace {

const sim::VirtualLine* g_shown = nullptr;

// Thresholds of the revision decisions, as the unit's firmware history has them.
constexpr RevisionCode kLegacyRecordsBefore = 0x042403;  // 04/24/03: first record layout change
constexpr RevisionCode kProRecordsFrom = 0x101203;       // 10/12/03: Pro record layout
constexpr RevisionCode kBaseHardwareBefore = 0x111103;   // 11/11/03
constexpr RevisionCode kProHardwareBefore = 0x110503;    // 11/05/03

constexpr std::size_t kLegacyChecksumAt = 2476;
constexpr std::size_t kConfigChecksumAt = 2508;
constexpr std::uint32_t kAreaStart = 0x4000;
constexpr std::uint32_t kAreaEnd = 0x8000;
constexpr std::uint32_t kSecondPartStart = 0x8000;
constexpr std::uint32_t kHardwareStart = 0x40000;
constexpr std::uint32_t kImageBlockBytes = 1024;
constexpr std::uint32_t kWriteBackEnd = kAreaStart + 6 * 2808;  // six Pro records, the last past 0x8000

const std::string kE4Text =
    "\nKorrin not in update mode, serial cable not connected,\nor other sw already using com1. (err1)\n"
    "To put Korrin in update mode press 'menu',0,6,2,8 on remote\n"
    "If it's already in update mode then press 'exit','menu',0,6,2,8";
const std::string kNotUpdated = "Firmware not updated...Exiting\n";

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}
bool startsWith(const std::string& text, const std::string& head) { return text.compare(0, head.size(), head) == 0; }
bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }


std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
  char text[512];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

const char* paddedName(bool pro) { return pro ? "KorrinPro" : "Korrin   "; }
const char* plainName(bool pro) { return pro ? "KorrinPro" : "Korrin"; }

// Unprintable bytes as \xNN, so that a report shows exactly what was printed.
std::string visible(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\n') {
      out += "\\n\n";
    } else if (c < 0x20 || c >= 0x7F) {
      out += format("\\x%02X", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::uint32_t byteSum(const std::uint8_t* bytes, std::size_t length) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < length; ++i) sum += bytes[i];
  return sum;
}

// Regions a 'D' block may lie in, in the order a run writes them.
enum Region { kConfigRegion, kSoftwareFirst, kSoftwareSecond, kHardwareRegion, kNowhere };

Region regionOf(const FirmwarePackage& package, std::uint32_t address, std::uint32_t length) {
  const std::uint64_t end = std::uint64_t{address} + length;
  if (const ImageBlock* block = imageBlockAt(package, address)) {
    if (length != block->length) return kNowhere;
    if (block->hardware) return kHardwareRegion;
    return address < kAreaStart ? kSoftwareFirst : kSoftwareSecond;
  }
  if (address >= kAreaStart && end <= kWriteBackEnd && length <= 256) return kConfigRegion;
  return kNowhere;
}

}  // namespace

// ---- Reporting ----

void showOnViolation(const sim::VirtualLine* line) { g_shown = line; }

void violated(const char* pattern, ...) {
  std::fprintf(stderr, "\nPROPERTY VIOLATED: ");
  va_list args;
  va_start(args, pattern);
  std::vfprintf(stderr, pattern, args);
  va_end(args);
  std::fprintf(stderr, "\n");
  if (g_shown) {
    const std::string console = g_shown->console();
    const std::size_t from = console.size() > 1500 ? console.size() - 1500 : 0;
    std::fprintf(stderr, "--- end of the console (virtual time %.1f ms) ---\n%s\n---\n", g_shown->nowMs(),
                 visible(console.substr(from)).c_str());
  }
  std::abort();
}

void traceRun(const char* what, const sim::VirtualLine& line, const sim::UnitModel& unit, int status) {
  static const bool enabled = std::getenv("KORRIN_FUZZ_TRACE") != nullptr;
  if (!enabled) return;
  const sim::UnitLog& log = unit.log();
  const std::string console = line.console();
  const std::size_t from = console.size() > 60 ? console.size() - 60 : 0;
  std::fprintf(stderr, "[%s] status %d, %.0f ms, %zu writes, %zu commands, flashed %d, exited %d, speed %u: ...%s\n",
               what, status, line.nowMs(), log.writes.size(), log.commands.size(), log.flashed, log.exited,
               line.pcSpeed, visible(console.substr(from)).c_str());
}

std::string Input::bytes(std::size_t count) {
  const std::size_t take = std::min(count, left());
  std::string out(reinterpret_cast<const char*>(data_ + at_), take);
  at_ += take;
  return out;
}

const std::string kPrompt = "\nPress a key to exit program";
const std::string kFinalTexts =
    "\nNow flashing\n"
    "\nDO NOT SHUT OFF UNIT. Wait for unit to turn itself off or"
    "\nrequest you to disconnect and reconnect power."
    "\nAlso, if you've waited over 3 minutes disconnect and reconnect power."
    "\nYou can then turn it back on"
    "\nWhen powered back up you can check sw rev by pressing \"menu\",0,6,0,5\n";

std::string ownTexts(const sim::VirtualLine& line) {
  std::string out;
  for (const sim::Event& e : line.transcript)
    if (e.kind == sim::Event::Console && !startsWith(e.data, "Info: ret ")) out += e.data;
  return out;
}

int runUpdaterWith(const std::vector<std::string>& arguments, const FirmwarePackage& package) {
  std::vector<const char*> argv{"korrin-update"};
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);
  return runUpdater(static_cast<int>(argv.size() - 1), argv.data(), package);
}

void loadOldFirmware(std::vector<std::uint8_t>& memory, std::uint32_t seed) {
  std::uint32_t state = seed * 2654435761u + 12345u;
  const auto fill = [&](std::uint32_t from, std::uint32_t to) {
    for (std::uint32_t a = from; a < to && a < memory.size(); ++a) {
      state = state * 1103515245u + 12345u;
      memory[a] = static_cast<std::uint8_t>(state >> 16);
    }
  };
  fill(0x000000, kAreaStart);
  fill(kSecondPartStart, 0x020000);
  fill(kHardwareStart, 0x070000);
}

FirmwarePackage packageVariant(bool pro, RevisionCode revision) {
  FirmwarePackage package = carriedPackage();
  package.packageIsPro = pro ? 1 : 0;
  package.packageRevision = revision & 0xFFFFFFu;
  return package;
}

// ---- The model ----

int revisionOrder(RevisionCode a, RevisionCode b) {
  const auto year = [](RevisionCode c) { return c & 0xFFu; };
  const auto month = [](RevisionCode c) { return (c >> 16) & 0xFFu; };
  const auto day = [](RevisionCode c) { return (c >> 8) & 0xFFu; };
  if (year(a) != year(b)) return year(a) < year(b) ? -1 : 1;
  if (month(a) != month(b)) return month(a) < month(b) ? -1 : 1;
  if (day(a) != day(b)) return day(a) < day(b) ? -1 : 1;
  return 0;
}

std::string replyAsRead(const std::string& sent, std::size_t readLength) {
  std::string text = sent.substr(0, readLength);
  const std::size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  return text;
}

std::optional<std::uint32_t> parseChecksumReply(const std::string& text) {
  unsigned int value = 0;
  if (std::sscanf(text.c_str(), "CS=%8x", &value) != 1) return std::nullopt;
  return value;
}

IdentDecision decideIdentification(const FirmwarePackage& package, const std::string& replyRead) {
  IdentDecision decision{IdentDecision::kAsked, kUnitTableRows, parseChecksumReply(replyRead)};
  if (decision.sum) {
    for (std::uint32_t row = 0; row < kUnitTableRows; ++row) {
      if (package.unitTable->sum[row] == *decision.sum) {
        decision.row = row;
        break;
      }
    }
  }
  if (decision.row == kUnitTableRows) return decision;
  const bool unitPro = package.unitTable->id[decision.row] != 0;
  if (unitPro != (package.packageIsPro != 0)) {
    decision.kind = IdentDecision::kWrongModel;
  } else if (revisionOrder(package.unitTable->rev[decision.row], package.packageRevision) <= 0) {
    decision.kind = IdentDecision::kConfirmed;
  }
  return decision;
}

std::uint16_t recordBodySum(const std::uint8_t* record, std::size_t checksumAt) {
  std::uint32_t sum = 0;
  for (std::size_t i = 8; i < checksumAt; i += 2) sum += record[i] + 256u * record[i + 1];
  return static_cast<std::uint16_t>(sum & 0xFFFFu);
}

std::uint16_t recordStoredSum(const std::uint8_t* record, std::size_t checksumAt) {
  return static_cast<std::uint16_t>(record[checksumAt] + 256u * record[checksumAt + 1]);
}

bool recordValid(const std::uint8_t* record, std::size_t checksumAt) {
  const std::uint16_t sum = recordBodySum(record, checksumAt);
  return sum != 0 && sum == recordStoredSum(record, checksumAt);
}

void sealRecord(std::uint8_t* record, std::size_t checksumAt) {
  const std::uint16_t sum = recordBodySum(record, checksumAt);
  record[checksumAt] = static_cast<std::uint8_t>(sum & 0xFF);
  record[checksumAt + 1] = static_cast<std::uint8_t>(sum >> 8);
}

UpdatePlan planUpdate(const FirmwarePackage& package, std::uint32_t row, const std::uint8_t* configArea) {
  UpdatePlan plan;
  plan.identified = row < kUnitTableRows;
  // A unit no row knows is taken as the first row's build.
  const RevisionCode unit = package.unitTable->rev[plan.identified ? row : 0];
  const RevisionCode release = package.packageRevision;
  const bool pro = package.packageIsPro != 0;
  if (plan.identified) {
    if (revisionOrder(unit, kLegacyRecordsBefore) < 0 && revisionOrder(release, kLegacyRecordsBefore) >= 0) {
      plan.configMode = 1;
    } else if (pro && revisionOrder(unit, kProRecordsFrom) < 0 && revisionOrder(release, kProRecordsFrom) >= 0) {
      plan.configMode = 2;
    }
  } else {
    plan.legacyRecord0 = recordValid(configArea, kLegacyChecksumAt);
    plan.configRecord0 = recordValid(configArea, kConfigChecksumAt);
    if (plan.legacyRecord0) plan.configMode = 1;
    if (plan.configRecord0 && pro) plan.configMode = 2;
  }
  plan.from = plan.configMode == 1 ? sim::RecordLayout::Legacy : sim::RecordLayout::Config;
  plan.to = pro && revisionOrder(release, kProRecordsFrom) >= 0 ? sim::RecordLayout::Pro : sim::RecordLayout::Config;
  plan.hardware = revisionOrder(unit, pro ? kProHardwareBefore : kBaseHardwareBefore) < 0;
  return plan;
}

std::vector<std::uint8_t> expectedConfigArea(const std::vector<std::uint8_t>& memoryBefore, const UpdatePlan& plan) {
  std::vector<std::uint8_t> area(memoryBefore.begin() + kAreaStart, memoryBefore.begin() + kAreaEnd);
  if (plan.configMode == 0) return area;
  const std::vector<sim::ExpectedRecord> records = sim::expectedRecords(memoryBefore, plan.from, plan.to);
  KORRIN_FUZZ_CHECK(records.size() == 6 || (plan.to == sim::RecordLayout::Pro && records.size() == 5),
                    "the oracle knows no conversion for this plan");
  for (const sim::ExpectedRecord& record : records) {
    for (std::size_t i = 0; i < record.bytes.size() && record.address + i < kAreaEnd; ++i)
      area[record.address + i - kAreaStart] = record.bytes[i];
  }
  return area;
}

// ---- The images ----

const std::vector<ImageBlock>& imageBlocks(const FirmwarePackage& package) {
  static const std::uint8_t* cachedFor = nullptr;
  static std::vector<ImageBlock> blocks;
  if (cachedFor != package.swImage) {
    blocks.clear();
    const auto cut = [&](std::uint32_t address, const std::uint8_t* bytes, std::size_t length, bool hardware) {
      for (std::size_t at = 0; at < length; at += kImageBlockBytes) {
        const std::uint32_t size = static_cast<std::uint32_t>(std::min<std::size_t>(kImageBlockBytes, length - at));
        blocks.push_back({static_cast<std::uint32_t>(address + at), bytes + at, size, hardware});
      }
    };
    cut(0, package.swImage, kAreaStart, false);
    cut(kSecondPartStart, package.swImage + kSecondPartStart, package.swSize - kSecondPartStart, false);
    cut(kHardwareStart, package.hwImage, package.hwSize, true);
    cachedFor = package.swImage;
  }
  return blocks;
}

const ImageBlock* imageBlockAt(const FirmwarePackage& package, std::uint32_t address) {
  if (address % kImageBlockBytes != 0) return nullptr;
  std::size_t index;
  if (address < kAreaStart) {
    index = address / kImageBlockBytes;
  } else if (address >= kSecondPartStart && address < package.swSize) {
    index = 16 + (address - kSecondPartStart) / kImageBlockBytes;
  } else if (address >= kHardwareStart && address < kHardwareStart + package.hwSize) {
    const std::size_t software = 16 + (package.swSize - kSecondPartStart + kImageBlockBytes - 1) / kImageBlockBytes;
    index = software + (address - kHardwareStart) / kImageBlockBytes;
  } else {
    return nullptr;
  }
  const std::vector<ImageBlock>& blocks = imageBlocks(package);
  return index < blocks.size() && blocks[index].address == address ? &blocks[index] : nullptr;
}

// ---- Watching the unit ----

UnitWatch::UnitWatch(sim::UnitModel& unit, const FirmwarePackage& package, ReplyPerturbation perturb)
    : unit_(unit), package_(package), perturb_(std::move(perturb)) {
  unit_.faults.replyHook = [this](char command, std::string& reply, std::uint32_t& delayMs) {
    onReply(command, reply, delayMs);
  };
}

void UnitWatch::onReply(char command, std::string& reply, std::uint32_t& delayMs) {
  const std::string honest = reply;
  const std::uint32_t index = counts_[command]++;
  if (perturb_) perturb_(command, index, reply, delayMs);
  const std::string& commands = unit_.log().commands;
  const char confirms = commands.size() >= 2 ? commands[commands.size() - 2] : 0;
  if (reply != honest && (command == 'M' || (command == 'C' && confirms == 'M'))) uploadRepliesChanged = true;
  if (command == 'C') {
    const bool newWrite = unit_.log().writes.size() > writesSeen_;
    if (!identReply && !newWrite && unit_.addressRegister() == 0x008000 && unit_.lengthRegister() == 0x00E000)
      identReply = reply;
    takeWrites(&reply, delayMs);
  } else {
    takeWrites(nullptr, 0);
  }
}

void UnitWatch::takeWrites(const std::string* reply, std::uint32_t delayMs) {
  const auto& writes = unit_.log().writes;
  for (std::size_t i = writesSeen_; i < writes.size(); ++i) {
    BlockAttempt attempt;
    attempt.address = writes[i].first;
    attempt.length = writes[i].second;
    if (reply && i + 1 == writes.size()) {
      // The 'C' that follows this block: the stored bytes are still the block's own.
      const std::vector<std::uint8_t>& memory = unit_.memory();
      const std::size_t end = std::min<std::size_t>(memory.size(), std::size_t{attempt.address} + attempt.length);
      const std::size_t stored = end > attempt.address ? end - attempt.address : 0;
      attempt.storedSum = byteSum(memory.data() + std::min<std::size_t>(attempt.address, memory.size()), stored);
      const ImageBlock* block = imageBlockAt(package_, attempt.address);
      attempt.carriedImage = block && stored == block->length && attempt.length == block->length &&
                             std::memcmp(memory.data() + attempt.address, block->bytes, block->length) == 0;
      attempt.replied = true;
      attempt.reply = *reply;
      attempt.replyDelayMs = delayMs;
    }
    attempts.push_back(std::move(attempt));
  }
  writesSeen_ = writes.size();
}

void UnitWatch::finish() { takeWrites(nullptr, 0); }

// ---- Properties ----

const char* endingName(Ending ending) {
  switch (ending) {
    case Ending::kUsage: return "usage error";
    case Ending::kNoUnit: return "no unit (E4)";
    case Ending::kNoLineSpeed: return "no line speed (E5)";
    case Ending::kWrongModel: return "wrong model (E6)";
    case Ending::kRefused: return "refused (E7)";
    case Ending::kConfigSpeed: return "config speed (E8)";
    case Ending::kReturnSpeed: return "return speed (E9)";
    case Ending::kFlashed: return "flashed (E10)";
    case Ending::kBlockFailed: return "block not confirmed";
  }
  return "?";
}

sim::Ticks worstCaseRunTicks() {
  const sim::Ticks ms = sim::kTicksPerMs;
  // The end of the speed ladder opens the port at 1000 baud: no byte goes slower.
  const sim::Ticks byte = sim::byteTicks(1000);
  const sim::Ticks reply = 8 * 40 * ms;          // a reply wait: 9 looks, 8 pauses
  const sim::Ticks drain = 100 * ms;
  const sim::Ticks attempts = kMaxBlockAttempts;
  sim::Ticks t = 0;
  // Start-up: 'E' at 9600; the speed command, the burst and up to 21 reads of
  // it, the drain and the check; the five steps of the ladder (28800 down to its
  // end); 'G' and 'H' with every retry.
  t += byte + reply;
  t += 7 * byte + 20 * byte + 21 * reply + drain + byte + reply;
  t += 5 * (8 * byte + reply);
  t += 11 * 2 * (byte + 2000 * ms + reply) + 10 * drain;
  // Identification and "T".
  t += 15 * byte + 1000 * ms + reply + byte;
  // The speed cap; the layout check (40 blocks) and the readout (236 blocks) in
  // 64-byte uploads; the write-back, at most 66 blocks of 256 bytes. Every
  // attempt may begin with a drain (a block moved again).
  t += 8 * byte + reply;
  const sim::Ticks upload = drain + 8 * byte + 64 * reply + drain + byte + reply;
  t += (40 + 236) * attempts * upload + 4 * 7 * byte + byte;
  const sim::Ticks recordBlock = drain + (8 + 256 + 1) * byte + reply;
  t += 66 * attempts * recordBlock + 12 * 7 * byte;
  // Closing steps ("K", 'E', "V0", 'T', "V0" with their reads) and the return to speed.
  t += 7 * byte + 3 * reply + 8 * byte + reply;
  // Download: display text, 'E', "L000400", "K", then every image block.
  t += 20 * byte + byte + reply + 8 * byte;
  const sim::Ticks imageBlock = drain + (8 + 1024 + 1) * byte + reply;
  t += (16 + 93 + 177) * attempts * imageBlock + 3 * 7 * byte;
  // The flash command, or the 'X' of an exit.
  t += 37 * byte + byte;
  return t;
}

Ending checkRun(const sim::VirtualLine& line, const sim::UnitModel& unit, const FirmwarePackage& package,
                int status) {
  showOnViolation(&line);
  KORRIN_FUZZ_CHECK(status == 0 || status == 1, "the run returned status %d", status);
  KORRIN_FUZZ_CHECK(!line.hung, "the updater read bytes that never come");
  KORRIN_FUZZ_CHECK(line.now <= worstCaseRunTicks(), "the run took %.0f ms of virtual time, over its bound of %.0f ms",
                    line.nowMs(), sim::toMs(worstCaseRunTicks()));

  // The prompt, then one key, and after it nothing but the port released as the
  // program ends; keys only at the question and the prompt.
  const std::vector<sim::Event>& events = line.transcript;
  const std::size_t n = events.size();
  std::size_t lastKey = n;
  for (std::size_t i = n; i-- > 0 && lastKey == n;)
    if (events[i].kind == sim::Event::Key) lastKey = i;
  KORRIN_FUZZ_CHECK(lastKey != n && lastKey >= 1, "the run read no key");
  KORRIN_FUZZ_CHECK(events[lastKey - 1].kind == sim::Event::Console && events[lastKey - 1].data == kPrompt,
                    "the last key was not read right after the prompt");
  for (std::size_t i = lastKey + 1; i < n; ++i)
    KORRIN_FUZZ_CHECK(events[i].kind == sim::Event::Close, "the run went on after the last key");
  std::size_t lastToUnit = n, lastClose = n;
  for (std::size_t i = 0; i < n; ++i) {
    const sim::Event& e = events[i];
    if (e.kind == sim::Event::ToUnit) lastToUnit = i;
    if (e.kind == sim::Event::Close) lastClose = i;
    if (e.kind != sim::Event::Key) continue;
    KORRIN_FUZZ_CHECK(i > 0 && events[i - 1].kind == sim::Event::Console &&
                          (events[i - 1].data == kPrompt || endsWith(events[i - 1].data, "(y/n)")),
                      "a key was read at event %zu, neither at the question nor at the prompt", i);
  }
  const std::string console = ownTexts(line);
  std::size_t prompts = 0;
  for (const sim::Event& e : events) prompts += e.kind == sim::Event::Console && e.data == kPrompt;
  KORRIN_FUZZ_CHECK(prompts == 1, "the prompt was printed %zu times", prompts);
  // Every open of the run names one port; follow whether it is open.
  std::string port;
  bool portOpen = false;
  for (const sim::Event& e : events) {
    if (e.kind == sim::Event::Close) portOpen = false;
    if (e.kind != sim::Event::Open) continue;
    const bool refused = endsWith(e.data, " refused");
    const std::string name = refused ? e.data.substr(0, e.data.size() - 8) : e.data;
    if (port.empty()) port = name;
    KORRIN_FUZZ_CHECK(name == port, "port %s opened after %s", name.c_str(), port.c_str());
    if (!refused) portOpen = true;
  }

  // How it ended, from the last texts.
  Ending ending;
  const std::string tail = console.substr(0, console.size() - kPrompt.size());
  if (endsWith(tail, kFinalTexts)) {
    ending = Ending::kFlashed;
  } else if (endsWith(tail, "(y/n)\n" + kNotUpdated)) {
    ending = Ending::kRefused;
  } else if (endsWith(tail, ")\n" + kNotUpdated) && contains(tail, "Unit ID's as ")) {
    ending = Ending::kWrongModel;
  } else if (endsWith(tail, " attempts\n" + kNotUpdated) && contains(tail, "\nBlock at unit address ")) {
    ending = Ending::kBlockFailed;
  } else if (endsWith(tail, kE4Text)) {
    ending = Ending::kNoUnit;
  } else if (endsWith(tail, "RS232 communication problem. Update exiting\nConnection cannot be made\n")) {
    ending = Ending::kNoLineSpeed;
  } else if (endsWith(tail, "Connection failed at check config\n")) {
    ending = Ending::kConfigSpeed;
  } else if (endsWith(tail, "Connection failed after check config\n")) {
    ending = Ending::kReturnSpeed;
  } else if (endsWith(tail, "Error, usage is -cX to set COM port, where X is 1-4\n") ||
             endsWith(tail, "Error, usage is -sX to set RS232 port speed, where X is 0(fastest) to 4(slowest)\n") ||
             endsWith(tail, " :Unrecognized option\n")) {
    ending = Ending::kUsage;
  } else {
    violated("the run ended with texts that belong to no exit");
  }

  const bool statusOne =
      ending == Ending::kFlashed || ending == Ending::kWrongModel || ending == Ending::kRefused;
  KORRIN_FUZZ_CHECK(status == (statusOne ? 1 : 0), "status %d after %s", status, endingName(ending));

  const sim::UnitLog& log = unit.log();
  KORRIN_FUZZ_CHECK(log.bytesAfterExit == 0, "%u bytes sent after 'X'", log.bytesAfterExit);
  KORRIN_FUZZ_CHECK(log.bytesAfterFlash == 0, "%u bytes sent after the flash command", log.bytesAfterFlash);
  const std::string wire = line.wire();
  KORRIN_FUZZ_CHECK(log.flashed == (ending == Ending::kFlashed), "the unit was%s told to flash, ending %s",
                    log.flashed ? "" : " not", endingName(ending));
  if (log.flashed) {
    KORRIN_FUZZ_CHECK(log.flashCode == "5382", "flash code %s", log.flashCode.c_str());
    KORRIN_FUZZ_CHECK(endsWith(wire, "JFLASHING DONE IN ABOUT 30 SECS\nF5382"),
                      "the wire does not end with the display text and the flash command");
    std::size_t instructions = n;
    for (std::size_t i = 0; i < n && instructions == n; ++i)
      if (events[i].kind == sim::Event::Console && startsWith(events[i].data, "\nDO NOT SHUT OFF")) instructions = i;
    KORRIN_FUZZ_CHECK(lastClose != n && lastClose > lastToUnit && lastClose < instructions,
                      "the port was not closed between the flash command and the instructions");
  }
  const bool leavesUnit = ending == Ending::kNoLineSpeed || ending == Ending::kWrongModel ||
                          ending == Ending::kRefused || ending == Ending::kConfigSpeed ||
                          ending == Ending::kReturnSpeed || ending == Ending::kBlockFailed;
  // An exit that leaves the unit sends 'X' last and closes the port, unless a
  // reopen had already failed and there is no port to send it through.
  KORRIN_FUZZ_CHECK(!log.exited || leavesUnit, "the unit was sent out of update mode, ending %s", endingName(ending));
  if (leavesUnit) {
    KORRIN_FUZZ_CHECK(log.exited || !portOpen, "the unit was not sent out of update mode, ending %s",
                      endingName(ending));
    if (log.exited) {
      KORRIN_FUZZ_CHECK(!wire.empty() && wire.back() == 'X', "'X' is not the last byte sent, ending %s",
                        endingName(ending));
      KORRIN_FUZZ_CHECK(lastClose != n && lastClose > lastToUnit, "the port stayed open after 'X'");
    }
    KORRIN_FUZZ_CHECK(!portOpen, "the port is still open after %s", endingName(ending));
  }
  if (ending == Ending::kUsage) {
    KORRIN_FUZZ_CHECK(line.opens == 0 && wire.empty(), "a usage error touched the port");
  }

  // Nothing is read or written before the "T" that follows identification; the
  // exits before it touch no memory.
  const std::string& commands = log.commands;
  const std::string beforeT = commands.substr(0, commands.find('T'));
  KORRIN_FUZZ_CHECK(beforeT.find_first_of("DM") == std::string::npos,
                    "the unit's memory was used before the \"T\" that follows identification: %s",
                    visible(beforeT.substr(0, 80)).c_str());
  if (ending == Ending::kUsage || ending == Ending::kNoUnit || ending == Ending::kNoLineSpeed ||
      ending == Ending::kWrongModel || ending == Ending::kRefused) {
    KORRIN_FUZZ_CHECK(commands.find('T') == std::string::npos && log.writes.empty(),
                      "the run went past identification, ending %s", endingName(ending));
  }

  // Every block lies in a region; configuration, then software, then hardware;
  // image blocks in ascending order.
  Region reached = kConfigRegion;
  std::uint32_t previous = 0;
  for (const auto& write : log.writes) {
    const Region region = regionOf(package, write.first, write.second);
    KORRIN_FUZZ_CHECK(region != kNowhere, "a block of %u bytes written at %06X, in no region", write.second,
                      write.first);
    KORRIN_FUZZ_CHECK(region >= reached, "a block written at %06X after a later region", write.first);
    if (region != kConfigRegion) {
      KORRIN_FUZZ_CHECK(region > reached || write.first >= previous, "block %06X written after block %06X",
                        write.first, previous);
      previous = write.first;
    }
    reached = region;
  }
  return ending;
}

bool checkFlashedImages(const sim::UnitModel& unit, const FirmwarePackage& package, const UnitWatch& watch,
                        const std::vector<std::uint8_t>& memoryBefore, bool repliesRead) {
  const sim::UnitLog& log = unit.log();
  std::map<std::uint32_t, const BlockAttempt*> last;
  bool hardwareSent = false;
  for (const BlockAttempt& attempt : watch.attempts) {
    last[attempt.address] = &attempt;
    if (attempt.address >= kHardwareStart) hardwareSent = true;
  }
  const std::vector<std::uint8_t>& flashed = log.flashedMemory;
  KORRIN_FUZZ_CHECK(flashed.size() >= kHardwareStart + package.hwSize, "the unit's memory at the flash is short");
  for (const ImageBlock& block : imageBlocks(package)) {
    if (block.hardware && !hardwareSent) continue;
    const auto found = last.find(block.address);
    KORRIN_FUZZ_CHECK(found != last.end(), "flashed although the block at %06X was never sent", block.address);
    const BlockAttempt& attempt = *found->second;
    // A block whose 'C' got no answer was not looked at when it came; image
    // blocks do not overlap and come last, so the unit still holds what it stored.
    const bool carried = attempt.replied ? attempt.carriedImage
                                         : attempt.length == block.length &&
                                               std::memcmp(flashed.data() + block.address, block.bytes,
                                                           block.length) == 0;
    KORRIN_FUZZ_CHECK(carried,
                      "flashed although the last attempt at %06X (%u bytes, sum %X) did not carry the image's bytes",
                      block.address, attempt.length, attempt.storedSum);
    if (!repliesRead) continue;
    const std::uint32_t sum = byteSum(block.bytes, block.length);
    KORRIN_FUZZ_CHECK(attempt.replied, "flashed although the last attempt at %06X got no reply", block.address);
    const std::optional<std::uint32_t> parsed = parseChecksumReply(replyAsRead(attempt.reply));
    KORRIN_FUZZ_CHECK(parsed && *parsed == sum,
                      "flashed although the last attempt at %06X got the reply \"%s\", not the sum %X",
                      block.address, visible(attempt.reply).c_str(), sum);
  }

  for (const ImageBlock& block : imageBlocks(package)) {
    const std::uint8_t* expected =
        block.hardware && !hardwareSent ? memoryBefore.data() + block.address : block.bytes;
    if (std::memcmp(flashed.data() + block.address, expected, block.length) == 0) continue;
    std::uint32_t at = 0;
    while (flashed[block.address + at] == expected[at]) ++at;
    violated("at the flash the unit's %s differs at %06X", block.hardware ? "hardware area" : "software",
             block.address + at);
  }
  return hardwareSent;
}

bool checkIdentification(const sim::VirtualLine& line, const sim::UnitModel& unit, const FirmwarePackage& package,
                         const IdentDecision& decision, int firstKey, Ending ending) {
  const bool pro = package.packageIsPro != 0;
  const std::string console = ownTexts(line);
  const std::string checking = "\nChecking version..\n";
  const std::size_t at = console.find(checking);
  KORRIN_FUZZ_CHECK(at != std::string::npos, "no identification");
  const std::string after = console.substr(at + checking.size());
  std::size_t keys = 0;
  for (const sim::Event& e : line.transcript) keys += e.kind == sim::Event::Key;

  bool wentAhead = true;
  switch (decision.kind) {
    case IdentDecision::kConfirmed: {
      const std::string text = format("Unit confirmed as %s with firmware rev %06x.\nUpdate proceeding..\n\n",
                                      paddedName(pro), package.unitTable->rev[decision.row]);
      KORRIN_FUZZ_CHECK(startsWith(after, text), "row %u not confirmed as it should be", decision.row);
      KORRIN_FUZZ_CHECK(keys == 1, "the operator was asked about a confirmed unit");
      break;
    }
    case IdentDecision::kWrongModel: {
      const std::string text =
          format("Unit ID's as %s, but this firmware is for a %s (ind:%u)\n",
                 paddedName(package.unitTable->id[decision.row] != 0), paddedName(pro), decision.row) +
          kNotUpdated + kPrompt;
      KORRIN_FUZZ_CHECK(after == text, "row %u of the other model not refused as it should be", decision.row);
      KORRIN_FUZZ_CHECK(keys == 1, "the operator was asked about a unit of the other model");
      wentAhead = false;
      break;
    }
    case IdentDecision::kAsked: {
      const std::string question = format("Are you sure you want to run update for %s rev %06x (y/n)",
                                          plainName(pro), package.packageRevision);
      const std::string head = "Could not confirm unit ID (csum=";
      KORRIN_FUZZ_CHECK(startsWith(after, head), "the unit's build was not questioned");
      const std::size_t close = after.find(")\n", head.size());
      KORRIN_FUZZ_CHECK(close != std::string::npos, "the questioned sum is not closed");
      const std::string shown = after.substr(head.size(), close - head.size());
      if (decision.sum) {
        KORRIN_FUZZ_CHECK(shown == format("%x", *decision.sum), "questioned sum %s, the unit said %x", shown.c_str(),
                          *decision.sum);
      } else {
        // No reply that parses: the sum shown must not be one a row could hold.
        unsigned int value = 0;
        KORRIN_FUZZ_CHECK(std::sscanf(shown.c_str(), "%x", &value) == 1, "questioned sum \"%s\"", shown.c_str());
        for (std::uint32_t row = 0; row < kUnitTableRows; ++row)
          KORRIN_FUZZ_CHECK(package.unitTable->sum[row] != value, "an unparsed reply shown as row %u's sum", row);
      }
      const std::string rest = after.substr(close + 2);
      KORRIN_FUZZ_CHECK(startsWith(rest, question), "the question is not as it should be");
      KORRIN_FUZZ_CHECK(keys == 2, "%zu keys read, the question and the prompt make 2", keys);
      if (firstKey == 'y' || firstKey == 'Y') {
        KORRIN_FUZZ_CHECK(startsWith(rest.substr(question.size()), "\nUpdate proceeding..\n\n"),
                          "'%c' did not let the update proceed", firstKey);
      } else {
        KORRIN_FUZZ_CHECK(rest.substr(question.size()) == "\n" + kNotUpdated + kPrompt,
                          "key %d did not refuse the update", firstKey);
        wentAhead = false;
      }
      break;
    }
  }
  if (wentAhead) {
    KORRIN_FUZZ_CHECK(ending == Ending::kFlashed || ending == Ending::kConfigSpeed || ending == Ending::kReturnSpeed ||
                          ending == Ending::kBlockFailed,
                      "the update went ahead and ended with %s", endingName(ending));
    KORRIN_FUZZ_CHECK(unit.log().commands.find('T') != std::string::npos, "no \"T\" after identification");
  } else {
    KORRIN_FUZZ_CHECK(ending == (decision.kind == IdentDecision::kWrongModel ? Ending::kWrongModel : Ending::kRefused),
                      "identification refused the unit, the run ended with %s", endingName(ending));
  }
  return wentAhead;
}

void checkPlanCarriedOut(const sim::VirtualLine& line, const sim::UnitModel& unit, const UpdatePlan& plan,
                         const FirmwarePackage& package, const std::vector<std::uint8_t>& memoryBefore) {
  const bool pro = package.packageIsPro != 0;
  const std::string console = ownTexts(line);
  KORRIN_FUZZ_CHECK(contains(console, "Checking config data..\n") == !plan.identified,
                    "the layout check %s for a unit that was%s identified", plan.identified ? "ran" : "did not run",
                    plan.identified ? "" : " not");
  if (!plan.identified) {
    KORRIN_FUZZ_CHECK(contains(console, "Config is pre 042803\n") == plan.legacyRecord0,
                      "legacy record 0 %sfound", plan.legacyRecord0 ? "not " : "");
    KORRIN_FUZZ_CHECK(contains(console, "Config is pre 101203 for Pro\n") == (plan.configRecord0 && pro),
                      "ConfigRecord 0 on a Pro release %sfound", plan.configRecord0 && pro ? "not " : "");
  }
  KORRIN_FUZZ_CHECK(contains(console, "Reading config data..\n") == (plan.configMode != 0),
                    "configuration mode %d, but the readout %s", plan.configMode,
                    plan.configMode ? "did not run" : "ran");
  KORRIN_FUZZ_CHECK(contains(console, "\nSending HW update..") == plan.hardware, "the hardware image was%s due",
                    plan.hardware ? "" : " not");

  const std::vector<std::uint8_t> area = expectedConfigArea(memoryBefore, plan);
  const std::vector<std::uint8_t>& flashed = unit.log().flashedMemory;
  for (std::uint32_t i = 0; i < area.size(); ++i) {
    KORRIN_FUZZ_CHECK(flashed[kAreaStart + i] == area[i],
                      "configuration area differs at %06X: %02X, expected %02X (mode %d, %zu -> %zu byte records)",
                      kAreaStart + i, flashed[kAreaStart + i], area[i], plan.configMode, sim::recordBytes(plan.from),
                      sim::recordBytes(plan.to));
  }
}

}  // namespace korrin::fuzz
