// A whole run of the updater against a unit the fuzz input makes up, in virtual time.
//
// The input sets up, in this order (every byte read past its end is 0):
//   mode        honest unit; unit whose replies the input rewrites, each read in
//               its own reply wait ("aligned"); or rewritten freely ("free")
//   package     base or Pro release, and its revision
//   arguments   one of a few command lines
//   identity    the sum the unit reports: a telling row of the unit table, any
//               value, or the release itself loaded in the unit
//   records     configuration area: legacy, ConfigRecord or Pro layout, or blank;
//               checksums valid or not; record 5 marked or not; a seed
//   keys        what the operator presses
//   line        'H' never answered "HOk", a speed above which the unit is not
//               heard, a count of replies after which it falls silent, a count
//               of replies after which the port no longer opens (its mask,
//               time-outs or settings refused, held by another program, gone)
//   faults      honest mode: reply faults that never turn a reply into another
//               valid one (lost, garbled, late within the reply wait, lower
//               case, unpadded; cut short only where no sum is carried; with a
//               NUL or extra characters only where the whole reply is read),
//               data corrupted on the way (per block, counted, and line noise);
//               other modes: rules that rewrite the replies to chosen commands
//               with input bytes, chosen sums in many spellings, sums off by a
//               little or in high bits, cuts, inserts, delays
//
// Properties, on top of what every run keeps (fuzz_support.h: prompt and key,
// time bound, statuses, nothing after 'X' or the flash, no memory use before "T",
// blocks in their regions and order):
//   - identification decides as an independent model of the unit table says,
//     with the texts, the question and the operator's key;
//   - the flash comes only after every software block, and every hardware block
//     once one was sent, was carried by its last attempt and confirmed by the
//     reply the unit gave to that attempt's 'C' parsing to the block's sum
//     ("free" mode: carried only, since there a late reply may be read for a
//     later 'C'); the unit then holds exactly the images;
//   - honest and aligned modes: the hardware image goes down exactly when the
//     unit's build is older than the threshold, and (when the uploads were not
//     rewritten) the configuration area is converted exactly as the oracle says.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

using namespace korrin;
using namespace korrin::fuzz;

enum class Mode { kHonest, kAligned, kFree };

constexpr RevisionCode kRevisions[] = {0x020904, 0x042403, 0x042303, 0x101203,
                                       0x101103, 0x110503, 0x111103, 0x033101};
const std::vector<std::vector<std::string>> kArgumentSets = {
    {}, {"-c2"}, {"-s1"}, {"-s2"}, {"-s3"}, {"-s4"}, {"-s0", "-c4"}, {"update.bin", "-c3", "-s1"},
};
// Rows whose place in the table matters: placeholders, shared sums, thresholds, this release.
constexpr std::uint32_t kTellingRows[] = {0,   1,   3,   25,  32,  81,  94,  95,  120,
                                          137, 140, 143, 146, 155, 158, 159, 160, 161};
constexpr std::size_t kTellingCount = sizeof kTellingRows / sizeof kTellingRows[0];
constexpr char kReplyLetters[] = {'E', 'G', 'H', 'C', 'M'};
constexpr std::uint32_t kAnswerSpeeds[] = {1000000, 28800, 14400, 9600, 4800, 2400, 1200, 1000000};

// The longest a reply may be late and still be read in its own wait at any speed.
constexpr std::uint32_t kInTimeDelayMs = 200;

void loadRelease(std::vector<std::uint8_t>& memory, const FirmwarePackage& package) {
  for (std::size_t i = 0; i < package.swSize; ++i)
    if (i < 0x4000 || i >= 0x8000) memory[i] = package.swImage[i];
}

// Unit addresses of every block a run may write: image blocks and record blocks.
const std::vector<std::uint32_t>& writeAddresses() {
  static const std::vector<std::uint32_t> addresses = [] {
    std::vector<std::uint32_t> all;
    for (const ImageBlock& block : imageBlocks(carriedPackage())) all.push_back(block.address);
    for (std::uint32_t size : {2512u, 2808u})
      for (std::uint32_t k = 0; k < 6; ++k)
        for (std::uint32_t at = 0; at < size; at += 256) all.push_back(0x4000 + k * size + at);
    return all;
  }();
  return addresses;
}

int keyFrom(std::uint8_t choice) {
  static const int kKeys[] = {'y', 'y', 'Y', 'n', '\r', 0x1B, 'q', -1};
  return kKeys[choice % 8];
}

