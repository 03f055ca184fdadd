// Through a USB adapter each write call is a USB transfer of its own, and the
// adapter keeps what it was given in a buffer of 16 to 640 bytes while the
// line sends it. The port gathers an exchange into one write and waits for
// the line before it looks for the reply, pauses or closes, so an update goes
// as on a UART: the same bytes and texts, one transfer's time per exchange.
#include <gtest/gtest.h>

#include <algorithm>

#include "harness.h"

namespace korrin {
namespace {

TEST(UsbAdapterTest, AnUpdateGoesAsOnAUart) {
  struct Adapter {
    std::size_t bufferBytes;
    sim::Ticks perWriteCall;
  } const adapters[] = {{16, 0}, {640, 0}, {16, sim::kTicksPerMs}, {640, sim::kTicksPerMs}};
  for (const char* speed : {"-s0", "-s1", "-s2", "-s3", "-s4"}) {
    testing::VirtualRun uart("convert");
    uart.run({speed});
    ASSERT_EQ(uart.status, 1) << speed;
    ASSERT_TRUE(uart.verdict().ok) << speed << ": " << uart.verdict().report;
    for (const Adapter& adapter : adapters) {
      SCOPED_TRACE(std::string(speed) + ", a buffer of " + std::to_string(adapter.bufferBytes) + " bytes, " +
                   std::to_string(adapter.perWriteCall / sim::kTicksPerMs) + " ms per write");
      testing::VirtualRun usb("convert");
      usb.line.useUsbAdapter(adapter.bufferBytes, adapter.perWriteCall);
      usb.run({speed});
      EXPECT_EQ(usb.status, uart.status);
      EXPECT_TRUE(usb.wire() == uart.wire()) << "the bytes on the line differ";
      EXPECT_EQ(usb.console(), uart.console());
      EXPECT_TRUE(usb.verdict().ok) << usb.verdict().report;
      EXPECT_EQ(usb.line.txCutBytes, 0u) << "bytes thrown away at a close";
      EXPECT_LE(usb.line.now - uart.line.now, uart.line.now / 100) << "more than 1 % slower than a UART";
      // Each write delays what follows by one transfer, and nothing else does.
      EXPECT_EQ(usb.line.now - uart.line.now, usb.line.writeCalls * adapter.perWriteCall)
          << usb.line.nowMs() << " ms against " << uart.line.nowMs() << " ms, " << usb.line.writeCalls << " writes";
    }
  }
}

// The 'K' that ends the readout is gathered like any step; before the copy is
// saved to disk, or the operator is asked, it is on the line, not in the port
// or the adapter: the unit is not left waiting for it through either.
TEST(UsbAdapterTest, TheStepBeforeTheSaveIsOnTheLineBeforeTheDiskOrTheOperator) {
  for (const bool diskFull : {false, true}) {
    SCOPED_TRACE(diskFull ? "the operator asked whether to write without a copy" : "the copy saved");
    testing::VirtualRun run("convert");
    run.line.useUsbAdapter(640);
    run.line.diskFull = diskFull;
    run.line.keys = "y";
    EXPECT_EQ(run.run(), 1);
    const auto& events = run.line.transcript;
    const auto saved = std::find_if(events.begin(), events.end(), [](const sim::Event& e) { return e.kind == sim::Event::Saved; });
    const sim::Ticks at = diskFull ? run.line.consoleTime("Write it anyway") : saved == events.end() ? -1 : saved->at;
    ASSERT_GE(at, 0);
    std::string sent;
    sim::Ticks onTheLine = 0;
    for (const sim::Event& e : events) {
      if (e.kind != sim::Event::ToUnit || e.at > at) continue;
      sent += e.data;
      onTheLine = e.end;
    }
    EXPECT_EQ(testing::tailOf(sent, 9), "CA008000K") << "the readout's last sum, the address parked, then the step";
    EXPECT_LE(onTheLine, at);
  }
}

}  // namespace
}  // namespace korrin
