// A whole run of the updater against a unit the fuzz input makes up, in virtual time.
//
// The input sets up, in this order (every byte read past its end is 0):
//   mode        honest unit; unit whose replies the input rewrites, each read in
//               its own reply wait ("aligned"); or rewritten freely ("free")
//   package     base or Pro release, and its revision
//   arguments   one of a few command lines
//   identity    the sum the unit reports: a telling row of the unit table, any
//               value, or the release itself loaded in the unit
//   records     legacy, ConfigRecord or Pro layout, or blank; checksums valid
//               or not; record 5 marked or not; a seed
//   keys        what the operator presses
//   line        'H' never answered "HOk", a speed above which the unit is not
//               heard, a count of replies after which it falls silent, or after
//               which the port no longer opens (its mask, time-outs or settings
//               refused, held by another program, gone)
//   faults      honest mode: reply faults that never turn a reply into another
//               valid one, data corrupted on the way (per block, counted, and
//               line noise); other modes: rules that rewrite the replies to
//               chosen commands (input bytes, sums in many spellings, sums off
//               by a little or in high bits, cuts, inserts, delays)
//
// Properties, on top of what every run keeps (fuzz_support.h):
//   - identification decides as an independent model of the unit table says,
//     with the texts, the question and the operator's key;
//   - the flash comes only after every software block, and every hardware block
//     once one was sent, was carried by its last attempt and confirmed by the
//     reply to that attempt's 'C' parsing to the block's sum ("free" mode:
//     carried only, since there a late reply may be read for a later 'C');
//   - honest and aligned modes: the hardware image goes down exactly when the
//     unit's build is older than the threshold, and (when the uploads were not
//     rewritten) the configuration area is converted exactly as the oracle says.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

using namespace korrin;
using namespace korrin::fuzz;

enum class Mode { kHonest, kAligned, kFree };

const std::vector<std::vector<std::string>> kArgumentSets = {
    {}, {"-c2"}, {"-s1"}, {"-s2"}, {"-s3"}, {"-s4"}, {"-s0", "-c4"}, {"update.bin", "-c3", "-s1"},
};
// Rows whose place in the table matters: placeholders, shared sums, thresholds, this release.
constexpr std::uint32_t kTellingRows[] = {0,   1,   3,   25,  32,  81,  94,  95,  120,
                                          137, 140, 143, 146, 155, 158, 159, 160, 161};
constexpr std::size_t kTellingCount = std::size(kTellingRows);
constexpr std::uint32_t kAnswerSpeeds[] = {1000000, 28800, 14400, 9600, 4800, 2400, 1200, 1000000};
constexpr int kKeys[] = {'y', 'y', 'Y', 'n', '\r', 0x1B, 'q', -1};  // -1: no more keys

// The longest a reply may be late and still be read in its own wait at any speed.
constexpr std::uint32_t kInTimeDelayMs = 200;

// Unit addresses of every block a run may write: image blocks and record blocks.
const std::vector<std::uint32_t>& writeAddresses() {
  static const std::vector<std::uint32_t> addresses = [] {
    std::vector<std::uint32_t> all;
    for (const ImageBlock& block : imageBlocks()) all.push_back(block.address);
    for (std::uint32_t size : {2512u, 2808u})
      for (std::uint32_t k = 0; k < 6; ++k)
        for (std::uint32_t at = 0; at < size; at += 256) all.push_back(0x4000 + k * size + at);
    return all;
  }();
  return addresses;
}