// Reply faults that leave a reply unreadable or unchanged in meaning: a sum is
// never cut to another sum, upload characters never shift, and a checksum reply
// leaves nothing behind (the 11 characters read of a longer one would leave the
// rest in front of the next upload block, shifting it by a byte: a plain sum
// does not see a shift, so a block whose dropped last byte is 0 would pass).
sim::ReplyFaultRule honestRule(Input& input) {
  sim::ReplyFaultRule rule;
  rule.command = kReplyLetters[input.pick(5)];
  rule.first = input.word() % 1024;
  rule.count = input.byte();
  rule.kind = static_cast<sim::ReplyFault>(input.pick(8));
  rule.delayMs = std::min<std::uint32_t>(input.byte(), kInTimeDelayMs);
  const bool carriesData = rule.command == 'C' || rule.command == 'M';
  const bool leavesRest = rule.kind == sim::ReplyFault::WithNul || rule.kind == sim::ReplyFault::Extra;
  if ((rule.kind == sim::ReplyFault::CutShort && carriesData) ||
      (rule.kind == sim::ReplyFault::WithNul && rule.command == 'M') ||
      (leavesRest && rule.command == 'C'))
    rule.kind = sim::ReplyFault::Lose;
  return rule;
}

struct HookRule {
  char command;  // '*': every command
  std::uint32_t first;
  std::uint32_t count;
  std::uint8_t op;
  std::uint8_t a;
  std::uint8_t b;
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

std::uint32_t payloadWord(const std::string& payload) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4 && i < payload.size(); ++i)
    value |= static_cast<std::uint32_t>(static_cast<unsigned char>(payload[i])) << (8 * i);
  return value;
}

void applyHookRule(const HookRule& rule, std::uint32_t honestSum, bool aligned, std::string& reply,
                   std::uint32_t& delayMs) {
  switch (rule.op % 13) {
    case 0: reply = rule.payload; break;
    case 1: reply = spellSum(0, honestSum + static_cast<std::uint32_t>(static_cast<std::int8_t>(rule.a))); break;
    case 2: reply = spellSum(rule.b, payloadWord(rule.payload)); break;
    case 3: reply = spellSum(rule.b, honestSum); break;
    case 4: reply.resize(rule.a % (reply.size() + 1)); break;
    case 5:
      if (!reply.empty()) reply[rule.a % reply.size()] = static_cast<char>(rule.b);
      break;
    case 6: reply.insert(rule.a % (reply.size() + 1), rule.payload); break;
    case 7: reply += rule.payload; break;
    case 8: delayMs += aligned ? rule.a : rule.a * 8u; break;
    case 9: reply.clear(); break;
    case 10:
      for (char& c : reply) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      break;
    case 11: reply += reply; break;
    case 12: reply = spellSum(rule.b, honestSum ^ ((rule.a | 1u) << (rule.a % 29))); break;  // wrong bits, high ones too
  }
}

