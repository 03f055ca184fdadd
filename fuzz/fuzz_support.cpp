#include "fuzz_support.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <numeric>

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

constexpr std::uint32_t kAreaStart = 0x4000;
constexpr std::uint32_t kAreaEnd = 0x8000;  // where the software image's second part starts
constexpr std::uint32_t kHardwareStart = 0x40000;
constexpr std::uint32_t kWriteBackEnd = kAreaStart + 6 * 2808;  // six Pro records, the last past 0x8000

const std::string kChecking = "\nChecking version..\n";
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

const char* modelName(bool pro, bool padded) { return pro ? "KorrinPro" : padded ? "Korrin   " : "Korrin"; }

// Unprintable bytes as \xNN, so that a report shows exactly what was printed.
std::string visible(const std::string& text) {
  std::string out;
  for (unsigned char c : text)
    out += c == '\n' ? "\\n\n" : c < 0x20 || c >= 0x7F ? format("\\x%02X", c) : std::string(1, static_cast<char>(c));
  return out;
}

// ---- The model ----

// Year byte first, then month, then day.
int revisionOrder(RevisionCode a, RevisionCode b) {
  const auto key = [](RevisionCode c) { return (c & 0xFFu) << 16 | ((c >> 16) & 0xFFu) << 8 | ((c >> 8) & 0xFFu); };
  return key(a) < key(b) ? -1 : key(a) > key(b) ? 1 : 0;
}

// What the updater reads of a 'C' reply (11 characters, up to a NUL), as it parses it.
std::optional<std::uint32_t> sumRead(const std::string& reply) {
  unsigned int value = 0;
  if (std::sscanf(reply.substr(0, 11).c_str(), "CS=%8x", &value) != 1) return std::nullopt;
  return value;
}

bool recordValid(const std::uint8_t* record, sim::RecordLayout layout) {
  const std::uint16_t sum = wordSum(record, 8, checksumAt(layout));
  return sum != 0 && sum == le16(record + checksumAt(layout));
}

// What a run must decide: identification from the reply the updater read, and
// what an update that went ahead must do to the unit.
struct Decision {
  enum Kind { kConfirmed, kWrongModel, kAsked } kind = kAsked;
  std::uint32_t row = kUnitTableRows;  // kUnitTableRows when no row matched
  std::optional<std::uint32_t> sum;    // the sum read, when the reply parsed
  int configMode = 0;                  // 0 untouched, 1 legacy records, 2 ConfigRecords on a Pro package
  bool legacyRecord0 = false, configRecord0 = false;  // unknown units: what the layout check must find
  // Records an earlier run may have written: valid in the new layout, not in the old.
  enum ConfigState { kFresh, kAlreadyConverted, kPartlyConverted } configState = kFresh;
  bool hardware = false;
};

const std::string kPartlyConverted = "\nConfig partly converted by an earlier run, and no copy saved on this PC";
const std::string kAlreadyConverted = "\nConfig already converted by an earlier run, left as it is";

// Of the records that lie wholly within the 15072 bytes read, how many are in
// the new layout and not in the old: none, all, or some.
Decision::ConfigState configState(const FirmwarePackage& package, int mode, const std::uint8_t* configArea) {
  const sim::RecordLayout from = mode == 1 ? sim::RecordLayout::Legacy : sim::RecordLayout::Config;
  const sim::RecordLayout to = writesProRecords(package) ? sim::RecordLayout::Pro : sim::RecordLayout::Config;
  std::size_t judged = 0, converted = 0;
  for (std::size_t k = 0; (k + 1) * sim::recordBytes(to) <= 15072 && k < 6; ++k, ++judged)
    converted += recordValid(configArea + k * sim::recordBytes(to), to) &&
                 !recordValid(configArea + k * sim::recordBytes(from), from);
  return converted == 0 ? Decision::kFresh : converted == judged ? Decision::kAlreadyConverted
                                                                  : Decision::kPartlyConverted;
}

