#include "protocol/link_startup.h"

#include <cstdio>

#include "platform/console.h"
#include "platform/os.h"

namespace korrin {

namespace {

struct LadderStep {
  std::uint32_t from;
  std::uint32_t to;
};
constexpr LadderStep kLadder[] = {{28800, 14400}, {14400, 9600}, {9600, 4800}, {4800, 2400}};
constexpr std::uint32_t kLadderEnd = 1000;  // below every speed a unit accepts

void acknowledge(Link& link) {
  sendCommand(link.port, 'G', kAckWaitMs, 20, link.reply);
  sendCommand(link.port, 'H', kAckWaitMs, 20, link.reply);
  noteInOrderReply(link);
}

}  // namespace

const char* printableText(const char* text, char* shown, std::size_t size) {
  std::size_t at = 0;
  for (const char* c = text; *c != '\0' && at + 5 <= size; ++c) {
    const unsigned char byte = static_cast<unsigned char>(*c);
    if (byte >= 0x20 && byte < 0x7F) {
      shown[at++] = *c;
    } else {
      at += static_cast<std::size_t>(std::snprintf(shown + at, size - at, "\\x%02x", byte));
    }
  }
  if (size > 0) shown[at < size ? at : size - 1] = '\0';
  return shown;
}

std::uint32_t nextLadderSpeed(std::uint32_t speed) {
  for (const LadderStep& step : kLadder)
    if (step.from == speed) return step.to;
  return kLadderEnd;
}

LinkStart startLink(Link& link) {
  link.port.open(link.portName, kStartSpeed);
  if (!presenceCheck(link)) return LinkStart::kNoUnit;

  link.currentSpeed = link.requestedSpeed;
  sendSpeed(link, link.currentSpeed);
  reopenAt(link, link.currentSpeed);

  // A unit that has just changed speed may have missed the first letters: a
  // burst, then the first "Ok" pair among the replies, then a clean queue.
  for (int i = 0; i < kStartBurst; ++i) link.port.writeByte('E');
  readReply(link.reply, link.port, 2);
  for (int reads = 0; reads < kStartBurst && !replyIs(link.reply, "Ok"); ++reads) readReply(link.reply, link.port, 2);
  drainInput(link.port);

  bool answered = presenceCheck(link);
  if (link.port.lost()) return LinkStart::kLineLost;
  while (!answered && link.currentSpeed >= kSlowestSpeed) {
    const std::uint32_t next = nextLadderSpeed(link.currentSpeed);
    consolePrint("%uk RS232 speed not working trying %uk \n", link.currentSpeed, next);
    answered = changeSpeed(link, next);
  }
  if (link.currentSpeed < kSlowestSpeed) return LinkStart::kNoLineSpeed;

  link.requestedSpeed = link.currentSpeed;
  consolePrint("Connected\n");
  if (os::stopRequested()) return LinkStart::kStopped;

  acknowledge(link);
  for (int retry = 0; retry < kAckRetries && !replyIs(link.reply, "HOk"); ++retry) {
    if (link.port.lost()) return LinkStart::kLineLost;
    if (os::stopRequested()) return LinkStart::kStopped;
    char shown[4 * kReplyBufferSize];
    consolePrint("Info: ret %s\n", printableText(link.reply.text, shown, sizeof shown));
    drainInput(link.port);
    acknowledge(link);
    consolePrint("Retry001:%d\n", retry);
  }
  return link.port.lost() ? LinkStart::kLineLost : LinkStart::kUp;
}

}  // namespace korrin
