// What the field does to an update: runs done twice, write-backs cut short,
// copies that are missing or cannot be saved, a unit that falls silent, noise
// on the console, the operator's Ctrl-C, a USB adapter pulled, keys typed
// ahead. The unit must end with exactly one conversion of its records and
// never be flashed with anything else.
#include <gtest/gtest.h>

#include <functional>

#include "harness.h"

namespace korrin {
namespace {

using testing::kPrompt;
using testing::VirtualRun;

const std::string kPartlyConverted =
    "\nConfig partly converted by an earlier run, and no copy saved on this PC matches it:"
    "\nthe config will not be written. Update firmware anyway (y/n)";

TEST(FieldSafetyTest, ARunDoneAgainConvertsTheRecordsOnce) {
  struct Case {
    const char* label;
    const char* scenario;
    std::string keys;
    const char* killedAt;  // the first run is killed as this goes out in a clean run, if given
    std::function<void(sim::UnitFaults&)> fault;  // of the first run
    int copy;  // before the second run the saved copy is 0: there, 1: gone (another PC, removed by hand), 2: damaged
    const char* firstEnd;
    std::string secondShows;
  } const cases[] = {
      {"E9, then again at once, as the exits table advises", "convert", "", nullptr,
       [](sim::UnitFaults& f) { f.replies.push_back({'E', 24, 1, sim::ReplyFault::Lose}); }, 0,
       "Connection failed after check config\n", "Config already converted by an earlier run, left as it is"},
      // Half the identification window is new: the unit is not recognised, and its records are left alone.
      {"a block bound in the software, then again", "convert", "y", nullptr,
       [](sim::UnitFaults& f) { f.corruptWrites[0xC000] = 1000; }, 0, "not confirmed after 32 attempts",
       "Could not confirm unit ID"},
      {"killed in record 2 of the write-back", "convert", "", "A0057A0D", [](sim::UnitFaults&) {}, 0, "",
       "Config partly converted by an earlier run: writing back the copy saved then\n"},
      // An unknown unit's layout is read from record 0, which the cut write-back has already converted.
      {"unknown unit, killed in record 2 of the write-back", "unknown", "y", "A0057A0D", [](sim::UnitFaults&) {}, 0, "",
       "Config partly converted by an earlier run: writing back the copy saved then\n"},
      {"killed in record 2, the copy lost, 'n'", "convert", "n", "A0057A0D", [](sim::UnitFaults&) {}, 1, "",
       kPartlyConverted + "\nFirmware not updated...Exiting\n" + kPrompt},
      // Records 0 to 4 converted, the last one not: still only partly converted.
      {"killed in record 5, the copy damaged, 'y'", "convert", "y", "A007A10D", [](sim::UnitFaults&) {}, 2, "",
       kPartlyConverted + "\nUpdate proceeding..\n\nSending SW update.."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    sim::Ticks killAt = -1;
    if (c.killedAt) {
      VirtualRun clean(c.scenario);  // a run's line is the system's from its making on: one at a time
      clean.line.keys = c.keys;
      clean.run();
      killAt = testing::sentAt(clean.line, c.killedAt);
    }
    VirtualRun first(c.scenario);
    first.line.keys = c.keys;
    first.line.killAt = killAt;
    c.fault(first.unit.faults);
    first.run();
    EXPECT_FALSE(first.unit.log().flashed);
    EXPECT_NE(first.console().find(c.firstEnd), std::string::npos) << first.console();
    if (c.copy == 1) first.line.files.clear();
    for (auto& file : first.line.files) file.second[file.second.size() - 100] ^= c.copy == 2 ? 0x01 : 0x00;
    const std::vector<std::uint8_t> area(first.unit.memory().begin() + 0x4000, first.unit.memory().begin() + 0x8000);
    VirtualRun second(c.scenario);
    testing::runAgain(second, first, c.keys);
    EXPECT_NE(second.console().find(c.secondShows), std::string::npos) << second.console();
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.unit.log().flashed, c.keys != "n");
    if (c.copy != 0) {
      EXPECT_TRUE(std::equal(area.begin(), area.end(), second.unit.memory().begin() + 0x4000))
          << "a configuration area no copy explains was written";
    } else {
      EXPECT_TRUE(second.verdict().ok) << second.verdict().report;
      EXPECT_TRUE(second.line.files.empty()) << "the copy outlived the write-back it protected";
    }
  }
}

// A Pro release's copy is found again too: a Pro unit of 09/11/03 (row 95)
// whose write-back to the Pro layout was killed in record 2.
TEST(FieldSafetyTest, AProReleaseRestoresItsCutWriteBackFromTheCopy) {
  FirmwarePackage pro = carriedPackage();
  pro.packageIsPro = 1;
  const auto proUnit = [&](VirtualRun& run) {
    sim::setIdentificationSum(run.unit.memory(), pro.unitTable->sum[95]);
    sim::fillConfigArea(run.unit.memory(), {sim::RecordLayout::Config, 11, true, false});
    run.expect.hardware = true;
    run.expect.configTo = sim::RecordLayout::Pro;
    run.expect.memoryBefore = run.unit.memory();
  };
  sim::Ticks killAt = -1;
  {
    VirtualRun clean;
    proUnit(clean);
    clean.run({}, pro);
    killAt = testing::sentAt(clean.line, "A0055F0D");
  }
  ASSERT_GT(killAt, 0);
  VirtualRun first;
  proUnit(first);
  first.line.killAt = killAt;
  first.run({}, pro);
  ASSERT_TRUE(first.killed);
  VirtualRun second;
  testing::runAgain(second, first, "", pro);
  second.expect = first.expect;
  EXPECT_NE(second.console().find("writing back the copy saved then"), std::string::npos) << second.console();
  EXPECT_TRUE(second.verdict(pro).ok) << second.verdict(pro).report;
}

TEST(FieldSafetyTest, ACopyThatCannotBeSavedIsAskedAbout) {
  struct Case {
    bool noFolder;
    const char* keys;
    const char* where;
  } const cases[] = {
      {false, "n", sim::VirtualLine::kUserFolder},
      {false, "y", sim::VirtualLine::kUserFolder},
      {true, "n", "there is no folder for it"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.where) + ", " + c.keys);
    VirtualRun run("convert");
    run.line.diskFull = !c.noFolder;
    run.line.noUserFolder = c.noFolder;
    run.line.keys = c.keys;
    run.run();
    EXPECT_NE(run.console().find(std::string("\nCould not save a copy of the config on this PC (") + c.where),
              std::string::npos) << run.console();
    EXPECT_NE(run.console().find(").\nIf the write-back is cut short the config is lost. Write it anyway (y/n)" +
                                 std::string(c.keys[0] == 'y' ? "\n......\nSending SW" : "\nFirmware not updated")),
              std::string::npos) << run.console();
    const bool written = std::any_of(run.unit.log().writes.begin(), run.unit.log().writes.end(),
                                     [](const auto& write) { return write.first < 0x8000 && write.first >= 0x4000; });
    EXPECT_EQ(written, c.keys[0] == 'y');
    run.expect.flashed = c.keys[0] == 'y';
    EXPECT_TRUE(run.verdict().ok) << run.verdict().report;
  }
}

// A unit that falls silent (the cable cut) is given up on within about a
// minute in every transfer, at the fastest and the slowest speed; the
// operator's Ctrl-C is taken at the next safe point, never inside the
// write-back; a pulled adapter ends the run within a second and nothing more
// is sent. None of them flashes.
TEST(FieldSafetyTest, ARunCutShortEndsAtASafePointUnflashed) {
  enum How { Silent, Stop, Pulled };
  struct Case {
    How how;
    const char* speedOption;
    const char* marker;   // it happens as this goes out
    bool recordsWritten;  // all six records as one conversion makes them
  } const cases[] = {
      {Silent, "-s0", "A005000M", false},  {Silent, "-s0", "A0053A0D", false}, {Silent, "-s0", "A00C000D", true},
      {Silent, "-s0", "A050000D", true},   {Silent, "-s4", "A005000M", false}, {Silent, "-s4", "A00C000D", true},
      {Stop, "-s0", "G", false},           {Stop, "-s0", "A005000M", false},   {Stop, "-s0", "A0053A0D", true},
      {Stop, "-s0", "A00C000D", true},     {Pulled, "-s0", "A005000M", false}, {Pulled, "-s0", "A0053A0D", false},
      {Pulled, "-s0", "V0T", true},        {Pulled, "-s0", "A00C000D", true},  {Pulled, "-s0", "A050000D", true},
  };
  const std::string tails[] = {
      " not confirmed: no answer from the unit in 8 attempts\nFirmware not updated...Exiting\n" + kPrompt,
      "\nStopped at the operator's request\nFirmware not updated...Exiting\n" + kPrompt,
      "\nThe serial port stopped working (cable or USB adapter pulled out?)\nFirmware not updated...Exiting\n" + kPrompt};
  const sim::Ticks within[] = {60 * sim::kTicksPerSecond, 60 * sim::kTicksPerSecond, sim::kTicksPerSecond};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.marker) + " " + c.speedOption + " " + tails[c.how].substr(0, 30));
    VirtualRun clean("convert");
    clean.run({c.speedOption});
    const sim::Ticks at = testing::sentAt(clean.line, c.marker) + sim::kTicksPerMs;
    ASSERT_GT(at, 0);
    VirtualRun run("convert");
    (c.how == Silent ? run.line.cutAt : c.how == Stop ? run.line.stopAt : run.line.vanishAt) = at;
    EXPECT_EQ(run.run({c.speedOption}), 0);
    EXPECT_EQ(testing::tailOf(run.console(), tails[c.how].size()), tails[c.how]);
    EXPECT_LT(run.line.consoleTime(kPrompt) - at, within[c.how]);
    EXPECT_FALSE(run.unit.log().flashed);
    EXPECT_EQ(!sim::firstConfigMismatch(run.unit.memory(), sim::expectedRecords(run.expect.memoryBefore,
                                                                                  sim::RecordLayout::Legacy,
                                                                                  sim::RecordLayout::Config)),
              c.recordsWritten);
    if (c.how == Stop) {
      // 'X' straight after the last checksum request: nothing more is begun.
      EXPECT_EQ(testing::tailOf(run.wire(), 2), "CX");
      EXPECT_EQ(run.unit.log().bytesAfterExit, 0u);
    }
    if (c.how == Pulled) {
      EXPECT_TRUE(std::none_of(run.line.transcript.begin(), run.line.transcript.end(), [&](const sim::Event& e) {
        return e.kind == sim::Event::ToUnit && e.at >= at;
      })) << "nothing can reach a unit whose port has gone";
      EXPECT_EQ(testing::count(run.console(), "cs err"), 0u) << "a repeat notice for a block the port lost";
    }
  }
}

