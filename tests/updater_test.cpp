// Whole runs in virtual time: the command line and its usage exits, and every
// road through the update sequence, judged on the wire, on the console and by
// what the unit holds afterwards.
#include <gtest/gtest.h>

#include <algorithm>

#include "harness.h"

namespace korrin {
namespace {

using testing::banner;
using testing::VirtualRun;

const std::string kPrompt = "\nPress a key to exit program";
const std::string kFinalTexts =
    "\nNow flashing\n"
    "\nDO NOT SHUT OFF UNIT. Wait for unit to turn itself off or"
    "\nrequest you to disconnect and reconnect power."
    "\nAlso, if you've waited over 3 minutes disconnect and reconnect power."
    "\nYou can then turn it back on"
    "\nWhen powered back up you can check sw rev by pressing \"menu\",0,6,0,5\n";

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

TEST(CommandLineTest, UsageErrorsSendNothing) {
  const std::string e1 = "Error, usage is -cX to set COM port, where X is 1-4\n";
  const std::string e2 = "Error, usage is -sX to set RS232 port speed, where X is 0(fastest) to 4(slowest)\n";
  struct Case {
    std::vector<const char*> arguments;
    std::string message;
  } const cases[] = {
      {{"-c"}, e1},
      {{"-s"}, e2},
      {{"-c0"}, e1},
      {{"-c5"}, e1},
      {{"-s5"}, e2},
      {{"-c9", "-s1"}, e1},
      {{"-s1", "-c9"}, e1},
      {{"-s9", "-c9"}, e2},
      {{"-c\xB1"}, e1},
      {{"-s "}, e2},
      {{"-x"}, "-x :Unrecognized option\n"},
      {{"-"}, "- :Unrecognized option\n"},
      {{"-C2"}, "-C2 :Unrecognized option\n"},
      {{"update.bin", "--help", "-c9"}, "--help :Unrecognized option\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.back());
    VirtualRun run;
    EXPECT_EQ(run.run(c.arguments), 0);
    EXPECT_EQ(run.console(), banner() + c.message + kPrompt);
    EXPECT_EQ(run.line.opens, 0) << "no port is touched";
    EXPECT_EQ(run.wire(), "");
    ASSERT_FALSE(run.line.transcript.empty());
    EXPECT_EQ(run.line.transcript.back().kind, sim::Event::Key);
  }
}

TEST(CommandLineTest, OptionsChoosePortAndSpeed) {
  struct Case {
    std::vector<const char*> arguments;
    const char* port;
    const char* speedCommand;
  } const cases[] = {
      {{}, "COM1", "B028800"},
      {{"-c3", "-c2"}, "COM2", "B028800"},
      {{"-c2abc"}, "COM2", "B028800"},
      {{"-s1", "-s3"}, "COM1", "B004800"},
      {{"-s10"}, "COM1", "B014400"},
      {{"-s4"}, "COM1", "B002400"},
      {{"-s0", "-c4"}, "COM4", "B028800"},
      {{"update.bin", "-s2"}, "COM1", "B009600"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.speedCommand);
    VirtualRun run;
    run.line.ports = {c.port};  // only that port has a unit
    run.unit.faults.answerLimit = 1;
    EXPECT_EQ(run.run(c.arguments), 0);
    EXPECT_EQ(run.wire().substr(0, 8), std::string("E") + c.speedCommand);
    const auto opened = std::find_if(run.line.transcript.begin(), run.line.transcript.end(),
                                     [](const sim::Event& e) { return e.kind == sim::Event::Open; });
    ASSERT_NE(opened, run.line.transcript.end());
    EXPECT_EQ(opened->data, c.port);
  }
}

// A whole update of a scenario unit, judged.
struct Judged : VirtualRun {
  sim::Expectation expect;
  explicit Judged(const char* scenario) {
    EXPECT_TRUE(sim::setUpScenario(scenario, carriedPackage(), unit, expect));
  }
  std::string verdict() const { return sim::judgeUnit(unit, carriedPackage(), expect).report; }
  bool unitOk() const { return sim::judgeUnit(unit, carriedPackage(), expect).ok; }
};

TEST(UpdateSequenceTest, ConversionAndHardwareAt28800) {
  Judged run("convert");
  EXPECT_EQ(run.run(), 1);
  EXPECT_TRUE(run.unitOk()) << run.verdict();
  EXPECT_EQ(run.console(), banner() + "Connected\n\nChecking version..\n"
                               "Unit confirmed as Korrin    with firmware rev 030303.\nUpdate proceeding..\n\n"
                               "Reading config data..\n" + std::string(14, '.') + std::string(6, '.') +
                               "\nSending SW update.." + std::string(109, '.') + "\nSending HW update.." +
                               std::string(177, '.') + kFinalTexts + kPrompt);
  const std::string wire = run.wire();
  // The configuration phase at 14400, then back to 28800 after the second "V0".
  const std::size_t t = wire.find("A008000L00e000CT");
  ASSERT_NE(t, std::string::npos);
  EXPECT_EQ(wire.substr(t + 16, 15), "B014400EL000040");
  const std::size_t closing = wire.find("KEV0TV0B028800EJDOWNLOADING UPDATE\nEL000400K");
  ASSERT_NE(closing, std::string::npos);
  EXPECT_EQ(count(wire.substr(0, closing), "L000100"), 6u);
  EXPECT_EQ(count(wire.substr(0, closing), "L0000D0"), 6u);
  // The last blocks of each image, and the flash command right after the display text.
  EXPECT_NE(wire.find("L0000D2A01F000D"), std::string::npos);
  EXPECT_NE(wire.find("L00001EA06C000D"), std::string::npos);
  EXPECT_EQ(wire.substr(wire.size() - 37), "JFLASHING DONE IN ABOUT 30 SECS\nF5382");
  EXPECT_EQ(run.unit.log().displayTexts, (std::vector<std::string>{"DOWNLOADING UPDATE", "FLASHING DONE IN ABOUT 30 SECS"}));
  EXPECT_EQ(run.line.pcSpeed, 28800u);
  EXPECT_FALSE(run.line.hung);
  // The port is closed before the operator reads the instructions.
  const auto& events = run.line.transcript;
  const auto closed = std::find_if(events.rbegin(), events.rend(), [](const sim::Event& e) { return e.kind == sim::Event::Close; });
  ASSERT_NE(closed, events.rend());
  EXPECT_LT(closed->at, run.line.consoleTime("DO NOT SHUT OFF") + 1);
  EXPECT_EQ(count(run.console(), "DO NOT SHUT OFF"), 1u);
}

TEST(UpdateSequenceTest, UpToDateUnitNoConversionNoHardware) {
  Judged run("uptodate");
  EXPECT_EQ(run.run(), 1);
  EXPECT_TRUE(run.unitOk()) << run.verdict();
  EXPECT_EQ(run.console(), banner() + "Connected\n\nChecking version..\n"
                               "Unit confirmed as Korrin    with firmware rev 020904.\nUpdate proceeding..\n\n"
                               "\nSending SW update.." + std::string(109, '.') + kFinalTexts + kPrompt);
  EXPECT_NE(run.wire().find("A008000L00e000CTKEV0TV0JDOWNLOADING UPDATE\n"), std::string::npos)
      << "straight from \"T\" to the closing steps, no speed change";
  EXPECT_EQ(count(run.unit.log().commands, "B"), 1u);
  for (const auto& write : run.unit.log().writes) EXPECT_TRUE(write.first < 0x4000 || write.first >= 0x8000) << write.first;
}

TEST(UpdateSequenceTest, NegotiatedAt9600NeverChangesSpeedAgain) {
  Judged run("fallback");
  run.unit.setIdentSum(carriedPackage().unitTable->sum[0]);  // needs its records converted too
  sim::fillConfigArea(run.unit.memory(), {sim::RecordLayout::Legacy, 5, true, false});
  run.expect.memoryBefore = run.unit.memory();
  run.expect.configFrom = sim::RecordLayout::Legacy;
  run.expect.hardware = true;
  EXPECT_EQ(run.run(), 1);
  EXPECT_TRUE(run.unitOk()) << run.verdict();
  // No speed command after start-up's 'G' and 'H'.
  const std::string& commands = run.unit.log().commands;
  ASSERT_NE(commands.find("GH"), std::string::npos);
  EXPECT_EQ(commands.find('B', commands.find("GH")), std::string::npos);
  EXPECT_NE(run.wire().find("CTL000040A004000M"), std::string::npos) << "readout straight after \"T\" at 9600";
  EXPECT_EQ(run.line.pcSpeed, 9600u);
}

TEST(UpdateSequenceTest, SpeedChangesAroundTheConfigurationCanFail) {
  // 'E' replies are counted from the first: 0 at 9600, 1-20 the burst, 21 the check,
  // 22 the cap to 14400, 23 the closing 'E', 24 the return to 28800.
  struct Case {
    const char* label;
    std::uint32_t lostE;
    std::string tail;
  } const cases[] = {
      {"E8", 22, "Connection failed at check config\n" + kPrompt},
      {"E9", 24, "Connection failed after check config\n" + kPrompt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Judged run("convert");
    run.unit.faults.replies.push_back({'E', c.lostE, 1, sim::ReplyFault::Lose});
    EXPECT_EQ(run.run(), 0);
    const std::string shown = run.console();
    EXPECT_EQ(shown.substr(shown.size() - c.tail.size()), c.tail);
    EXPECT_EQ(run.wire().back(), 'X');
    EXPECT_FALSE(run.unit.log().flashed);
    EXPECT_EQ(run.unit.log().bytesAfterExit, 0u);
  }
}

TEST(UpdateSequenceTest, HardwareDecision) {
  struct Case {
    std::uint32_t row;  // kUnitTableRows: a unit no row knows
    bool hardware;
  } const cases[] = {{137, true}, {140, true}, {143, false}, {146, false}, {158, false}, {kUnitTableRows, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.row);
    VirtualRun run;
    run.unit.setIdentSum(c.row < kUnitTableRows ? carriedPackage().unitTable->sum[c.row] : 0x4B0000u);
    run.line.keys = "y";
    EXPECT_EQ(run.run(), 1);
    const std::string shown = run.console();
    EXPECT_EQ(shown.find("\nSending HW update..") != std::string::npos, c.hardware);
    const std::size_t software = shown.find("\nSending SW update..") + 20;
    const std::size_t hardware = shown.find("\nSending HW update..");
    const std::size_t flashing = shown.find("\nNow flashing");
    EXPECT_EQ(shown.substr(software, (c.hardware ? hardware : flashing) - software), std::string(109, '.'));
    if (c.hardware) {
      EXPECT_EQ(shown.substr(hardware + 20, flashing - hardware - 20), std::string(177, '.'));
    }
    EXPECT_EQ(run.wire().find("L00001EA06C000D") != std::string::npos, c.hardware);
    EXPECT_NE(shown.find(std::string(".") + kFinalTexts), std::string::npos) << "\"Now flashing\" follows the last dot";
    EXPECT_TRUE(run.unit.log().flashed);
  }
}

TEST(UpdateSequenceTest, UnidentifiedUnitIsCappedAndCheckedEvenWhenNothingIsFound) {
  VirtualRun run;
  run.unit.setIdentSum(0x4B0000u);  // blank configuration: the check finds no layout
  run.line.keys = "y";
  EXPECT_EQ(run.run(), 1);
  const std::string wire = run.wire();
  EXPECT_NE(wire.find("CTB014400EL000040A004000M"), std::string::npos);
  EXPECT_NE(wire.find("L000010A0049C0M"), std::string::npos) << "record 0 only: 2512 bytes";
  EXPECT_EQ(wire.find("L000020"), std::string::npos) << "no readout";
  EXPECT_NE(wire.find("A0049C0MCKEV0TV0B028800E"), std::string::npos);
  EXPECT_NE(run.console().find("Update proceeding..\n\nChecking config data..\n\nSending SW update.."), std::string::npos);
}

TEST(UpdateSequenceTest, UnconfirmedBlockEndsTheRunWithoutFlashing) {
  Judged run("uptodate");
  run.unit.faults.corruptWrites[0x00C000] = 1000;
  EXPECT_EQ(run.run(), 0);
  const std::string shown = run.console();
  const std::string tail = "\nBlock at unit address 00C000 not confirmed after 32 attempts\n"
                           "Firmware not updated...Exiting\n" + kPrompt;
  EXPECT_EQ(shown.substr(shown.size() - tail.size()), tail);
  EXPECT_EQ(run.wire().back(), 'X');
  EXPECT_FALSE(run.unit.log().flashed);
  EXPECT_EQ(run.unit.log().bytesAfterExit, 0u);
}

// The 1 ms timer resolution and the stop requests are given back once, after
// the last key, whichever way the run ends.
TEST(UpdateSequenceTest, EveryExitGivesBackWhatTheRunTookAfterItsKey) {
  struct Case {
    const char* label;
    const char* scenario;
    std::vector<const char*> arguments;
    void (*prepare)(Judged& run);
    const char* shown;  // the exit's text
  } const cases[] = {
      {"usage", "uptodate", {"-c9"}, [](Judged&) {}, "Error, usage is -cX"},
      {"E4", "uptodate", {}, [](Judged& run) { run.unit.faults.answerLimit = 0; }, "(err1)"},
      {"E5", "uptodate", {}, [](Judged& run) { run.unit.faults.answerLimit = 1; }, "Connection cannot be made"},
      {"E6", "wrong-model", {}, [](Judged&) {}, "Unit ID's as KorrinPro"},
      {"E7", "unknown", {}, [](Judged& run) { run.line.keys = "n"; }, "(y/n)\nFirmware not updated"},
      {"E8", "convert", {},
       [](Judged& run) { run.unit.faults.replies.push_back({'E', 22, 1, sim::ReplyFault::Lose}); },
       "Connection failed at check config"},
      {"E9", "convert", {},
       [](Judged& run) { run.unit.faults.replies.push_back({'E', 24, 1, sim::ReplyFault::Lose}); },
       "Connection failed after check config"},
      {"E10", "uptodate", {}, [](Judged&) {}, "Now flashing"},
      {"block bound", "uptodate", {}, [](Judged& run) { run.unit.faults.corruptWrites[0x00C000] = 1000; },
       "not confirmed after 32 attempts"},
      {"stopped", "uptodate", {}, [](Judged& run) { run.line.stopAt = 0; }, "Stopped at the operator's request"},
      {"port lost", "uptodate", {}, [](Judged& run) { run.line.vanishAt = 5 * sim::kTicksPerSecond; },
       "The serial port stopped working"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Judged run(c.scenario);
    c.prepare(run);
    run.run(c.arguments);
    EXPECT_NE(run.console().find(c.shown), std::string::npos) << run.console();
    EXPECT_EQ(run.line.timerPeriodsBegun, 1);
    EXPECT_EQ(run.line.timerPeriodsEnded, 1);
    EXPECT_TRUE(run.line.stopsCaught);
    EXPECT_EQ(run.line.stopsReleased, 1);
    const int keys = run.line.keysRead();
    ASSERT_GE(keys, 1);
    EXPECT_EQ(run.line.keysBeforeTimerEnded, keys) << "the timer given back before the last key";
    EXPECT_EQ(run.line.keysBeforeStopsReleased, keys) << "the stop requests given back before the last key";
  }
}

TEST(UpdateSequenceTest, ProReleaseConvertsToItsOwnLayout) {
  // A Pro release of this date meets a Pro unit of 09/11/03 (row 95) holding ConfigRecords.
  FirmwarePackage pro = carriedPackage();
  pro.packageIsPro = 1;
  for (const bool marker : {false, true}) {
    SCOPED_TRACE(marker ? "record 5 begins with ':'" : "plain records");
    VirtualRun run;
    run.unit.setIdentSum(pro.unitTable->sum[95]);
    sim::fillConfigArea(run.unit.memory(), {sim::RecordLayout::Config, 11, true, marker});
    sim::Expectation expect;
    expect.hardware = true;
    expect.configFrom = sim::RecordLayout::Config;
    expect.configTo = sim::RecordLayout::Pro;
    expect.memoryBefore = run.unit.memory();
    EXPECT_EQ(run.run({}, pro), 1);
    const sim::Verdict verdict = sim::judgeUnit(run.unit, pro, expect);
    EXPECT_TRUE(verdict.ok) << verdict.report;
    EXPECT_EQ(count(run.wire(), "L0000F8"), 6u);
    EXPECT_EQ(run.wire().find("A0076D8D") != std::string::npos, !marker);
  }
}

}  // namespace
}  // namespace korrin
