#include "fuzz_support.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>

#include "app/updater.h"
#include "config/config_record.h"
#include "config_oracle.h"
#include "protocol/block_transfer.h"
#include "scenarios.h"

namespace korrin::fuzz {

namespace {

using sim::RecordLayout;

const sim::VirtualLine* g_shown = nullptr;

// Thresholds of the revision decisions, as the unit's firmware history has them.
constexpr RevisionCode kLegacyRecordsBefore = 0x042403, kProRecordsFrom = 0x101203;
constexpr RevisionCode kBaseHardwareBefore = 0x111103, kProHardwareBefore = 0x110503;

// No hang: every block a run may move (layout check, readout, write-back,
// images) at its attempt bound, each attempt well under 30 s at the slowest
// speed, and ten minutes for everything else.
constexpr sim::Ticks kRunBoundTicks = ((40 + 236 + 66 + 286) * kMaxBlockAttempts * 30 + 600) * sim::kTicksPerSecond;

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

// The exit a run took, from the texts it printed last.
Ending endingOf(const std::string& texts) {
  const std::string notUpdated = "\nFirmware not updated...Exiting\n";
  static const std::pair<std::string, Ending> kLastTexts[] = {
      {"\"menu\",0,6,0,5\n", Ending::kFlashed},         {"(y/n)" + notUpdated, Ending::kRefused},
      {")" + notUpdated, Ending::kWrongModel},          {" attempts" + notUpdated, Ending::kFailed},
      {"pulled out?)" + notUpdated, Ending::kFailed},   {" check config\n", Ending::kFailed},
      {"Connection cannot be made\n", Ending::kNoLineSpeed}, {" korrin-update -c1\n", Ending::kNoUnit},
      {"X is 1-4\n", Ending::kUsage}, {"4(slowest)\n", Ending::kUsage}, {" :Unrecognized option\n", Ending::kUsage},
  };
  for (const auto& [last, ending] : kLastTexts)
    if (endsWith(texts, last + kPrompt)) return ending;
  violated("the run ended with texts that belong to no exit");
}

}  // namespace

void violated(const char* pattern, ...) {
  std::fprintf(stderr, "\nPROPERTY VIOLATED: ");
  va_list args;
  va_start(args, pattern);
  std::vfprintf(stderr, pattern, args);
  va_end(args);
  if (g_shown) {
    const std::string console = g_shown->console();
    std::fprintf(stderr, "\n--- end of the console (virtual time %.1f ms) ---\n%s\n---\n", g_shown->nowMs(),
                 console.substr(console.size() > 1500 ? console.size() - 1500 : 0).c_str());
  }
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
  FirmwarePackage package = carriedPackage();
  package.packageIsPro = choice & 1;
  package.packageRevision = ((choice >> 1) % 9 < 8 ? kRevisions[(choice >> 1) % 9] : u32()) & 0xFFFFFFu;
  return package;
}

bool writesProRecords(const FirmwarePackage& package) {
  return package.packageIsPro != 0 && !earlier(package.packageRevision, kProRecordsFrom);
}

Run::~Run() { g_shown = nullptr; }

Ending Run::go(const std::vector<std::string>& arguments, const FirmwarePackage& released, Perturbation perturb) {
  package = &released;
  before = unit.memory();
  g_shown = &line;
  std::map<char, std::uint32_t> counts;
  std::size_t seen = 0;
  // Takes in the blocks written since the last reply; `reply` answered the 'C' after the last of them.
  const auto takeWrites = [&](const std::string* reply) {
    const auto& writes = unit.log().writes;
    for (; seen < writes.size(); ++seen)
      lastReplies[writes[seen].first] = reply && seen + 1 == writes.size() ? std::optional(*reply) : std::nullopt;
  };
  unit.faults.replyHook = [&](char command, std::string& reply, std::uint32_t& delayMs) {
    const std::string honest = reply;
    if (perturb) perturb(command, counts[command]++, reply, delayMs);
    const std::string& commands = unit.log().commands;
    const bool afterUpload = command == 'C' && commands.size() >= 2 && commands[commands.size() - 2] == 'M';
    uploadRepliesChanged = uploadRepliesChanged || (reply != honest && (command == 'M' || afterUpload));
    if (command == 'C' && unit.log().writes.empty() && unit.addressRegister() == kIdentWindowAddress &&
        unit.lengthRegister() == kIdentWindowLength)
      identReplies.push_back(reply);
    takeWrites(command == 'C' ? &reply : nullptr);
  };
  std::vector<const char*> argv{"korrin-update"};
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);
  status = runUpdater(static_cast<int>(argv.size() - 1), argv.data(), released);
  unit.faults.replyHook = nullptr;
  takeWrites(nullptr);  // the last blocks' 'C' got no answer
  for (const sim::Event& e : line.transcript)
    if (e.kind == sim::Event::Console && e.data.rfind("Info: ret ", 0) != 0) texts += e.data;
  ending = endingOf(texts);

