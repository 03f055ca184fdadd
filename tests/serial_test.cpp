// When the port opens, its line settings, and the timing of the reply exchange.
#include <gtest/gtest.h>

#include <cstring>

#include "harness.h"
#include "serial/reply_exchange.h"
#include "serial/serial_port.h"

namespace korrin {
namespace {

using sim::kTicksPerMs;

TEST(SerialPortTest, OpenSucceedsOnlyWhenEverySettingTakes) {
  struct Case {
    const char* label;
    const char* name;
    bool busy, failMask, failTimeouts, failState;
    bool opened;
  } const cases[] = {
      {"opened", "COM1", false, false, false, false, true},
      {"no name", nullptr, false, false, false, false, false},
      {"no such port", "COM9", false, false, false, false, false},
      {"held by another program", "COM1", true, false, false, false, false},
      {"mask refused", "COM1", false, true, false, false, false},
      {"timeouts refused", "COM1", false, false, true, false, false},
      {"state refused", "COM1", false, false, false, true, false},
      {"name without room for its NUL", "COM1234567", false, false, false, false, false},
      {"longer name", "COM12345678901", false, false, false, false, false},
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
    EXPECT_EQ(port.open(c.name, 2400), c.opened);
    EXPECT_EQ(port.isOpen(), c.opened);
    if (!c.opened) {
      port.writeByte('E');
      EXPECT_EQ(line.wire(), "") << "a failed open sends nothing";
      EXPECT_EQ(port.bytesAvailable(), 0u);
    }
    if (c.failMask || c.failTimeouts) {
      EXPECT_EQ(line.lastDcb.BaudRate, 2400u) << "the line settings are tried whatever the steps before gave";
    }
    if (c.name && std::strlen(c.name) >= SerialPort::kNameField) {
      EXPECT_EQ(line.opens, 1) << "never opened with a name that lost its NUL";
    }
  }
}

TEST(SerialPortTest, LineSettings) {
  sim::UnitModel unit;
  sim::VirtualLine line(unit);
  SerialPort port;
  ASSERT_TRUE(port.open("COM1", 28800));
  const os::DCB& dcb = line.lastDcb;
  EXPECT_EQ(dcb.DCBlength, sizeof(os::DCB));
  EXPECT_EQ(dcb.BaudRate, 28800u);
  EXPECT_EQ(dcb.fParity, 0u);
  EXPECT_EQ(dcb.Parity, os::NOPARITY);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.StopBits, os::ONESTOPBIT);
  EXPECT_EQ(dcb.fBinary, 1u);
  EXPECT_EQ(dcb.fDtrControl, os::DTR_CONTROL_DISABLE);
  EXPECT_EQ(dcb.fRtsControl, os::RTS_CONTROL_DISABLE);
  EXPECT_EQ(dcb.fOutxCtsFlow | dcb.fOutxDsrFlow | dcb.fOutX | dcb.fInX, 0u);
  EXPECT_EQ(dcb.XonChar, 0x13);
  EXPECT_EQ(dcb.XoffChar, 0x19);
  EXPECT_EQ(dcb.XonLim, 2);
  EXPECT_EQ(dcb.XoffLim, 4);
  const os::COMMTIMEOUTS& t = line.lastTimeouts;
  EXPECT_EQ(t.ReadIntervalTimeout | t.ReadTotalTimeoutConstant | t.ReadTotalTimeoutMultiplier |
                t.WriteTotalTimeoutConstant | t.WriteTotalTimeoutMultiplier,
            0u);
}

TEST(SerialPortTest, ClosedPortIsInert) {
  sim::UnitModel unit;
  sim::VirtualLine line(unit);
  SerialPort port;
  port.close();
  port.close();
  std::uint8_t buffer[4] = {7, 7, 7, 7};
  EXPECT_EQ(port.read(buffer, 4), 0u);
  EXPECT_EQ(buffer[0], 7) << "a closed port leaves the buffer untouched";
  port.write("EE", 2);
  EXPECT_EQ(line.wire(), "");
}

// The unit sends `text` after the PC's command; the exchange then reads it.
struct ReplyCase {
  const char* label;
  const char* command;  // what the PC sends first (the unit answers it)
  std::uint32_t settleMs;
  int length;
  const char* expected;
  double costMs;        // from the start of readReply to its return
  std::uint32_t leftOver;
};

TEST(ReplyExchangeTest, ReadReplyTiming) {
  const ReplyCase cases[] = {
      {"nothing arrives: 9 polls, 8 pauses", "K", 0, 20, "", 320, 0},
      {"\"Ok\" read with length 20 costs the full 320 ms", "E", 10, 20, "Ok", 320, 0},
      {"26 waiting, length 20: taken at once", "L00000DA000000M", 100, 20, "00000000000000000000", 0, 6},
      {"3 waiting, length 2: two at once, one stays", "L000001A000000C", 100, 2, "CS", 0, 9},
      {"a complete reply is taken at the poll that finds it", "L000001A000000C", 0, 11, "CS=00000000", 40, 0},
  };
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.label);
    sim::UnitModel unit;
    sim::VirtualLine line(unit);
    SerialPort port;
    ASSERT_TRUE(port.open("COM1", 9600));
    sendText(c.command, port);
    if (c.settleMs) sleepMs(c.settleMs);
    ReplyBuffer reply;
    const sim::Ticks start = line.now;
    const int count = readReply(reply, port, c.length);
    EXPECT_STREQ(reply.text, c.expected);
    EXPECT_EQ(count, static_cast<int>(std::strlen(c.expected)));
    EXPECT_DOUBLE_EQ(sim::toMs(line.now - start), c.costMs);
    EXPECT_EQ(port.bytesAvailable(), c.leftOver);
  }
}

TEST(ReplyExchangeTest, ReplyWithNulReadsAsShorterText) {
  sim::UnitModel unit;
  unit.faults.replies.push_back({'E', 0, 1, sim::ReplyFault::WithNul});
  sim::VirtualLine line(unit);
  SerialPort port;
  ASSERT_TRUE(port.open("COM1", 9600));
  ReplyBuffer reply;
  EXPECT_EQ(sendCommand(port, 'E', 0, 20, reply), 3);
  EXPECT_STREQ(reply.text, "O");
}

TEST(ReplyExchangeTest, DrainInputEmptiesWhatHasArrivedAfterItsPause) {
  sim::UnitModel unit;
  sim::VirtualLine line(unit);
  SerialPort port;
  ASSERT_TRUE(port.open("COM1", 28800));
  unit.receive('B'); // bring the unit to the port's speed
  for (char c : std::string("028800")) unit.receive(static_cast<std::uint8_t>(c));
  sendText("L000064A000000M", port);  // 200 characters on their way
  const sim::Ticks start = line.now;
  drainInput(port);
  EXPECT_DOUBLE_EQ(sim::toMs(line.now - start), 100.0);
  EXPECT_EQ(port.bytesAvailable(), 0u);
  EXPECT_FALSE(line.hung);
}

TEST(ReplyExchangeTest, SleepOfZeroSleepsOneMillisecond) {
  sim::UnitModel unit;
  sim::VirtualLine line(unit);
  sleepMs(0);
  EXPECT_EQ(line.now, kTicksPerMs);
  sleepMs(40);
  EXPECT_EQ(line.now, 41 * kTicksPerMs);
}

}  // namespace
}  // namespace korrin