// `configArea` is the unit's 0x4000..0x7FFF before the run.
Decision decide(const FirmwarePackage& package, const std::string& reply, const std::uint8_t* configArea) {
  const UnitTable& table = *package.unitTable;
  const bool pro = package.packageIsPro != 0;
  Decision decision;
  decision.sum = sumRead(reply);
  for (std::uint32_t row = 0; decision.sum && row < kUnitTableRows && decision.row == kUnitTableRows; ++row)
    if (table.sum[row] == *decision.sum) decision.row = row;
  const bool identified = decision.row < kUnitTableRows;
  // A unit no row knows is taken as the first row's build.
  const RevisionCode unit = table.rev[identified ? decision.row : 0];
  const auto crosses = [&](RevisionCode threshold) {
    return revisionOrder(unit, threshold) < 0 && revisionOrder(package.packageRevision, threshold) >= 0;
  };
  if (identified) {
    const bool otherModel = (table.id[decision.row] != 0) != pro;
    const bool newerBuild = revisionOrder(unit, package.packageRevision) > 0;
    decision.kind = otherModel ? Decision::kWrongModel : newerBuild ? Decision::kAsked : Decision::kConfirmed;
    decision.configMode = crosses(kLegacyRecordsBefore) ? 1 : pro && crosses(kProRecordsFrom) ? 2 : 0;
  } else {
    decision.legacyRecord0 = recordValid(configArea, sim::RecordLayout::Legacy);
    decision.configRecord0 = recordValid(configArea, sim::RecordLayout::Config);
    decision.configMode = decision.configRecord0 && pro ? 2 : decision.legacyRecord0 ? 1 : 0;
  }
  if (decision.configMode != 0) decision.configState = configState(package, decision.configMode, configArea);
  decision.hardware = revisionOrder(unit, pro ? kProHardwareBefore : kBaseHardwareBefore) < 0;
  return decision;
}

// ---- The run ----

// Regions a 'D' block may lie in, in the order a run writes them.
enum Region { kConfigRegion, kSoftwareFirst, kSoftwareSecond, kHardwareRegion, kNowhere };

Region regionOf(std::uint32_t address, std::uint32_t length) {
  const std::vector<ImageBlock>& blocks = imageBlocks();
  const auto block = std::lower_bound(blocks.begin(), blocks.end(), address,
                                      [](const ImageBlock& b, std::uint32_t at) { return b.address < at; });
  if (block != blocks.end() && block->address == address) {
    if (length != block->length) return kNowhere;
    return block->hardware ? kHardwareRegion : address < kAreaStart ? kSoftwareFirst : kSoftwareSecond;
  }
  const bool inArea = address >= kAreaStart && std::uint64_t{address} + length <= kWriteBackEnd && length <= 256;
  return inArea ? kConfigRegion : kNowhere;
}

// The worst a whole run may take in virtual time: every wait at its longest,
// every block of every region at its attempt bound, at the slowest line speed.
sim::Ticks worstCaseRunTicks() {
  // The end of the speed ladder opens the port at 1000 baud: no byte goes
  // slower. A reply wait is 9 looks and 8 pauses. Every block attempt may
  // begin with a drain (a block moved again).
  const sim::Ticks ms = sim::kTicksPerMs, byte = sim::byteTicks(1000), reply = 8 * 40 * ms, drain = 100 * ms;
  const sim::Ticks attempts = kMaxBlockAttempts;
  const sim::Ticks upload = drain + 8 * byte + 64 * reply + drain + byte + reply;  // 64 bytes
  const sim::Ticks recordBlock = drain + (8 + 256 + 1) * byte + reply;
  const sim::Ticks imageBlock = drain + (8 + 1024 + 1) * byte + reply;
  // By line: start-up ('E' at 9600; the speed command, the burst and up to 21
  // reads of it, the drain and the check; the five steps of the ladder, 28800
  // down to its end); 'G' and 'H' with every retry; identification, "T" and
  // the speed cap; the layout check (40 blocks) and the readout (236 blocks) in
  // 64-byte uploads, and the write-back, at most 66 blocks of 256 bytes; the
  // closing steps ("K", 'E', "V0", 'T', "V0" with their reads) and the return
  // to speed; the download (display text, 'E', "L000400", "K", every image
  // block); the flash command, or the 'X' of an exit.
  return byte + reply + 7 * byte + 20 * byte + 21 * reply + drain + byte + reply + 5 * (8 * byte + reply) +
         11 * 2 * (byte + 2000 * ms + reply) + 10 * drain +
         15 * byte + 1000 * ms + reply + byte + 8 * byte + reply +
         (40 + 236) * attempts * upload + 4 * 7 * byte + byte + 66 * attempts * recordBlock + 12 * 7 * byte +
         7 * byte + 3 * reply + 8 * byte + reply +
         20 * byte + byte + reply + 8 * byte + (16 + 93 + 177) * attempts * imageBlock + 3 * 7 * byte +
         37 * byte + byte;
}

