// Checksummed block transfer on the wire: block addresses and length
// commands, what confirms a block, repeats and their notices, and upload data
// read exactly as the unit sends it.
#include <gtest/gtest.h>

#include <numeric>

#include "harness.h"
#include "protocol/block_transfer.h"

namespace korrin {
namespace {

std::string hex6(char letter, std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%c%06X", letter, value);
  return text;
}

std::vector<std::uint8_t> pattern(std::size_t length, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
  return bytes;
}

bool moved(Link& link, bool upload, std::uint32_t address, std::vector<std::uint8_t>& bytes, std::uint32_t blockLength,
           bool sendLengthFirst, RetryNotice notice, Progress progress = Progress::NoDots) {
  const TransferPlan plan{blockLength, sendLengthFirst, notice, progress, Stops::Taken};
  const auto length = static_cast<std::uint32_t>(bytes.size());
  return (upload ? uploadRegion(link, address, bytes.data(), length, plan)
                 : downloadRegion(link, address, bytes.data(), length, plan)).end == TransferEnd::Complete;
}

TEST(BlockTransferTest, EachCallersRegionOnTheWire) {
  struct Case {
    const char* label;
    bool upload;
    std::uint32_t address, length, blockLength;
    bool sendLengthFirst;
    Progress progress;
    std::string dots;
  } const cases[] = {
      {"layout check: 40 uploads, L000010 last", true, 0x4000, 2512, 64, true, Progress::NoDots, ""},
      {"readout: 236 uploads, L000020 last", true, 0x4000, 15072, 64, true, Progress::DotPerKilobyte,
       std::string(14, '.')},
      {"record write-back 2512: L0000D0 last", false, 0x49D0, 2512, 256, true, Progress::NoDots, ""},
      {"record write-back 2808: L0000F8 last", false, 0x76D8, 2808, 256, true, Progress::NoDots, ""},
      {"software, second part: no L000400, L0000D2 last", false, 0x8000, 94418, 1024, false, Progress::DotPerBlock,
       std::string(93, '.')},
      {"hardware: L00001E last", false, 0x40000, 180254, 1024, true, Progress::DotPerBlock, std::string(177, '.')},
      {"whole blocks only: no length command", false, 0, 16384, 1024, false, Progress::DotPerBlock,
       std::string(16, '.')},
      {"shorter than one block", true, 0x4000, 10, 64, true, Progress::NoDots, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    testing::OpenLink bench(c.upload ? 14400 : 28800);
    const std::vector<std::uint8_t> data = pattern(c.length, 3);
    if (c.upload) std::copy(data.begin(), data.end(), bench.unit.memory().begin() + c.address);
    std::vector<std::uint8_t> buffer = c.upload ? std::vector<std::uint8_t>(c.length) : data;
    if (!c.sendLengthFirst) bench.tellUnit("L%06X", c.blockLength);
    ASSERT_TRUE(moved(bench.link, c.upload, c.address, buffer, c.blockLength, c.sendLengthFirst, countedNotice(),
                      c.progress));
    // What a clean transfer puts on the wire, from the block layout alone.
    std::string wire = c.sendLengthFirst ? hex6('L', c.blockLength) : "";
    for (std::uint32_t offset = 0; offset < c.length; offset += c.blockLength) {
      const std::uint32_t size = std::min(c.blockLength, c.length - offset);
      if (size < c.blockLength) wire += hex6('L', size);
      wire += hex6('A', c.address + offset) + (c.upload ? "M" : "D" + std::string(data.begin() + offset,
                                                                                   data.begin() + offset + size));
      wire += "C";
    }
    EXPECT_EQ(bench.line.wire(), wire);
    EXPECT_EQ(bench.line.console(), c.dots);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), c.upload ? buffer.begin() : bench.unit.memory().begin() + c.address));
    EXPECT_EQ(bench.unit.lengthRegister(), c.length % c.blockLength ? c.length % c.blockLength : c.blockLength);
  }
}

TEST(BlockTransferTest, CountedRepeatsPrintTheSumsAndTheirNumber) {
  testing::OpenLink bench(28800);
  std::vector<std::uint8_t> data = pattern(2048, 9);
  bench.unit.faults.corruptWrites[0x8400] = 2;  // the second block arrives damaged twice
  bench.tellUnit("L%06X", 1024);
  ASSERT_TRUE(moved(bench.link, false, 0x8000, data, 1024, false, countedNotice(), Progress::DotPerBlock));
  const std::uint32_t sum = std::accumulate(data.begin() + 1024, data.end(), 0u);
  const std::uint32_t damaged = sum + ((data[1024] & 1) ? -1u : 1u);  // first byte's low bit flipped
  char line[64];
  std::snprintf(line, sizeof line, "cs err,rs=%x cs=%x\n", damaged, sum);
  EXPECT_EQ(bench.line.console(), std::string(".") + line + "Retry#1\n" + line + "Retry#2\n.");
  // The repeat resends address and data, never a length command.
  const std::string block = hex6('A', 0x8400) + "D" + std::string(data.begin() + 1024, data.end()) + "C";
  EXPECT_EQ(bench.line.wire(),
            hex6('A', 0x8000) + "D" + std::string(data.begin(), data.begin() + 1024) + "C" + block + block + block);
}

