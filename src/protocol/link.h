// The line to the unit as every phase uses it, and the unit's command set as
// operations: each puts exactly the command's bytes on the line, nothing after.
#pragma once

#include <cstdint>
#include <vector>

#include "serial/reply_exchange.h"
#include "serial/serial_port.h"

namespace korrin {

constexpr std::uint32_t kStartSpeed = 9600;  // every unit listens here first
constexpr std::uint32_t kDefaultSpeed = 28800;
constexpr std::uint32_t kConfigBaud = 14400;  // the configuration never runs faster

// Checksum replies ("CS=") seen in everything read from the unit.
struct ChecksumReplies {
  std::uint32_t seen = 0;
  int prefixMatched = 0;  // characters of "CS=" matched at the end of what was read
  void count(const std::uint8_t* bytes, std::uint32_t n);
};

struct Link {
  Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  SerialPort port;
  char portName[5] = "COM1";
  std::uint32_t requestedSpeed = kDefaultSpeed;  // after start-up: the negotiated speed
  std::uint32_t currentSpeed = 0;                // the speed the port was last opened at
  ReplyBuffer reply;
  // 'C' commands sent whose reply has not been seen, as far as anyone can
  // tell: the unit answers each 'C' at most once, and in order.
  std::uint32_t checksumRequests = 0;
  ChecksumReplies checksumReplies;
  // The unit's length register as the last "L%06X" set it, and as the one
  // before set it: what a damaged byte taken for 'D' would take as its data.
  std::uint32_t lengthSent = 0;
  std::uint32_t lengthBefore = 0;
  // Memory sums whose reply did not come or did not parse may have come with a
  // damaged command that wrote somewhere meanwhile: where the address register
  // pointed before the sum, for as many bytes as the length register held.
  struct StrayWrite {
    std::uint32_t address;
    std::uint32_t bytes;
  };
  std::vector<StrayWrite> strayWrites;
  std::uint32_t addressSent = 0;  // the address register as the last "A%06X" set it
  // Unit memory this run could not put back should a block go astray into it
  // (the records of a unit whose records it did not read): a download block
  // that one damaged byte of its address command could send there has the
  // unit's address register confirmed before its data. Empty when to <= from.
  std::uint32_t keepOutFrom = 0;
  std::uint32_t keepOutTo = 0;
  // Told of every block the unit has confirmed (its bytes, and whether it was
  // read from the unit), for the window's title.
  void (*blockDone)(void* context, std::uint32_t bytes, bool upload) = nullptr;
  void* blockDoneContext = nullptr;
};

bool replyIs(const ReplyBuffer& reply, const char* expected);
// 'E', no wait, 20 characters: the link works when the reply is exactly "Ok" (always 320 ms).
bool presenceCheck(Link& link);
// "A%06X", "L%06X", "B%06d": built in the reply buffer and sent.
void sendAddress(Link& link, std::uint32_t address);
void sendLength(Link& link, std::uint32_t length);
void sendSpeed(Link& link, std::uint32_t baud);
// A unit that answered nothing may be taking the PC's bytes as the data of a
// 'D' (or the text of a 'J') that damaged bytes began, and would go on so,
// out of step, exchange after exchange. `count` bytes that start no command,
// then a line feed, end either; a unit that was listening ignores them.
void resynchronise(Link& link, std::uint32_t count);
// 'K', 'T' and "V0": steps of the unit's update mode at fixed points of the
// update. Nothing is read after them; where a reply is read, the caller reads it.
void sendStepK(Link& link);
void sendStepT(Link& link);
void sendStepV0(Link& link);
// 'J', `text` and a line feed: the text appears on the unit's display. At most 97 characters.
void showOnUnit(Link& link, const char* text);
// "F5382": the unit flashes what it has been sent and is on its own from then on.
void sendFlashCommand(Link& link);
// Close and open the port under portName at `baud`, no parity; the result is not
// examined: a failed open leaves the port closed and the next exchange tells.
void reopenAt(Link& link, std::uint32_t baud);
// "B%06d" at the old speed, reopen at `baud`, presence check; currentSpeed becomes `baud`.
bool changeSpeed(Link& link, std::uint32_t baud);
// "CS=" followed by one to eight hexadecimal digits and nothing else, read as
// "CS=%8x"; false for anything else.
bool parseChecksum(const char* reply, std::uint32_t& value);
// 'C' as a single byte, counted, then its reply read (11 characters) after `waitMs`.
int requestChecksum(Link& link, std::uint32_t waitMs);
// The same, its reply looked for every few milliseconds and read once it has
// come, up to `waitMs`: a unit that answers at once costs no wait.
int awaitChecksum(Link& link, std::uint32_t waitMs);
constexpr int kChecksumReplyLength = 11;  // "CS=" and eight digits
constexpr std::uint32_t kChecksumPollMs = 2;
// Checksum replies that may still arrive late: 'C's sent minus "CS=" replies
// seen. A reply that is not one of these cannot be a late checksum.
std::uint32_t checksumRepliesOwed(const Link& link);
// The unit answers in order: a reply read as exactly "Ok" or "HOk" means that
// every 'C' sent before it has been answered or never will be.
void noteInOrderReply(Link& link);
// 'X', then close: the unit leaves update mode and the line is ours no more.
void leaveUpdateMode(Link& link);

}  // namespace korrin
