// The console window's title along a run: the phase, the share of it done and
// the time left, from the protocol's own timing at the line's speed. Only the
// block transfers are counted; the few seconds of start-up and closing steps
// are not.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/link.h"

namespace korrin {

// Microseconds a block of `bytes` takes: its command, its data (two
// characters a byte when read from the unit) and the checksum reply on the
// line, and the waits the exchange gives it.
std::int64_t blockMicros(std::uint32_t bytes, bool upload, std::uint32_t baud);

struct ProgressTitle {
  enum Phase { kConfiguration, kSoftware, kHardware, kPhases };
  std::int64_t totalMicros[kPhases] = {};
  std::int64_t doneMicros[kPhases] = {};
  std::int64_t checkMicros = 0;  // the memory sums before the flash, left until the end
  int current = -1;  // none yet: blocks before are not counted
  const Link* link = nullptr;
  char shown[96] = "";
};

// Follows the confirmed blocks of `link` from now on.
void followBlocks(ProgressTitle& progress, Link& link);
// Counts a region of `bytes` into the phase's time: blocks of `blockBytes`,
// the last one shorter when they do not divide it, read from the unit or sent
// to it, at `baud`.
void planPhase(ProgressTitle& progress, ProgressTitle::Phase phase, std::size_t bytes, std::uint32_t blockBytes,
               bool upload, std::uint32_t baud);
// Counts `sums` memory sums of the check before the flash, at `baud`.
void planSums(ProgressTitle& progress, std::uint32_t sums, std::uint32_t baud);
// The phase begins: the title shows it from now on.
void beginPhase(ProgressTitle& progress, ProgressTitle::Phase phase);

}  // namespace korrin
