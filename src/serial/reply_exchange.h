// Timed exchanges with the unit, which frames nothing: a reply is whatever has
// arrived within a bounded number of polls. No operation here waits without end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "serial/serial_port.h"

namespace korrin {

constexpr std::uint32_t kReplyPollMs = 40;      // pause between looks at the receive queue
constexpr int kReplyPauses = 8;                 // 9 looks, 8 pauses: at most 320 ms
constexpr std::uint32_t kDrainSettleMs = 100;   // drainInput lets stragglers arrive first
constexpr std::size_t kDrainChunk = 80;
constexpr std::size_t kReplyBufferSize = 100;

// The one text buffer of a run: command texts before they go out, replies as they come in.
struct ReplyBuffer {
  char text[kReplyBufferSize] = {};
};

// Writes the characters of `text` (no terminator, no line end) in one write.
void sendText(const char* text, SerialPort& port);
// writeByte(letter), sleepMs(waitMs) when not 0, then readReply(length).
int sendCommand(SerialPort& port, char letter, std::uint32_t waitMs, int length, ReplyBuffer& reply);
// Polls the receive queue up to 9 times, 40 ms apart, until `length` bytes wait;
// takes at most `length` of what has arrived, NUL-terminated. Returns the count (0: empty reply).
int readReply(ReplyBuffer& reply, SerialPort& port, int length);
// Waits 100 ms, then throws away whatever is waiting, until the queue is found empty.
void drainInput(SerialPort& port);
// Throws away what is waiting now, without a pause: nothing that is still on its way.
void discardWaiting(SerialPort& port);
// Sleeps `ms` milliseconds, counted from when what was written to `port` is
// on the line; 0 sleeps 1 ms.
void sleepMs(SerialPort& port, std::uint32_t ms);

}  // namespace korrin
