// Revision order, and identification: the window checksum on the wire and by
// the clock, the first-match lookup, the model check (E6) and the operator's
// question (E7).
#include <gtest/gtest.h>

#include "harness.h"
#include "package/identify.h"

namespace korrin {
namespace {

TEST(CompareRevisionTest, OrdersByYearThenMonthThenDay) {
  const struct {
    RevisionCode a, b;
    int expected;
  } cases[] = {
      {0x020904, 0x020904, 0},   {0x033101, 0x030303, -1}, {0x011904, 0x123103, 1},  {0x010105, 0x123104, 1},
      {0x123104, 0x010105, -1},  {0x000000, 0x020904, -1}, {0x042303, 0x042403, -1}, {0x110603, 0x103003, 1},
      {0x010203, 0x010103, 1},   {0x123199, 0x010100, 1},  {0x7F020904, 0xFF020904, 0},  // bits 24-31 are no part of it
  };
  for (const auto& c : cases) EXPECT_EQ(compareRevision(c.a, c.b), c.expected) << std::hex << c.a << " vs " << c.b;
}

const std::string kQuestion = "Are you sure you want to run update for Korrin rev 020904 (y/n)";
const std::string kProceeding = "Update proceeding..\n\n";

TEST(IdentifyTest, LookupAndDecision) {
  constexpr std::uint32_t kNoRow = kUnitTableRows;
  struct Case {
    const char* label;
    std::uint32_t sum;
    std::vector<sim::ReplyFaultRule> replies;
    std::string keys;
    IdentifyEnd end;
    std::uint32_t row;
    std::string console;  // after "\nChecking version..\n"
    std::string wire;
    RevisionCode release = 0x020904;
    int flipped = -1;  // a character of the reply with one bit flipped on the line
  } const cases[] = {
      {"row 0: padded name, four blanks before 'with'", 0x4C9B93, {}, "", IdentifyEnd::kGoOn, 0,
       "Unit confirmed as Korrin    with firmware rev 030303.\n" + kProceeding, "C"},
      {"row 3: a Pro unit", 0x4D5A69, {}, "", IdentifyEnd::kWrongModel, 3,
       "Unit ID's as KorrinPro, but this firmware is for a Korrin    (ind:3)\n", "C"},
      {"shared sum: first row, 81, wins", 0x4C3260, {}, "", IdentifyEnd::kGoOn, 81,
       "Unit confirmed as Korrin    with firmware rev 083003.\n" + kProceeding, "C"},
      {"shared sum: row 95 (Pro) wins over 99, 103, 107", 0x4C20E2, {}, "", IdentifyEnd::kWrongModel, 95,
       "Unit ID's as KorrinPro, but this firmware is for a Korrin    (ind:95)\n", "C"},
      {"sum 0: the placeholder row 32", 0, {}, "", IdentifyEnd::kGoOn, 32,
       "Unit confirmed as Korrin    with firmware rev 042303.\n" + kProceeding, "C"},
      // A short reply is asked for again and believed only when it repeats.
      {"unpadded lower-case reply, twice", 0x4C9B93,
       {{'C', 0, 2, sim::ReplyFault::Unpadded}, {'C', 0, 2, sim::ReplyFault::LowerCase}}, "", IdentifyEnd::kGoOn, 0,
       "Unit confirmed as Korrin    with firmware rev 030303.\n" + kProceeding, "CC"},
      {"a unit that really sends CS=0: row 32", 0, {{'C', 0, 2, sim::ReplyFault::Unpadded}}, "", IdentifyEnd::kGoOn, 32,
       "Unit confirmed as Korrin    with firmware rev 042303.\n" + kProceeding, "CC"},
      // Row 81 holds 2512-byte records already; read as row 32 they would be converted as legacy ones.
      {"CS=00 cut from row 81's sum is not row 32", 0x4C3260, {{'C', 0, 1, sim::ReplyFault::CutShort}}, "n",
       IdentifyEnd::kRefused, kNoRow, "Could not confirm unit ID (csum=ffffffff)\n" + kQuestion, "CC"},
      // Row 0's "CS=004C9B93" with its '4' turned into '$': not the placeholder row's 0, nor any other.
      {"a reply damaged into CS=00 and a non-digit", 0x4C9B93, {}, "n", IdentifyEnd::kRefused, kNoRow,
       "Could not confirm unit ID (csum=ffffffff)\n" + kQuestion, "C", 0x020904, 5},
      {"unknown sum, 'y'", 0x123456, {}, "y", IdentifyEnd::kGoOn, kNoRow,
       "Could not confirm unit ID (csum=123456)\n" + kQuestion + "\n" + kProceeding, "C"},
      {"unknown sum, 'Y'", 0x00ABCD, {}, "Y", IdentifyEnd::kGoOn, kNoRow,
       "Could not confirm unit ID (csum=abcd)\n" + kQuestion + "\n" + kProceeding, "C"},
      {"unknown sum, 'n'", 0x123456, {}, "n", IdentifyEnd::kRefused, kNoRow,
       "Could not confirm unit ID (csum=123456)\n" + kQuestion, "C"},
      {"unknown sum, input at its end", 0x123456, {}, "", IdentifyEnd::kRefused, kNoRow,
       "Could not confirm unit ID (csum=123456)\n" + kQuestion, "C"},
      {"lost reply matches nothing, not row 32", 0, {{'C', 0, 1, sim::ReplyFault::Lose}}, "n", IdentifyEnd::kRefused,
       kNoRow, "Could not confirm unit ID (csum=ffffffff)\n" + kQuestion, "C"},
      {"garbled reply matches nothing", 0, {{'C', 0, 1, sim::ReplyFault::Garble}}, "y", IdentifyEnd::kGoOn, kNoRow,
       "Could not confirm unit ID (csum=ffffffff)\n" + kQuestion + "\n" + kProceeding, "C"},
      {"a build later than the release: row 158 (02/09/04) for 01/19/04", 0x4AA4BE, {}, "n", IdentifyEnd::kRefused, 158,
       "Could not confirm unit ID (csum=4aa4be)\nAre you sure you want to run update for Korrin rev 011904 (y/n)", "C",
       0x011904},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    testing::OpenLink bench(28800);
    sim::setIdentificationSum(bench.unit.memory(), c.sum);
    bench.unit.faults.replies = c.replies;
    if (c.flipped >= 0)
      bench.unit.faults.replyHook = [&c](char, std::string& reply, std::uint32_t&) { reply[c.flipped] ^= 0x10; };
    bench.line.keys = c.keys;
    FirmwarePackage release = carriedPackage();
    release.packageRevision = c.release;
    const Identification result = identifyUnit(bench.link, release);
    EXPECT_EQ(result.end, c.end);
    EXPECT_EQ(result.matchedIndex, c.row);
    EXPECT_EQ(bench.line.console(), "\nChecking version..\n" + c.console);
    EXPECT_EQ(bench.line.wire(), "A008000L00e000" + c.wire) << "nothing follows a command";
    // 15 bytes at 28800, the 1000 ms the unit needs, then a complete reply is taken at once.
    if (c.wire == "C" && c.replies.empty() && c.row < kNoRow && c.end != IdentifyEnd::kRefused) {
      EXPECT_DOUBLE_EQ(sim::toMs(bench.line.consoleTime("Unit ")), 15 * 1000.0 / 2880 + 1000);
    }
  }
}

}  // namespace
}  // namespace korrin
