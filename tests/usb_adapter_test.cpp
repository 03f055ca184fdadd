// Through a USB adapter each write call is a USB transfer of its own, and the
// adapter keeps what it was given in a buffer of 16 to 640 bytes while the
// line sends it. The port gathers an exchange into one write and waits for
// the line before it looks for the reply, pauses or closes, so an update goes
// as on a UART: the same bytes and texts, one transfer's time per exchange.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace korrin
