// Whole runs in virtual time: the command line, every way a run ends, and the
// roads through the update sequence, judged on the wire, on the console and by
// what the unit holds afterwards.
#include <gtest/gtest.h>

#include <functional>

#include "harness.h"

namespace korrin {
namespace {

using testing::kBanner;
using testing::kFinalTexts;
using testing::kPrompt;
using testing::VirtualRun;

TEST(CommandLineTest, UsageErrorsOpenNoPort) {
  const std::string e1 = "Error, usage is -cX to set COM port, where X is 1-4\n";
  const std::string e2 = "Error, usage is -sX to set RS232 port speed, where X is 0(fastest) to 4(slowest)\n";
  // Unknown options whose message is 255, 256 and 300 characters long: the
  // console's own buffer holds 255 and a NUL.
  const std::string longOptions[] = {"-" + std::string(232, 'x'), "-" + std::string(233, 'y'), "-" + std::string(277, 'z')};
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
      {{longOptions[0].c_str()}, longOptions[0] + " :Unrecognized option\n"},
      {{longOptions[1].c_str()}, longOptions[1] + " :Unrecognized option\n"},
      {{longOptions[2].c_str()}, longOptions[2] + " :Unrecognized option\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.back());
    VirtualRun run;
    EXPECT_EQ(run.run(c.arguments), 0);
    EXPECT_EQ(run.console(), kBanner + c.message + kPrompt);
    EXPECT_EQ(run.line.opens, 0);
  }
}

TEST(CommandLineTest, OptionsChoosePortAndSpeed) {
  struct Case {
    std::vector<const char*> arguments;
    const char* port;
    const char* speedCommand;
  } const cases[] = {
      {{"-c1"}, "COM1", "B028800"},      {{"-c3", "-c2"}, "COM2", "B028800"},  {{"-c2abc"}, "COM2", "B028800"},
      {{"-s1", "-s3"}, "COM1", "B004800"}, {{"-s10"}, "COM1", "B014400"},     {{"-s4"}, "COM1", "B002400"},
      {{"-s0", "-c4"}, "COM4", "B028800"}, {{"update.bin", "-s2"}, "COM1", "B009600"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.speedCommand);
    VirtualRun run;
    run.line.ports = {c.port};  // only that port has a unit
    run.unit.faults.answerLimit = 1;
    run.run(c.arguments);
    EXPECT_EQ(run.wire().substr(0, 8), std::string("E") + c.speedCommand);
    const auto opened = std::find_if(run.line.transcript.begin(), run.line.transcript.end(),
                                     [](const sim::Event& e) { return e.kind == sim::Event::Open; });
    ASSERT_NE(opened, run.line.transcript.end());
    EXPECT_EQ(opened->data, c.port);
  }
}

std::function<void(VirtualRun&)> unconfirmed(std::uint32_t address, bool upload = false) {
  return [=](VirtualRun& run) { (upload ? run.unit.faults.corruptReads : run.unit.faults.corruptWrites)[address] = 1000; };
}

// The unit's replies to 'C' over `length` bytes from `address`: lost, or with another sum.
std::function<void(VirtualRun&)> windowSum(std::uint32_t address, std::uint32_t length, bool lost) {
  return [=](VirtualRun& run) {
    run.unit.faults.replyHook = [&unit = run.unit, address, length, lost](char command, std::string& reply,
                                                                         std::uint32_t&) {
      if (command != 'C' || unit.addressRegister() != address || unit.lengthRegister() != length) return;
      reply = lost ? "" : "CS=00000000";
    };
  };
}

// Each exit shows its texts, leaves the unit as it must (not flashed, 'X'
// once it has been talked to, nothing after it) and returns its status.
TEST(ExitsTest, EveryExitEndsTheRunAsItMust) {
  const std::string e4 =
      "\nKorrin not in update mode, serial cable not connected,\nor other sw already using com1. (err1)\n"
      "To put Korrin in update mode press 'menu',0,6,2,8 on remote\n"
      "If it's already in update mode then press 'exit','menu',0,6,2,8\n\nSerial ports on this PC:";
  const std::string portHelp = "\n" + std::string(sim::VirtualLine::kPortNamingHelp);
  const std::string notUpdated = "Firmware not updated...Exiting\n";
  auto bound = [&](const char* address) {
    return "\nBlock at unit address " + std::string(address) + " not confirmed after 32 attempts\n" + notUpdated;
  };
  // Sums of one length in a row: the length once, the register parked after the last.
  std::string softwareHalves = "L000200";
  for (std::uint32_t at = 0; at + 0x200 <= 0x1F0D2; at += 0x400) {
    char sum[32];
    std::snprintf(sum, sizeof sum, "A%06XC", at);
    if (at < 0x4000 || at >= 0x8000) softwareHalves += sum;
  }
  softwareHalves += "A008000";
  // Just after the hardware check's first sum is asked, in a clean run.
  auto hardwareCheckAt = [] {
    VirtualRun clean("uptodate");
    clean.run();
    return clean.line.wireTime("A04E000C") + 8 * sim::kTicksPerMs;
  };
  struct Case {
    const char* label;
    const char* scenario;
    std::function<void(VirtualRun&)> prepare;
    int status;
    std::string tail;  // of the console, before the prompt
    std::string wire;  // the end of what the PC sent
  } const cases[] = {
      {"E4, the PC's ports listed", "silent", [](VirtualRun&) {}, 0,
       e4 + "\n  COM1\n  COM2\n  COM3\n  COM4" + portHelp, "E"},
      {"E4 on a PC without serial ports", "silent", [](VirtualRun& run) { run.line.ports.clear(); }, 0,
       e4 + " none found" + portHelp, ""},
      {"E5 after every step of the ladder", "dropout", [](VirtualRun&) {}, 0,
       "version 020904\n\n28800k RS232 speed not working trying 14400k \n"
       "14400k RS232 speed not working trying 9600k \n9600k RS232 speed not working trying 4800k \n"
       "4800k RS232 speed not working trying 2400k \n2400k RS232 speed not working trying 1000k \n"
       "RS232 communication problem. Update exiting\nConnection cannot be made\n",
       "EB028800" + std::string(21, 'E') + "B014400EB009600EB004800EB002400EB001000EX"},
      {"E6", "wrong-model", [](VirtualRun&) {}, 1,
       "Unit ID's as KorrinPro, but this firmware is for a Korrin    (ind:3)\n" + notUpdated,
       testing::kStartupWire + "A008000L00e000CX"},
      {"E7", "unknown", [](VirtualRun& run) { run.line.keys = "nx"; }, 1, "(y/n)\n" + notUpdated, "CX"},
      {"E8", "convert", [](VirtualRun& run) { run.unit.faults.replies.push_back({'E', 22, 1, sim::ReplyFault::Lose}); },
       0, "Connection failed at check config\n", "CTB014400EX"},
      {"E9", "convert", [](VirtualRun& run) { run.unit.faults.replies.push_back({'E', 24, 1, sim::ReplyFault::Lose}); },
       0, "Connection failed after check config\n", "V0B028800EX"},
      // A unit of this very build: its hardware region is checked (it holds the image), not sent.
      // Then the software, and the records as found before the download: the hardware was just seen
      // whole. Last, the first half of each software block.
      {"E10", "uptodate", [](VirtualRun&) {}, 1, ".\nChecking HW image.." + kFinalTexts,
       "L00E000A040000CA008000L00E000A04E000CA008000L00E000A05C000CA008000L00201EA06A000CA008000"
       "L004000A004000CA008000A000000CA008000L00E000A008000CA008000L0090D2A016000CA008000" +
           softwareHalves + "JFLASHING DONE IN ABOUT 30 SECS\nF5382"},
      {"bound in the readout", "convert", unconfirmed(0x5000, true), 0, bound("005000"), "CX"},
      {"bound in an unknown unit's layout check", "unknown",
       [](VirtualRun& run) {
         run.line.keys = "y";
         run.unit.faults.corruptReads[0x4000] = 1000;
       },
       0, bound("004000"), "CX"},
      // Before the download, what the run must leave as it was cannot be summed.
      {"no sum of the records before the download", "uptodate", windowSum(0x4000, 0x4000, true), 0,
       "\nThe unit did not answer a memory sum: not flashed\n" + notUpdated,
       "C" + std::string(2048, '\0') + "\nA008000X"},
      // A software block's address read as the records' ("A000400" as "A004400"): records this
      // run did not read cannot be put back, and the unit is not flashed over them.
      // Both of the block's address commands damaged alike: the register is
      // confirmed, in the records.
      {"records overwritten by a misplaced block", "uptodate",
       [index = testing::heardAt("uptodate", "A000400CA000400C") + 3](VirtualRun& run) {
         for (const std::uint64_t at : {index, index + 8}) {
           sim::LineError error;
           error.index = at;
           error.bit = 2;
           run.unit.faults.lineErrors.push_back(error);
         }
       },
       0,
       "\nThe config records on the unit were overwritten by a line error: not flashed.\n"
       "Run the update again; the unit's settings must then be set again by hand.\n" + notUpdated,
       "CA008000X"},
      // A window whose sum never agrees, though each of its blocks does: four rounds, then no flash.
      {"a window that never holds", "convert", windowSum(0x16000, 0x90D2, false), 0,
       "\nUnit memory at 016000 not as sent after 4 checks\n" + notUpdated, "CA008000X"},
      {"a readout whose sum never agrees", "convert", windowSum(0x4000, 0x3AE0, false), 0,
       "\nUnit memory at 004000 not as read after 4 checks\n" + notUpdated, "MCX"},
      // A line that garbles but still answers keeps its 32 attempts.
      {"every upload cut short", "convert",
       [](VirtualRun& run) { run.unit.faults.replies.push_back({'M', 0, 1000, sim::ReplyFault::CutShort}); }, 0,
       bound("004000"), "MX"},
      {"bound in the write-back", "convert", unconfirmed(0x49D0), 0, bound("0049D0"), "CX"},
      {"bound in the software's first part", "convert", unconfirmed(0), 0, bound("000000"), "CX"},
      {"bound in its last block", "convert", unconfirmed(0x3C00), 0, bound("003C00"), "CX"},
      {"bound in the second part", "convert", unconfirmed(0xC000), 0, bound("00C000"), "CX"},
      {"bound in its last block", "convert", unconfirmed(0x1F000), 0, bound("01F000"), "CX"},
      {"bound in the hardware", "convert", unconfirmed(0x40000), 0, bound("040000"), "CX"},
      {"bound in its last block", "convert", unconfirmed(0x6C000), 0, bound("06C000"), "CX"},
      {"stopped", "uptodate", [](VirtualRun& run) { run.line.stopAt = 0; }, 0,
       "Connected\n\nStopped at the operator's request\n" + notUpdated, "EEX"},
      {"port lost", "uptodate", [](VirtualRun& run) { run.line.vanishAt = 5 * sim::kTicksPerSecond; }, 0,
       "Connected\n\nThe serial port stopped working (cable or USB adapter pulled out?)\n"
       "(ClearCommError: The device is not connected. 1167)\n" + notUpdated, "GH"},
      {"port lost in the hardware check", "uptodate",
       [at = hardwareCheckAt()](VirtualRun& run) { run.line.vanishAt = at; }, 0,
       "\nChecking HW image..\nThe serial port stopped working (cable or USB adapter pulled out?)\n"
       "(ClearCommError: The device is not connected. 1167)\n" + notUpdated,
       "L00E000A04E000C"},
      // A driver that takes nothing holds a write for its time-out, not for ever.
      {"port stuck", "uptodate", [](VirtualRun& run) { run.line.stuckAt = 5 * sim::kTicksPerSecond; }, 0,
       "\nChecking version..\n\nThe serial port stopped working (cable or USB adapter pulled out?)\n"
       "(WriteFile: 15 of 15 bytes not taken within the write time-out)\n" + notUpdated, "GH"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    VirtualRun run(c.scenario);
    c.prepare(run);
    EXPECT_EQ(run.run(), c.status);
    EXPECT_EQ(testing::tailOf(run.console(), c.tail.size() + kPrompt.size()), c.tail + kPrompt);
    EXPECT_EQ(testing::tailOf(run.wire(), c.wire.size()), c.wire);
    run.expect.flashed = c.status == 1 && c.tail.find("Now flashing") != std::string::npos;
    EXPECT_TRUE(run.verdict().ok) << run.verdict().report;
  }
}

TEST(UpdateSequenceTest, ConversionAndHardwareAt28800) {
  VirtualRun run("convert");
  EXPECT_EQ(run.run(), 1);
  EXPECT_TRUE(run.verdict().ok) << run.verdict().report;
  EXPECT_EQ(run.console(), kBanner + "Connected\n\nChecking version..\n"
                               "Unit confirmed as Korrin    with firmware rev 030303.\nUpdate proceeding..\n\n"
                               "Reading config data..\n" + std::string(20, '.') + "\nSending SW update.." +
                               std::string(109, '.') + "\nSending HW update.." + std::string(177, '.') + kFinalTexts +
                               kPrompt);
  const std::string wire = run.wire();
  // The configuration at 14400, then back to 28800 after the second "V0".
  // The readout begins with the unit's sum of the area, the address register then parked.
  EXPECT_NE(wire.find(testing::kStartupWire + "A008000L00e000CTB014400EL003AE0A004000CA008000L000040A004000M"),
            std::string::npos);
  const std::size_t closing = wire.find("KEV0TV0B028800EJDOWNLOADING UPDATE\nEL000400KA000000D");
  ASSERT_NE(closing, std::string::npos);
  // Six records written, and the area past them read, in 256-byte blocks.
  EXPECT_EQ(testing::count(wire.substr(0, closing), "L000100"), 7u);
  EXPECT_EQ(testing::count(wire.substr(0, closing), "L0000D0"), 6u);
  // The last blocks of each image, and the flash command right after the display text.
  EXPECT_NE(wire.find("L0000D2A01F000D"), std::string::npos);
  EXPECT_NE(wire.find("L00001EA06C000D"), std::string::npos);
  EXPECT_EQ(testing::tailOf(wire, 37), "JFLASHING DONE IN ABOUT 30 SECS\nF5382");
  EXPECT_EQ(run.line.pcSpeed, 28800u);
  // Every wait of the protocol is in the sum: the whole run, to the microsecond.
  EXPECT_NEAR(run.line.nowMs(), 203187.389, 0.001);
  // The port is closed before the operator reads the instructions.
  const auto closed = std::find_if(run.line.transcript.rbegin(), run.line.transcript.rend(),
                                   [](const sim::Event& e) { return e.kind == sim::Event::Close; });
  ASSERT_NE(closed, run.line.transcript.rend());
  EXPECT_LE(closed->at, run.line.consoleTime("DO NOT SHUT OFF"));
  // The hardware check of a unit of this build and the check before the
  // flash, eight windows and 124 half blocks: each reply is taken as soon as it is there.
  VirtualRun uptodate("uptodate");
  uptodate.run();
  EXPECT_NEAR(sim::toMs(uptodate.line.wireTime("JFLASHING") - uptodate.line.wireTime("L00E000A040000C")), 825.111, 0.001);
  // Records this run did not read: a block one damaged address digit could
  // send there is sent only after two sums agree where its register points.
  const std::string kept = uptodate.wire();
  EXPECT_NE(kept.find("L000400KA000000CA000000CD"), std::string::npos);
  EXPECT_NE(kept.find("CA009000D"), std::string::npos);
  EXPECT_EQ(wire.find("A000000CA000000C"), std::string::npos);
}

// The window's title along a converting run: each phase in order, its share
// rising to 100 %, and the time left within 45 s (and 3 %) of what the run really took
// from there to the flash command, at the fastest speed and the slowest, and
// for a unit no row names.
TEST(UpdateSequenceTest, TheTitleShowsThePhaseItsShareAndTheTimeLeft) {
  // An unknown unit's layout check reads blocks before any phase is planned.
  const std::pair<const char*, const char*> runs[] = {{"convert", "-s0"}, {"convert", "-s4"}, {"unknown", "-s0"}};
  for (const auto& [scenario, speed] : runs) {
    SCOPED_TRACE(std::string(scenario) + " " + speed);
    VirtualRun run(scenario);
    run.line.keys = "y";
    ASSERT_EQ(run.run({speed}), 1);
    const sim::Ticks flashed = run.line.consoleTime("Now flashing");
    std::string phases, lastPhase;
    int lastShare = 0;
    for (const auto& [at, title] : run.line.titles) {
      char phase[32] = "";
      int share = -1, minutes = 1;
      ASSERT_GE(std::sscanf(title.c_str(), "korrin-update: %31s %d %%, about %d min left", phase, &share, &minutes), 2)
          << title;
      if (phase != lastPhase) {
        EXPECT_TRUE(lastPhase.empty() || lastShare == 100) << lastPhase << " ended at " << lastShare << " %";
        phases += std::string(phases.empty() ? "" : " ") + phase;
        lastPhase = phase;
        lastShare = 0;
      }
      EXPECT_GE(share, lastShare) << title;
      lastShare = share;
      // The nearest minute; "about a minute left" below 90 s, never "about 1 min left".
      const double left = sim::toMs(flashed - at) / 1000;
      EXPECT_EQ(title.find(" 1 min left"), std::string::npos) << title;
      if (title.find("about a minute left") != std::string::npos) {
        EXPECT_LT(left, 90.0 + 15.0) << title;
      } else {
        EXPECT_NEAR(minutes * 60.0, left, 45.0 + 0.03 * left) << title << " at " << sim::toMs(at) / 1000 << " s";
      }
    }
    EXPECT_EQ(lastShare, 100);
    EXPECT_EQ(phases, "configuration software hardware");
  }
}

// A Pro release of this date meets a Pro unit of 09/11/03 (row 95) holding
// ConfigRecords, and one of 03/05/03 (row 3) whose legacy records are
// converted twice, with checksums that were wrong before.
TEST(UpdateSequenceTest, ProReleaseConvertsToItsOwnLayout) {
  const FirmwarePackage& pro = testing::proRelease();
  struct Case {
    std::uint32_t row;
    sim::RecordLayout from;
    bool validChecksums, marker;
  } const cases[] = {{95, sim::RecordLayout::Config, true, false},
                     {95, sim::RecordLayout::Config, true, true},
                     {3, sim::RecordLayout::Legacy, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "row " << c.row << (c.marker ? ", record 5 begins with ':'" : ""));
    VirtualRun run;
    testing::setUpProUnit(run, c.row, {c.from, 11, c.validChecksums, c.marker});
    EXPECT_EQ(run.run({}, pro), 1);
    EXPECT_TRUE(run.verdict(pro).ok) << run.verdict(pro).report;
    EXPECT_EQ(testing::count(run.wire(), "L0000F8"), 6u);
    EXPECT_EQ(run.wire().find("A0076D8D") != std::string::npos, !c.marker);
  }
}

}  // namespace
}  // namespace korrin
