#include "serial/reply_exchange.h"

#include <algorithm>
#include <cstring>

namespace korrin {

void sendText(const char* text, SerialPort& port) {
  const std::size_t length = std::strlen(text);
  if (length > 0) port.write(text, length);
}

int sendCommand(SerialPort& port, char letter, std::uint32_t waitMs, int length, ReplyBuffer& reply) {
  port.writeByte(static_cast<std::uint8_t>(letter));
  if (waitMs != 0) sleepMs(port, waitMs);
  return readReply(reply, port, length);
}

int readReply(ReplyBuffer& reply, SerialPort& port, int length) {
  // A reply never overruns the buffer, whatever length a caller asks for.
  const std::uint32_t wanted = static_cast<std::uint32_t>(std::clamp(length, 0, int{kReplyBufferSize} - 1));
  std::uint32_t waiting = port.bytesAvailable();
  for (int pauses = 0; waiting < wanted && pauses < kReplyPauses && !port.lost(); ++pauses) {
    sleepMs(port, kReplyPollMs);
    waiting = port.bytesAvailable();
  }
  if (waiting == 0 || wanted == 0) {
    reply.text[0] = '\0';
    return 0;
  }
  const std::uint32_t take = std::min(waiting, wanted);
  const std::uint32_t got = port.read(reply.text, take);
  reply.text[got] = '\0';
  return static_cast<int>(got);
}

void drainInput(SerialPort& port) {
  sleepMs(port, kDrainSettleMs);
  discardWaiting(port);
}

void discardWaiting(SerialPort& port) {
  char scratch[kDrainChunk];
  for (std::uint32_t waiting = port.bytesAvailable(); waiting > 0; waiting = port.bytesAvailable()) {
    const std::uint32_t take = std::min<std::uint32_t>(waiting, kDrainChunk);
    if (port.read(scratch, take) == 0) return;
  }
}

void sleepMs(SerialPort& port, std::uint32_t ms) { port.pause(ms == 0 ? 1 : ms); }

}  // namespace korrin
