#include "protocol/block_transfer.h"

#include <cstdio>

#include "platform/console.h"

namespace korrin {

namespace {

// Each upload byte comes as two hexadecimal characters, parsed as the unit's
// firmware has always been read; a pair with no digit stores 0 and the block's
// checksum decides.
std::uint8_t parseUploadPair(const ReplyBuffer& reply) {
  unsigned int value = 0;
  if (std::sscanf(reply.text, "%x", &value) != 1) value = 0;
  return static_cast<std::uint8_t>(value & 0xFFu);
}

// One attempt at moving one block; returns its local sum.
std::uint32_t moveBlock(Link& link, Direction direction, std::uint8_t* data, std::uint32_t size) {
  std::uint32_t localSum = 0;
  if (direction == Direction::Download) {
    for (std::uint32_t i = 0; i < size; ++i) {
      link.port.writeByte(data[i]);
      localSum += data[i];
    }
  } else {
    for (std::uint32_t i = 0; i < size; ++i) {
      readReply(link.reply, link.port, 2);
      data[i] = parseUploadPair(link.reply);
      localSum += data[i];
    }
    drainInput(link.port);
  }
  return localSum;
}

}  // namespace

TransferResult transferRegion(Link& link, Direction direction, std::uint32_t address, std::uint32_t length,
                              std::uint32_t blockLength, std::uint8_t* buffer, bool sendLengthFirst,
                              RetryNotice retryNotice, Progress progress) {
  if (sendLengthFirst) sendLength(link, blockLength);
  for (std::uint32_t offset = 0; offset < length; offset += blockLength) {
    const std::uint32_t blockAddress = address + offset;
    const std::uint32_t size = length - offset < blockLength ? length - offset : blockLength;
    if (size < blockLength) sendLength(link, size);

    std::uint32_t receivedChecksum = 0;
    bool confirmed = false;
    for (std::uint32_t attempts = 0; !confirmed;) {
      // A reply that came after its wait would otherwise be read as the answer
      // to the next attempt, and every reply after it one step late: clear the
      // line before moving the block again.
      if (attempts > 0) {
        drainInput(link.port);
      } else if (direction == Direction::Upload) {
        // Upload data has no framing: a stray character left after the last
        // checksum reply would become this block's first byte and shift the
        // rest, and a block ending in 0 would still sum right.
        discardWaiting(link.port);
      }
      if (attempts == kMaxBlockAttempts) {
        consolePrint("\nBlock at unit address %06X not confirmed after %u attempts\n", blockAddress, attempts);
        return {false, blockAddress};
      }
      sendAddress(link, blockAddress);
      sendText(direction == Direction::Download ? "D" : "M", link.port);
      if (retryNotice.kind == RetryNotice::Marker) {
        if (receivedChecksum != 0) consolePrint("%s", retryNotice.marker);
      } else if (attempts != 0) {
        consolePrint("Retry#%u\n", attempts);
      }

      const std::uint32_t localSum = moveBlock(link, direction, buffer + offset, size);
      sendCommand(link.port, 'C', 0, 11, link.reply);
      // Only a reply that parsed in this very attempt confirms the block: the
      // checksum still holds 0 from the block's start, which would otherwise
      // pass a block of zeros whose reply was lost.
      const bool parsed = parseChecksum(link.reply.text, receivedChecksum);
      ++attempts;

      if (localSum != receivedChecksum) {
        if (retryNotice.kind == RetryNotice::Counted)
          consolePrint("cs err,rs=%x cs=%x\n", receivedChecksum, localSum);
      } else {
        confirmed = parsed;
      }
    }

    if (progress == Progress::DotPerBlock ||
        (progress == Progress::DotPerKilobyte && (blockAddress + blockLength) % 1024 == 0))
      consolePrint(".");
  }
  return {true, 0};
}

}  // namespace korrin