TEST(BlockTransferTest, OnlyAReplyThatParsedAndAgreesConfirmsABlock) {
  struct Case {
    const char* label;
    RetryNotice notice;
    std::vector<sim::ReplyFaultRule> replies;
    bool damagedOnce;
    bool zeros;  // a block of zero bytes: the checksum register still holds 0 from its start
    std::string console;
    int attempts;
  } const cases[] = {
      {"marker after a reply that parsed to nonzero", markerNotice("Re43"), {}, true, false, "Re43", 2},
      {"no marker after a lost reply: the sum is still 0", markerNotice("Re43"), {{'C', 0, 1, sim::ReplyFault::Lose}},
       false, false, "", 2},
      {"marker after a parsed reply, though the next one is lost", markerNotice("+"),
       {{'C', 0, 1, sim::ReplyFault::Garble}, {'C', 1, 1, sim::ReplyFault::CutShort}}, true, false, "", 3},
      {"lower-case digits confirm", markerNotice("Re43"), {{'C', 0, 1, sim::ReplyFault::LowerCase}}, false, false, "", 1},
      {"no leading zeros confirm", markerNotice("Re43"), {{'C', 0, 1, sim::ReplyFault::Unpadded}}, false, false, "", 1},
      {"zeros whose reply was lost are moved again", countedNotice(), {{'C', 0, 1, sim::ReplyFault::Lose}}, false, true,
       "Retry#1\n", 2},
      {"zeros whose reply was garbled are moved again", markerNotice("Re43"), {{'C', 0, 2, sim::ReplyFault::Garble}},
       false, true, "", 3},
      {"zeros confirmed by a reply that parsed", countedNotice(), {}, false, true, "", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    testing::OpenLink bench;
    bench.unit.faults.replies = c.replies;
    if (c.damagedOnce) bench.unit.faults.corruptWrites[0x4100] = 1;
    std::vector<std::uint8_t> data = c.zeros ? std::vector<std::uint8_t>(256) : pattern(256, 1);
    std::fill(bench.unit.memory().begin() + 0x4100, bench.unit.memory().begin() + 0x4200, 0x55);
    bench.tellUnit("L%06X", 256);
    ASSERT_TRUE(moved(bench.link, false, 0x4100, data, 256, false, c.notice));
    EXPECT_EQ(bench.line.console(), c.console);
    EXPECT_EQ(testing::count(bench.line.wire(), "A004100D"), static_cast<std::size_t>(c.attempts));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), bench.unit.memory().begin() + 0x4100)) << "the unit holds the block";
  }
}

// Upload data has no framing: pairs are parsed as the unit sends them, and a
// stray character after a checksum reply must not shift the next block (a
// block ending in 0 shifted by one byte still sums right).
TEST(BlockTransferTest, UploadsReadEveryByteInItsPlace) {
  struct Case {
    const char* label;
    std::vector<sim::ReplyFaultRule> replies;
    const char* stray;    // appended to the first checksum reply
    const char* console;  // "+": a block read again after a reply that parsed
  } const cases[] = {
      {"lower-case pairs", {{'M', 0, 1, sim::ReplyFault::LowerCase}}, "", ""},
      {"pairs with no digit store 0, the checksum catches it", {{'M', 0, 1, sim::ReplyFault::Garble}}, "", "+"},
      {"a block cut short is read again without its checksum", {{'M', 0, 1, sim::ReplyFault::CutShort}}, "", ""},
      {"one stray character", {}, "x", ""},
      {"two stray characters", {}, "xx", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    testing::OpenLink bench;
    std::vector<std::uint8_t> data = pattern(128, 0xF1);
    data[127] = 0;
    std::copy(data.begin(), data.end(), bench.unit.memory().begin() + 0x4000);
    bench.unit.faults.replies = c.replies;
    bench.unit.faults.replyHook = [stray = std::string(c.stray), first = true](char command, std::string& reply,
                                                                               std::uint32_t&) mutable {
      if (command == 'C' && first) reply += stray;
      first = first && command != 'C';
    };
    std::vector<std::uint8_t> buffer(128);
    ASSERT_TRUE(moved(bench.link, true, 0x4000, buffer, 64, true, markerNotice("+")));
    EXPECT_EQ(buffer, data);
    EXPECT_EQ(bench.line.console(), c.console);
  }
}

}  // namespace
}  // namespace korrin