// How a run ended, from the texts before the prompt.
Ending endingOf(const std::string& tail) {
  static const std::string kFinalTexts =
      "\nNow flashing\n\nDO NOT SHUT OFF UNIT. Wait for unit to turn itself off or\nrequest you to disconnect and "
      "reconnect power.\nAlso, if you've waited over 3 minutes disconnect and reconnect power.\nYou can then turn it "
      "back on\nWhen powered back up you can check sw rev by pressing \"menu\",0,6,0,5\n";
  static const std::string kNoUnitText =
      "\nKorrin not in update mode, serial cable not connected,\nor other sw already using com1. (err1)\nTo put "
      "Korrin in update mode press 'menu',0,6,2,8 on remote\nIf it's already in update mode then press 'exit','menu',"
      "0,6,2,8";
  static const std::string kPortNumberHelpEnd = " korrin-update -c1\n";
  // An ending's texts end with `last` and contain `mark`.
  static const struct { Ending ending; std::string last, mark; } kEndings[] = {
      {Ending::kFlashed, kFinalTexts, ""},
      {Ending::kRefused, "(y/n)\n" + kNotUpdated, ""},
      {Ending::kWrongModel, ")\n" + kNotUpdated, "Unit ID's as "},
      {Ending::kBlockFailed, " attempts\n" + kNotUpdated, "\nBlock at unit address "},
      // Then the PC's ports, whichever it has, and how to number one.
      {Ending::kNoUnit, kPortNumberHelpEnd, kNoUnitText + "\n\nSerial ports on this PC:"},
      {Ending::kNoLineSpeed, "RS232 communication problem. Update exiting\nConnection cannot be made\n", ""},
      {Ending::kConfigSpeedRefused, "Connection failed at check config\n", ""},
      {Ending::kReturnSpeedRefused, "Connection failed after check config\n", ""},
      {Ending::kUsage, kBadPortText, ""},
      {Ending::kUsage, kBadSpeedText, ""},
      {Ending::kUsage, " :Unrecognized option\n", ""},
  };
  for (const auto& known : kEndings)
    if (endsWith(tail, known.last) && contains(tail, known.mark)) return known.ending;
  violated("the run ended with texts that belong to no exit");
}

