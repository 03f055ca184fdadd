// Checksummed block transfer on the wire: block addresses, length commands,
// repeats and their notices, and the bound on a block that never confirms.
#include <gtest/gtest.h>

#include <cstdio>
#include <numeric>

#include "protocol/block_transfer.h"
#include "harness.h"

namespace korrin {
namespace {

std::string hex6(char letter, std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%c%06X", letter, value);
  return text;
}

using Bench = testing::OpenLink;

// Every caller's parameters in one call, so that the cases below read as the callers' table.
enum class Direction { Download, Upload };
struct Outcome {
  bool complete;
  std::uint32_t failedAddress;
};
Outcome transferRegion(Link& link, Direction direction, std::uint32_t address, std::uint32_t length,
                       std::uint32_t blockLength, std::uint8_t* buffer, bool sendLengthFirst, RetryNotice notice,
                       Progress progress) {
  const TransferPlan plan{blockLength, sendLengthFirst, notice, progress, Stops::Taken};
  const TransferResult result = direction == Direction::Download
                                    ? downloadRegion(link, address, buffer, length, plan)
                                    : uploadRegion(link, address, buffer, length, plan);
  return {result.end == TransferEnd::Complete, result.failedAddress};
}

std::vector<std::uint8_t> pattern(std::size_t length, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
  return bytes;
}

// What a clean transfer puts on the wire, built from the block layout alone.
std::string cleanWire(Direction direction, std::uint32_t address, const std::vector<std::uint8_t>& data,
                      std::uint32_t blockLength, bool sendLengthFirst) {
  std::string wire = sendLengthFirst ? hex6('L', blockLength) : "";
  for (std::uint32_t offset = 0; offset < data.size(); offset += blockLength) {
    const std::uint32_t size = std::min<std::uint32_t>(blockLength, static_cast<std::uint32_t>(data.size()) - offset);
    if (size < blockLength) wire += hex6('L', size);
    wire += hex6('A', address + offset);
    if (direction == Direction::Download) {
      wire += "D" + std::string(data.begin() + offset, data.begin() + offset + size);
    } else {
      wire += "M";
    }
    wire += "C";
  }
  return wire;
}

TEST(BlockTransferTest, EachCallersRegionOnTheWire) {
  struct Case {
    const char* label;
    Direction direction;
    std::uint32_t address, length, blockLength;
    bool sendLengthFirst;
    Progress progress;
    std::string lastLengthCommand;  // before the short last block, if any
    std::string dots;
  } const cases[] = {
      {"layout check: 40 uploads, L000010 last", Direction::Upload, 0x4000, 2512, 64, true, Progress::NoDots, "L000010", ""},
      {"readout: 236 uploads, L000020 last, 14 dots", Direction::Upload, 0x4000, 15072, 64, true,
       Progress::DotPerKilobyte, "L000020", std::string(14, '.')},
      {"record write-back 2512: L0000D0 last", Direction::Download, 0x49D0, 2512, 256, true, Progress::NoDots, "L0000D0", ""},
      {"record write-back 2808: L0000F8 last", Direction::Download, 0x76D8, 2808, 256, true, Progress::NoDots, "L0000F8", ""},
      {"software, second part: no L000400, L0000D2 last", Direction::Download, 0x8000, 94418, 1024, false,
       Progress::DotPerBlock, "L0000D2", std::string(93, '.')},
      {"hardware: L00001E last", Direction::Download, 0x40000, 180254, 1024, true, Progress::DotPerBlock, "L00001E",
       std::string(177, '.')},
      {"whole blocks only: no length command but the first", Direction::Download, 0, 16384, 1024, false,
       Progress::DotPerBlock, "", std::string(16, '.')},
      {"shorter than one block", Direction::Upload, 0x4000, 10, 64, true, Progress::NoDots, "L00000A", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Bench bench(c.direction == Direction::Upload ? 14400 : 28800);
    std::vector<std::uint8_t> data = pattern(c.length, 3);
    if (c.direction == Direction::Upload) std::copy(data.begin(), data.end(), bench.unit.memory().begin() + c.address);
    std::vector<std::uint8_t> buffer = c.direction == Direction::Download ? data : std::vector<std::uint8_t>(c.length);
    if (!c.sendLengthFirst) bench.tellUnit("L%06X", c.blockLength);
    const Outcome result = transferRegion(bench.link, c.direction, c.address, c.length, c.blockLength,
                                                 buffer.data(), c.sendLengthFirst, countedNotice(), c.progress);
    ASSERT_TRUE(result.complete);
    EXPECT_EQ(bench.line.wire(), cleanWire(c.direction, c.address, data, c.blockLength, c.sendLengthFirst));
    EXPECT_EQ(bench.line.console(), c.dots);
    if (!c.lastLengthCommand.empty()) {
      EXPECT_NE(bench.line.wire().find(c.lastLengthCommand), std::string::npos);
    }
    // Moved exactly, both ways.
    EXPECT_TRUE(std::equal(data.begin(), data.end(), c.direction == Direction::Upload ? buffer.begin()
                                                                                       : bench.unit.memory().begin() + c.address));
    const std::uint32_t lastBlock = c.length % c.blockLength ? c.length % c.blockLength : c.blockLength;
    EXPECT_EQ(bench.unit.lengthRegister(), lastBlock) << "the unit's length is left at the last block's size";
    EXPECT_FALSE(bench.line.hung);
  }
}

TEST(BlockTransferTest, CountedRepeatsPrintTheSumsAndTheirNumber) {
  Bench bench(28800);
  std::vector<std::uint8_t> data = pattern(2048, 9);
  bench.unit.faults.corruptWrites[0x8400] = 2;  // the second block arrives damaged twice
  bench.tellUnit("L%06X", 1024);
  ASSERT_TRUE(transferRegion(bench.link, Direction::Download, 0x8000, 2048, 1024, data.data(), false, countedNotice(),
                             Progress::DotPerBlock).complete);
  const std::uint32_t sum = std::accumulate(data.begin() + 1024, data.end(), 0u);
  const std::uint32_t damaged = sum + ((data[1024] & 1) ? -1u : 1u);  // first byte's low bit flipped
  char line[64];
  std::snprintf(line, sizeof line, "cs err,rs=%x cs=%x\n", damaged, sum);
  EXPECT_EQ(bench.line.console(), std::string(".") + line + "Retry#1\n" + line + "Retry#2\n.");
  // The repeat resends address and data, never a length command.
  const std::string block = hex6('A', 0x8400) + "D" + std::string(data.begin() + 1024, data.end()) + "C";
  EXPECT_EQ(bench.line.wire(), hex6('A', 0x8000) + "D" + std::string(data.begin(), data.begin() + 1024) + "C" + block +
                                   block + block);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), bench.unit.memory().begin() + 0x8000));
}

