#include "fuzz_support.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>

#include "app/updater.h"
#include "scenarios.h"

namespace korrin::fuzz {

using sim::RecordLayout;

namespace {

const sim::VirtualLine* g_shown = nullptr;

// Thresholds of the revision decisions, as the unit's firmware history has them.
constexpr RevisionCode kLegacyRecordsBefore = 0x042403, kProRecordsFrom = 0x101203;
constexpr RevisionCode kBaseHardwareBefore = 0x111103, kProHardwareBefore = 0x110503;

// No hang: every command the unit took, with its bytes and the wait for its
// reply, within 5 s (a 1024-byte block takes 4.3 s at 2400 baud, the slowest
// speed of the ladder), and ten minutes for what it did not hear.
constexpr sim::Ticks kCommandBoundTicks = 5 * sim::kTicksPerSecond, kUnheardBoundTicks = 600 * sim::kTicksPerSecond;

const std::string kPrompt = "\nPress a key to exit program";
const std::string kChecking = "\nChecking version..\n";

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}
bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Year byte first, then month, then day.
bool earlier(RevisionCode a, RevisionCode b) {
  const auto key = [](RevisionCode c) { return (c & 0xFFu) << 16 | (c >> 16 & 0xFFu) << 8 | (c >> 8 & 0xFFu); };
  return key(a) < key(b);
}

// What the updater reads of a 'C' reply: 11 characters, up to a NUL.
std::optional<std::uint32_t> sumRead(const std::string& reply) {
  unsigned int value = 0;
  if (std::sscanf(reply.substr(0, 11).c_str(), "CS=%8x", &value) != 1) return std::nullopt;
  return value;
}

// The exit a run took, from the text it printed before the prompt.
Ending endingOf(const std::string& console) {
  const std::string notUpdated = "\nFirmware not updated...Exiting\n";
  static const std::pair<std::string, Ending> kLastTexts[] = {
      {"\"menu\",0,6,0,5\n", Ending::kFlashed},
      {"(y/n)" + notUpdated, Ending::kRefused},
      {")" + notUpdated, Ending::kWrongModel},
      {" attempts" + notUpdated, Ending::kFailed},
      {" checks" + notUpdated, Ending::kFailed},     // the unit does not hold what was sent or read
      {"not flashed" + notUpdated, Ending::kFailed},  // no sum of what the run must leave as it was
      {"by hand." + notUpdated, Ending::kFailed},     // records this run did not read overwritten
      {"pulled out?)" + notUpdated, Ending::kFailed},
      {" check config\n", Ending::kFailed},
      {" korrin-update -c1\n", Ending::kNoUnit},
      {"Connection cannot be made\n", Ending::kNoLineSpeed},
      {"X is 1-4\n", Ending::kUsage},
      {"4(slowest)\n", Ending::kUsage},
      {" :Unrecognized option\n", Ending::kUsage},
  };
  for (const auto& [last, ending] : kLastTexts)
    if (endsWith(console, last + kPrompt)) return ending;
  // No sum of a region about to be read: its address ends the line.
  const std::string noSum = "\nThe unit did not answer a memory sum at ";
  const std::size_t at = console.rfind(noSum);
  if (at != std::string::npos && console.compare(at + noSum.size() + 6, std::string::npos, notUpdated + kPrompt) == 0)
    return Ending::kFailed;
  violated("the run ended with texts that belong to no exit");
}

}  // namespace

void violated(const char* pattern, ...) {
  std::fprintf(stderr, "\nPROPERTY VIOLATED: ");
  va_list args;
  va_start(args, pattern);
  std::vfprintf(stderr, pattern, args);
  va_end(args);
  const std::string console = g_shown ? g_shown->console() : "";
  std::fprintf(stderr, "\n--- end of the console ---\n%s\n---\n",
               console.c_str() + console.size() - std::min<std::size_t>(console.size(), 1500));
  std::abort();
}

std::string Input::bytes(std::size_t count) {
  const std::size_t take = std::min(count, size - at);
  at += take;
  return std::string(reinterpret_cast<const char*>(data + at - take), take);
}

FirmwarePackage Input::package() {
  static constexpr RevisionCode kRevisions[] = {0x020904, 0x042403, 0x042303, 0x101203,
                                                0x101103, 0x110503, 0x111103, 0x033101};
  const std::uint8_t choice = byte();
  const std::uint32_t revision = (choice >> 1) % 9;  // 8: any, from four more bytes
  FirmwarePackage package = carriedPackage();
  package.packageIsPro = choice & 1;
  package.packageRevision = (revision < 8 ? kRevisions[revision] : u32()) & 0xFFFFFFu;
  return package;
}

std::pair<RecordLayout, RecordLayout> recordLayouts(ConfigMode mode, const FirmwarePackage& package) {
  const bool proRecords = package.packageIsPro != 0 && !earlier(package.packageRevision, kProRecordsFrom);
  return {mode == ConfigMode::Legacy ? RecordLayout::Legacy : RecordLayout::Config,
          proRecords ? RecordLayout::Pro : RecordLayout::Config};
}

Run::~Run() { g_shown = nullptr; }