Ending checkRun(const Run& run) {
  const sim::VirtualLine& line = run.line;
  const sim::UnitLog& log = run.unit.log();
  g_shown = &line;
  static const sim::Ticks bound = worstCaseRunTicks();
  KORRIN_FUZZ_CHECK(run.status == 0 || run.status == 1, "the run returned status %d", run.status);
  KORRIN_FUZZ_CHECK(!line.hung, "the updater read bytes that never come");
  KORRIN_FUZZ_CHECK(line.now <= bound, "the run took %.0f ms, over its bound", line.nowMs());

  // Keys only right after the question or the prompt, the last one right after
  // the one prompt and followed by nothing but the port released as the
  // program ends. Every open names one port; follow whether it is open.
  const std::vector<sim::Event>& events = line.transcript;
  const std::size_t n = events.size();
  std::size_t lastKey = n, lastToUnit = n, lastClose = n, instructions = n, prompts = 0;
  std::string port;
  bool portOpen = false;
  for (std::size_t i = 0; i < n; ++i) {
    const sim::Event& e = events[i];
    if (e.kind == sim::Event::Key) {
      const sim::Event* asked = i > 0 && events[i - 1].kind == sim::Event::Console ? &events[i - 1] : nullptr;
      KORRIN_FUZZ_CHECK(asked && (asked->data == kPrompt || endsWith(asked->data, "(y/n)")), "a key out of turn");
      lastKey = i;
    } else if (e.kind == sim::Event::ToUnit) {
      lastToUnit = i;
    } else if (e.kind == sim::Event::Close) {
      lastClose = i;
      portOpen = false;
    } else if (e.kind == sim::Event::Console) {
      prompts += e.data == kPrompt;
      if (instructions == n && startsWith(e.data, "\nDO NOT SHUT OFF")) instructions = i;
    } else if (e.kind == sim::Event::Open) {
      const bool refused = endsWith(e.data, " refused");
      const std::string name = e.data.substr(0, e.data.size() - (refused ? 8 : 0));
      if (port.empty()) port = name;
      KORRIN_FUZZ_CHECK(name == port, "port %s opened after %s", name.c_str(), port.c_str());
      portOpen = portOpen || !refused;
    }
  }
  KORRIN_FUZZ_CHECK(prompts == 1, "the prompt was printed %zu times", prompts);
  KORRIN_FUZZ_CHECK(lastKey != n && events[lastKey - 1].data == kPrompt, "the last key was not read at the prompt");
  KORRIN_FUZZ_CHECK(std::all_of(events.begin() + lastKey + 1, events.end(),
                                [](const sim::Event& e) { return e.kind == sim::Event::Close; }),
                    "the run went on after the last key");

  const Ending ending = endingOf(run.texts.substr(0, run.texts.size() - kPrompt.size()));
  const char* name = endingName(ending);
  const bool statusOne = ending == Ending::kFlashed || ending == Ending::kWrongModel || ending == Ending::kRefused;
  KORRIN_FUZZ_CHECK(run.status == statusOne, "status %d after %s", run.status, name);
  KORRIN_FUZZ_CHECK(log.bytesAfterExit == 0, "%u bytes sent after 'X'", log.bytesAfterExit);
  KORRIN_FUZZ_CHECK(log.bytesAfterFlash == 0, "%u bytes sent after the flash command", log.bytesAfterFlash);
  KORRIN_FUZZ_CHECK(log.flashed == (ending == Ending::kFlashed), "flash command %d, ending %s", log.flashed, name);
  const std::string wire = line.wire();
  if (log.flashed) {
    KORRIN_FUZZ_CHECK(log.flashCode == "5382", "flash code %s", log.flashCode.c_str());
    KORRIN_FUZZ_CHECK(endsWith(wire, "JFLASHING DONE IN ABOUT 30 SECS\nF5382"), "the wire ends otherwise");
    KORRIN_FUZZ_CHECK(lastClose != n && lastClose > lastToUnit && lastClose < instructions,
                      "the port was not closed between the flash command and the instructions");
  }
  // An exit that leaves the unit closes the port, having sent 'X' last unless a
  // reopen had already failed and there is no port to send it through.
  const bool leavesUnit = ending != Ending::kUsage && ending != Ending::kNoUnit && ending != Ending::kFlashed;
  KORRIN_FUZZ_CHECK(!log.exited || leavesUnit, "the unit was sent out of update mode, ending %s", name);
  KORRIN_FUZZ_CHECK(!leavesUnit || !portOpen, "the port is still open, 'X' sent %d, after %s", log.exited, name);
  KORRIN_FUZZ_CHECK(!log.exited || (endsWith(wire, "X") && lastClose != n && lastClose > lastToUnit),
                    "'X' is not the last byte sent before the port closed, ending %s", name);
  KORRIN_FUZZ_CHECK(ending != Ending::kUsage || (line.opens == 0 && wire.empty()), "a usage error touched the port");

  const std::string& commands = log.commands;
  const std::string beforeT = commands.substr(0, commands.find('T'));
  KORRIN_FUZZ_CHECK(beforeT.find_first_of("DM") == std::string::npos, "memory used before the \"T\"");
  KORRIN_FUZZ_CHECK(ending > Ending::kRefused || (commands.find('T') == std::string::npos && log.writes.empty()),
                    "the run went past identification, ending %s", name);
  KORRIN_FUZZ_CHECK(ending <= Ending::kNoLineSpeed || contains(run.texts, kChecking), "%s without identification",
                    name);

  // Image blocks go in ascending order within their region.
  Region reached = kConfigRegion;
  std::uint32_t previous = 0;
  for (const auto& [address, length] : log.writes) {
    const Region region = regionOf(address, length);
    KORRIN_FUZZ_CHECK(region != kNowhere, "a block of %u bytes written at %06X, in no region", length, address);
    KORRIN_FUZZ_CHECK(region >= reached, "a block written at %06X after a later region", address);
    if (region == kConfigRegion) continue;
    KORRIN_FUZZ_CHECK(region > reached || address >= previous, "block %06X after block %06X", address, previous);
    previous = address;
    reached = region;
  }
  return ending;
}

