#include "protocol/link.h"

#include <cstdio>
#include <cstring>

namespace korrin {

bool replyIs(const ReplyBuffer& reply, const char* expected) { return std::strcmp(reply.text, expected) == 0; }

bool presenceCheck(Link& link) {
  sendCommand(link.port, 'E', 0, 20, link.reply);
  return replyIs(link.reply, "Ok");
}

void sendAddress(Link& link, std::uint32_t address) {
  std::snprintf(link.reply.text, sizeof link.reply.text, "A%06X", address & 0xFFFFFFu);
  sendText(link.reply.text, link.port);
}

void sendLength(Link& link, std::uint32_t length) {
  std::snprintf(link.reply.text, sizeof link.reply.text, "L%06X", length & 0xFFFFFFu);
  sendText(link.reply.text, link.port);
}

void sendSpeed(Link& link, std::uint32_t baud) {
  std::snprintf(link.reply.text, sizeof link.reply.text, "B%06u", baud);
  sendText(link.reply.text, link.port);
}

void reopenAt(Link& link, std::uint32_t baud) {
  link.port.close();
  link.port.open(link.portName, baud, 0);
}

bool changeSpeed(Link& link, std::uint32_t baud) {
  sendSpeed(link, baud);
  reopenAt(link, baud);
  link.currentSpeed = baud;
  return presenceCheck(link);
}

bool parseChecksum(const char* reply, std::uint32_t& value) {
  unsigned int parsed = 0;
  if (std::sscanf(reply, "CS=%8x", &parsed) != 1) return false;
  value = parsed;
  return true;
}

void leaveUpdateMode(Link& link) {
  link.port.writeByte('X');
  link.port.close();
}

}  // namespace korrin