  KORRIN_FUZZ_CHECK(!line.hung, "the updater read bytes that never come");
  KORRIN_FUZZ_CHECK(line.now <= kRunBoundTicks, "the run took %.0f ms, over its bound", line.nowMs());
  const std::vector<sim::Event>& events = line.transcript;
  std::size_t prompt = events.size(), prompts = 0;
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (events[i].kind == sim::Event::Console && events[i].data == kPrompt) prompt = i, ++prompts;
    const sim::Event* asked = i > 0 && events[i - 1].kind == sim::Event::Console ? &events[i - 1] : nullptr;
    KORRIN_FUZZ_CHECK(events[i].kind != sim::Event::Key ||
                          (asked && (asked->data == kPrompt || endsWith(asked->data, "(y/n)"))),
                      "a key read out of turn");
  }
  KORRIN_FUZZ_CHECK(prompts == 1 && prompt + 1 < events.size() && events[prompt + 1].kind == sim::Event::Key &&
                        std::all_of(events.begin() + prompt + 2, events.end(),
                                    [](const sim::Event& e) { return e.kind == sim::Event::Close; }),
                    "the run does not end with one prompt and its key (%zu prompts)", prompts);
  const int exit = static_cast<int>(ending);
  const bool statusOne = ending == Ending::kFlashed || ending == Ending::kWrongModel || ending == Ending::kRefused;
  KORRIN_FUZZ_CHECK(status == statusOne, "status %d at exit %d", status, exit);
  const sim::UnitLog& log = unit.log();
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
  KORRIN_FUZZ_CHECK(ending <= Ending::kNoLineSpeed || contains(texts, kChecking), "exit %d without identification", exit);
  return ending;
}

bool Run::checkImages(bool repliesRead) const {
  const std::vector<std::uint8_t>& flashed = unit.log().flashedMemory;
  const bool hardwareSent = lastReplies.lower_bound(kHardwareAddress) != lastReplies.end();
  const struct { std::uint32_t address; const std::uint8_t* bytes; std::size_t size; } kParts[] = {
      {0, package->swImage, kConfigAreaAddress},
      {kSoftwareSecondPartAddress, package->swImage + kSoftwareSecondPartAddress,
       package->swSize - kSoftwareSecondPartAddress},
      {kHardwareAddress, hardwareSent ? package->hwImage : before.data() + kHardwareAddress, package->hwSize},
  };
  for (const auto& part : kParts) {
    for (std::size_t at = 0; at < part.size; at += 1024) {
      const std::uint32_t address = static_cast<std::uint32_t>(part.address + at);
      const std::size_t length = std::min<std::size_t>(1024, part.size - at);
      KORRIN_FUZZ_CHECK(std::memcmp(flashed.data() + address, part.bytes + at, length) == 0,
                        "at the flash the block at %06X holds other bytes", address);
      if (address >= kHardwareAddress && !hardwareSent) continue;
      const auto last = lastReplies.find(address);
      const std::uint32_t sum = std::accumulate(part.bytes + at, part.bytes + at + length, 0u);
      KORRIN_FUZZ_CHECK(last != lastReplies.end() && (!repliesRead || (last->second && sumRead(*last->second) == sum)),
                        "flashed although the block at %06X was %s", address,
                        last == lastReplies.end() ? "never sent" : "not confirmed by its sum");
    }
  }
  const auto unchanged = [&](std::size_t from, std::size_t to) {
    return std::equal(flashed.begin() + from, flashed.begin() + to, before.begin() + from);
  };
  KORRIN_FUZZ_CHECK(unchanged(package->swSize, kHardwareAddress) && unchanged(kHardwareAddress + package->hwSize, flashed.size()),
                    "memory outside the images and the configuration area changed");
  return hardwareSent;
}