bool checkIdentification(const Run& run, const Decision& decision, const std::string& after, int firstKey) {
  const FirmwarePackage& package = *run.package;
  const UnitTable& table = *package.unitTable;
  const bool pro = package.packageIsPro != 0, asked = decision.kind == Decision::kAsked;
  const auto keys = std::count_if(run.line.transcript.begin(), run.line.transcript.end(),
                                  [](const sim::Event& e) { return e.kind == sim::Event::Key; });
  // The question about records an earlier run left half converted takes a key too.
  const bool configAsked = contains(run.texts, kPartlyConverted);
  KORRIN_FUZZ_CHECK(keys == (asked ? 2 : 1) + configAsked, "%td keys read, the operator was%s asked", keys,
                    asked ? "" : " not");
  const bool ahead = decision.kind == Decision::kConfirmed || (asked && (firstKey == 'y' || firstKey == 'Y'));
  std::string expected;  // what follows, all of it for a refusal
  if (decision.kind == Decision::kConfirmed) {
    expected = format("Unit confirmed as %s with firmware rev %06x.\n", modelName(pro, true), table.rev[decision.row]);
  } else if (!asked) {
    expected = format("Unit ID's as %s, but this firmware is for a %s (ind:%u)\n",
                      modelName(table.id[decision.row] != 0, true), modelName(pro, true), decision.row);
  } else {
    // The sum questioned is the one read; with no reply that parses, one that no row holds.
    const std::string head = "Could not confirm unit ID (csum=";
    const std::size_t close = startsWith(after, head) ? after.find(")\n", head.size()) : std::string::npos;
    const std::string shown = close == std::string::npos ? "" : after.substr(head.size(), close - head.size());
    unsigned int value = 0;
    KORRIN_FUZZ_CHECK(decision.sum ? shown == format("%x", *decision.sum)
                                   : std::sscanf(shown.c_str(), "%x", &value) == 1 &&
                                         std::find(table.sum, table.sum + kUnitTableRows, value) == std::end(table.sum),
                      "questioned sum \"%s\", the unit said %s", shown.c_str(), decision.sum ? "a sum" : "none");
    expected = head + shown + format(")\nAre you sure you want to run update for %s rev %06x (y/n)\n",
                                     modelName(pro, false), package.packageRevision);
  }
  expected += ahead ? "Update proceeding..\n\n" : kNotUpdated + kPrompt;
  KORRIN_FUZZ_CHECK(ahead ? startsWith(after, expected) : after == expected, "after identification \"%s\", not \"%s\"",
                    visible(after.substr(0, expected.size())).c_str(), visible(expected).c_str());
  const Ending refusal = asked ? Ending::kRefused : Ending::kWrongModel;
  KORRIN_FUZZ_CHECK(ahead ? (run.ending > Ending::kRefused || (configAsked && run.ending == Ending::kRefused)) &&
                                contains(run.unit.log().commands, "T")
                          : run.ending == refusal,
                    "the update %s and ended with %s", ahead ? "went ahead" : "was refused", endingName(run.ending));
  return ahead;
}

