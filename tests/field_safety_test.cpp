// What the field does to an update: runs done twice, write-backs cut short,
// a unit that falls silent, noise on the console, the operator's Ctrl-C, a USB
// adapter pulled, keys typed ahead. The unit must end with exactly one
// conversion of its records and never be flashed with anything else.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "harness.h"

namespace korrin {
namespace {

using testing::VirtualRun;

const std::string kPrompt = "\nPress a key to exit program";

struct Judged : VirtualRun {
  sim::Expectation expect;
  explicit Judged(const char* scenario) { EXPECT_TRUE(sim::setUpScenario(scenario, carriedPackage(), unit, expect)); }
  sim::Verdict verdict() const { return sim::judgeUnit(unit, carriedPackage(), expect); }
};

// The same unit back in update mode after a run, on the same PC, faults gone.
void runAgain(Judged& next, VirtualRun& before, const std::string& keys = "") {
  before.unit.reenterUpdateMode();
  before.unit.faults = sim::UnitFaults{};
  next.unit = before.unit;
  next.line.files = before.line.files;
  next.line.keys = keys;
  next.run();
}

TEST(FieldSafetyTest, ARunDoneAgainConvertsTheRecordsOnce) {
  struct Case {
    const char* label;
    const char* scenario;
    std::string keys;
    std::function<void(Judged&, const Judged&)> firstRunFault;  // the run, a clean run of the same unit
    const char* firstEnd;
    const char* secondNote;
  } const cases[] = {
      {"E9, then again at once, as the exits table advises", "convert", "",
       [](Judged& run, const Judged&) { run.unit.faults.replies.push_back({'E', 24, 1, sim::ReplyFault::Lose}); },
       "Connection failed after check config\n", "Config already converted by an earlier run, left as it is"},
      {"a block bound in the software, then again", "convert", "",
       [](Judged& run, const Judged&) { run.unit.faults.corruptWrites[0xC000] = 1000; },
       "not confirmed after 32 attempts",
       "Config already converted by an earlier run, left as it is"},
      {"killed in record 2 of the write-back", "convert", "",
       [](Judged& run, const Judged& clean) { run.line.killAt = testing::sentAt(clean.line, "A0057A0D"); }, "",
       "Config partly converted by an earlier run: writing back the copy saved then\n"},
      // An unknown unit's layout is read from record 0, which the cut write-back has already converted.
      {"unknown unit, killed in record 2 of the write-back", "unknown", "y",
       [](Judged& run, const Judged& clean) { run.line.killAt = testing::sentAt(clean.line, "A0057A0D"); }, "",
       "Config partly converted by an earlier run: writing back the copy saved then\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Judged clean(c.scenario);
    clean.line.keys = c.keys;
    clean.run();
    Judged first(c.scenario);
    first.line.keys = c.keys;
    c.firstRunFault(first, clean);
    try {
      first.run();
    } catch (const sim::Killed&) {
    }
    EXPECT_FALSE(first.unit.log().flashed);
    EXPECT_NE(first.console().find(c.firstEnd), std::string::npos) << first.console();
    Judged second(c.scenario);
    runAgain(second, first, c.keys);
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.console().find(c.secondNote), std::string::npos) << second.console();
    EXPECT_TRUE(second.verdict().ok) << second.verdict().report;
    EXPECT_TRUE(second.line.files.empty()) << "the copy outlived the write-back it protected";
  }
}

TEST(FieldSafetyTest, APartlyConvertedAreaWithoutItsCopyIsNotWritten) {
  const std::string question =
      "\nConfig partly converted by an earlier run, and no copy saved on this PC matches it:"
      "\nthe config will not be written. Update firmware anyway (y/n)";
  for (const char* keys : {"n", "y"}) {
    SCOPED_TRACE(keys);
    Judged clean("convert");
    clean.run();
    Judged first("convert");
    first.line.killAt = testing::sentAt(clean.line, "A0057A0D");  // in record 2
    EXPECT_THROW(first.run(), sim::Killed);
    first.line.files.clear();  // the copy is gone (another PC, or removed by hand)
    const std::vector<std::uint8_t> area(first.unit.memory().begin() + 0x4000, first.unit.memory().begin() + 0x8000);

    Judged second("convert");
    runAgain(second, first, keys);
    EXPECT_NE(second.console().find(question), std::string::npos) << second.console();
    EXPECT_TRUE(std::equal(area.begin(), area.end(), second.unit.memory().begin() + 0x4000))
        << "the configuration area was written";
    if (keys[0] == 'n') {
      EXPECT_EQ(second.status, 1);
      EXPECT_FALSE(second.unit.log().flashed);
      EXPECT_NE(second.console().find(question + "\nFirmware not updated...Exiting\n" + kPrompt), std::string::npos);
    } else {
      EXPECT_TRUE(second.unit.log().flashed);
      EXPECT_NE(second.console().find(question + "\nUpdate proceeding..\n\nSending SW update.."), std::string::npos);
    }
  }
}

TEST(FieldSafetyTest, ACopyThatCannotBeSavedIsAskedAbout) {
  struct Case {
    const char* label;
    bool noFolder;
    const char* keys;
    const char* where;
  } const cases[] = {
      {"disk full, 'n'", false, "n", sim::VirtualLine::kUserFolder},
      {"disk full, 'y'", false, "y", sim::VirtualLine::kUserFolder},
      {"no per-user folder, 'n'", true, "n", "there is no folder for it"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Judged run("convert");
    run.line.diskFull = !c.noFolder;
    run.line.noUserFolder = c.noFolder;
    run.line.keys = c.keys;
    run.run();
    const std::string shown = run.console();
    const std::string asked = "\nCould not save a copy of the config on this PC (";
    EXPECT_NE(shown.find(asked + c.where), std::string::npos) << shown;
    EXPECT_NE(shown.find("If the write-back is cut short the config is lost. Write it anyway (y/n)"),
              std::string::npos);
    const bool written = std::any_of(run.unit.log().writes.begin(), run.unit.log().writes.end(),
                                     [](const auto& write) { return write.first < 0x8000 && write.first >= 0x4000; });
    EXPECT_EQ(written, c.keys[0] == 'y');
    EXPECT_EQ(run.unit.log().flashed, c.keys[0] == 'y');
    if (c.keys[0] == 'y') {
      EXPECT_TRUE(run.verdict().ok) << run.verdict().report;
    }
  }
}

// A unit that falls silent (the cable cut) is given up on within about a
// minute in every transfer, at the fastest and the slowest speed.
TEST(FieldSafetyTest, ASilentUnitIsGivenUpOnWithinAMinute) {
  struct Case {
    const char* label;
    const char* speedOption;
    const char* marker;  // the cable is cut as this goes out
  } const cases[] = {
      {"readout at 14400", "-s0", "A005000M"},
      {"write-back at 14400", "-s0", "A0053A0D"},
      {"software at 28800", "-s0", "A00C000D"},
      {"hardware at 28800", "-s0", "A050000D"},
      {"readout at 2400", "-s4", "A005000M"},
      {"software at 2400", "-s4", "A00C000D"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Judged clean("convert");
    clean.run({c.speedOption});
    const sim::Ticks cut = testing::sentAt(clean.line, c.marker);
    ASSERT_GE(cut, 0);
    Judged run("convert");
    run.line.cutAt = cut;
    run.run({c.speedOption});
    EXPECT_NE(run.console().find("not confirmed: no answer from the unit in 8 attempts\n"), std::string::npos);
    EXPECT_FALSE(run.unit.log().flashed);
    EXPECT_LT(run.line.consoleTime(kPrompt) - cut, 60 * sim::kTicksPerSecond);
  }
}

TEST(FieldSafetyTest, OnlyPrintableCharactersFromTheLineReachTheConsole) {
  Judged run("uptodate");
  run.unit.faults.replyHook = [](char command, std::string& reply, std::uint32_t&) {
    if (command == 'H') reply = "\x1b[2J\x07H\xffk";
  };
  run.run();
  const std::string shown = run.console();
  EXPECT_NE(shown.find("Info: ret \\x1b[2J\\x07H\\xffk\nRetry001:0\n"), std::string::npos) << shown;
  EXPECT_EQ(std::count_if(shown.begin(), shown.end(),
                          [](char c) { return (c < 0x20 && c != '\n') || static_cast<unsigned char>(c) >= 0x7F; }),
            0);
}

// Ctrl-C is taken at the next safe point: between blocks, never inside the
// write-back, which finishes first. Then 'X', the port closed, the prompt.
TEST(FieldSafetyTest, AStopIsTakenAtASafePoint) {
  const std::string stopped = "\nStopped at the operator's request\nFirmware not updated...Exiting\n" + kPrompt;
  struct Case {
    const char* label;
    const char* marker;  // Ctrl-C as this goes out
    bool recordsWritten;
  } const cases[] = {
      {"in the 'G' wait", "G", false},
      {"in the readout", "A005000M", false},
      {"in record 2 of the write-back", "A0053A0D", true},
      {"in the software", "A00C000D", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Judged clean("convert");
    clean.run();
    Judged run("convert");
    run.line.stopAt = testing::sentAt(clean.line, c.marker) + sim::kTicksPerMs;
    EXPECT_EQ(run.run(), 0);
    const std::string shown = run.console();
    ASSERT_GE(shown.size(), stopped.size());
    EXPECT_EQ(shown.substr(shown.size() - stopped.size()), stopped);
    EXPECT_EQ(run.wire().back(), 'X');
    EXPECT_EQ(run.unit.log().bytesAfterExit, 0u);
    EXPECT_FALSE(run.unit.log().flashed);
    EXPECT_TRUE(testing::portClosedAtEnd(run.line));
    const sim::Ticks stopAt = run.line.stopAt;
    EXPECT_GT(run.line.consoleTime("Stopped"), stopAt);
    // The write-back was not cut: all six records are as one conversion makes them.
    const std::vector<sim::ExpectedRecord> records =
        sim::expectedRecords(run.expect.memoryBefore, sim::RecordLayout::Legacy, sim::RecordLayout::Config);
    EXPECT_EQ(!sim::firstConfigMismatch(run.unit.memory(), records).has_value(), c.recordsWritten);
    EXPECT_GE(run.line.stopsReleased, 1);
  }
}

// A pulled adapter fails every call on the port: the run ends within a
// second, says why, and sends nothing more.
TEST(FieldSafetyTest, APulledAdapterEndsTheRunAtOnce) {
  const std::string lost =
      "\nThe serial port stopped working (cable or USB adapter pulled out?)\nFirmware not updated...Exiting\n" + kPrompt;
  for (const char* marker : {"A005000M", "A0053A0D", "V0T", "A00C000D", "A050000D"}) {
    SCOPED_TRACE(marker);
    Judged clean("convert");
    clean.run();
    Judged run("convert");
    run.line.vanishAt = testing::sentAt(clean.line, marker) + 5 * sim::kTicksPerMs;
    EXPECT_EQ(run.run(), 0);
    const std::string shown = run.console();
    ASSERT_GE(shown.size(), lost.size());
    EXPECT_EQ(shown.substr(shown.size() - lost.size()), lost);
    EXPECT_LT(run.line.consoleTime("stopped working") - run.line.vanishAt, sim::kTicksPerSecond);
    EXPECT_FALSE(std::any_of(run.line.transcript.begin(), run.line.transcript.end(), [&](const sim::Event& e) {
      return e.kind == sim::Event::ToUnit && e.at >= run.line.vanishAt;
    })) << "nothing can reach a unit whose port has gone";
  }
}

TEST(FieldSafetyTest, OnlyAKeyPressedAfterTheQuestionAnswersIt) {
  struct Case {
    const char* label;
    bool console;
    int status;
  } const cases[] = {
      {"console: the Enter typed ahead is discarded, 'y' answers", true, 1},
      {"script: every key in order, the Enter answers", false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Judged run("unknown");
    run.line.consoleInput = c.console;
    run.line.typedAhead = "\r";
    run.line.keys = "y";
    EXPECT_EQ(run.run(), c.status);
    EXPECT_EQ(run.unit.log().flashed, c.console);
  }
}

}  // namespace
}  // namespace korrin
