// When the port opens, and the timing of the reply exchange on it.
#include <gtest/gtest.h>

#include <cstring>

#include "harness.h"
#include "serial/reply_exchange.h"

namespace korrin {
namespace {

TEST(SerialPortTest, OpenSucceedsOnlyWhenEverySettingTakes) {
  struct Case {
    const char* label;
    const char* name;
    bool busy, failMask, failTimeouts, failState;
  } const cases[] = {
      {"opened", "COM1", false, false, false, false},
      {"no name", nullptr, false, false, false, false},
      {"no such port", "COM9", false, false, false, false},
      {"held by another program", "COM1", true, false, false, false},
      {"mask refused", "COM1", false, true, false, false},
      {"timeouts refused", "COM1", false, false, true, false},
      {"state refused", "COM1", false, false, false, true},
      {"name without room for its NUL", "COM1234567", false, false, false, false},
      {"longer name", "COM12345678901", false, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    sim::UnitModel unit;
    sim::VirtualLine line(unit);
    line.ports.insert("COM1234567");
    SerialPort port;
    ASSERT_TRUE(port.open("COM1", 9600));
    if (c.busy) line.busyPorts.insert("COM1");
    line.failMask = c.failMask;
    line.failTimeouts = c.failTimeouts;
    line.failState = c.failState;
    const bool opened = c.label == std::string("opened");
    EXPECT_EQ(port.open(c.name, 2400), opened);
    EXPECT_EQ(port.isOpen(), opened);
    port.writeByte('E');
    EXPECT_EQ(line.wire(), opened ? "E" : "") << "a port that failed to open sends nothing";
    // The line settings are tried whatever the steps before them gave; a name
    // that lost its NUL is never handed to the system.
    EXPECT_EQ(line.lastDcb.BaudRate, c.failMask || c.failTimeouts || opened || c.failState ? 2400u : 9600u);
    EXPECT_EQ(line.opens, !c.name || std::strlen(c.name) >= SerialPort::kNameField ? 1 : 2);
  }
}

// The fields only Windows reads: it refuses a DCB of another length or
// without binary mode, which neither the POSIX seam nor the virtual line does.
TEST(SerialPortTest, TheRecordIsWhatWindowsAccepts) {
  sim::UnitModel unit;
  sim::VirtualLine line(unit);
  SerialPort port;
  ASSERT_TRUE(port.open("COM1", 28800));
  EXPECT_EQ(line.lastDcb.DCBlength, sizeof(os::DCB));
  EXPECT_EQ(line.lastDcb.fBinary, 1u);
  EXPECT_NE(line.lastDcb.XonChar, line.lastDcb.XoffChar);
}

// Nothing done on a closed port reaches the line or leaves a trace on the port.
TEST(SerialPortTest, AClosedPortIsInert) {
  sim::UnitModel unit;
  sim::VirtualLine line(unit);
  SerialPort port;
  port.close();
  std::uint8_t buffer[4] = {7, 7, 7, 7};
  EXPECT_EQ(port.read(buffer, 4), 0u);
  EXPECT_EQ(buffer[0], 7);
  EXPECT_EQ(port.bytesAvailable(), 0u);
  port.write("EE", 2);
  EXPECT_EQ(line.wire(), "");
  EXPECT_FALSE(port.lost());
  ASSERT_TRUE(port.open("COM1", 9600));
  port.writeByte('E');
  EXPECT_EQ(line.wire(), "E");
}

TEST(ReplyExchangeTest, ReadReplyTiming) {
  struct Case {
    const char* label;
    const char* command;  // what the PC sends first (the unit answers it)
    std::uint32_t settleMs;
    int length;
    std::vector<sim::ReplyFaultRule> replies;
    const char* expected;
    int count;
    double costMs;  // from the start of readReply to its return
    std::uint32_t leftOver;
  } const cases[] = {
      {"nothing arrives: 9 polls, 8 pauses", "K", 0, 20, {}, "", 0, 320, 0},
      {"\"Ok\" read with length 20 costs the full 320 ms", "E", 10, 20, {}, "Ok", 2, 320, 0},
      {"a NUL ends the text, not the count", "E", 10, 20, {{'E', 0, 1, sim::ReplyFault::WithNul}}, "O", 3, 320, 0},
      {"26 waiting, length 20: taken at once", "L00000DA000000M", 100, 20, {}, "00000000000000000000", 20, 0, 6},
      {"3 waiting, length 2: two at once, one stays", "L000001A000000C", 100, 2, {}, "CS", 2, 0, 9},
      {"a complete reply is taken at the poll that finds it", "L000001A000000C", 0, 11, {}, "CS=00000000", 11, 40, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    sim::UnitModel unit;
    unit.faults.replies = c.replies;
    sim::VirtualLine line(unit);
    SerialPort port;
    ASSERT_TRUE(port.open("COM1", 9600));
    sendText(c.command, port);
    if (c.settleMs) sleepMs(c.settleMs);
    ReplyBuffer reply;
    const sim::Ticks start = line.now;
    EXPECT_EQ(readReply(reply, port, c.length), c.count);
    EXPECT_STREQ(reply.text, c.expected);
    EXPECT_DOUBLE_EQ(sim::toMs(line.now - start), c.costMs);
    EXPECT_EQ(port.bytesAvailable(), c.leftOver);
  }
}

TEST(ReplyExchangeTest, DrainWaitsThenEmptiesWhatHasArrived) {
  testing::OpenLink bench(28800);
  sendText("L000064A000000M", bench.link.port);  // 200 characters on their way
  const sim::Ticks start = bench.line.now;
  drainInput(bench.link.port);
  EXPECT_DOUBLE_EQ(sim::toMs(bench.line.now - start), 100.0);
  EXPECT_EQ(bench.link.port.bytesAvailable(), 0u);
  EXPECT_FALSE(bench.line.hung);
  sleepMs(0);
  EXPECT_DOUBLE_EQ(sim::toMs(bench.line.now - start), 101.0) << "a pause of 0 is 1 ms";
}

}  // namespace
}  // namespace korrin