// The console's configuration and hardware texts, and the configuration area
// the unit holds, after a flashed update that went ahead with `plan`.
void checkPlanCarriedOut(const Run& run, const Decision& plan) {
  const bool pro = run.package->packageIsPro != 0;
  const struct { const char* text; bool due; } kTexts[] = {
      {"Checking config data..\n", plan.row == kUnitTableRows},
      {"Config is pre 042803\n", plan.legacyRecord0},
      {"Config is pre 101203 for Pro\n", plan.configRecord0 && pro},
      {"Reading config data..\n", plan.configMode != 0},
      {kPartlyConverted.c_str(), plan.configState == Decision::kPartlyConverted},
      {kAlreadyConverted.c_str(), plan.configState == Decision::kAlreadyConverted},
      {"\nSending HW update..", plan.hardware},
  };
  for (const auto& text : kTexts)
    KORRIN_FUZZ_CHECK(contains(run.texts, text.text) == text.due, "\"%s\" was%s printed (configuration mode %d)",
                      visible(text.text).c_str(), text.due ? " not" : "", plan.configMode);

  const sim::RecordLayout from = plan.configMode == 1 ? sim::RecordLayout::Legacy : sim::RecordLayout::Config;
  const sim::RecordLayout to = writesProRecords(*run.package) ? sim::RecordLayout::Pro : sim::RecordLayout::Config;
  std::vector<std::uint8_t> area(run.before.begin() + kAreaStart, run.before.begin() + kAreaEnd);
  // Records an earlier run wrote, wholly or in part, are not converted again.
  if (plan.configMode != 0 && plan.configState == Decision::kFresh) {
    const std::vector<sim::ExpectedRecord> records = sim::expectedRecords(run.before, from, to);
    KORRIN_FUZZ_CHECK(records.size() == 6 || (to == sim::RecordLayout::Pro && records.size() == 5),
                      "the oracle knows no conversion for this plan");
    for (const sim::ExpectedRecord& record : records)
      for (std::size_t i = 0; i < record.bytes.size() && record.address + i < kAreaEnd; ++i)
        area[record.address + i - kAreaStart] = record.bytes[i];
  }
  const std::uint8_t* held = run.unit.log().flashedMemory.data() + kAreaStart;
  KORRIN_FUZZ_CHECK(std::equal(area.begin(), area.end(), held),
                    "configuration area differs at %06zX (mode %d, %zu -> %zu byte records)",
                    kAreaStart + (std::mismatch(area.begin(), area.end(), held).first - area.begin()),
                    plan.configMode, sim::recordBytes(from), sim::recordBytes(to));
}

}  // namespace

// ---- Shared pieces ----

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

FirmwarePackage Input::package() {
  static constexpr RevisionCode kRevisions[] = {0x020904, 0x042403, 0x042303, 0x101203,
                                                0x101103, 0x110503, 0x111103, 0x033101};
  const std::uint8_t choice = byte();
  const std::size_t revision = (choice >> 1) % 9;
  FirmwarePackage package = carriedPackage();
  package.packageIsPro = choice & 1;
  package.packageRevision = (revision < 8 ? kRevisions[revision] : u32()) & 0xFFFFFFu;
  return package;
}

const std::string kPrompt = "\nPress a key to exit program";
const std::string kBadPortText = "Error, usage is -cX to set COM port, where X is 1-4\n";
const std::string kBadSpeedText = "Error, usage is -sX to set RS232 port speed, where X is 0(fastest) to 4(slowest)\n";

