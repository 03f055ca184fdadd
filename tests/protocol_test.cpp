// The port, the link start-up and the block transfer, on the wire and by the
// clock: what whole runs show only in their sum.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "harness.h"
#include "protocol/block_transfer.h"
#include "protocol/memory_check.h"
#include "protocol/link_startup.h"

namespace korrin {
namespace {

TEST(SerialPortTest, OpenSucceedsOnlyWhenEverySettingTakes) {
  struct Case {
    const char* name;
    bool busy, refused, opened;
  } const cases[] = {
      {"COM1", false, false, true},   {"COM123456", false, false, true}, {nullptr, false, false, false},
      {"COM9", false, false, false},  {"COM1", true, false, false},      {"COM1", false, true, false},
      {"COM1234567", false, false, false},  // 10 characters: no room for the NUL
      {"COM12345678901", false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << (c.name ? c.name : "no name") << " busy " << c.busy << " refused "
                                      << c.refused);
    sim::UnitModel unit;
    sim::VirtualLine line(unit);
    line.ports.insert({"COM123456", "COM1234567"});
    SerialPort port;
    ASSERT_TRUE(port.open("COM1", 9600));
    if (c.busy) line.busyPorts.insert("COM1");
    line.refuseSettings = c.refused;
    EXPECT_EQ(port.open(c.name, 2400), c.opened);
    port.writeByte('E');
    port.close();
    EXPECT_EQ(line.wire(), c.opened ? "E" : "") << "a port that failed to open sends nothing";
    EXPECT_EQ(line.lastSettings.baud, c.refused || c.opened ? 2400u : 9600u);
    EXPECT_EQ(line.opens, !c.name || std::strlen(c.name) >= SerialPort::kNameField ? 1 : 2);
  }
  // The whole line, field by field, as the port hands it to the OS: as the
  // unit's firmware was built against, and a write bound of twice the line
  // time per byte (2.08 ms at 9600 baud, rounded up) and 3 s.
  sim::UnitModel unit;
  sim::VirtualLine line(unit);
  SerialPort port;
  ASSERT_TRUE(port.open("COM1", 9600));
  const os::LineSettings& got = line.lastSettings;
  const struct {
    const char* name;
    long long got, expected;
  } fields[] = {
      {"baud", got.baud, 9600},
      {"dataBits", got.dataBits, 8},
      {"parity", static_cast<long>(got.parity), static_cast<long>(os::Parity::None)},
      {"stopBits", got.stopBits, 1},
      {"dtr", got.dtr, 0},
      {"rts", got.rts, 0},
      {"ctsFlow", got.ctsFlow, 0},
      {"dsrFlow", got.dsrFlow, 0},
      {"xonXoffOut", got.xonXoffOut, 0},
      {"xonXoffIn", got.xonXoffIn, 0},
      {"xonLimit", got.xonLimit, 2},
      {"xoffLimit", got.xoffLimit, 4},
      {"xonChar", got.xonChar, 0x13},
      {"xoffChar", got.xoffChar, 0x19},
      {"writeMsPerByte", got.writeMsPerByte, 3},
      {"writeSlackMs", got.writeSlackMs, 3000},
  };
  for (const auto& field : fields) EXPECT_EQ(field.got, field.expected) << field.name;
}

// Nothing done on a closed port reaches the line or leaves a trace on the port.
TEST(SerialPortTest, AClosedPortIsInert) {
  sim::UnitModel unit;
  sim::VirtualLine line(unit);
  SerialPort port;
  std::uint8_t buffer[4] = {7, 7, 7, 7};
  EXPECT_EQ(port.read(buffer, 4), 0u);
  EXPECT_EQ(buffer[0], 7);
  EXPECT_EQ(port.bytesAvailable(), 0u);
  port.write("EE", 2);
  ASSERT_TRUE(port.open("COM1", 9600));
  port.writeByte('E');
  port.close();
  EXPECT_EQ(line.wire(), "E");
}

TEST(LinkStartupTest, TimingAndTheTenAcknowledgementRetries) {
  for (const bool acknowledged : {true, false}) {
    sim::UnitModel unit;
    unit.faults.neverHOk = !acknowledged;
    sim::VirtualLine line(unit);
    Link link;
    ASSERT_EQ(startLink(link), LinkStart::kUp);
    const double byte9600 = 1000.0 / 960, byte28800 = 1000.0 / 2880;
    // 'E' at 9600 and its "Ok" read with length 20: 320 ms of polls. Then
    // "B028800" at 9600 and the burst of 20 'E's at 28800.
    EXPECT_DOUBLE_EQ(sim::toMs(line.wireTime("B028800")), byte9600 + 320);
    // The check after the burst follows the 100 ms drain and itself costs 320 ms;
    // 'G' and 'H' are each given 2000 ms and their replies, shorter than 20, 320 ms more.
    const double acknowledgement = 2 * (byte28800 + 2000 + 320);
    const double expected = byte9600 + 320 + 7 * byte9600 + 20 * byte28800 + 100 + byte28800 + 320 + acknowledgement;
    std::string console = "Connected\n";
    for (int i = 0; !acknowledged && i < 10; ++i) console += "Info: ret HNo\nRetry001:" + std::to_string(i) + "\n";
    EXPECT_EQ(line.console(), console);
    EXPECT_EQ(line.wire(), testing::kStartupWire + (acknowledged ? "" : "GHGHGHGHGHGHGHGHGHGH"));
    EXPECT_NEAR(line.nowMs(), expected + (acknowledged ? 0 : 10 * (100 + acknowledgement)), 1e-6);
  }
}

// A block is confirmed only by a checksum reply that parsed in that very
// attempt and agrees; a repeat after a reply that parsed to nonzero shows the
// marker.
TEST(BlockTransferTest, OnlyAReplyThatParsedAndAgreesConfirmsABlock) {
  struct Case {
    const char* label;
    RetryNotice notice;
    std::vector<sim::ReplyFaultRule> replies;
    bool damagedOnce;
    bool zeros;  // a block of zero bytes: the checksum register still holds 0 from its start
    std::string console;
    std::size_t attempts;
  } const cases[] = {
      {"marker after a reply that parsed to nonzero", markerNotice("Re43"), {}, true, false, "Re43", 2},
      {"no marker after a lost reply: the sum is still 0", markerNotice("Re43"), {{'C', 0, 1, sim::ReplyFault::Lose}},
       false, false, "", 2},
      {"no marker after a garbled reply, though the next one is cut short", markerNotice("+"),
       {{'C', 0, 1, sim::ReplyFault::Garble}, {'C', 1, 1, sim::ReplyFault::CutShort}}, true, false, "", 3},
      {"lower-case digits confirm", markerNotice("Re43"), {{'C', 0, 1, sim::ReplyFault::LowerCase}}, false, false, "", 1},
      {"no leading zeros confirm", markerNotice("Re43"), {{'C', 0, 1, sim::ReplyFault::Unpadded}}, false, false, "", 1},
      {"zeros whose reply was lost are moved again", countedNotice(), {{'C', 0, 1, sim::ReplyFault::Lose}}, false, true,
       "Retry#1\n", 2},
      {"zeros whose reply was garbled are moved again", markerNotice("Re43"), {{'C', 0, 2, sim::ReplyFault::Garble}},
       false, true, "", 3},
      {"a counted repeat shows both sums", countedNotice(), {}, true, false, "cs err,rs=*\nRetry#1\n", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    testing::OpenLink bench;
    bench.unit.faults.replies = c.replies;
    if (c.damagedOnce) bench.unit.faults.corruptWrites[0x4100] = 1;
    std::vector<std::uint8_t> data(256);
    for (std::size_t i = 0; i < data.size() && !c.zeros; ++i) data[i] = static_cast<std::uint8_t>(1 + i * 7);
    std::fill(bench.unit.memory().begin() + 0x4100, bench.unit.memory().begin() + 0x4200, 0x55);
    const TransferPlan plan{256, true, c.notice, Progress::DotPerBlock, Stops::Taken};
    ASSERT_EQ(downloadRegion(bench.link, 0x4100, data.data(), 256, plan).end, TransferEnd::Complete);
    std::string console = c.console;
    const std::uint32_t sum = std::accumulate(data.begin(), data.end(), 0u);
    char sums[40];  // the unit's sum of the damaged block, then the PC's
    std::snprintf(sums, sizeof sums, "%x cs=%x", data[0] & 1 ? sum - 1 : sum + 1, sum);
    if (console.find('*') != std::string::npos) console.replace(console.find('*'), 1, sums);
    EXPECT_EQ(bench.line.console(), console + ".");
    EXPECT_EQ(testing::count(bench.line.wire(), "A004100D"), c.attempts);
    EXPECT_EQ(testing::count(bench.line.wire(), "L000100A004100D"), c.attempts)
        << "a repeat sends the length again: one damaged on the line would fail every repeat";
    EXPECT_TRUE(std::equal(data.begin(), data.end(), bench.unit.memory().begin() + 0x4100)) << "the unit holds the block";
  }
}

// Upload data has no framing: pairs are parsed as the unit sends them, a
// pair with no digit stores 0 and the checksum decides, and a stray character
// after a checksum reply must not shift the next block (a block ending in 0
// shifted by one byte still sums right).
TEST(BlockTransferTest, UploadsReadEveryByteInItsPlace) {
  struct Case {
    const char* label;
    std::vector<sim::ReplyFaultRule> replies;
    const char* stray;    // appended to the first checksum reply
    bool garbleZero;      // the pair of the block's zero byte arrives garbled
    const char* console;  // "+": a block read again after a reply that parsed
  } const cases[] = {
      {"lower-case pairs", {{'M', 0, 1, sim::ReplyFault::LowerCase}}, "", false, ""},
      {"pairs with no digit store 0, the checksum catches them", {{'M', 0, 1, sim::ReplyFault::Garble}}, "", false, "+"},
      {"the garbled pair of a zero byte stores 0 and sums right", {}, "", true, ""},
      {"a block cut short is read again without its checksum", {{'M', 0, 1, sim::ReplyFault::CutShort}}, "", false, ""},
      {"one stray character", {}, "x", false, ""},
      {"two stray characters", {}, "xx", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    testing::OpenLink bench;
    std::vector<std::uint8_t> data(128);
    for (std::size_t i = 0; i < 127; ++i) data[i] = static_cast<std::uint8_t>(0xF1 + i * 7);
    std::copy(data.begin(), data.end(), bench.unit.memory().begin() + 0x4000);
    bench.unit.faults.replies = c.replies;
    bench.unit.faults.replyHook = [c, first = true, second = true](char command, std::string& reply,
                                                                   std::uint32_t&) mutable {
      if (command == 'C' && first) reply += c.stray;
      first = first && command != 'C';
      if (command == 'M' && !first && second && c.garbleZero) reply.replace(reply.size() - 2, 2, "QQ");
      second = second && (command != 'M' || first);
    };
    std::vector<std::uint8_t> buffer(128);
    const TransferPlan plan{64, true, markerNotice("+"), Progress::NoDots, Stops::Taken};
    ASSERT_EQ(uploadRegion(bench.link, 0x4000, buffer.data(), 128, plan).end, TransferEnd::Complete);
    EXPECT_EQ(buffer, data);
    EXPECT_EQ(bench.line.console(), c.console);
  }
}

// The unit's checksum replies are counted in everything read, "CS=" split
// across reads too, and a false start does not carry into the next one; as
// many are owed as were asked for and not seen.
TEST(LinkTest, ChecksumRepliesAreCountedWhereverTheyAreRead) {
  const std::vector<const char*> cases[] = {{"CS=0"}, {"CCS="}, {"CSCS="}, {"CS", "="}, {"CS"}, {"CSx="}, {"CS=CS="}};
  const std::uint32_t seen[] = {1, 1, 1, 1, 0, 0, 2};
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    ChecksumReplies replies;
    for (const char* read : cases[i]) replies.count(reinterpret_cast<const std::uint8_t*>(read), static_cast<std::uint32_t>(std::strlen(read)));
    EXPECT_EQ(replies.seen, seen[i]) << cases[i].front();
  }
  testing::OpenLink bench;
  bench.link.checksumRequests = 5;
  bench.link.checksumReplies.seen = 3;
  EXPECT_EQ(checksumRepliesOwed(bench.link), 2u);
  bench.link.checksumReplies.seen = 6;
  EXPECT_EQ(checksumRepliesOwed(bench.link), 0u);
}

// An upload is believed only as far as the unit held it before the upload
// began: one damaged command reads another range (its own sum agrees there),
// or writes line bytes over a block already read; the unit is then given back
// what it held.
TEST(MemoryCheckTest, AnUploadIsWhatTheUnitHeldBeforeIt) {
  struct Case {
    const char* label;
    const char* text;  // the command whose byte is damaged
    bool last;         // its last occurrence, else its first
    std::size_t at;
    int bit;
    const char* console;
  } const cases[] = {
      {"a block read where a damaged digit pointed", "A004040M", false, 5, 0,
       "\nBlock at unit address 004040 not as read: reading it again"},
      {"the sum after it taken for 'D' over the last block read", "L000100A004000C", true, 0, 3,
       "\nBlock at unit address 0040C0 changed since it was read: writing it back"},
  };
  std::vector<std::uint8_t> data(256);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(0x35 + i * 11);
  const TransferPlan plan{64, true, markerNotice("+"), Progress::NoDots, Stops::Taken};
  std::string clean;
  {
    testing::OpenLink bench;
    std::vector<std::uint8_t> buffer(256);
    ASSERT_EQ(uploadChecked(bench.link, 0x4000, buffer.data(), 256, plan).end, TransferEnd::Complete);
    clean = bench.line.wire();
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    testing::OpenLink bench;
    std::copy(data.begin(), data.end(), bench.unit.memory().begin() + 0x4000);
    sim::LineError error;
    // The speed command the unit took before the test is heard first.
    error.index = 7 + (c.last ? clean.rfind(c.text) : clean.find(c.text)) + c.at;
    error.bit = c.bit;
    bench.unit.faults.lineErrors.push_back(error);
    std::vector<std::uint8_t> buffer(256);
    ASSERT_EQ(uploadChecked(bench.link, 0x4000, buffer.data(), 256, plan).end, TransferEnd::Complete)
        << bench.line.console();
    EXPECT_EQ(buffer, data);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), bench.unit.memory().begin() + 0x4000));
    EXPECT_EQ(bench.line.console(), c.console);
  }
}

}  // namespace
}  // namespace korrin
