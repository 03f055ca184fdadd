// Start-up on the wire: the speed negotiation and its fall-backs, its timing,
// and the 'G'/'H' acknowledgement.
#include <gtest/gtest.h>

#include "harness.h"
#include "protocol/link_startup.h"

namespace korrin {
namespace {

const std::string kFrom28800 = "28800k RS232 speed not working trying 14400k \n";
const std::string kFrom14400 = "14400k RS232 speed not working trying 9600k \n";
const std::string kFrom9600 = "9600k RS232 speed not working trying 4800k \n4800k RS232 speed not working trying 2400k \n";
const std::string kFrom2400 = "2400k RS232 speed not working trying 1000k \n";

TEST(LinkStartupTest, NegotiationOnTheWire) {
  struct Case {
    const char* label;
    std::uint32_t requested, maxAnswerSpeed;
    int answerLimit;
    bool extraAtStart;  // the first "Ok" comes with characters after it
    std::string wire, console;
    ExitLabel exit;
    std::uint32_t speed;  // negotiated
  } const cases[] = {
      {"answers at every speed", 28800, 1000000, -1, false, testing::kStartupWire, "Connected\n", ExitLabel::kNone, 28800},
      {"answers only up to 9600: two steps down", 28800, 9600, -1, false,
       "EB028800" + std::string(21, 'E') + "B014400EB009600EGH", kFrom28800 + kFrom14400 + "Connected\n", ExitLabel::kNone,
       9600},
      {"9600 asked for: B009600 all the same", 9600, 1000000, -1, false, "EB009600" + std::string(21, 'E') + "GH",
       "Connected\n", ExitLabel::kNone, 9600},
      {"no unit: E4", 28800, 1000000, 0, false, "E", "", ExitLabel::kNoUnit, 0},
      {"\"Ok\" with more after it at 9600 is not \"Ok\"", 28800, 1000000, -1, true, "E", "", ExitLabel::kNoUnit, 0},
      {"stops answering after the first Ok: E5 after the attempt at 1000", 28800, 1000000, 1, false,
       "EB028800" + std::string(21, 'E') + "B014400EB009600EB004800EB002400EB001000E", kFrom28800 + kFrom14400 + kFrom9600 + kFrom2400,
       ExitLabel::kNoLineSpeed, 1000},
      {"2400 asked for and no answer: one step, to 1000", 2400, 1000000, 1, false,
       "EB002400" + std::string(21, 'E') + "B001000E", kFrom2400, ExitLabel::kNoLineSpeed, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    sim::UnitModel unit;
    unit.faults.maxAnswerSpeed = c.maxAnswerSpeed;
    unit.faults.answerLimit = c.answerLimit;
    if (c.extraAtStart) unit.faults.replies.push_back({'E', 0, 1, sim::ReplyFault::Extra});
    sim::VirtualLine line(unit);
    Link link;
    link.requestedSpeed = c.requested;
    EXPECT_EQ(startLink(link), c.exit);
    EXPECT_EQ(line.wire(), c.wire);
    EXPECT_EQ(line.console(), c.console);
    EXPECT_EQ(link.currentSpeed, c.speed);
    if (c.exit == ExitLabel::kNone) {
      EXPECT_EQ(link.requestedSpeed, c.speed);
      EXPECT_EQ(line.pcSpeed, c.speed);
    }
  }
}

TEST(LinkStartupTest, Timing) {
  sim::UnitModel unit;
  sim::VirtualLine line(unit);
  Link link;
  ASSERT_EQ(startLink(link), ExitLabel::kNone);
  // 'E' at 9600 (one byte) and its "Ok" read with length 20: 320 ms of polls.
  EXPECT_DOUBLE_EQ(sim::toMs(line.wireTime("B028800")), 1000.0 / 960 + 320);
  // The check after the burst follows the 100 ms drain and itself costs 320 ms;
  // 'G' and 'H' are each given 2000 ms and their replies, shorter than 20, 320 ms more.
  const double expected = 1000.0 / 960 + 320 + 7 * 1000.0 / 960 + 20 * 1000.0 / 2880 + 100 + 1000.0 / 2880 + 320 +
                          2 * (1000.0 / 2880 + 2000 + 320);
  EXPECT_NEAR(line.nowMs(), expected, 1e-6);
}

TEST(LinkStartupTest, NoAcknowledgementTenRetriesThenOnwards) {
  sim::UnitModel unit;
  unit.faults.neverHOk = true;
  sim::VirtualLine line(unit);
  Link link;
  ASSERT_EQ(startLink(link), ExitLabel::kNone);
  std::string expected = "Connected\n";
  for (int i = 0; i < 10; ++i) expected += "Info: ret HNo\nRetry001:" + std::to_string(i) + "\n";
  EXPECT_EQ(line.console(), expected);
  EXPECT_EQ(line.wire(), testing::kStartupWire + "GHGHGHGHGHGHGHGHGHGH");
  // Each retry: the drain, then 'G' and 'H' with their waits.
  const double retry = 100 + 2 * (1000.0 / 2880 + 2000 + 320);
  EXPECT_NEAR(sim::toMs(line.consoleTime("Retry001:9") - line.consoleTime("Retry001:8")), retry, 1e-6);
}

}  // namespace
}  // namespace korrin