// Longest reply to each command that its reply wait takes in whole.
std::size_t inTimeLength(char command, const std::string& honest) {
  switch (command) {
    case 'C': return 11;
    case 'M': return honest.size() + 16;  // the rest is drained before the 'C'
    default: return 20;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  const std::uint8_t modeChoice = input.byte() % 4;
  const Mode mode = modeChoice == 2 ? Mode::kAligned : modeChoice == 3 ? Mode::kFree : Mode::kHonest;

  const std::uint8_t packageChoice = input.byte();
  const std::size_t revisionChoice = (packageChoice >> 1) % 9;
  const RevisionCode revision = revisionChoice < 8 ? kRevisions[revisionChoice] : input.u32() & 0xFFFFFFu;
  const FirmwarePackage package = packageVariant(packageChoice & 1, revision);
  const std::vector<std::string>& arguments = kArgumentSets[input.pick(kArgumentSets.size())];

  sim::UnitModel unit;
  std::vector<std::uint8_t>& memory = unit.memory();
  const std::size_t identity = input.pick(kTellingCount + 2);
  loadOldFirmware(memory, static_cast<std::uint32_t>(identity));
  if (identity < kTellingCount) {
    unit.setIdentSum(package.unitTable->sum[kTellingRows[identity]]);
  } else if (identity == kTellingCount) {
    unit.setIdentSum(input.u32());
  } else {
    loadRelease(memory, package);  // the unit reports its own window's sum
  }

  const std::uint8_t records = input.byte();
  const std::uint32_t recordSeed = input.byte();
  if (records % 4 != 3) {
    sim::ConfigAreaSetup setup;
    setup.layout = static_cast<sim::RecordLayout>(records % 4);
    setup.validChecksums = (records & 4) == 0;
    setup.record5Marker = (records & 8) != 0;
    setup.seed = recordSeed + 1;
    sim::fillConfigArea(memory, setup);
  }

  std::string keys;
  int firstKey = -1;
  for (std::size_t n = input.pick(4), i = 0; i < n; ++i) {
    const int key = keyFrom(input.byte());
    if (key < 0) break;
    if (keys.empty()) firstKey = key;
    keys.push_back(static_cast<char>(key));
  }

  sim::VirtualLine line{unit};
  const std::uint8_t lineChoice = input.byte();
  unit.faults.neverHOk = (lineChoice & 1) != 0;
  unit.faults.maxAnswerSpeed = kAnswerSpeeds[(lineChoice >> 1) % 8];
  if (lineChoice & 0x10) unit.faults.answerLimit = input.word() % 2048;
  const std::size_t portFault = lineChoice & 0x20 ? 1 + input.pick(5) : 0;
  const std::uint32_t portFailsAfter = portFault ? input.word() % 2048 : 0;
  const auto failPort = [portFault, &line] {
    switch (portFault) {
      case 1: line.failMask = true; break;
      case 2: line.failTimeouts = true; break;
      case 3: line.failState = true; break;
      case 4: line.busyPorts = line.ports; break;
      case 5: line.ports.clear(); break;
      default: break;
    }
  };
  if (portFault && portFailsAfter == 0) failPort();

  ReplyPerturbation perturb;
  if (mode == Mode::kHonest) {
    // Several late rules on one reply add up; it must still come within its wait.
    perturb = [](char, std::uint32_t, std::string&, std::uint32_t& delayMs) {
      delayMs = std::min(delayMs, kInTimeDelayMs);
    };
    if (input.byte() & 1) {
      unit.faults.noisePerMille = (input.byte() % 64) * 4u;
      unit.faults.noiseSeed = input.byte() + 1u;
    }
    for (std::size_t n = input.pick(7), i = 0; i < n; ++i) unit.faults.replies.push_back(honestRule(input));
    for (std::size_t n = input.pick(4), i = 0; i < n; ++i) {
      const std::uint32_t address = writeAddresses()[input.word() % writeAddresses().size()];
      unit.faults.corruptWrites[address] = static_cast<std::uint32_t>(input.pick(40));
    }
    for (std::size_t n = input.pick(4), i = 0; i < n; ++i) {
      const std::uint32_t address = 0x4000 + static_cast<std::uint32_t>(input.pick(236)) * 64;
      unit.faults.corruptReads[address] = static_cast<std::uint32_t>(input.pick(40));
    }
  } else {
    std::vector<HookRule> rules;
    for (std::size_t n = input.pick(9), i = 0; i < n; ++i) {
      HookRule rule;
      rule.command = "EGHCM*"[input.pick(6)];
      rule.first = input.word() % 1024;
      rule.count = input.byte();
      rule.op = input.byte();
      rule.a = input.byte();
      rule.b = input.byte();
      rule.payload = input.bytes(input.pick(33));
      rules.push_back(std::move(rule));
    }
    const bool aligned = mode == Mode::kAligned;
    perturb = [rules, aligned](char command, std::uint32_t index, std::string& reply, std::uint32_t& delayMs) {
      const std::string honest = reply;
      unsigned int honestSum = 0;
      if (std::sscanf(honest.c_str(), "CS=%x", &honestSum) != 1) honestSum = 0;
      for (const HookRule& rule : rules) {
        if (rule.command != '*' && rule.command != command) continue;
        if (index < rule.first || index - rule.first >= rule.count) continue;
        applyHookRule(rule, honestSum, aligned, reply, delayMs);
      }
      if (aligned) {
        if (reply.size() > inTimeLength(command, honest)) reply.resize(inTimeLength(command, honest));
        delayMs = std::min(delayMs, kInTimeDelayMs);
      }
    };
  }

  line.keys = keys;
  const std::vector<std::uint8_t> before = memory;
  if (portFault && portFailsAfter > 0) {
    perturb = [perturb, failPort, portFailsAfter, replies = std::uint32_t{0}](
                  char command, std::uint32_t index, std::string& reply, std::uint32_t& delayMs) mutable {
      if (++replies == portFailsAfter) failPort();
      if (perturb) perturb(command, index, reply, delayMs);
    };
  }
  UnitWatch watch(unit, package, perturb);
  const int status = runUpdaterWith(arguments, package);
  watch.finish();
  traceRun("unit run", line, unit, status);

  const Ending ending = checkRun(line, unit, package, status);
  const bool identified = ownTexts(line).find("\nChecking version..\n") != std::string::npos;
  if (!identified) {
    KORRIN_FUZZ_CHECK(ending == Ending::kNoUnit || ending == Ending::kNoLineSpeed,
                      "the run ended with %s before identification", endingName(ending));
  } else if (mode != Mode::kFree) {
    const IdentDecision decision = decideIdentification(package, replyAsRead(watch.identReply.value_or("")));
    const bool wentAhead = checkIdentification(line, unit, package, decision, firstKey, ending);
    if (wentAhead && ending == Ending::kFlashed) {
      const UpdatePlan plan = planUpdate(package, decision.row, before.data() + 0x4000);
      const bool hardwareSent = checkFlashedImages(unit, package, watch, before, true);
      KORRIN_FUZZ_CHECK(hardwareSent == plan.hardware, "the hardware image was%s sent, it was%s due",
                        hardwareSent ? "" : " not", plan.hardware ? "" : " not");
      if (mode == Mode::kHonest || !watch.uploadRepliesChanged) checkPlanCarriedOut(line, unit, plan, package, before);
    }
  } else if (ending == Ending::kFlashed) {
    checkFlashedImages(unit, package, watch, before, false);
  }
  showOnViolation(nullptr);
  return 0;
}