// Reply faults that leave a reply unreadable or unchanged in meaning: a sum is
// never cut to another sum, upload characters never shift, and a checksum reply
// leaves nothing behind (the 11 characters read of a longer one would leave the
// rest in front of the next upload block, shifting it by a byte: a plain sum
// does not see a shift, so a block whose dropped last byte is 0 would pass).
sim::ReplyFaultRule honestRule(Input& input) {
  using sim::ReplyFault;
  sim::ReplyFaultRule rule;
  rule.command = "EGHCM"[input.pick(5)];
  rule.first = input.word() % 1024;
  rule.count = input.byte();
  rule.kind = static_cast<ReplyFault>(input.pick(8));
  rule.delayMs = std::min<std::uint32_t>(input.byte(), kInTimeDelayMs);
  const bool cutsSum = rule.kind == ReplyFault::CutShort && (rule.command == 'C' || rule.command == 'M');
  const bool leavesRest = rule.kind == ReplyFault::WithNul || rule.kind == ReplyFault::Extra;
  if (cutsSum || (leavesRest && rule.command == 'C') || (rule.kind == ReplyFault::WithNul && rule.command == 'M'))
    rule.kind = ReplyFault::Lose;
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
  std::uint32_t payloadWord = 0;  // the payload's first four bytes, little-endian
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
    case 12: reply = spellSum(rule.b, honestSum ^ ((rule.a | 1u) << (rule.a % 29))); break;  // wrong bits, high too
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  const std::uint8_t modeChoice = input.byte() % 4;
  const Mode mode = modeChoice == 2 ? Mode::kAligned : modeChoice == 3 ? Mode::kFree : Mode::kHonest;
  const FirmwarePackage package = input.package();
  const std::vector<std::string>& arguments = kArgumentSets[input.pick(kArgumentSets.size())];

  Run run;
  sim::UnitModel& unit = run.unit;
  sim::VirtualLine& line = run.line;
  std::vector<std::uint8_t>& memory = unit.memory();
  const std::size_t identity = input.pick(kTellingCount + 2);
  loadOldFirmware(memory, static_cast<std::uint32_t>(identity));
  if (identity < kTellingCount) {
    unit.setIdentSum(package.unitTable->sum[kTellingRows[identity]]);
  } else if (identity == kTellingCount) {
    unit.setIdentSum(input.u32());
  } else {  // the release itself, whose window's sum the unit reports
    for (std::size_t i = 0; i < package.swSize; ++i)
      if (i < 0x4000 || i >= 0x8000) memory[i] = package.swImage[i];
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
  unit.faults.neverHOk = (lineChoice & 1) != 0;
  unit.faults.maxAnswerSpeed = kAnswerSpeeds[(lineChoice >> 1) % 8];
  if (lineChoice & 0x10) unit.faults.answerLimit = input.word() % 2048;
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
  if (mode == Mode::kHonest) {
    if (input.byte() & 1) {
      unit.faults.noisePerMille = (input.byte() % 64) * 4u;
      unit.faults.noiseSeed = input.byte() + 1u;
    }
    for (std::size_t n = input.pick(7), i = 0; i < n; ++i) unit.faults.replies.push_back(honestRule(input));
    // Blocks stored or sent corrupted, each a counted number of times: the address is read first.
    const auto corrupt = [&input](std::map<std::uint32_t, std::uint32_t>& blocks, std::uint32_t address) {
      blocks[address] = static_cast<std::uint32_t>(input.pick(40));
    };
    for (std::size_t n = input.pick(4), i = 0; i < n; ++i)
      corrupt(unit.faults.corruptWrites, writeAddresses()[input.word() % writeAddresses().size()]);
    for (std::size_t n = input.pick(4), i = 0; i < n; ++i)
      corrupt(unit.faults.corruptReads, 0x4000 + static_cast<std::uint32_t>(input.pick(236)) * 64);
  } else {
    for (std::size_t n = input.pick(9), i = 0; i < n; ++i) {
      // A braced list reads the input in the order written.
      rules.push_back(HookRule{"EGHCM*"[input.pick(6)], input.word() % 1024u, input.byte(), input.byte(),
                               input.byte(), input.byte(), input.bytes(input.pick(33))});
    }
  }

  const bool aligned = mode == Mode::kAligned;
  std::uint32_t replies = 0;
  const auto perturb = [&](char command, std::uint32_t index, std::string& reply, std::uint32_t& delayMs) {
    if (++replies == portFailsAfter) failPort();
    const std::string honest = reply;
    unsigned int honestSum = 0;
    if (std::sscanf(honest.c_str(), "CS=%x", &honestSum) != 1) honestSum = 0;
    for (const HookRule& rule : rules)
      if ((rule.command == '*' || rule.command == command) && index >= rule.first && index - rule.first < rule.count)
        applyHookRule(rule, honestSum, aligned, reply, delayMs);
    // Several late rules on one reply add up; but for "free" mode it must still come within its wait.
    if (mode != Mode::kFree) delayMs = std::min(delayMs, kInTimeDelayMs);
    // The longest reply whose wait takes it in whole; an 'M' reply's rest is drained before the 'C'.
    const std::size_t inTime = command == 'C' ? 11 : command == 'M' ? honest.size() + 16 : 20;
    if (aligned && reply.size() > inTime) reply.resize(inTime);
  };
  run.before = memory;
  const Ending ending = run.go("unit run", arguments, package, perturb);
  if (mode != Mode::kFree) {
    run.checkDecisions(firstKey, mode == Mode::kHonest || !run.uploadRepliesChanged);
  } else if (ending == Ending::kFlashed) {
    run.checkImages(false);
  }
  return 0;
}