void Run::checkDecisions(int firstKey, bool checkConfig) {
  const std::size_t at = texts.find(kChecking);
  if (at == std::string::npos) return;  // go() saw it end finding no unit or no line speed
  const std::string after = texts.substr(at);
  const UnitTable& table = *package->unitTable;
  const bool pro = package->packageIsPro != 0;
  // A short reply is believed only when its repeat agrees.
  const bool agreed = !identReplies.empty() && std::count(identReplies.begin(), identReplies.end(), identReplies[0]) ==
                                                   static_cast<std::ptrdiff_t>(identReplies.size());
  const std::optional<std::uint32_t> sum = agreed ? sumRead(identReplies[0]) : std::nullopt;
  const auto row = static_cast<std::uint32_t>(std::find(table.sum, table.sum + kUnitTableRows, sum.value_or(0)) - table.sum);
  const bool known = sum && row < kUnitTableRows;
  const RevisionCode unitRevision = table.rev[known ? row : 0];  // row 0 stands in for an unknown unit
  const bool wrongModel = known && (table.id[row] != 0) != pro;
  const bool asked = !wrongModel && (!known || earlier(package->packageRevision, unitRevision));
  const bool ahead = !wrongModel && (!asked || firstKey == 'y' || firstKey == 'Y');
  const bool configAsked = contains(texts, "\nConfig partly converted by an earlier run, and no copy");
  KORRIN_FUZZ_CHECK(line.keysRead() == 1 + asked + configAsked, "%d keys read, the operator was%s asked about the unit",
                    line.keysRead(), asked ? "" : " not");
  char shown[32];
  std::snprintf(shown, sizeof shown, "(csum=%x)\n", sum.value_or(0xFFFFFFFFu));
  KORRIN_FUZZ_CHECK(contains(after, "Unit ID's as ") == wrongModel &&
                        contains(after, "Unit confirmed as ") == (!asked && !wrongModel) &&
                        (!asked || contains(after, shown)),
                    "identified otherwise than row %u of the unit table says (asked %d, sum shown %s)", row, asked,
                    shown);
  KORRIN_FUZZ_CHECK(ahead == contains(unit.log().commands, "T"), "the update %s", ahead ? "stopped" : "went ahead");
  if (!ahead || ending != Ending::kFlashed) return;

  const bool hardwareDue = earlier(unitRevision, pro ? kProHardwareBefore : kBaseHardwareBefore);
  KORRIN_FUZZ_CHECK(checkImages(true) == hardwareDue, "the hardware image was%s due", hardwareDue ? "" : " not");
  if (!checkConfig) return;
  const std::uint8_t* area = before.data() + kConfigAreaAddress;
  const auto crosses = [&](RevisionCode limit) {
    return earlier(unitRevision, limit) && !earlier(package->packageRevision, limit);
  };
  // An unknown unit's records are judged by record 0.
  const int mode = known ? (crosses(kLegacyRecordsBefore) ? 1 : pro && crosses(kProRecordsFrom) ? 2 : 0)
                   : sim::recordValid(area, RecordLayout::Config) && pro ? 2
                   : sim::recordValid(area, RecordLayout::Legacy)        ? 1
                                                                          : 0;
  const RecordLayout from = mode == 1 ? RecordLayout::Legacy : RecordLayout::Config;
  const RecordLayout to = writesProRecords(*package) ? RecordLayout::Pro : RecordLayout::Config;
  // Records valid in the new layout and not in the old were written by an
  // earlier run: all of them are left alone; only some, and the operator is asked.
  std::size_t judged = 0, converted = 0;
  for (std::size_t k = 0; mode != 0 && (k + 1) * sim::recordBytes(to) <= kConfigReadoutBytes; ++k, ++judged)
    converted += sim::recordValid(area + k * sim::recordBytes(to), to) &&
                 !sim::recordValid(area + k * sim::recordBytes(from), from);
  KORRIN_FUZZ_CHECK(configAsked == (converted > 0 && converted < judged), "%zu of %zu records converted, asked %d",
                    converted, judged, configAsked);
  sim::Expectation expect;
  expect.hardware = hardwareDue;
  expect.configFrom = from;
  expect.configTo = mode != 0 && converted == 0 ? to : from;
  expect.memoryBefore = before;
  const sim::Verdict verdict = sim::judgeUnit(unit, *package, expect);
  KORRIN_FUZZ_CHECK(verdict.ok, "%s (conversion %d, %zu of %zu records converted before)", verdict.report.c_str(),
                    mode, converted, judged);
}

}  // namespace korrin::fuzz
