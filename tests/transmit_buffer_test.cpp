// A USB adapter's transmit buffer between the seam and the line: WriteFile
// returns while the bytes are still in the adapter. The seams wait at their
// drain points (a look at the line, a pause, a new speed, a close) until the
// buffer is empty; then a whole update is the same as on a line without one.
#include <gtest/gtest.h>

#include "harness.h"

namespace korrin {
namespace {

// A complete update of an early unit that needs its records converted.
testing::VirtualRun& convertingRun(testing::VirtualRun& run, const char* speed, std::size_t bufferBytes, bool drains) {
  run.line.txBufferBytes = bufferBytes;
  run.line.drainAtCheckpoints = drains;
  run.run({speed});
  return run;
}

TEST(TransmitBufferTest, DrainedAtTheCheckpointsAnUpdateIsTheSameAsWithoutABuffer) {
  for (const char* speed : {"-s0", "-s1", "-s2", "-s3", "-s4"}) {
    testing::VirtualRun plain("convert");
    convertingRun(plain, speed, 0, true);
    ASSERT_EQ(plain.status, 1) << speed;
    ASSERT_TRUE(plain.verdict().ok) << speed << ": " << plain.verdict().report;
    for (std::size_t bufferBytes : {16u, 256u, 640u}) {
      SCOPED_TRACE(std::string(speed) + ", a buffer of " + std::to_string(bufferBytes) + " bytes");
      testing::VirtualRun buffered("convert");
      convertingRun(buffered, speed, bufferBytes, true);
      EXPECT_EQ(buffered.status, plain.status);
      EXPECT_TRUE(buffered.wire() == plain.wire()) << "the bytes on the line differ";
      EXPECT_EQ(buffered.console(), plain.console());
      EXPECT_TRUE(buffered.verdict().ok) << buffered.verdict().report;
      EXPECT_EQ(buffered.line.now, plain.line.now) << buffered.line.nowMs() << " ms against " << plain.line.nowMs();
      EXPECT_EQ(buffered.line.txCutBytes, 0u);
    }
  }
  // The same adapter behind a seam that does not wait for it, as a synchronous
  // WriteFile alone does on Windows: "F5382" is cut by the close (the operator
  // is told the unit flashes, and it does not), or each block's checksum reply
  // is looked for while the block is still in the adapter.
  for (const std::size_t bufferBytes : {16u, 640u}) {
    testing::VirtualRun unwaited("convert");
    convertingRun(unwaited, "-s2", bufferBytes, false);
    EXPECT_EQ(unwaited.wire().find("F5382"), std::string::npos) << bufferBytes;
    EXPECT_FALSE(unwaited.verdict().ok) << bufferBytes;
    EXPECT_GT(unwaited.line.txCutBytes, 0u) << bufferBytes;
  }
}

}  // namespace
}  // namespace korrin
