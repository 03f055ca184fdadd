// A whole run of the updater against a unit the fuzz input makes up, in virtual time.
//
// The input sets up, in this order (see make_corpus.py): the mode (an honest
// unit with faults that never turn a reply into another valid one; or one
// whose replies the input rewrites, each read in its own wait, "aligned", or
// freely, "free"); the package; the command line; the sum the unit reports (a
// telling row, any value, or the release itself loaded); its records; the
// operator's keys; the line ("HOk" never sent, the fastest speed heard, a
// reply count after which the unit falls silent or the port fails); then the
// faults or the rewriting rules.
//
// Properties, on top of what every run keeps (fuzz_support.h): honest and
// aligned modes, every decision (fuzz_support.h checkDecisions), the records
// only while no upload reply was rewritten; free mode, where a late reply may
// be read for a later 'C', that a flashed unit holds the images.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>

#include "config_oracle.h"
#include "fuzz_support.h"

namespace {

using namespace korrin;
using namespace korrin::fuzz;

const std::vector<std::vector<std::string>> kArgumentSets = {
    {}, {"-c2"}, {"-s1"}, {"-s2"}, {"-s3"}, {"-s4"}, {"-s0", "-c4"}, {"update.bin", "-c3", "-s1"},
};
// Rows whose place in the table matters: placeholders, shared sums, thresholds, this release.
constexpr std::uint32_t kTellingRows[] = {0, 1, 3, 25, 32, 81, 94, 95, 120, 137, 140, 143, 146, 155, 158, 159, 160, 161};
constexpr std::size_t kTellingCount = std::size(kTellingRows);
constexpr std::uint32_t kAnswerSpeeds[] = {1000000, 28800, 14400, 9600, 4800, 2400, 1200, 1000000};
constexpr int kKeys[] = {'y', 'y', 'Y', 'n', '\r', 0x1B, 'q', -1};  // -1: no more keys
constexpr std::uint32_t kInTimeDelayMs = 200;  // late, yet read in its own wait at any speed

// Every block address a run may write: the images' 1024-byte blocks, and the
// 256-byte blocks of records in either target layout.
const std::vector<std::uint32_t>& writeAddresses() {
  static const std::vector<std::uint32_t> all = [] {
    std::vector<std::uint32_t> addresses;
    for (std::uint32_t at = 0; at < carriedPackage().swSize; at += 1024)
      if (at < kConfigAreaAddress || at >= kSoftwareSecondPartAddress) addresses.push_back(at);
    for (std::uint32_t at = 0; at < carriedPackage().hwSize; at += 1024) addresses.push_back(kHardwareAddress + at);
    for (std::uint32_t size : {2512u, 2808u})
      for (std::uint32_t at = 0; at < 6 * size; at += at % size + 256 < size ? 256 : size - at % size)
        addresses.push_back(kConfigAreaAddress + at);
    return addresses;
  }();
  return all;
}

// A sim fault that leaves a reply unreadable or unchanged in meaning: a sum
// is never cut to another sum, and a checksum reply leaves nothing behind to
// shift the next upload block (a plain sum would not see the shift).
sim::ReplyFaultRule honestRule(Input& input) {
  using sim::ReplyFault;
  sim::ReplyFaultRule rule{"EGHCM"[input.pick(5)], input.word() % 1024u, input.byte(),
                           static_cast<ReplyFault>(input.pick(8)), 0};
  rule.delayMs = std::min<std::uint32_t>(input.byte(), kInTimeDelayMs);
  const bool sumCut = rule.kind == ReplyFault::CutShort && (rule.command == 'C' || rule.command == 'M');
  const bool leavesRest = rule.kind == ReplyFault::WithNul || (rule.kind == ReplyFault::Extra && rule.command == 'C');
  if (sumCut || (leavesRest && (rule.command == 'C' || rule.command == 'M'))) rule.kind = ReplyFault::Lose;
  return rule;
}

struct HookRule {
  char command;  // '*': every command
  std::uint32_t first, count;
  std::uint8_t op, a, b;
  std::string payload;
};

std::string spellSum(std::uint8_t variant, std::uint32_t value) {
  static const char* const kSpellings[] = {
      "CS=%08X", "CS=%X",   "CS=%08x", "CS= %X",  "CS=0x%X", "CS=+%X",    "CS=-%X", "CS=%09X",
      "CS=%X\n", "cs=%08X", "CS:%08X", " CS=%08X", "CS=%04X", "CS=%08X00", "CS==%X", "CS=%08X\r\n",
  };
  char text[48];
  std::snprintf(text, sizeof text, kSpellings[variant % 16], value);
  return text;
}

void applyHookRule(const HookRule& rule, std::uint32_t honestSum, bool aligned, std::string& reply,
                   std::uint32_t& delayMs) {
  std::uint32_t payloadWord = 0;
  for (std::size_t i = 0; i < 4 && i < rule.payload.size(); ++i)
    payloadWord |= static_cast<std::uint32_t>(static_cast<unsigned char>(rule.payload[i])) << (8 * i);
  switch (rule.op % 13) {
    case 0: reply = rule.payload; break;
    case 1: reply = spellSum(0, honestSum + static_cast<std::uint32_t>(static_cast<std::int8_t>(rule.a))); break;
    case 2: reply = spellSum(rule.b, payloadWord); break;
    case 3: reply = spellSum(rule.b, honestSum); break;
    case 4: reply.resize(rule.a % (reply.size() + 1)); break;
    case 5: if (!reply.empty()) reply[rule.a % reply.size()] = static_cast<char>(rule.b); break;
    case 6: reply.insert(rule.a % (reply.size() + 1), rule.payload); break;
    case 7: reply += rule.payload; break;
    case 8: delayMs += aligned ? rule.a : rule.a * 8u; break;
    case 9: reply.clear(); break;
    case 10: for (char& c : reply) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c))); break;
    case 11: reply += reply; break;
    case 12: reply = spellSum(rule.b, honestSum ^ ((rule.a | 1u) << (rule.a % 29))); break;  // wrong in high bits too
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input{data, size};
  const std::uint8_t mode = input.byte() % 4;  // 0, 1 honest; 2 aligned; 3 free
  const FirmwarePackage package = input.package();
  const std::vector<std::string>& arguments = kArgumentSets[input.pick(kArgumentSets.size())];

  Run run;
  sim::UnitFaults& faults = run.unit.faults;
  sim::VirtualLine& line = run.line;
  std::vector<std::uint8_t>& memory = run.unit.memory();
  const std::size_t identity = input.pick(kTellingCount + 2);
  // An older build everywhere but the configuration area.
  std::uint32_t state = static_cast<std::uint32_t>(identity) * 2654435761u + 12345u;
  for (std::uint32_t a = 0; a < 0x70000; ++a) {
    state = state * 1103515245u + 12345u;
    if (a < kConfigAreaAddress || a >= kSoftwareSecondPartAddress) memory[a] = static_cast<std::uint8_t>(state >> 16);
  }
  if (identity < kTellingCount) {
    run.unit.setIdentSum(package.unitTable->sum[kTellingRows[identity]]);
  } else if (identity == kTellingCount) {
    run.unit.setIdentSum(input.u32());
  } else {  // the release itself, whose window's sum the unit reports
    std::copy(package.swImage + kSoftwareSecondPartAddress, package.swImage + package.swSize,
              memory.begin() + kSoftwareSecondPartAddress);
  }
  const std::uint8_t records = input.byte();
  const std::uint32_t recordSeed = input.byte();
  if (records % 4 != 3)  // 3: blank
    sim::fillConfigArea(memory, {static_cast<sim::RecordLayout>(records % 4), recordSeed + 1, (records & 4) == 0,
                                 (records & 8) != 0});
  for (std::size_t n = input.pick(4), i = 0; i < n; ++i) {
    const int key = kKeys[input.byte() % 8];
    if (key < 0) break;
    line.keys.push_back(static_cast<char>(key));
  }
  const int firstKey = line.keys.empty() ? -1 : line.keys[0];

  const std::uint8_t lineChoice = input.byte();
  faults.neverHOk = (lineChoice & 1) != 0;
  faults.maxAnswerSpeed = kAnswerSpeeds[(lineChoice >> 1) % 8];
  if (lineChoice & 0x10) faults.answerLimit = input.word() % 2048;
  const std::size_t portFault = lineChoice & 0x20 ? 1 + input.pick(5) : 0;
  const std::uint32_t portFailsAfter = portFault ? input.word() % 2048 : 0;
  const auto failPort = [portFault, &line] {
    line.failMask = line.failMask || portFault == 1;
    line.failTimeouts = line.failTimeouts || portFault == 2;
    line.failState = line.failState || portFault == 3;
    if (portFault == 4) line.busyPorts = line.ports;
    if (portFault == 5) line.ports.clear();
  };
  if (portFailsAfter == 0) failPort();

  std::vector<HookRule> rules;
  if (mode < 2) {
    if (input.byte() & 1) {
      faults.noisePerMille = (input.byte() % 64) * 4u;
      faults.noiseSeed = input.byte() + 1u;
    }
    for (std::size_t n = input.pick(7), i = 0; i < n; ++i) faults.replies.push_back(honestRule(input));
    // Blocks stored or sent corrupted a counted number of times; the address is read first.
    for (std::size_t n = input.pick(4), i = 0; i < n; ++i) {
      const std::uint32_t address = writeAddresses()[input.word() % writeAddresses().size()];
      faults.corruptWrites[address] = static_cast<std::uint32_t>(input.pick(40));
    }
    for (std::size_t n = input.pick(4), i = 0; i < n; ++i) {
      const std::uint32_t address = kConfigAreaAddress + static_cast<std::uint32_t>(input.pick(236)) * 64;
      faults.corruptReads[address] = static_cast<std::uint32_t>(input.pick(40));
    }
  } else {
    // A braced list reads the input in the order written.
    for (std::size_t n = input.pick(9), i = 0; i < n; ++i)
      rules.push_back(HookRule{"EGHCM*"[input.pick(6)], input.word() % 1024u, input.byte(), input.byte(),
                               input.byte(), input.byte(), input.bytes(input.pick(33))});
  }

  std::uint32_t replies = 0;
  const auto perturb = [&](char command, std::uint32_t index, std::string& reply, std::uint32_t& delayMs) {
    if (++replies == portFailsAfter) failPort();
    const std::string honest = reply;
    unsigned int honestSum = 0;
    if (std::sscanf(honest.c_str(), "CS=%x", &honestSum) != 1) honestSum = 0;
    for (const HookRule& rule : rules)
      if ((rule.command == '*' || rule.command == command) && index >= rule.first && index - rule.first < rule.count)
        applyHookRule(rule, honestSum, mode == 2, reply, delayMs);
    if (mode == 3) return;
    // Read in its own wait: in time, and no longer than the wait takes in (an 'M' reply's rest is drained).
    delayMs = std::min(delayMs, kInTimeDelayMs);
    const std::size_t inTime = command == 'C' ? 11 : command == 'M' ? honest.size() + 16 : 20;
    if (mode == 2 && reply.size() > inTime) reply.resize(inTime);
  };
  const Ending ending = run.go(arguments, package, perturb);
  if (mode != 3) {
    run.checkDecisions(firstKey, mode < 2 || !run.uploadRepliesChanged);
  } else if (ending == Ending::kFlashed) {
    run.checkImages(false);
  }
  return 0;
}
