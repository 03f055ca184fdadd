// Moves a region of unit memory in checksummed blocks, either way: each block
// is confirmed by the unit's sum of the bytes now at its addresses, and moved
// again until the sums agree, up to a bound.
#pragma once

#include <cstdint>

#include "protocol/link.h"

namespace korrin {

enum class Progress { NoDots, DotPerBlock, DotPerKilobyte };

// What is printed when a block is moved again.
struct RetryNotice {
  enum Kind { Marker, Counted } kind;
  const char* marker;  // Marker: printed on a repeat that follows a reply which parsed to nonzero
};
constexpr RetryNotice markerNotice(const char* text) { return {RetryNotice::Marker, text}; }
constexpr RetryNotice countedNotice() { return {RetryNotice::Counted, nullptr}; }

// Whether the operator's stop request is taken before a block.
enum class Stops { Taken, Deferred };

// Told of every download attempt whose checksum reply parsed, before the
// block is moved again or the next one begins: the unit holds the block at
// `address` with the sum `unitSum` (asSent: the block is confirmed).
struct BlockWatch {
  void (*notify)(void* context, std::uint32_t address, std::uint32_t unitSum, bool asSent) = nullptr;
  void* context = nullptr;
};

// One caller's way of moving its region.
struct TransferPlan {
  std::uint32_t blockLength;  // 64, 256 or 1024
  bool sendLengthFirst;       // "L%06X" with blockLength before the first block
  RetryNotice notice;
  Progress progress;
  Stops stops;  // Deferred inside the write-back: a half-written area is worse than waiting
  BlockWatch watch = {};
};

// A block that has not been confirmed after this many attempts ends the run:
// a line that keeps failing will not get better, and a bad block must never be flashed.
constexpr std::uint32_t kMaxBlockAttempts = 32;
// This many attempts in a row in which nothing from the unit parsed mean the
// unit is gone: the run ends within about a minute even at 2400 baud.
constexpr std::uint32_t kSilentBlockAttempts = 8;

enum class TransferEnd {
  Complete,      // every block confirmed
  NotConfirmed,  // a block reached its bound (message printed)
  LineLost,      // the port failed: the device has gone
  Stopped,       // the operator asked to stop, taken between blocks
};

struct TransferResult {
  TransferEnd end;
  std::uint32_t failedAddress;  // unit address of the block the transfer ended at, when not Complete
};

// `length` >= 1 bytes at unit `address`. The unit's length register is left at
// the last block's size.
TransferResult downloadRegion(Link& link, std::uint32_t address, const std::uint8_t* bytes, std::uint32_t length,
                              const TransferPlan& plan);
TransferResult uploadRegion(Link& link, std::uint32_t address, std::uint8_t* bytes, std::uint32_t length,
                            const TransferPlan& plan);

}  // namespace korrin