TEST(BlockTransferTest, RepeatNoticesAndWhatConfirmsABlock) {
  struct Case {
    const char* label;
    RetryNotice notice;
    std::vector<sim::ReplyFaultRule> replies;
    std::uint32_t corruptOnce;  // address of a block damaged once, or 0
    bool zeros;                 // a block of 1024 zero bytes
    std::string console;
    int attempts;
  } const cases[] = {
      {"marker after a reply that parsed to nonzero", markerNotice("Re43"), {}, 0x4100, false, "Re43", 2},
      {"no marker after a lost reply: the sum is still 0", markerNotice("Re43"), {{'C', 0, 1, sim::ReplyFault::Lose}}, 0,
       false, "", 2},
      {"marker after a parsed reply, though the next one is lost", markerNotice("+"),
       {{'C', 0, 1, sim::ReplyFault::Garble}, {'C', 1, 1, sim::ReplyFault::CutShort}}, 0x4000, false, "", 3},
      {"lower-case digits confirm", markerNotice("Re43"), {{'C', 0, 1, sim::ReplyFault::LowerCase}}, 0, false, "", 1},
      {"no leading zeros confirm", markerNotice("Re43"), {{'C', 0, 1, sim::ReplyFault::Unpadded}}, 0, false, "", 1},
      {"zeros whose reply was lost are moved again", countedNotice(), {{'C', 0, 1, sim::ReplyFault::Lose}}, 0, true,
       "Retry#1\n", 2},
      {"zeros whose reply was garbled are moved again", markerNotice("Re43"), {{'C', 0, 2, sim::ReplyFault::Garble}}, 0,
       true, "", 3},
      {"zeros confirmed by a reply that parsed", countedNotice(), {}, 0, true, "", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Bench bench;
    bench.unit.faults.replies = c.replies;
    if (c.corruptOnce) bench.unit.faults.corruptWrites[c.corruptOnce] = 1;
    const std::uint32_t address = c.corruptOnce ? c.corruptOnce : 0x4000;
    std::vector<std::uint8_t> data = c.zeros ? std::vector<std::uint8_t>(256) : pattern(256, 1);
    std::fill(bench.unit.memory().begin() + address, bench.unit.memory().begin() + address + 256, 0x55);
    bench.tellUnit("L%06X", 256);
    ASSERT_TRUE(transferRegion(bench.link, Direction::Download, address, 256, 256, data.data(), false, c.notice,
                               Progress::NoDots).complete);
    EXPECT_EQ(bench.line.console(), c.console);
    const std::string wire = bench.line.wire();
    int sends = 0;
    for (std::size_t at = wire.find(hex6('A', address) + "D"); at != std::string::npos;
         at = wire.find(hex6('A', address) + "D", at + 1))
      ++sends;
    EXPECT_EQ(sends, c.attempts);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), bench.unit.memory().begin() + address)) << "the unit holds the block";
  }
}

