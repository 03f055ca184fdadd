// The interruption matrix: a converting update cut off at one point of one
// phase — the cable cut, the USB adapter pulled, the updater killed (or the PC
// losing power), or the operator's Ctrl-C — then, after the operator has put
// the unit back into update mode, a second run on a healthy line with the PC's
// files as the first run left them. Every row must end with the unit holding
// exactly the release's images and the records of one conversion. The table
// stands in docs/measurements.md; this test fails when a row changes, and prints it.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <map>
#include <memory>

#include "harness.h"

namespace korrin {
namespace {

// Where the first run is cut off: the start of the first PC text that contains
// `marker` in a clean run at `speed`, plus `offsetMs` (into the block being sent).
struct Point {
  const char* name;
  const char* marker;
  double offsetMs;
  const char* speed = "-s0";
};

const Point kPoints[] = {
    {"start-up, waiting for 'G'", "G", 1000},
    {"identification", "A008000L00e000C", 500},
    {"readout, block 0x4000", "A004000M", 20},
    {"readout, block 0x5D00", "A005D00M", 20},
    {"readout, block 0x5000, at 2400 baud", "A005000M", 20, "-s4"},
    {"write-back, record 0, first block", "A004000D", 20},
    {"write-back, record 0, last block", "A004900D", 20},
    {"write-back, record 1, first block", "A0049D0D", 20},
    {"write-back, record 2, middle block", "A0057A0D", 20},
    {"write-back, record 3, first block", "A005D70D", 20},
    {"write-back, record 4, middle block", "A006B40D", 20},
    {"write-back, record 5, last block", "A007A10D", 20},
    {"closing steps", "V0T", 10},
    {"software, block 0x000000", "A000000D", 100},
    {"software, block 0x00C000", "A00C000D", 100},
    {"software, block 0x016000", "A016000D", 100},  // the identification window already this release's
    {"software, block 0x01A000", "A01A000D", 100},
    {"software, block 0x00C000, at 2400 baud", "A00C000D", 100, "-s4"},
    {"software, last block", "A01F000D", 20},
    {"hardware, block 0x040000", "A040000D", 100},
    {"hardware, block 0x056000", "A056000D", 100},
    {"hardware, last block", "A06C000D", 2},
    {"flash command", "JFLASHING", 1},
};

enum Kind { kCableCut, kAdapterPulled, kKilled, kStopped };
const char* const kKinds[] = {"cable cut", "adapter pulled", "updater killed", "operator's Ctrl-C"};

std::string runEnds(const testing::VirtualRun& run) {
  const std::string shown = run.console();
  std::string note;
  if (shown.find("writing back the copy saved then") != std::string::npos) {
    note = ", config from the saved copy";
  } else if (shown.find("already converted") != std::string::npos) {
    note = ", config already converted";
  } else if (shown.find("no copy saved on this PC") != std::string::npos) {
    note = ", config NOT written";
  } else if (run.unit.log().flashed && shown.find("Reading config data") != std::string::npos) {
    note = ", config converted";
  }
  if (shown.find("Could not confirm unit ID") != std::string::npos) note += ", unit not recognised";
  if (shown.find("Checking HW image.. not") != std::string::npos) note += ", HW image not in place";
  return testing::ending(run, false) + note;
}

using Files = std::map<std::string, std::vector<std::uint8_t>>;

// The units' verdicts after their last runs, and what the PC still holds.
std::string unitsAfter(const std::vector<std::pair<const testing::VirtualRun*, const testing::VirtualRun*>>& units,
                       const Files& files, const FirmwarePackage& package = carriedPackage()) {
  std::string wrong;
  for (const auto& [first, last] : units) {
    const sim::Verdict verdict = sim::judgeUnit(last->unit, package, first->expect);
    if (!verdict.ok) wrong += verdict.report;
  }
  std::string out = wrong.empty() ? "exact images and records" : "WRONG: " + wrong;
  if (!files.empty()) out += " (" + std::to_string(files.size()) + " copies left)";
  return out;
}

// The first run must reach its key prompt soon after the cut: a silent unit
// is given up within a minute at any speed, a stop waits only for the
// write-back, a pulled adapter ends the run at the next call on the port
// (after at most the 2 s the unit is given before 'G' and 'H'). The table
// holds each time exactly.
std::string firstRunTime(const testing::VirtualRun& first, Kind kind, sim::Ticks at) {
  if (first.killed || first.unit.log().flashed) return "-";
  const sim::Ticks took = first.line.consoleTime(testing::kPrompt) - at;
  EXPECT_LT(took, (kind == kAdapterPulled ? 5 : 60) * sim::kTicksPerSecond) << kKinds[kind];
  EXPECT_EQ(first.unit.log().bytesAfterExit, 0u);
  // A stop leaves after a reply was read, a region's length was set, or the
  // address register was pointed at the software: nothing half begun.
  const std::string last = testing::tailOf(first.wire(), 8);
  EXPECT_TRUE(kind != kStopped || last.substr(6) == "CX" || last.substr(6) == "EX" || last == "L000400X" ||
              last == "A008000X")
      << last;
  EXPECT_TRUE(kind != kAdapterPulled || testing::count(first.console(), "cs err") == 0)
      << "a repeat notice for a block the port lost";
  char seconds[16];
  std::snprintf(seconds, sizeof seconds, "%.1f", sim::toMs(took) / 1000);
  return seconds;
}

// A row of the table.
std::string cells(std::initializer_list<std::string> texts) {
  std::string out = "|";
  for (const std::string& text : texts) out += " " + text + " |";
  return out + "\n";
}

using SetUp = std::function<void(testing::VirtualRun&)>;

// The first run cut off at `at` in the way `kind` says.
SetUp cutOff(Kind kind, sim::Ticks at) {
  return [kind, at](testing::VirtualRun& run) {
    sim::Ticks* const how[] = {&run.line.cutAt, &run.line.vanishAt, &run.line.killAt, &run.line.stopAt};
    *how[kind] = at;
  };
}

// One run on a PC, from the PC's files as the run before it left them: with
// a fresh 'convert' unit set up as `setUp` says, or with the unit a run before
// left (put back into update mode, 'y' to the questions, `faults` on its line).
std::unique_ptr<testing::VirtualRun> runOn(Files& files, const SetUp& setUp, testing::VirtualRun* before,
                                           const FirmwarePackage& package, const sim::UnitFaults& faults,
                                           const std::vector<const char*>& arguments) {
  auto run = std::make_unique<testing::VirtualRun>();
  if (before) {
    before->line.files = files;
    run->expect = before->expect;
    testing::runAgain(*run, *before, "y", package, faults);
  } else {
    sim::setUpScenario("convert", carriedPackage(), run->unit, run->expect);
    if (setUp) setUp(*run);
    run->line.files = files;
    run->run(arguments, package);
  }
  files = run->line.files;
  return run;
}

// A row of the table: runs on one PC, one after another, each on a unit named
// by a letter, a fresh one the first time, else the same unit run again unless
// it was flashed.
struct Step {
  char unit;
  const char* shown;  // before its ending among the later runs'; nullptr: not shown (the first run's has its column)
  SetUp setUp = {};
  sim::UnitFaults faults = {};
  const FirmwarePackage* package = &carriedPackage();
  std::vector<const char*> arguments = {};
};
struct Story {
  const char* cutAt;
  const char* how;
  bool copiesShown;  // the copies the PC holds after the last run are counted
  std::vector<Step> steps;
  int kind = -1;  // a row of the matrix proper: the first run, cut off at `at`, shows how soon it ended
  sim::Ticks at = 0;
};

std::string told(const Story& story) {
  Files pc;
  std::vector<std::unique_ptr<testing::VirtualRun>> runs;
  std::map<char, std::pair<testing::VirtualRun*, testing::VirtualRun*>> units;  // first and last run of each
  std::string took = "-", later;
  for (const Step& step : story.steps) {
    const auto unit = units.find(step.unit);
    testing::VirtualRun* const before = unit == units.end() ? nullptr : unit->second.second;
    if (before && before->unit.log().flashed) continue;
    runs.push_back(runOn(pc, step.setUp, before, *step.package, step.faults, step.arguments));
    units.try_emplace(step.unit, runs.back().get(), nullptr).first->second.second = runs.back().get();
    if (runs.size() == 1 && story.kind >= 0) took = firstRunTime(*runs[0], Kind(story.kind), story.at);
    if (runs.size() > 1 && step.shown) later += step.shown + runEnds(*runs.back());
  }
  std::vector<std::pair<const testing::VirtualRun*, const testing::VirtualRun*>> judged;
  for (const auto& unit : units) judged.push_back(unit.second);
  return cells({story.cutAt, story.how, runEnds(*runs[0]), took, later.empty() ? "-" : later,
                unitsAfter(judged, story.copiesShown ? pc : Files{}, *story.steps.back().package)});
}

// Unit A's twin but for a 4-byte ID in record 0: a fleet set up alike.
void alike(testing::VirtualRun& run) {
  std::uint8_t* record0 = run.unit.memory().data() + 0x4000;
  for (int i = 16; i < 20; ++i) record0[i] ^= 0x5A;
  sim::sealRecord(record0, sim::RecordLayout::Legacy);
  run.expect.memoryBefore = run.unit.memory();
}
void lastEAnswerLost(testing::VirtualRun& run) { run.unit.faults.replies.push_back({'E', 24, 1, sim::ReplyFault::Lose}); }
SetUp both(SetUp first, SetUp then) {
  return [first, then](testing::VirtualRun& run) { first(run); then(run); };
}

// A Pro unit of 09/11/03 whose records hold a header and one setting each: a
// cut shows about ten converted bytes.
void sparsePro(testing::VirtualRun& run) {
  testing::setUpProUnit(run, 95, {sim::RecordLayout::Config, 11, true, false});
  for (std::size_t k = 0; k < 6; ++k) {
    std::uint8_t* record = run.unit.memory().data() + 0x4000 + k * 2512;
    std::fill(record + 8, record + 2512, 0);
    record[100] = 7;
    sim::sealRecord(record, sim::RecordLayout::Config);
  }
  run.expect.memoryBefore = run.unit.memory();
}

// Write-backs that end worse than one cut (every block they leave must still
// be restored from the copy, and no other unit's run may take the copy away);
// copies of alike units on one PC, a later release's updater, records set up
// with defaults, a unit that stores bytes as they arrive.
std::vector<Story> stories(sim::Ticks inRecord2, sim::Ticks firstBlock, sim::Ticks inProRecord1) {
  const SetUp alikeEndingAtE9 = both(alike, lastEAnswerLost);
  sim::UnitFaults damaged;
  damaged.corruptWrites[0x4AD0] = 1000;  // record 1's second block, in the restore
  static const FirmwarePackage later = [] {
    FirmwarePackage release = carriedPackage();
    release.packageRevision = 0x030104;
    return release;
  }();
  const FirmwarePackage* const pro = &testing::proRelease();
  const char* const inRecord2Text = "write-back, record 2, middle block";
  return {
      {"write-back, record 0, first block", "damaged on every attempt", false,
       {{'A', nullptr, [](testing::VirtualRun& run) { run.unit.faults.corruptWrites[0x4000] = 1000; }}, {'A', ""}}},
      {inRecord2Text, "cable cut, then the restore damaged in record 1", false,
       {{'A', nullptr, cutOff(kCableCut, inRecord2)}, {'A', "", {}, damaged}, {'A', "; third run: "}}},
      {inRecord2Text, "updater killed, then a twin unit updated", false,  // the twin: the very same records
       {{'A', nullptr, cutOff(kKilled, inRecord2)}, {'T', "twin: "}, {'A', "; this unit: "}}},
      {inRecord2Text, "updater killed on unit A, then on an alike unit B; A, then B run again", true,
       {{'A', nullptr, cutOff(kKilled, inRecord2)},
        {'B', nullptr, both(alike, cutOff(kKilled, inRecord2))},
        {'A', "A: "},
        {'B', "; B: "}}},
      {inRecord2Text, "updater killed on unit A; an alike unit B ends at E9 and is run again at once; A run again",
       true, {{'A', nullptr, cutOff(kKilled, inRecord2)}, {'B', "B: ", alikeEndingAtE9}, {'B', ", again: "}, {'A', "; A: "}}},
      // The line cut as the write-back begins: the unit hears only the "K" before it.
      {"write-back, before its first block",
       "cable cut on unit A, A run again; later an alike unit B ends at E9 and is run again", true,
       {{'A', nullptr, cutOff(kCableCut, firstBlock + sim::kTicksPerMs)}, {'A', "A: "}, {'B', "; B: ", alikeEndingAtE9},
        {'B', ", again: "}}},
      {"write-back, record 0, first block, stored in part as it arrives", "cable cut", true,
       {{'A', nullptr,  // about 30 bytes in: 5 of them converted
         both([](testing::VirtualRun& run) { run.unit.faults.storesDataAsItArrives = true; },
              cutOff(kCableCut, firstBlock + 33 * sim::kTicksPerMs))},
        {'A', ""}}},
      {inRecord2Text, "updater killed, run again by the next release's updater (030104)", true,
       {{'A', nullptr, cutOff(kKilled, inRecord2)}, {'A', "", {}, {}, &later}}},
      {"Pro release, records set up with defaults: write-back, record 1, first block", "updater killed", true,
       {{'A', nullptr, both(sparsePro, cutOff(kKilled, inProRecord1)), {}, pro},
        {'A', "", {}, {}, pro}}},
  };
}

TEST(InterruptionMatrixTest, ReadmeTableIsCurrent) {
  // When each point's text goes out in a clean run at its speed.
  std::vector<sim::Ticks> sent(std::size(kPoints));
  sim::Ticks inRecord2 = -1;
  for (const std::string speed : {"-s0", "-s4"}) {
    testing::VirtualRun clean("convert");
    clean.run({speed.c_str()});
    for (std::size_t i = 0; i < sent.size(); ++i)
      if (kPoints[i].speed == speed) sent[i] = testing::sentAt(clean.line, kPoints[i].marker);
    if (speed == "-s0") inRecord2 = testing::sentAt(clean.line, "A0057A0D") + 20 * sim::kTicksPerMs;
  }
  testing::VirtualRun cleanPro;
  sparsePro(cleanPro);
  cleanPro.run({}, testing::proRelease());
  const sim::Ticks inProRecord1 = testing::sentAt(cleanPro.line, "A004AF8D") + 20 * sim::kTicksPerMs;
  std::string current =
      "| Cut off at | How | First run ends | after (s) | Second run ends | Unit after the runs |\n"
      "|---|---|---|---|---|---|\n";
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_GE(sent[i], 0) << kPoints[i].marker;
    const sim::Ticks at = sent[i] + static_cast<sim::Ticks>(kPoints[i].offsetMs * sim::kTicksPerMs);
    // The operator who cut the run knows the unit: asked about it, says yes.
    for (const Kind kind : {kCableCut, kAdapterPulled, kKilled, kStopped})
      current += told({kPoints[i].name, kKinds[kind], false,
                       {{'A', nullptr, cutOff(kind, at), {}, &carriedPackage(), {kPoints[i].speed}}, {'A', ""}},
                       kind, at});
  }
  for (const Story& story : stories(inRecord2, sent[5], inProRecord1)) current += told(story);
  EXPECT_EQ(current.find("WRONG"), std::string::npos) << "an interruption cost the unit its update:\n" << current;
  EXPECT_EQ(testing::readmeTable("interruption-matrix"), current)
      << "The interruption matrix changed. Review, then put this table into docs/measurements.md:\n" << current;
}

}  // namespace
}  // namespace korrin
