// A USB adapter's transmit buffer between the seam and the line: WriteFile
// returns while the bytes are still in the adapter. The seams wait at their
// drain points (a look at the line, a pause, a new speed, a close) until the
// buffer is empty; then a whole update is the same as on a line without one.
#include <gtest/gtest.h>

#include "harness.h"

namespace korrin {
namespace {

struct Outcome {
  int status;
  std::string wire, console;
  bool unitOk;
  std::string verdict;
  sim::Ticks end;
  std::size_t cutBytes;
};

// A complete update of an early unit that needs its records converted.
Outcome convertingRun(const char* speedOption, std::size_t bufferBytes, bool drainAtCheckpoints) {
  testing::VirtualRun run;
  sim::Expectation expect;
  EXPECT_TRUE(sim::setUpScenario("convert", carriedPackage(), run.unit, expect));
  run.line.txBufferBytes = bufferBytes;
  run.line.drainAtCheckpoints = drainAtCheckpoints;
  run.run({speedOption});
  const sim::Verdict verdict = sim::judgeUnit(run.unit, carriedPackage(), expect);
  return {run.status, run.wire(), run.console(), verdict.ok, verdict.report, run.line.now, run.line.txCutBytes};
}

TEST(TransmitBufferTest, DrainedAtTheCheckpointsAnUpdateIsTheSameAsWithoutABuffer) {
  for (const char* speed : {"-s0", "-s1", "-s2", "-s3", "-s4"}) {
    const Outcome plain = convertingRun(speed, 0, true);
    ASSERT_EQ(plain.status, 1) << speed;
    ASSERT_TRUE(plain.unitOk) << speed << ": " << plain.verdict;
    for (std::size_t bufferBytes : {16u, 256u, 640u}) {
      SCOPED_TRACE(std::string(speed) + ", a buffer of " + std::to_string(bufferBytes) + " bytes");
      const Outcome buffered = convertingRun(speed, bufferBytes, true);
      EXPECT_EQ(buffered.status, plain.status);
      EXPECT_TRUE(buffered.wire == plain.wire) << "the bytes on the line differ";
      EXPECT_EQ(buffered.console, plain.console);
      EXPECT_TRUE(buffered.unitOk) << buffered.verdict;
      EXPECT_EQ(buffered.end, plain.end) << sim::toMs(buffered.end) << " ms against " << sim::toMs(plain.end);
      EXPECT_EQ(buffered.cutBytes, 0u);
    }
  }
}

// The same adapter behind a seam that does not wait for it, as a synchronous
// WriteFile alone does on Windows.
TEST(TransmitBufferTest, WithoutTheCheckpointsUpdatesFail) {
  struct Case {
    const char* what;
    const char* speed;
    std::size_t bufferBytes;
    int status;
    std::string consoleEnd;  // the last text before the prompt
  } const cases[] = {
      {"\"B028800\" cut by the close: the unit stays at 9600 and no speed works", "-s0", 16, 0,
       "Connection cannot be made\n"},
      {"\"F5382\" cut by the close: the operator is told the unit flashes, and it does not", "-s2", 16, 1,
       "\"menu\",0,6,0,5\n"},
      {"each block's checksum reply looked for while the block is still in the adapter", "-s2", 640, 0,
       "not confirmed after 32 attempts\nFirmware not updated...Exiting\n"},
  };
  const std::string prompt = "\nPress a key to exit program";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome o = convertingRun(c.speed, c.bufferBytes, false);
    EXPECT_EQ(o.status, c.status);
    const std::string expectedEnd = c.consoleEnd + prompt;
    ASSERT_GE(o.console.size(), expectedEnd.size());
    EXPECT_EQ(o.console.substr(o.console.size() - expectedEnd.size()), expectedEnd);
    EXPECT_EQ(o.wire.find("F5382"), std::string::npos) << "the flash command reached the unit";
    EXPECT_FALSE(o.unitOk);
    EXPECT_GT(o.cutBytes, 0u);
  }
}

}  // namespace
}  // namespace korrin