TEST(FieldSafetyTest, OnlyPrintableCharactersFromTheLineReachTheConsole) {
  VirtualRun run("uptodate");
  run.unit.faults.replyHook = [](char command, std::string& reply, std::uint32_t&) {
    if (command == 'H') reply = "\x1b[2J\x07H\xffk ~\x7f";
  };
  run.run();
  const std::string shown = run.console();
  EXPECT_NE(shown.find("Info: ret \\x1b[2J\\x07H\\xffk ~\\x7f\nRetry001:0\n"), std::string::npos) << shown;
  EXPECT_TRUE(std::none_of(shown.begin(), shown.end(),
                           [](char c) { return (c < 0x20 && c != '\n') || static_cast<unsigned char>(c) >= 0x7F; }));
}

// An Enter pressed after the 'y' must not answer the question; keys from a
// script are all meant for the questions, in order.
TEST(FieldSafetyTest, OnlyAKeyPressedAfterTheQuestionAnswersIt) {
  for (const bool console : {true, false}) {
    SCOPED_TRACE(console ? "console: the Enter typed ahead is discarded" : "script: the Enter answers");
    VirtualRun run("unknown");
    run.line.consoleInput = console;
    run.line.typedAhead = "\r";
    run.line.keys = "y";
    EXPECT_EQ(run.run(), 1);
    EXPECT_EQ(run.unit.log().flashed, console);
  }
}

}  // namespace
}  // namespace korrin
