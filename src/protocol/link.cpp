#include "protocol/link.h"

#include <cstdio>
#include <cstring>

namespace korrin {

namespace {

constexpr char kFlashCommand[] = "F5382";  // 'F' and the unit's fixed four-digit code

}  // namespace

void ChecksumReplies::count(const std::uint8_t* bytes, std::uint32_t n) {
  static constexpr char kPrefix[] = "CS=";
  for (std::uint32_t i = 0; i < n; ++i) {
    if (bytes[i] == static_cast<std::uint8_t>(kPrefix[prefixMatched])) {
      if (++prefixMatched == 3) {
        ++seen;
        prefixMatched = 0;
      }
    } else {
      prefixMatched = bytes[i] == 'C' ? 1 : 0;
    }
  }
}

Link::Link() {
  port.watchReads(
      [](void* context, const std::uint8_t* bytes, std::uint32_t n) {
        static_cast<ChecksumReplies*>(context)->count(bytes, n);
      },
      &checksumReplies);
}

bool replyIs(const ReplyBuffer& reply, const char* expected) { return std::strcmp(reply.text, expected) == 0; }

bool presenceCheck(Link& link) {
  sendCommand(link.port, 'E', 0, 20, link.reply);
  noteInOrderReply(link);
  return replyIs(link.reply, "Ok");
}

int requestChecksum(Link& link, std::uint32_t waitMs) {
  ++link.checksumRequests;
  return sendCommand(link.port, 'C', waitMs, kChecksumReplyLength, link.reply);
}

int awaitChecksum(Link& link, std::uint32_t waitMs) {
  ++link.checksumRequests;
  link.port.writeByte('C');
  std::uint32_t seen = 0;
  for (std::uint32_t waited = 0; waited < waitMs && !link.port.lost(); waited += kChecksumPollMs) {
    sleepMs(link.port, kChecksumPollMs);
    const std::uint32_t now = link.port.bytesAvailable();
    // Whole, or no longer coming: a unit may answer with fewer digits.
    if (now >= kChecksumReplyLength || (now > 0 && now == seen)) break;
    seen = now;
  }
  return readReply(link.reply, link.port, kChecksumReplyLength);
}

std::uint32_t checksumRepliesOwed(const Link& link) {
  const std::uint32_t seen = link.checksumReplies.seen;
  return link.checksumRequests > seen ? link.checksumRequests - seen : 0;
}

void noteInOrderReply(Link& link) {
  if (replyIs(link.reply, "Ok") || replyIs(link.reply, "HOk")) link.checksumRequests = link.checksumReplies.seen;
}

void sendAddress(Link& link, std::uint32_t address) {
  std::snprintf(link.reply.text, sizeof link.reply.text, "A%06X", address & 0xFFFFFFu);
  sendText(link.reply.text, link.port);
  link.addressSent = address;
}

void sendLength(Link& link, std::uint32_t length) {
  link.lengthBefore = link.lengthSent;
  link.lengthSent = length;
  std::snprintf(link.reply.text, sizeof link.reply.text, "L%06X", length & 0xFFFFFFu);
  sendText(link.reply.text, link.port);
}

void resynchronise(Link& link, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) link.port.writeByte(0);
  link.port.writeByte('\n');
}

void sendSpeed(Link& link, std::uint32_t baud) {
  std::snprintf(link.reply.text, sizeof link.reply.text, "B%06u", baud);
  sendText(link.reply.text, link.port);
}

void sendStepK(Link& link) { sendText("K", link.port); }
void sendStepT(Link& link) { sendText("T", link.port); }
void sendStepV0(Link& link) { sendText("V0", link.port); }

void showOnUnit(Link& link, const char* text) {
  std::snprintf(link.reply.text, sizeof link.reply.text, "J%s\n", text);
  sendText(link.reply.text, link.port);
}

void sendFlashCommand(Link& link) { sendText(kFlashCommand, link.port); }

void reopenAt(Link& link, std::uint32_t baud) {
  link.port.close();
  link.port.open(link.portName, baud);
}

bool changeSpeed(Link& link, std::uint32_t baud) {
  sendSpeed(link, baud);
  reopenAt(link, baud);
  link.currentSpeed = baud;
  return presenceCheck(link);
}

bool parseChecksum(const char* reply, std::uint32_t& value) {
  // Only "CS=" and hexadecimal digits, nothing else: a reply damaged on the
  // line reads as "CS=00" and some other character, which would otherwise
  // parse as a sum of 0 and match a placeholder row.
  if (std::strncmp(reply, "CS=", 3) != 0) return false;
  const char* digits = reply + 3;
  const std::size_t count = std::strlen(digits);
  if (count == 0 || count > 8 || std::strspn(digits, "0123456789abcdefABCDEF") != count) return false;
  unsigned int parsed = 0;
  if (std::sscanf(digits, "%8x", &parsed) != 1) return false;
  value = parsed;
  return true;
}

void leaveUpdateMode(Link& link) {
  link.port.writeByte('X');
  link.port.close();
}

}  // namespace korrin
