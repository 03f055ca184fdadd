// What the field does to an update: runs done twice, write-backs cut short,
// copies that are missing or cannot be saved, a unit that falls silent, noise
// on the console, the operator's Ctrl-C, a USB adapter pulled, keys typed
// ahead. The unit must end with exactly one conversion of its records and
// never be flashed with anything else.
#include <gtest/gtest.h>

#include <functional>

#include "config/config_copy.h"
#include "harness.h"

namespace korrin {
namespace {

using testing::kPrompt;
using testing::VirtualRun;

const std::string kPartlyConverted =
    "\nConfig partly converted by an earlier run, and no copy saved on this PC matches it:"
    "\nthe config will not be written. Update firmware anyway (y/n)";

void lastEAnswerLost(sim::UnitFaults& faults) { faults.replies.push_back({'E', 24, 1, sim::ReplyFault::Lose}); }

TEST(FieldSafetyTest, ARunDoneAgainConvertsTheRecordsOnce) {
  // The saved copy before the second run: there; gone (another PC, removed by hand); damaged; there, but the
  // second run is another release's updater, which leaves it for the first one's; there, beside a second copy
  // whose records differ only in record 5, which the cut did not reach.
  enum Copy { kThere, kGone, kDamaged, kOtherRelease, kBesideAnother };
  struct Case {
    const char* label;
    const char* scenario;
    std::string keys;
    const char* killedAt;  // the first run is killed as this goes out in a clean run, if given
    Copy copy;
    std::string secondShows;
    std::function<void(sim::UnitFaults&)> fault = nullptr;  // of the first run, which ends showing `firstEnd`
    const char* firstEnd = nullptr;
  } const cases[] = {
      {"E9, then again at once, as the exits table advises", "convert", "", nullptr, kThere,
       "Config already converted by an earlier run, left as it is", lastEAnswerLost,
       "Connection failed after check config\n"},
      // Half the identification window is new: the unit is not recognised, and its records are left alone.
      {"a block bound in the software, then again", "convert", "y", nullptr, kThere, "Could not confirm unit ID",
       [](sim::UnitFaults& f) { f.corruptWrites[0xC000] = 1000; }, "not confirmed after 32 attempts"},
      {"killed in record 2 of the write-back", "convert", "", "A0057A0D", kThere,
       "Config partly converted by an earlier run: writing back the copy saved then\n"},
      // Record 5, marked, takes record 4's place: the five records the readout holds whole decide.
      {"a Pro release, E9, then again at once", "pro, record 5 marked", "", nullptr, kThere,
       "Config already converted by an earlier run, left as it is", lastEAnswerLost,
       "Connection failed after check config\n"},
      // A Pro release's copy (of a Pro unit of 09/11/03, row 95) is found again too.
      {"a Pro release, killed in record 2 of the write-back", "pro", "", "A0055F0D", kThere,
       "Config partly converted by an earlier run: writing back the copy saved then\n"},
      // An unknown unit's layout is read from record 0, which the cut write-back has already converted.
      {"unknown unit, killed in record 2 of the write-back", "unknown", "y", "A0057A0D", kThere,
       "Config partly converted by an earlier run: writing back the copy saved then\n"},
      // The last block's length read as 0x4D0: the unit takes the line's next
      // kilobyte for data past the records, and falls out of step.
      {"record 5's last length damaged, then again", "convert", "", nullptr, kThere,
       "Config already converted by an earlier run, left as it is",
       [at = testing::heardAt("convert", "L0000D0A007A10D") + 4](sim::UnitFaults& f) {
         f.lineErrors.push_back({sim::LineError::ToUnit, at, sim::LineError::FlipBit, 2});
       },
       "no answer from the unit"},
      // Record 0 converted, record 1 half: one record is enough to tell.
      {"killed in record 1, the copy lost, 'n'", "convert", "n", "A004AD0D", kGone,
       kPartlyConverted + "\nFirmware not updated...Exiting\n" + kPrompt},
      // Records 0 to 4 converted, the last one not: still only partly converted.
      // A copy that cannot be read is named as such, not as missing.
      {"killed in record 5, the copy damaged, 'y'", "convert", "y", "A007A10D", kDamaged,
       "\nConfig partly converted by an earlier run, and a copy saved on this PC cannot be read (" +
           std::string(sim::VirtualLine::kUserFolder) + "config-efcc773e.bin):\nthe config will not be written. "
           "Update firmware anyway (y/n)\nUpdate proceeding..\n\nSending SW update.."},
      // Record 5 at its own place reaches past the readout: its rest is read before "converted" is said.
      {"a Pro release, killed in record 5, the copy lost, 'n'", "pro", "n", "A007CD8D", kGone,
       kPartlyConverted + "\nFirmware not updated...Exiting\n" + kPrompt},
      {"killed in record 2, two copies explain the area with different records, 'n'", "convert", "n", "A0057A0D",
       kBesideAnother,
       "\nConfig partly converted by an earlier run, and copies saved on this PC for different units match it (" +
           std::string(sim::VirtualLine::kUserFolder)},
      // The copy's records are in the Pro layout of 10/12/03 on; this release's are not.
      {"a Pro release, legacy records, killed in record 2, then the release of 09/30/03, 'n'", "pro legacy", "n",
       "A0056F0D", kOtherRelease,
       "\nConfig partly converted by an earlier run of the updater for firmware version 020904 (KorrinPro):"
       "\nrun that updater again on this PC, it writes back the copy it saved (" +
           std::string(sim::VirtualLine::kUserFolder)},
  };
  FirmwarePackage earlierPro = testing::proRelease();
  earlierPro.packageRevision = 0x093003;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string scenario = c.scenario;
    const bool pro = scenario.rfind("pro", 0) == 0;
    const FirmwarePackage& package = pro ? testing::proRelease() : carriedPackage();
    const auto setUp = [&](VirtualRun& run) {
      if (scenario == "pro legacy") {
        testing::setUpProUnit(run, 3, {sim::RecordLayout::Legacy, 11, true, false});
      } else if (pro) {
        testing::setUpProUnit(run, 95, {sim::RecordLayout::Config, 11, true, scenario != "pro"});
      } else {
        sim::setUpScenario(c.scenario, package, run.unit, run.expect);
      }
      run.line.keys = c.keys;
    };
    sim::Ticks killAt = -1;
    if (c.killedAt) {
      VirtualRun clean;  // a run's line is the system's from its making on: one at a time
      setUp(clean);
      clean.run({}, package);
      killAt = testing::sentAt(clean.line, c.killedAt);
    }
    VirtualRun first;
    setUp(first);
    first.line.killAt = killAt;
    if (c.fault) c.fault(first.unit.faults);
    first.run({}, package);
    EXPECT_FALSE(first.unit.log().flashed);
    EXPECT_TRUE(c.firstEnd ? first.console().find(c.firstEnd) != std::string::npos : first.killed) << first.console();
    if (c.copy == kGone) first.line.files.clear();
    if (c.copy == kBesideAnother) {  // the first run's line is still the system's
      SavedCopies saved = readSavedCopies();
      ASSERT_EQ(saved.copies.size(), 1u);
      saved.copies[0].conversion.converted.bytes[5 * kConfigRecordBytes + 100] ^= 0x01;
      ASSERT_EQ(saveCopy(saved.store, saved.copies[0]), CopySave::Saved);
    }
    for (auto& file : first.line.files) file.second[file.second.size() - 100] ^= c.copy == kDamaged ? 0x01 : 0x00;
    const std::vector<std::uint8_t> area(first.unit.memory().begin() + 0x4000, first.unit.memory().begin() + 0x8000);
    VirtualRun second;
    second.expect = first.expect;
    testing::runAgain(second, first, c.keys, c.copy == kOtherRelease ? earlierPro : package);
    EXPECT_NE(second.console().find(c.secondShows), std::string::npos) << second.console();
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.unit.log().flashed, c.keys != "n");
    if (c.copy != kThere) {
      EXPECT_TRUE(std::equal(area.begin(), area.end(), second.unit.memory().begin() + 0x4000))
          << "a configuration area no copy explains was written";
      EXPECT_EQ(second.line.files.size(), c.copy == kGone ? 0u : c.copy == kBesideAnother ? 2u : 1u)
          << "a copy this run did not write back is kept";
    } else {
      // What a unit out of step heard after taking an 'X' from the line is the first run's, and no finding.
      const std::string afterX = "\n  " + std::to_string(first.unit.log().bytesAfterExit) + " bytes sent after 'X'";
      const sim::Verdict verdict = second.verdict(package);
      EXPECT_TRUE(verdict.ok || verdict.report == "unit NOT as it must be:" + afterX) << verdict.report;
      EXPECT_TRUE(second.line.files.empty()) << "the copy outlived the write-back it protected";
    }
  }
}

