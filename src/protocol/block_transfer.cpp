#include "protocol/block_transfer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/console.h"
#include "platform/os.h"

namespace korrin {

namespace {

// Each upload byte comes as two hexadecimal characters, parsed as the unit's
// firmware has always been read; a pair with no digit stores 0 and the block's
// checksum decides.
bool parseUploadPair(const ReplyBuffer& reply, std::uint8_t& byte) {
  unsigned int value = 0;
  const bool parsed = std::sscanf(reply.text, "%x", &value) == 1;
  byte = static_cast<std::uint8_t>(parsed ? value & 0xFFu : 0u);
  return parsed;
}

// One attempt's data, either way. `heard`: something from the unit parsed.
struct Moved {
  std::uint32_t localSum = 0;
  bool whole = true;  // false: an upload met a silent line before its last byte
  bool heard = false;
};

Moved sendBlock(Link& link, const std::uint8_t* data, std::uint32_t size) {
  Moved moved;
  for (std::uint32_t i = 0; i < size; ++i) {
    link.port.writeByte(data[i]);
    moved.localSum += data[i];
  }
  return moved;
}

Moved receiveBlock(Link& link, std::uint8_t* data, std::uint32_t size) {
  Moved moved;
  for (std::uint32_t i = 0; i < size; ++i) {
    // The unit sends a block without pauses: nothing for a whole reply wait
    // means the rest is not coming, and waiting it out byte by byte would keep
    // the operator for twenty seconds a block.
    if (readReply(link.reply, link.port, 2) == 0) {
      moved.whole = false;
      break;
    }
    moved.heard = parseUploadPair(link.reply, data[i]) || moved.heard;
    moved.localSum += data[i];
  }
  drainInput(link.port);
  return moved;
}

// A late checksum reply to an earlier 'C' would be read as the answer to this
// attempt's 'C' and could confirm a block the unit holds damaged. The unit
// answers in order and at most once per 'C', so of the replies read after the
// data at most `owed` can be late ones: asking owed + 1 times and finding
// every answer equal to the local sum means at least one answer was given
// after the data. With nothing owed (every clean run) this is the one 'C'.
bool confirmBlock(Link& link, std::uint32_t localSum, std::uint32_t& receivedChecksum, bool& heard,
                  bool& heldOtherwise) {
  const std::uint32_t asks = checksumRepliesOwed(link) + 1;
  for (std::uint32_t i = 0; i < asks; ++i) {
    requestChecksum(link, 0);
    // Only a reply that parsed in this very attempt confirms the block: the
    // checksum still holds 0 from the block's start, which would otherwise
    // pass a block of zeros whose reply was lost.
    if (!parseChecksum(link.reply.text, receivedChecksum)) return false;
    heard = true;
    if (receivedChecksum != localSum) {
      heldOtherwise = true;
      return false;
    }
  }
  return true;
}

enum class Direction { Download, Upload };

// Whether one damaged byte of "A%06X" for a block can leave the unit's
// address register where the block would reach into the memory to keep out
// of: a digit with a bit flipped into another digit, or a digit lost, so that
// the 'D' after it is read as the last one.
bool mayStrayIntoKeepOut(const Link& link, std::uint32_t address, std::uint32_t size) {
  if (link.keepOutTo <= link.keepOutFrom) return false;
  char sent[8];
  std::snprintf(sent, sizeof sent, "%06X", static_cast<unsigned>(address & 0xFFFFFFu));
  auto reaches = [&](const char* digits) {  // six characters, as the unit parses them
    if (std::strspn(digits, "0123456789abcdefABCDEF") != 6) return false;
    const auto at = static_cast<std::uint32_t>(std::strtoul(digits, nullptr, 16));
    return at != address && at < link.keepOutTo && link.keepOutFrom < at + size;
  };
  for (int i = 0; i < 6; ++i) {
    char damaged[8];
    for (int bit = 0; bit < 8; ++bit) {
      std::snprintf(damaged, sizeof damaged, "%s", sent);
      damaged[i] = static_cast<char>(damaged[i] ^ (1 << bit));
      if (reaches(damaged)) return true;
    }
    std::snprintf(damaged, sizeof damaged, "%.*s%sD", i, sent, sent + i + 1);
    if (reaches(damaged)) return true;
  }
  return false;
}

// The sum the unit gives for its length register's bytes at its address
// register; false when no reply parsed.
bool sumAtRegister(Link& link, std::uint32_t& sum) {
  awaitChecksum(link, kReplyPauses * kReplyPollMs);
  return parseChecksum(link.reply.text, sum);
}

// One block of a region: where it lies on the unit and in the caller's buffer.
struct Block {
  std::uint32_t address;
  std::uint32_t size;
  std::uint8_t* in;         // Upload: filled in
  const std::uint8_t* out;  // Download: sent
};

// What one attempt at a block came to.
struct Attempt {
  Moved moved;
  bool confirmed = false;
  bool heldOtherwise = false;  // the unit reported a sum other than the local one
};

// Before an attempt: a reply that came after its wait would be read as the
// answer to this one, and every reply after it one step late, so a repeat
// starts from a quiet line. Upload data has no framing: a stray character
// left after the last checksum reply would become the block's first byte and
// shift the rest, and a block ending in 0 would still sum right.
void clearLine(Link& link, Direction direction, std::uint32_t attempts) {
  if (attempts > 0) {
    drainInput(link.port);
  } else if (direction == Direction::Upload) {
    discardWaiting(link.port);
  }
}

// True, with its message printed, when the block is given up.
bool givenUp(const Block& block, std::uint32_t attempts, std::uint32_t silentAttempts) {
  if (attempts == kMaxBlockAttempts) {
    consolePrint("\nBlock at unit address %06X not confirmed after %u attempts\n", block.address, attempts);
    return true;
  }
  if (silentAttempts == kSilentBlockAttempts) {
    consolePrint("\nBlock at unit address %06X not confirmed: no answer from the unit in %u attempts\n",
                 block.address, silentAttempts);
    return true;
  }
  return false;
}

// Address, data command, repeat notice, the data, and the unit's sum.
Attempt attemptBlock(Link& link, Direction direction, const Block& block, const RetryNotice& notice,
                     std::uint32_t attempts, std::uint32_t& receivedChecksum) {
  // A reply that never came leaves its 'C' owed for good, and every later
  // block would ask once more for each: settle the count with an exact "Ok".
  if (checksumRepliesOwed(link) > 0) presenceCheck(link);
  // The length command goes once per region; one damaged on the line would
  // make every repeat of every block after it fail: a repeat sends it again.
  if (attempts > 0) sendLength(link, block.size);
  Attempt attempt;
  // Two sums, each after its own address command, agree only where both
  // commands pointed alike: one damaged command cannot point the block's own
  // (the second) where nothing could put right what the block writes over.
  const bool guarded = direction == Direction::Download && mayStrayIntoKeepOut(link, block.address, block.size);
  std::uint32_t before = 0, at = 0;
  if (guarded) {
    sendAddress(link, block.address);
    attempt.moved.heard = sumAtRegister(link, before);
  }
  sendAddress(link, block.address);
  if (guarded) {
    const bool parsed = sumAtRegister(link, at);
    attempt.moved.heard = attempt.moved.heard || parsed;
    if (!parsed || at != before) {
      attempt.moved.whole = false;
      return attempt;
    }
  }
  sendText(direction == Direction::Upload ? "M" : "D", link.port);
  if (notice.kind == RetryNotice::Marker) {
    if (receivedChecksum != 0) consolePrint("%s", notice.marker);
  } else if (attempts != 0) {
    consolePrint("Retry#%u\n", attempts);
  }
  attempt.moved = direction == Direction::Upload ? receiveBlock(link, block.in, block.size)
                                                 : sendBlock(link, block.out, block.size);
  attempt.confirmed = attempt.moved.whole && confirmBlock(link, attempt.moved.localSum, receivedChecksum,
                                                         attempt.moved.heard, attempt.heldOtherwise);
  return attempt;
}

// Moves one block until the unit confirms it, the bound is reached, or the port fails.
TransferEnd moveBlock(Link& link, Direction direction, const Block& block, const TransferPlan& plan) {
  const RetryNotice& notice = plan.notice;
  std::uint32_t receivedChecksum = 0;
  std::uint32_t silentAttempts = 0;
  for (std::uint32_t attempts = 0;; ++attempts) {
    clearLine(link, direction, attempts);
    if (link.port.lost()) return TransferEnd::LineLost;
    if (givenUp(block, attempts, silentAttempts)) return TransferEnd::NotConfirmed;
    const Attempt attempt = attemptBlock(link, direction, block, notice, attempts, receivedChecksum);
    if ((attempt.heldOtherwise || attempt.confirmed) && direction == Direction::Download && plan.watch.notify)
      plan.watch.notify(plan.watch.context, block.address, receivedChecksum, attempt.confirmed);
    if (link.port.lost()) return TransferEnd::LineLost;
    if (attempt.confirmed) return TransferEnd::Complete;
    silentAttempts = attempt.moved.heard ? 0 : silentAttempts + 1;
    // Twice the block: a damaged length command may have made the 'D' longer.
    if (silentAttempts == 1) resynchronise(link, 2 * plan.blockLength);
    if (notice.kind == RetryNotice::Counted && attempt.moved.whole && receivedChecksum != attempt.moved.localSum)
      consolePrint("cs err,rs=%x cs=%x\n", receivedChecksum, attempt.moved.localSum);
  }
}

TransferResult moveRegion(Link& link, Direction direction, std::uint32_t address, std::uint8_t* in,
                          const std::uint8_t* out, std::uint32_t length, const TransferPlan& plan) {
  if (plan.sendLengthFirst) sendLength(link, plan.blockLength);
  for (std::uint32_t offset = 0; offset < length; offset += plan.blockLength) {
    const std::uint32_t size = length - offset < plan.blockLength ? length - offset : plan.blockLength;
    const Block block{address + offset, size, in ? in + offset : nullptr, out ? out + offset : nullptr};
    if (plan.stops == Stops::Taken && os::stopRequested()) return {TransferEnd::Stopped, block.address};
    if (size < plan.blockLength) sendLength(link, size);
    const TransferEnd end = moveBlock(link, direction, block, plan);
    if (end != TransferEnd::Complete) return {end, block.address};
    if (link.blockDone != nullptr) link.blockDone(link.blockDoneContext, size, direction == Direction::Upload);
    if (plan.progress == Progress::DotPerBlock ||
        (plan.progress == Progress::DotPerKilobyte && (block.address + plan.blockLength) % 1024 == 0))
      consolePrint(".");
  }
  return {TransferEnd::Complete, 0};
}

}  // namespace


TransferResult downloadRegion(Link& link, std::uint32_t address, const std::uint8_t* bytes, std::uint32_t length,
                              const TransferPlan& plan) {
  return moveRegion(link, Direction::Download, address, nullptr, bytes, length, plan);
}

TransferResult uploadRegion(Link& link, std::uint32_t address, std::uint8_t* bytes, std::uint32_t length,
                            const TransferPlan& plan) {
  return moveRegion(link, Direction::Upload, address, bytes, nullptr, length, plan);
}

}  // namespace korrin