Ending Run::go(const std::vector<std::string>& arguments, const FirmwarePackage& released, Perturbation perturb) {
  package = &released;
  before = unit.memory();
  g_shown = &line;
  std::map<char, std::uint32_t> counts;
  unit.faults.replyHook = [&](char command, std::string& reply, std::uint32_t& delayMs) {
    if (perturb) perturb(command, counts[command]++, reply, delayMs);
    if (command == 'C' && unit.log().writes.empty() && unit.addressRegister() == kIdentWindowAddress &&
        unit.lengthRegister() == kIdentWindowLength)
      identReplies.push_back(reply);
  };
  std::vector<const char*> argv{"korrin-update"};
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);
  status = runUpdater(static_cast<int>(argv.size() - 1), argv.data(), released);
  unit.faults.replyHook = nullptr;
  console = line.console();
  ending = endingOf(console);

  const sim::UnitLog& log = unit.log();
  const std::vector<sim::Event>& events = line.transcript;
  const int exit = static_cast<int>(ending);
  KORRIN_FUZZ_CHECK(
      !line.hung && line.now <= kUnheardBoundTicks + kCommandBoundTicks * static_cast<sim::Ticks>(log.commands.size()),
      "a hang, or %zu commands in %.0f ms", log.commands.size(), line.nowMs());
  // Keys only right after a question or the prompt; one prompt, its key the last but for closing the port.
  std::size_t prompts = 0, last = 0;
  for (std::size_t i = 1; i < events.size(); ++i) {
    const sim::Event& asked = events[i - 1];
    prompts += events[i].kind == sim::Event::Console && events[i].data == kPrompt;
    last = events[i].kind == sim::Event::Close ? last : i;
    KORRIN_FUZZ_CHECK(events[i].kind != sim::Event::Key || (asked.kind == sim::Event::Console &&
                                                            (asked.data == kPrompt || endsWith(asked.data, "(y/n)"))),
                      "a key read out of turn");
  }
  KORRIN_FUZZ_CHECK(
      prompts == 1 && last > 0 && events[last].kind == sim::Event::Key && events[last - 1].data == kPrompt,
      "the run does not end with one prompt and its key (%zu prompts)", prompts);
  const bool statusOne = ending == Ending::kFlashed || ending == Ending::kWrongModel || ending == Ending::kRefused;
  KORRIN_FUZZ_CHECK(status == statusOne, "status %d at exit %d", status, exit);
  KORRIN_FUZZ_CHECK(log.bytesAfterExit == 0 && log.bytesAfterFlash == 0, "%u bytes sent after 'X', %u after the flash",
                    log.bytesAfterExit, log.bytesAfterFlash);
  KORRIN_FUZZ_CHECK(log.flashed == (ending == Ending::kFlashed) && (!log.flashed || log.flashCode == "5382"),
                    "flash command %d (code %s) at exit %d", log.flashed, log.flashCode.c_str(), exit);
  const std::string wire = line.wire();
  KORRIN_FUZZ_CHECK(!log.exited || (ending > Ending::kNoUnit && ending < Ending::kFlashed && endsWith(wire, "X")),
                    "'X' sent, then more, or at exit %d", exit);
  KORRIN_FUZZ_CHECK(ending != Ending::kUsage || (line.opens == 0 && wire.empty()), "a usage error touched the port");
  KORRIN_FUZZ_CHECK(log.commands.substr(0, log.commands.find('T')).find_first_of("DM") == std::string::npos,
                    "memory used before the \"T\"");
  KORRIN_FUZZ_CHECK(ending <= Ending::kNoLineSpeed || contains(console, kChecking), "exit %d without identification",
                    exit);
  return ending;
}

bool Run::checkImages() const {
  const std::vector<std::uint8_t>& flashed = unit.log().flashedMemory;
  std::set<std::uint32_t> sent;
  for (const auto& write : unit.log().writes) sent.insert(write.first);
  const bool hardwareSent = sent.lower_bound(kHardwareAddress) != sent.end();
  // The images over the old memory; the configuration area is judged apart.
  std::vector<std::uint8_t> expected = before;
  std::copy(package->swImage, package->swImage + package->swSize, expected.begin());
  if (hardwareSent)
    std::copy(package->hwImage, package->hwImage + package->hwSize, expected.begin() + kHardwareAddress);
  std::copy(flashed.begin() + kConfigAreaAddress, flashed.begin() + kSoftwareSecondPartAddress,
            expected.begin() + kConfigAreaAddress);
  const auto differs = std::mismatch(flashed.begin(), flashed.end(), expected.begin()).first;
  KORRIN_FUZZ_CHECK(differs == flashed.end(), "at the flash the unit holds other bytes at %06tX",
                    differs - flashed.begin());
  // Every block sent, also where the old memory happened to hold the image's bytes.
  const std::pair<std::size_t, std::size_t> kImages[] = {{0, kConfigAreaAddress},
                                                         {kSoftwareSecondPartAddress, package->swSize},
                                                         {kHardwareAddress, kHardwareAddress + package->hwSize}};
  for (const auto& [start, end] : kImages)
    for (std::size_t address = start; address < end && (address < kHardwareAddress || hardwareSent); address += 1024)
      KORRIN_FUZZ_CHECK(sent.count(static_cast<std::uint32_t>(address)),
                        "flashed although the block at %06zX was never sent", address);
  return hardwareSent;
}

