// A whole run of the updater against a unit the fuzz input makes up, in
// virtual time. The input (make_corpus.py writes it) gives the mode, the
// package, the command line, the sum the unit reports, its records, the
// operator's keys, the line (replies cut off above a speed or after a count,
// the port failing), then an honest unit's faults, which never turn a reply
// into another valid one, or rules that rewrite replies read each in its own
// wait ("aligned") or freely ("free"). On top of what every run keeps, honest
// and aligned runs keep every decision (the records: honest runs), and in free
// runs, where a late reply may be read for a later 'C', a flash carries the images.
#include <algorithm>
#include <cstdio>
#include <iterator>

#include "config_oracle.h"
#include "fuzz_support.h"
#include "scenarios.h"

namespace {

using namespace korrin;
using namespace korrin::fuzz;

const std::vector<std::string> kArgumentSets[8] = {
    {}, {"-c2"}, {"-s1"}, {"-s2"}, {"-s3"}, {"-s4"}, {"-s0", "-c4"}, {"update.bin", "-c3", "-s1"},
};
// Rows whose place in the table matters: placeholders, shared sums, thresholds, this release.
constexpr std::uint32_t kTellingRows[] = {0,   1,   3,   25,  32,  81,  94,  95,  120,
                                          137, 140, 143, 146, 155, 158, 159, 160, 161};
constexpr std::uint32_t kAnswerSpeeds[] = {1000000, 28800, 14400, 9600, 4800, 2400, 1200, 1000000};
constexpr char kKeys[] = {'y', 'y', 'Y', 'n', '\r', 0x1B, 'q', 0};  // 0: no more keys
constexpr std::uint32_t kInTimeDelayMs = 200;                       // late, yet read in its own wait at any speed

// A sim fault that leaves a reply unreadable or unchanged in meaning: a sum is
// never cut to another sum, nor does a checksum reply leave bytes behind to
// shift the next upload block by one (a plain sum would not see the shift).
sim::ReplyFaultRule honestRule(Input& input) {
  using sim::ReplyFault;
  sim::ReplyFaultRule rule{"EGHCM"[input.pick(5)], input.word() % 1024u, input.byte(),
                           static_cast<ReplyFault>(input.pick(8)),
                           std::min<std::uint32_t>(input.byte(), kInTimeDelayMs)};
  if ((rule.command == 'C' || rule.command == 'M') &&
      (rule.kind == ReplyFault::CutShort || rule.kind == ReplyFault::WithNul ||
       (rule.kind == ReplyFault::Extra && rule.command == 'C')))
    rule.kind = ReplyFault::Lose;
  return rule;
}

struct Rewrite {
  char command;  // '*': every command
  std::uint32_t first, count;
  std::uint8_t op, a, b;
  std::string payload;
};

void rewrite(const Rewrite& rule, std::uint32_t honestSum, bool aligned, std::string& reply, std::uint32_t& delayMs) {
  static const char* const kSpellings[] = {"CS=%08X", "CS=%X",   "CS=%08x",   "CS= %X",     "CS=0x%X", "CS=+%X",
                                           "CS=-%X",  "CS=%09X", "CS=%X\n",   "cs=%08X",    "CS:%08X", " CS=%08X",
                                           "CS=%04X", "CS==%X",  "CS=%08X00", "CS=%08X\r\n"};
  char sum[48];
  const std::uint32_t wrongHigh = honestSum ^ ((rule.a | 1u) << (rule.a % 29));
  std::snprintf(sum, sizeof sum, kSpellings[rule.b % 16],
                rule.op % 8 == 2 ? wrongHigh : honestSum + static_cast<std::int8_t>(rule.a));
  switch (rule.op % 8) {
    case 0: reply = rule.payload; break;
    case 1:
    case 2: reply = sum; break;
    case 3: reply.resize(rule.a % (reply.size() + 1)); break;
    case 4:
      if (!reply.empty()) reply[rule.a % reply.size()] = static_cast<char>(rule.b);
      break;
    case 5: reply.insert(rule.a % (reply.size() + 1), rule.payload); break;
    case 6: delayMs += aligned ? rule.a : rule.a * 8u; break;
    case 7: reply += reply; break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input{data, size};
  const std::uint8_t mode = input.byte() % 4;  // 0, 1 honest; 2 aligned; 3 free
  const FirmwarePackage package = input.package();
  const std::vector<std::string>& arguments = kArgumentSets[input.pick(8)];
  Run run;
  sim::UnitFaults& faults = run.unit.faults;
  sim::VirtualLine& line = run.line;
  std::vector<std::uint8_t>& memory = run.unit.memory();
  const std::uint32_t identity = input.pick(std::size(kTellingRows) + 2);
  std::uint32_t state = identity * 2654435761u + 12345u;
  for (std::uint32_t a = 0; a < 0x70000; ++a)  // an older build
    if (a < kConfigAreaAddress || a >= kSoftwareSecondPartAddress)
      memory[a] = static_cast<std::uint8_t>((state = state * 1103515245u + 12345u) >> 16);
  if (identity < std::size(kTellingRows)) {
    sim::setIdentificationSum(memory, package.unitTable->sum[kTellingRows[identity]]);
  } else if (identity == std::size(kTellingRows)) {
    sim::setIdentificationSum(memory, input.u32() % (0xE000u * 255 + 1));
  } else {  // the release itself, whose window's sum the unit reports
    std::copy(package.swImage + kSoftwareSecondPartAddress, package.swImage + package.swSize,
              memory.begin() + kSoftwareSecondPartAddress);
  }
  const std::uint8_t records = input.byte();
  const std::uint32_t recordSeed = input.byte() + 1u;
  if (records % 4 != 3)  // 3: blank
    sim::fillConfigArea(memory,
                        {static_cast<sim::RecordLayout>(records % 4), recordSeed, !(records & 4), !!(records & 8)});
  for (std::size_t n = input.pick(4), i = 0; i < n; ++i) line.keys += kKeys[input.byte() % 8];
  line.keys.resize(line.keys.find('\0') == std::string::npos ? line.keys.size() : line.keys.find('\0'));
  const int firstKey = line.keys.empty() ? -1 : line.keys[0];

  const std::uint8_t lineChoice = input.byte();
  faults.neverHOk = lineChoice & 1;
  faults.maxAnswerSpeed = kAnswerSpeeds[(lineChoice >> 1) % 8];
  if (lineChoice & 0x10) faults.answerLimit = input.word() % 2048;
  const std::uint32_t portFault = lineChoice & 0x20 ? 1 + input.pick(5) : 0;
  const std::uint32_t portFailsAfter = portFault ? input.word() % 2048 : 0;
  const auto failPort = [portFault, &line] {  // its settings refused, held by another program, or gone
    line.refuseSettings |= portFault >= 1 && portFault <= 3;
    if (portFault == 4) line.busyPorts = line.ports;
    if (portFault == 5) line.ports.clear();
  };
  if (portFailsAfter == 0) failPort();

  if (mode < 2 && input.byte() & 1)
    faults.noisePerMille = (input.byte() % 64) * 4u, faults.noiseSeed = input.byte() + 1u;
  for (std::size_t n = mode < 2 ? input.pick(7) : 0, i = 0; i < n; ++i) faults.replies.push_back(honestRule(input));
  std::vector<Rewrite> rules;
  for (std::size_t n = mode < 2 ? 0 : input.pick(9), i = 0; i < n; ++i)  // a braced list reads in the order written
    rules.push_back(Rewrite{"EGHCM*"[input.pick(6)], input.word() % 1024u, input.byte(), input.byte(), input.byte(),
                            input.byte(), input.bytes(input.pick(33))});

  std::uint32_t replies = 0;
  const auto perturb = [&](char command, std::uint32_t index, std::string& reply, std::uint32_t& delayMs) {
    if (++replies == portFailsAfter) failPort();
    const std::size_t honestSize = reply.size();
    unsigned int honestSum = 0;
    std::sscanf(reply.c_str(), "CS=%x", &honestSum);
    for (const Rewrite& rule : rules)
      if ((rule.command == '*' || rule.command == command) && index >= rule.first && index - rule.first < rule.count)
        rewrite(rule, honestSum, mode == 2, reply, delayMs);
    if (mode == 3) return;
    // In time, and no longer than its wait takes in (an 'M' reply's rest is drained before the 'C').
    delayMs = std::min(delayMs, kInTimeDelayMs);
    if (mode == 2) reply.resize(std::min(reply.size(), command == 'C' ? 11 : command == 'M' ? honestSize + 16 : 20));
  };
  if (run.go(arguments, package, perturb) == Ending::kFlashed && mode == 3) run.checkImages();
  if (mode < 3) run.checkDecisions(firstKey, mode < 2);
  return 0;
}