TEST(BlockTransferTest, UploadPairsParseAsTheUnitSendsThem) {
  struct Case {
    const char* label;
    sim::ReplyFault fault;
    const char* console;  // "+": the checksum caught a wrong byte
  } const cases[] = {
      {"lower-case pairs", sim::ReplyFault::LowerCase, ""},
      {"pairs with no digit store 0, the checksum catches it", sim::ReplyFault::Garble, "+"},
      // The rest never comes: the attempt ends at once, without a checksum, and the block is read again.
      {"a block cut short", sim::ReplyFault::CutShort, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Bench bench;
    const std::vector<std::uint8_t> data = pattern(64, 0xF0);
    std::copy(data.begin(), data.end(), bench.unit.memory().begin() + 0x4000);
    bench.unit.faults.replies.push_back({'M', 0, 1, c.fault});
    std::vector<std::uint8_t> buffer(64);
    ASSERT_TRUE(transferRegion(bench.link, Direction::Upload, 0x4000, 64, 64, buffer.data(), true, markerNotice("+"),
                               Progress::NoDots).complete);
    EXPECT_EQ(buffer, data);
    EXPECT_EQ(bench.line.console(), c.console);
  }
}

// Stray characters after a checksum reply must not be read as the next block's
// first byte: shifted by one, a block ending in 0 still sums right.
TEST(BlockTransferTest, StrayCharactersAfterAReplyDoNotShiftTheNextUpload) {
  Bench bench;
  std::vector<std::uint8_t> data = pattern(128, 0x31);
  data[127] = 0;
  std::copy(data.begin(), data.end(), bench.unit.memory().begin() + 0x4000);
  bench.unit.faults.replies.push_back({'C', 0, 1, sim::ReplyFault::Extra});
  std::vector<std::uint8_t> buffer(128);
  ASSERT_TRUE(transferRegion(bench.link, Direction::Upload, 0x4000, 128, 64, buffer.data(), true, markerNotice("+"),
                             Progress::NoDots).complete);
  EXPECT_EQ(buffer, data);
}

TEST(BlockTransferTest, ABlockThatNeverConfirmsEndsTheTransferAtTheBound) {
  Bench bench(28800);
  std::vector<std::uint8_t> data = pattern(3072, 5);
  bench.unit.faults.corruptWrites[0x8400] = 1000;
  bench.tellUnit("L%06X", 1024);
  const Outcome result = transferRegion(bench.link, Direction::Download, 0x8000, 3072, 1024, data.data(), false,
                                               countedNotice(), Progress::DotPerBlock);
  EXPECT_FALSE(result.complete);
  EXPECT_EQ(result.failedAddress, 0x8400u);
  const std::string console = bench.line.console();
  EXPECT_NE(console.find("Retry#31\n"), std::string::npos);
  EXPECT_EQ(console.find("Retry#32"), std::string::npos);
  EXPECT_NE(console.find("\nBlock at unit address 008400 not confirmed after 32 attempts\n"), std::string::npos);
  EXPECT_EQ(bench.line.wire().find(hex6('A', 0x8800)), std::string::npos) << "nothing after the failed block";
}

}  // namespace
}  // namespace korrin