void Run::checkDecisions(int firstKey, bool checkConfig) {
  const std::size_t at = console.find(kChecking);
  if (at == std::string::npos) return;  // go() saw it end finding no unit or no line speed
  const std::string after = console.substr(at);
  const UnitTable& table = *package->unitTable;
  const bool pro = package->packageIsPro != 0;
  // A short reply is believed only when its repeat agrees.
  const bool agreed =
      !identReplies.empty() && std::equal(identReplies.begin() + 1, identReplies.end(), identReplies.begin());
  const std::optional<std::uint32_t> sum = agreed ? sumRead(identReplies[0]) : std::nullopt;
  const auto row =
      static_cast<std::uint32_t>(std::find(table.sum, table.sum + kUnitTableRows, sum.value_or(0)) - table.sum);
  const bool known = sum && row < kUnitTableRows;
  const RevisionCode unitRevision = table.rev[known ? row : 0];  // row 0 stands in for an unknown unit
  const bool wrongModel = known && (table.id[row] != 0) != pro;
  const bool asked = !wrongModel && (!known || earlier(package->packageRevision, unitRevision));
  const bool ahead = !wrongModel && (!asked || firstKey == 'y' || firstKey == 'Y');
  const bool configAsked = contains(after, "\nConfig partly converted by an earlier run, and no copy");
  char shown[32];
  std::snprintf(shown, sizeof shown, "(csum=%x)\n", sum.value_or(0xFFFFFFFFu));
  KORRIN_FUZZ_CHECK(line.keysRead() == 1 + asked + configAsked && contains(after, "Unit ID's as ") == wrongModel &&
                        contains(after, "Unit confirmed as ") == (!asked && !wrongModel) &&
                        (!asked || contains(after, shown)),
                    "identified otherwise than the unit table says (row %u, asked %d, %d keys, %s)", row, asked,
                    line.keysRead(), shown);
  KORRIN_FUZZ_CHECK(ahead == contains(unit.log().commands, "T"), "the update %s", ahead ? "stopped" : "went ahead");
  if (!ahead || ending != Ending::kFlashed) return;

  // A unit that reports this release's own build may hold a cut download:
  // it gets the hardware image unless its hardware region already holds it.
  const bool ownBuild = known && !asked && unitRevision == package->packageRevision;
  const bool hardwareWhole = std::equal(package->hwImage, package->hwImage + package->hwSize,
                                        before.begin() + kHardwareAddress);
  const bool hardwareDue =
      earlier(unitRevision, pro ? kProHardwareBefore : kBaseHardwareBefore) || (ownBuild && !hardwareWhole);
  KORRIN_FUZZ_CHECK(checkImages() == hardwareDue, "the hardware image was%s due", hardwareDue ? "" : " not");
  if (!checkConfig) return;
  const std::uint8_t* area = before.data() + kConfigAreaAddress;
  const auto crosses = [&](RevisionCode limit) {
    return earlier(unitRevision, limit) && !earlier(package->packageRevision, limit);
  };
  // The conversion due: a known unit's follows from its revision and the
  // release's; an unknown unit's records are judged by record 0.
  ConfigMode mode = ConfigMode::None;
  if (known) {
    if (crosses(kLegacyRecordsBefore)) {
      mode = ConfigMode::Legacy;
    } else if (pro && crosses(kProRecordsFrom)) {
      mode = ConfigMode::ConfigOnPro;
    }
  } else if (pro && sim::recordValid(area, RecordLayout::Config)) {
    mode = ConfigMode::ConfigOnPro;
  } else if (sim::recordValid(area, RecordLayout::Legacy)) {
    mode = ConfigMode::Legacy;
  }
  const auto [from, to] = recordLayouts(mode, *package);
  // Records valid in the new layout and not in the old were written by an
  // earlier run: all of them are left alone; only some, and the operator is asked.
  std::size_t judged = 0, converted = 0;
  for (std::size_t k = 0; mode != ConfigMode::None && (k + 1) * sim::recordBytes(to) <= kConfigReadoutBytes;
       ++k, ++judged)
    converted += sim::recordValid(area + k * sim::recordBytes(to), to) &&
                 !sim::recordValid(area + k * sim::recordBytes(from), from);
  const RecordLayout recordsAfter = mode != ConfigMode::None && converted == 0 ? to : from;
  sim::Expectation expect{true, false, hardwareDue, from, recordsAfter, before};
  const sim::Verdict verdict = sim::judgeUnit(unit, *package, expect);
  KORRIN_FUZZ_CHECK(verdict.ok && configAsked == (converted > 0 && converted < judged),
                    "%s (conversion %d, %zu of %zu records converted before, operator asked %d)",
                    verdict.report.c_str(), static_cast<int>(mode), converted, judged, configAsked);
}

}  // namespace korrin::fuzz
