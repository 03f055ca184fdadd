// Start-up on the wire: the speed negotiation, its fall-backs and exits E4/E5,
// and the 'G'/'H' acknowledgement.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "harness.h"
#include "protocol/link_startup.h"

namespace korrin {
namespace {

using testing::banner;
using testing::startupWire;

struct StartupCase {
  const char* label;
  std::vector<const char*> arguments;
  std::uint32_t maxAnswerSpeed;
  int answerLimit;
  bool extraAtStart;  // the first "Ok" comes with trailing characters
  std::string wire;
  std::string console;
  ExitLabel exit;
  std::uint32_t speed;  // negotiated
};

TEST(LinkStartupTest, NegotiationOnTheWire) {
  const std::string e4 =
      "\nKorrin not in update mode, serial cable not connected,\nor other sw already using com1. (err1)\n"
      "To put Korrin in update mode press 'menu',0,6,2,8 on remote\n"
      "If it's already in update mode then press 'exit','menu',0,6,2,8";
  const StartupCase cases[] = {
      {"answers at every speed", {}, 1000000, -1, false, startupWire(), "Connected\n", ExitLabel::kNone, 28800},
      {"answers only up to 9600: two steps down", {}, 9600, -1, false,
       "EB028800" + std::string(21, 'E') + "B014400EB009600EGH",
       "28800k RS232 speed not working trying 14400k \n14400k RS232 speed not working trying 9600k \nConnected\n",
       ExitLabel::kNone, 9600},
      {"-s2 asks for 9600: B009600 all the same", {"-s2"}, 1000000, -1, false,
       "EB009600" + std::string(21, 'E') + "GH", "Connected\n", ExitLabel::kNone, 9600},
      {"no unit: E4", {}, 1000000, 0, false, "E", e4, ExitLabel::kNoUnit, 0},
      {"\"Ok\" with more after it at 9600 is not \"Ok\"", {}, 1000000, -1, true, "E", e4, ExitLabel::kNoUnit, 0},
      {"stops answering after the first Ok: E5 after the attempt at 1000", {}, 1000000, 1, false,
       "EB028800" + std::string(21, 'E') + "B014400EB009600EB004800EB002400EB001000E",
       "28800k RS232 speed not working trying 14400k \n14400k RS232 speed not working trying 9600k \n"
       "9600k RS232 speed not working trying 4800k \n4800k RS232 speed not working trying 2400k \n"
       "2400k RS232 speed not working trying 1000k \n",
       ExitLabel::kNoLineSpeed, 0},
      {"-s4 and no answer at 2400: one step, to 1000", {"-s4"}, 1000000, 1, false,
       "EB002400" + std::string(21, 'E') + "B001000E", "2400k RS232 speed not working trying 1000k \n",
       ExitLabel::kNoLineSpeed, 0},
  };
  for (const StartupCase& c : cases) {
    SCOPED_TRACE(c.label);
    sim::UnitModel unit;
    unit.faults.maxAnswerSpeed = c.maxAnswerSpeed;
    unit.faults.answerLimit = c.answerLimit;
    if (c.extraAtStart) unit.faults.replies.push_back({'E', 0, 1, sim::ReplyFault::Extra});
    sim::VirtualLine line(unit);
    Link link;
    std::vector<const char*> argv{"korrin-update"};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    if (!c.arguments.empty()) link.requestedSpeed = c.arguments[0][2] == '2' ? 9600 : 2400;
    const ExitLabel exit = startLink(link);
    EXPECT_EQ(exit, c.exit);
    EXPECT_EQ(line.wire(), c.wire);
    const std::string shown = line.console();
    EXPECT_EQ(shown, exit == ExitLabel::kNoUnit ? "" : c.console.substr(0, shown.size()));
    if (exit == ExitLabel::kNone) {
      EXPECT_EQ(shown, c.console);
      EXPECT_EQ(link.requestedSpeed, c.speed);
      EXPECT_EQ(link.currentSpeed, c.speed);
      EXPECT_EQ(line.pcSpeed, c.speed);
    }
    EXPECT_FALSE(line.hung);
  }
}

TEST(LinkStartupTest, WholeProgramExitsWithTheirTexts) {
  const std::string e4 =
      "\nKorrin not in update mode, serial cable not connected,\nor other sw already using com1. (err1)\n"
      "To put Korrin in update mode press 'menu',0,6,2,8 on remote\n"
      "If it's already in update mode then press 'exit','menu',0,6,2,8";
  const std::string portNumberHelp = std::string(sim::VirtualLine::kPortNamingHelp) + "\nPress a key to exit program";
  const std::set<std::string> allFour{"COM1", "COM2", "COM3", "COM4"};
  struct Case {
    const char* label;
    int answerLimit;
    std::set<std::string> ports;  // of the PC
    std::string tail;
    std::string unitCommands;  // 'X' only after contact
  } const cases[] = {
      {"E4: the PC's ports after its text, no 'X', status 0", 0, allFour,
       e4 + "\n\nSerial ports on this PC:\n  COM1\n  COM2\n  COM3\n  COM4\n" + portNumberHelp, ""},
      {"E4 on a PC without serial ports", 0, {},
       e4 + "\n\nSerial ports on this PC: none found\n" + portNumberHelp, ""},
      {"E5: X between its two texts", 1, allFour,
       "2400k RS232 speed not working trying 1000k \nRS232 communication problem. Update exiting\n"
       "Connection cannot be made\n\nPress a key to exit program",
       "X"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    testing::VirtualRun run;
    run.unit.faults.answerLimit = c.answerLimit;
    run.line.ports = c.ports;
    EXPECT_EQ(run.run(), 0);
    const std::string shown = run.console();
    ASSERT_GE(shown.size(), c.tail.size());
    EXPECT_EQ(shown.substr(shown.size() - c.tail.size()), c.tail);
    EXPECT_EQ(shown.substr(0, banner().size()), banner());
    const std::string wire = run.wire();
    EXPECT_EQ(wire.empty() ? "" : wire.substr(wire.size() - c.unitCommands.size()), c.unitCommands);
    const auto& events = run.line.transcript;
    const auto key = std::find_if(events.rbegin(), events.rend(), [](const sim::Event& e) { return e.kind == sim::Event::Key; });
    ASSERT_NE(key, events.rend());
    EXPECT_TRUE(std::none_of(events.rbegin(), key, [](const sim::Event& e) { return e.kind != sim::Event::Close; }))
        << "after the key only the port is released";
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
  EXPECT_EQ(line.wire(), startupWire() + std::string("GHGHGHGHGHGHGHGHGHGH"));
  // Each retry: the drain, then 'G' and 'H' with their waits.
  const double retry = 100 + 2 * (1000.0 / 2880 + 2000 + 320);
  EXPECT_NEAR(sim::toMs(line.consoleTime("Retry001:9")) - sim::toMs(line.consoleTime("Retry001:8")), retry, 1e-6);
}

}  // namespace
}  // namespace korrin