TEST(FieldSafetyTest, ACopyThatCannotBeSavedIsAskedAbout) {
  const std::string folder = sim::VirtualLine::kUserFolder;
  struct Case {
    bool noFolder;
    bool full;  // every name for this readout taken (config-efcc773e is the 'convert' unit's readout)
    const char* keys;
    std::string where;
  } const cases[] = {
      {false, false, "n", folder},
      {false, false, "y", folder},
      {true, false, "n", "there is no folder for it"},
      {false, true, "n", folder + " holds 99 copies of these very records: remove those of units updated since"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.where + ", " + c.keys);
    VirtualRun run("convert");
    run.line.diskFull = !c.noFolder && !c.full;
    run.line.noUserFolder = c.noFolder;
    for (int twin = 1; c.full && twin <= 99; ++twin)
      run.line.files[folder + "config-efcc773e" + (twin > 1 ? "-" + std::to_string(twin) : "") + ".bin"] = {1};
    run.line.keys = c.keys;
    run.run();
    EXPECT_NE(run.console().find(std::string("\nCould not save a copy of the config on this PC (") + c.where),
              std::string::npos) << run.console();
    EXPECT_NE(run.console().find(").\nIf the write-back is cut short the config is lost. Write it anyway (y/n)" +
                                 std::string(c.keys[0] == 'y' ? "\n......\nSending SW" : "\nFirmware not updated")),
              std::string::npos) << run.console();
    // Written and flashed after a 'y'; after an 'n', nothing written at all.
    run.expect.flashed = c.keys[0] == 'y';
    run.expect.untouched = !run.expect.flashed;
    EXPECT_TRUE(run.verdict().ok) << run.verdict().report;
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
    // A click in the window must not freeze the run: QuickEdit off while it sends, given back after.
    EXPECT_FALSE(run.line.quickEditWhileSending);
    EXPECT_EQ(run.line.consoleMode & ~0x80u, 0x0067u);
  }
}

}  // namespace
}  // namespace korrin
