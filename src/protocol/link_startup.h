// Link start-up: find a unit in update mode at 9600 baud, move to the requested
// speed or step down the speed ladder, then the 'G'/'H' acknowledgement.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/link.h"

namespace korrin {

constexpr std::uint32_t kAckWaitMs = 2000;  // the unit is given this long before 'G' and 'H' replies are read
constexpr int kAckRetries = 10;
constexpr int kStartBurst = 20;             // 'E's sent right after the first speed change
constexpr std::uint32_t kSlowestSpeed = 2400;

// `text` as the operator may see it: printable ASCII as it is, every other
// byte as \xhh, so that noise on the line cannot drive the terminal. Writes at
// most `size` bytes into `shown` (4 per byte of `text` at worst, plus 1) and returns it.
const char* printableText(const char* text, char* shown, std::size_t size);

// The next speed tried when the unit does not answer at `speed`; 1000 ends the ladder.
std::uint32_t nextLadderSpeed(std::uint32_t speed);

// Leaves the port open at the negotiated speed, with requestedSpeed and
// currentSpeed both set to it. Returns kNoUnit (E4), kNoLineSpeed (E5) or kNone.
// How the start-up ended.
enum class LinkStart {
  kUp,           // in update mode, at the speed negotiated, acknowledged
  kNoUnit,       // no "Ok" at 9600 baud, or the port cannot be opened
  kNoLineSpeed,  // no speed of the ladder answers
  kStopped,
  kLineLost,
};
LinkStart startLink(Link& link);

}  // namespace korrin