void loadOldFirmware(std::vector<std::uint8_t>& memory, std::uint32_t seed) {
  std::uint32_t state = seed * 2654435761u + 12345u;
  const std::uint32_t kParts[][2] = {{0, kAreaStart}, {kAreaEnd, 0x020000}, {kHardwareStart, 0x070000}};
  for (const auto& part : kParts) {
    for (std::uint32_t a = part[0]; a < part[1] && a < memory.size(); ++a) {
      state = state * 1103515245u + 12345u;
      memory[a] = static_cast<std::uint8_t>(state >> 16);
    }
  }
}

bool writesProRecords(const FirmwarePackage& package) {
  return package.packageIsPro != 0 && revisionOrder(package.packageRevision, kProRecordsFrom) >= 0;
}

std::uint16_t wordSum(const std::uint8_t* bytes, std::size_t from, std::size_t to) {
  std::uint32_t sum = 0;
  for (std::size_t i = from; i < to; i += 2) sum += le16(bytes + i);
  return static_cast<std::uint16_t>(sum & 0xFFFFu);
}

std::size_t checksumAt(sim::RecordLayout layout) { return sim::recordBytes(layout) - 4; }

void sealRecord(std::uint8_t* record, sim::RecordLayout layout) {
  const std::size_t at = checksumAt(layout);
  const std::uint16_t sum = wordSum(record, 8, at);
  record[at] = static_cast<std::uint8_t>(sum & 0xFF);
  record[at + 1] = static_cast<std::uint8_t>(sum >> 8);
}

const std::vector<ImageBlock>& imageBlocks() {
  static const std::vector<ImageBlock> blocks = [] {
    const FirmwarePackage& package = carriedPackage();
    std::vector<ImageBlock> all;
    const auto cut = [&](std::uint32_t address, const std::uint8_t* bytes, std::size_t length, bool hardware) {
      for (std::uint32_t at = 0; at < length; at += 1024)
        all.push_back({address + at, bytes + at, static_cast<std::uint32_t>(std::min<std::size_t>(1024, length - at)),
                       hardware});
    };
    cut(0, package.swImage, kAreaStart, false);
    cut(kAreaEnd, package.swImage + kAreaEnd, package.swSize - kAreaEnd, false);
    cut(kHardwareStart, package.hwImage, package.hwSize, true);
    return all;
  }();
  return blocks;
}

const char* endingName(Ending ending) {
  static const char* const kNames[] = {"usage error",        "no unit (E4)",      "no line speed (E5)",
                                       "wrong model (E6)",   "refused (E7)",      "config speed (E8)",
                                       "return speed (E9)",  "block not confirmed", "flashed (E10)"};
  return kNames[static_cast<int>(ending)];
}

// ---- The run ----

Run::~Run() { g_shown = nullptr; }

