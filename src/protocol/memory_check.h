// What the unit holds, seen by its own sums. A block is confirmed by the sum
// of wherever the unit wrote or read it; one damaged address command puts a
// confirmed block in the wrong place. So, before anything depends on it, the
// updater asks the unit for the sums of whole windows of memory, narrows a
// window that differs to its blocks, and moves those blocks again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/block_transfer.h"
#include "protocol/link.h"

namespace korrin {

// A unit sums at most the identification window at once, and may take the
// identification's whole wait to do it.
constexpr std::uint32_t kSumWindowBytes = 0x00E000;
constexpr std::uint32_t kSumWaitMs = 1000;
// A window that still differs after this many rounds of narrowing and moving
// its blocks again ends the run: the line is too poor to trust.
constexpr std::uint32_t kCheckRounds = 4;
// Where the unit's address register is left after each sum: the software's
// second part, which the download rewrites and the check before the flash
// confirms, so that a damaged command taken for 'D' lands where nothing is lost.
constexpr std::uint32_t kParkAddress = 0x008000;

// "A%06X", "L%06X" and 'C'; the reply awaited up to kSumWaitMs, looked for
// every few milliseconds so that a unit that answers at once costs no wait.
// False when no reply parsed.
bool askSum(Link& link, std::uint32_t address, std::uint32_t length, std::uint32_t& sum);

// One window: unit memory that must sum to `sum`. With `bytes` (what it must
// hold, `blockLength` to a block) a difference can be narrowed and put right;
// without, it can only be found.
struct SumWindow {
  std::uint32_t address;
  std::uint32_t length;
  std::uint32_t sum;
  const std::uint8_t* bytes;
  std::uint32_t blockLength;
  bool known = false;  // already seen to hold `sum`, and nothing written since
};

// `length` bytes at `address`, cut into windows of at most kSumWindowBytes.
void addWindows(std::vector<SumWindow>& windows, std::uint32_t address, const std::uint8_t* bytes,
                std::uint32_t length, std::uint32_t blockLength);
// The first half of each block of that stretch, a window of its own. A block
// that one damaged address digit moved by less than its length leaves stale
// bytes at one end that may sum to what it pushed out at the other, and the
// whole window's sum holds; the half-block sums do not.
void addHalfBlockWindows(std::vector<SumWindow>& windows, std::uint32_t address, const std::uint8_t* bytes,
                         std::uint32_t length, std::uint32_t blockLength);
// The same stretch as it is now on the unit, by its sums: what the run must
// leave as it found. False when a sum did not come.
bool addWindowsAsFound(Link& link, std::vector<SumWindow>& windows, std::uint32_t address, std::uint32_t length);

// Asks each window once, without putting anything right: marks those that
// hold their sum as known and returns how many do.
std::size_t askWindowsOnce(Link& link, std::vector<SumWindow>& windows);

enum class CheckEnd {
  Held,       // every window holds its sum
  NotHeld,    // a window still differs after kCheckRounds (message printed)
  Changed,    // a window without bytes differs: it cannot be put right
  LineLost,
  Stopped,
};
struct CheckResult {
  CheckEnd end;
  std::uint32_t address;  // of the window that ended the check, when not Held
};

// Asks every window not yet known; each block of a differing window that
// differs is sent again. After any block was sent again every window is asked
// again, since a damaged address may have put the block anywhere.
CheckResult confirmHeld(Link& link, std::vector<SumWindow>& windows);
// The same, saying `resending` (a format taking the block's address) for each block sent again.
CheckResult confirmHeld(Link& link, std::vector<SumWindow>& windows, const char* resending);

// An upload checked against the unit's sums of the region taken before it:
// blocks that differ are read again, within kCheckRounds; then the unit is
// made to hold what was read, should a stray write have changed it since.
TransferResult uploadChecked(Link& link, std::uint32_t address, std::uint8_t* bytes, std::uint32_t length,
                             const TransferPlan& plan);

}  // namespace korrin
