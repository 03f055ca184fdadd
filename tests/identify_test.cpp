// Identification: the window checksum on the wire, the first-match lookup, the
// model check (E6) and the operator's question (E7).
#include <gtest/gtest.h>

#include "harness.h"
#include "package/identify.h"

namespace korrin {
namespace {

constexpr std::uint32_t kNoRow = kUnitTableRows;

struct IdentCase {
  const char* label;
  std::uint32_t sum;
  std::vector<sim::ReplyFaultRule> replies;
  std::string keys;
  ExitLabel exit;
  std::uint32_t row;
  std::string console;  // after "\nChecking version..\n"
};

const std::string kQuestionUnknown = "Are you sure you want to run update for Korrin rev 020904 (y/n)";

TEST(IdentifyTest, LookupAndDecision) {
  const IdentCase cases[] = {
      {"row 0: padded name, four blanks before 'with'", 0x4C9B93, {}, "", ExitLabel::kNone, 0,
       "Unit confirmed as Korrin    with firmware rev 030303.\nUpdate proceeding..\n\n"},
      {"row 158: this very release, loaded again", 0x4AA4BE, {}, "", ExitLabel::kNone, 158,
       "Unit confirmed as Korrin    with firmware rev 020904.\nUpdate proceeding..\n\n"},
      {"row 155: an earlier build of 2004", 0x4AC0A3, {}, "", ExitLabel::kNone, 155,
       "Unit confirmed as Korrin    with firmware rev 011904.\nUpdate proceeding..\n\n"},
      {"row 3: a Pro unit", 0x4D5A69, {}, "", ExitLabel::kWrongModel, 3,
       "Unit ID's as KorrinPro, but this firmware is for a Korrin    (ind:3)\n"},
      {"shared sum: first row, 81, wins", 0x4C3260, {}, "", ExitLabel::kNone, 81,
       "Unit confirmed as Korrin    with firmware rev 083003.\nUpdate proceeding..\n\n"},
      {"shared sum: row 95 (Pro) wins over 99, 103, 107", 0x4C20E2, {}, "", ExitLabel::kWrongModel, 95,
       "Unit ID's as KorrinPro, but this firmware is for a Korrin    (ind:95)\n"},
      {"sum 0: the placeholder row 32", 0, {}, "", ExitLabel::kNone, 32,
       "Unit confirmed as Korrin    with firmware rev 042303.\nUpdate proceeding..\n\n"},
      // A short reply is asked for again and believed only when it repeats.
      {"unpadded lower-case reply, twice", 0x4C9B93, {{'C', 0, 2, sim::ReplyFault::Unpadded}, {'C', 0, 2, sim::ReplyFault::LowerCase}},
       "", ExitLabel::kNone, 0, "Unit confirmed as Korrin    with firmware rev 030303.\nUpdate proceeding..\n\n"},
      {"a unit that really sends CS=0: row 32", 0, {{'C', 0, 2, sim::ReplyFault::Unpadded}}, "", ExitLabel::kNone, 32,
       "Unit confirmed as Korrin    with firmware rev 042303.\nUpdate proceeding..\n\n"},
      // Row 81 holds 2512-byte records already; read as row 32 they would be converted as legacy ones.
      {"CS=00 cut from row 81's sum is not row 32", 0x4C3260, {{'C', 0, 1, sim::ReplyFault::CutShort}}, "n",
       ExitLabel::kRefused, kNoRow, "Could not confirm unit ID (csum=ffffffff)\n" + kQuestionUnknown},
      {"unknown sum, 'y'", 0x123456, {}, "y", ExitLabel::kNone, kNoRow,
       "Could not confirm unit ID (csum=123456)\n" + kQuestionUnknown + "\nUpdate proceeding..\n\n"},
      {"unknown sum, 'Y'", 0x00ABCD, {}, "Y", ExitLabel::kNone, kNoRow,
       "Could not confirm unit ID (csum=abcd)\n" + kQuestionUnknown + "\nUpdate proceeding..\n\n"},
      {"unknown sum, 'n'", 0x123456, {}, "n", ExitLabel::kRefused, kNoRow,
       "Could not confirm unit ID (csum=123456)\n" + kQuestionUnknown},
      {"unknown sum, Enter", 0x123456, {}, "\r", ExitLabel::kRefused, kNoRow,
       "Could not confirm unit ID (csum=123456)\n" + kQuestionUnknown},
      {"unknown sum, input at its end", 0x123456, {}, "", ExitLabel::kRefused, kNoRow,
       "Could not confirm unit ID (csum=123456)\n" + kQuestionUnknown},
      {"lost reply matches nothing, not row 32", 0, {{'C', 0, 1, sim::ReplyFault::Lose}}, "n", ExitLabel::kRefused, kNoRow,
       "Could not confirm unit ID (csum=ffffffff)\n" + kQuestionUnknown},
      {"garbled reply matches nothing", 0, {{'C', 0, 1, sim::ReplyFault::Garble}}, "y", ExitLabel::kNone, kNoRow,
       "Could not confirm unit ID (csum=ffffffff)\n" + kQuestionUnknown + "\nUpdate proceeding..\n\n"},
  };
  for (const IdentCase& c : cases) {
    SCOPED_TRACE(c.label);
    testing::OpenLink bench(28800);
    bench.unit.setIdentSum(c.sum);
    bench.unit.faults.replies = c.replies;
    bench.line.keys = c.keys;
    const Identification result = identifyUnit(bench.link, carriedPackage());
    EXPECT_EQ(result.exit, c.exit);
    EXPECT_EQ(result.matchedIndex, c.row);
    EXPECT_EQ(bench.line.console(), "\nChecking version..\n" + c.console);
    // Exactly 15 bytes: nothing follows a command; a short reply is asked for once more.
    const bool shortReply = !c.replies.empty() && c.replies[0].kind != sim::ReplyFault::Lose &&
                            c.replies[0].kind != sim::ReplyFault::Garble;
    EXPECT_EQ(bench.line.wire(), shortReply ? "A008000L00e000CC" : "A008000L00e000C");
    EXPECT_TRUE(bench.unit.log().writes.empty());
  }
}

TEST(IdentifyTest, ReplyIsReadAfterTheUnitsSecond) {
  testing::OpenLink bench(28800);
  bench.unit.setIdentSum(0x4C9B93);
  identifyUnit(bench.link, carriedPackage());
  // 15 bytes at 28800, the 1000 ms the unit needs, then the complete reply is taken at once.
  EXPECT_NEAR(sim::toMs(bench.line.consoleTime("Unit confirmed")), 15 * 1000.0 / 2880 + 1000, 1e-9);
}

TEST(IdentifyTest, LaterBuildOfTheSameModelIsQuestioned) {
  // A release older than the unit's own build: row 158 (02/09/04) is later than 01/19/04.
  FirmwarePackage older = carriedPackage();
  older.packageRevision = 0x011904;
  testing::OpenLink bench(28800);
  bench.unit.setIdentSum(0x4AA4BE);
  bench.line.keys = "n";
  const Identification result = identifyUnit(bench.link, older);
  EXPECT_EQ(result.exit, ExitLabel::kRefused);
  EXPECT_EQ(bench.line.console(), "\nChecking version..\nCould not confirm unit ID (csum=4aa4be)\n"
                                  "Are you sure you want to run update for Korrin rev 011904 (y/n)");
}

TEST(IdentifyTest, RefusalsEndWithStatusOneAndTheUnitUntouched) {
  struct Case {
    const char* label;
    std::uint32_t sum;
    std::string keys;
    std::string tail;
  } const cases[] = {
      {"E6", 0x4D5A69, "",
       "Unit ID's as KorrinPro, but this firmware is for a Korrin    (ind:3)\nFirmware not updated...Exiting\n"
       "\nPress a key to exit program"},
      {"E7", 0x777777, "nx",
       "(y/n)\nFirmware not updated...Exiting\n\nPress a key to exit program"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    testing::VirtualRun run;
    run.unit.setIdentSum(c.sum);
    run.line.keys = c.keys;
    EXPECT_EQ(run.run(), 1);
    const std::string shown = run.console();
    EXPECT_EQ(shown.substr(shown.size() - c.tail.size()), c.tail);
    EXPECT_EQ(run.wire(), testing::startupWire() + "A008000L00e000CX");
    EXPECT_TRUE(run.unit.log().exited);
    EXPECT_TRUE(run.unit.log().writes.empty());
    EXPECT_FALSE(run.line.hung);
  }
}

}  // namespace
}  // namespace korrin