Ending Run::go(const char* what, const std::vector<std::string>& arguments, const FirmwarePackage& released,
               ReplyPerturbation perturb) {
  package = &released;
  std::map<char, std::uint32_t> counts;
  std::size_t seen = 0;
  // Takes in the blocks written since the last reply; `reply` is the one to
  // the 'C' after the last of them, if that is what came.
  const auto takeWrites = [&](const std::string* reply) {
    const auto& writes = unit.log().writes;
    for (; seen < writes.size(); ++seen)
      lastReplies[writes[seen].first] = reply && seen + 1 == writes.size() ? std::optional(*reply) : std::nullopt;
  };
  // Lets `perturb` have its say on each reply, then records the identification
  // reply and each 'D' block with the reply to the 'C' after it.
  unit.faults.replyHook = [&](char command, std::string& reply, std::uint32_t& delayMs) {
    const std::string honest = reply;
    const std::uint32_t index = counts[command]++;
    if (perturb) perturb(command, index, reply, delayMs);
    const std::string& commands = unit.log().commands;
    const bool confirmsUpload = command == 'C' && commands.size() >= 2 && commands[commands.size() - 2] == 'M';
    if (reply != honest && (command == 'M' || confirmsUpload)) uploadRepliesChanged = true;
    if (command == 'C' && !identReply && unit.log().writes.size() == seen && unit.addressRegister() == 0x008000 &&
        unit.lengthRegister() == 0x00E000)
      identReply = reply;
    takeWrites(command == 'C' ? &reply : nullptr);
  };
  std::vector<const char*> argv{"korrin-update"};
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);
  status = runUpdater(static_cast<int>(argv.size() - 1), argv.data(), released);
  unit.faults.replyHook = nullptr;
  takeWrites(nullptr);  // the last blocks' 'C' got no answer
  // With KORRIN_FUZZ_TRACE set, one line per run on stderr: how it ended, and
  // what the unit went through. For looking at what seeds reach.
  static const bool tracing = std::getenv("KORRIN_FUZZ_TRACE") != nullptr;
  if (tracing) {
    const sim::UnitLog& log = unit.log();
    const std::string console = line.console();
    std::fprintf(stderr, "[%s] status %d, %.0f ms, %zu writes, %zu commands, flashed %d, exited %d, speed %u: ...%s\n",
                 what, status, line.nowMs(), log.writes.size(), log.commands.size(), log.flashed, log.exited,
                 line.pcSpeed, visible(console.substr(console.size() > 60 ? console.size() - 60 : 0)).c_str());
  }
  for (const sim::Event& e : line.transcript)
    if (e.kind == sim::Event::Console && !startsWith(e.data, "Info: ret ")) texts += e.data;
  return ending = checkRun(*this);
}

bool Run::checkDecisions(int firstKey, bool checkConfig) {
  const std::size_t at = texts.find(kChecking);
  if (at == std::string::npos) return false;  // checkRun saw it end finding no unit or no line speed
  const Decision decision = decide(*package, identReply.value_or(""), before.data() + kAreaStart);
  const bool ahead = checkIdentification(*this, decision, texts.substr(at + kChecking.size()), firstKey);
  if (!ahead || ending != Ending::kFlashed) return ahead;
  const bool hardwareSent = checkImages(true);
  KORRIN_FUZZ_CHECK(hardwareSent == decision.hardware, "the hardware image was%s sent, it was%s due",
                    hardwareSent ? "" : " not", decision.hardware ? "" : " not");
  if (checkConfig) checkPlanCarriedOut(*this, decision);
  return ahead;
}

bool Run::checkImages(bool repliesRead) const {
  const bool hardwareSent = lastReplies.lower_bound(kHardwareStart) != lastReplies.end();
  const std::vector<std::uint8_t>& flashed = unit.log().flashedMemory;  // the unit's whole memory
  for (const ImageBlock& block : imageBlocks()) {
    const std::uint8_t* held = flashed.data() + block.address;
    const bool sent = !block.hardware || hardwareSent;
    // Image blocks do not overlap, and checkRun saw none written at another
    // length or before a block of an earlier region: what the unit holds is
    // what the last attempt at the block carried.
    KORRIN_FUZZ_CHECK(std::memcmp(held, sent ? block.bytes : before.data() + block.address, block.length) == 0,
                      "at the flash the block at %06X %s", block.address,
                      sent ? "does not hold the image's bytes" : "changed, no hardware block was sent");
    if (!sent) continue;
    const auto last = lastReplies.find(block.address);
    KORRIN_FUZZ_CHECK(last != lastReplies.end(), "flashed although the block at %06X was never sent", block.address);
    const std::optional<std::string>& reply = last->second;
    const std::uint32_t sum = std::accumulate(block.bytes, block.bytes + block.length, 0u);
    KORRIN_FUZZ_CHECK(!repliesRead || (reply && sumRead(*reply) == sum),
                      "flashed although the last attempt at %06X got %s \"%s\", not the sum %X", block.address,
                      reply ? "the reply" : "no reply", visible(reply.value_or("")).c_str(), sum);
  }
  return hardwareSent;
}

}  // namespace korrin::fuzz
