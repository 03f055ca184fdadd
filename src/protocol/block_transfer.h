// Moves a region of unit memory in checksummed blocks, either way: each block
// is confirmed by the unit's sum of the bytes now at its addresses, and moved
// again until the sums agree, up to a bound.
#pragma once

#include <cstdint>

#include "protocol/link.h"

namespace korrin {

enum class Direction { Download, Upload };
enum class Progress { NoDots, DotPerBlock, DotPerKilobyte };

// What is printed when a block is moved again.
struct RetryNotice {
  enum Kind { Marker, Counted } kind;
  const char* marker;  // Marker: printed on a repeat that follows a reply which parsed to nonzero
};
inline RetryNotice markerNotice(const char* text) { return {RetryNotice::Marker, text}; }
inline RetryNotice countedNotice() { return {RetryNotice::Counted, nullptr}; }

// A block that has not been confirmed after this many attempts ends the run:
// a line that keeps failing will not get better, and a bad block must never be flashed.
constexpr std::uint32_t kMaxBlockAttempts = 32;

struct TransferResult {
  bool complete;                  // every block confirmed
  std::uint32_t failedAddress;    // unit address of the block that was not, when !complete
};

// `length` >= 1 bytes at unit `address`, blocks of `blockLength`. Download sends
// `buffer`; Upload fills it. The unit's length register is left at the last block's size.
TransferResult transferRegion(Link& link, Direction direction, std::uint32_t address, std::uint32_t length,
                              std::uint32_t blockLength, std::uint8_t* buffer, bool sendLengthFirst,
                              RetryNotice retryNotice, Progress progress);

}  // namespace korrin
