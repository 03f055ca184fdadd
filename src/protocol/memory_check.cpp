#include "protocol/memory_check.h"

#include <algorithm>

#include "platform/console.h"
#include "platform/os.h"

namespace korrin {

namespace {

constexpr std::uint32_t kAsksPerSum = 3;  // a reply damaged or lost on the line is asked for again
// A unit out of step takes at most its length register's bytes as data. For a
// register set to a whole window that would be 20 s of bytes at 28800 baud:
// no more than this is sent, and the asks that follow feed the rest.
constexpr std::uint32_t kMostResyncBytes = 2048;

std::uint32_t sumOf(const std::uint8_t* bytes, std::uint32_t length) {
  std::uint32_t sum = 0;
  for (std::uint32_t i = 0; i < length; ++i) sum += bytes[i];
  return sum;
}

enum class Asked { Parsed, Unparsed, Silent };

// `againstBytes`: the sum is held against bytes the run has, so a length
// register that a damaged command left otherwise shows as a difference, and
// the blocks sent again set it; a length the register already holds is then
// not sent again. A sum taken as found always sends its length.
// `park`: false only when the next command is another such sum's address, no
// byte of which one damaged bit turns into 'D'.
Asked askOnce(Link& link, std::uint32_t address, std::uint32_t length, std::uint32_t& sum, bool againstBytes,
              bool park) {
  // An earlier reply still owed, or a stray byte, would be read as this one.
  if (checksumRepliesOwed(link) > 0) presenceCheck(link);
  discardWaiting(link.port);
  const std::uint32_t registerBefore = link.addressSent;
  // The length before the address: a damaged 'L' taken for 'D' then writes
  // where the register rests (parked, or on the window before in a row), not
  // over the window about to be summed.
  const bool lengthSent = !againstBytes || link.lengthSent != length;
  if (lengthSent) sendLength(link, length);
  sendAddress(link, address);
  const bool replied = awaitChecksum(link, kSumWaitMs) > 0;
  const Asked asked = !replied ? Asked::Silent : parseChecksum(link.reply.text, sum) ? Asked::Parsed : Asked::Unparsed;
  // This very length command, damaged into 'D', takes the register as it was before.
  const std::uint32_t taken = lengthSent ? std::max(link.lengthSent, link.lengthBefore) : link.lengthSent;
  if (asked != Asked::Parsed) link.strayWrites.push_back({registerBefore, taken});
  if (!replied) resynchronise(link, std::min(kMostResyncBytes, 2 * taken));
  if (park || asked != Asked::Parsed) sendAddress(link, kParkAddress);
  return asked;
}

// Asked until a reply parses, within kAsksPerSum; Silent when nothing came at all.
Asked ask(Link& link, std::uint32_t address, std::uint32_t length, std::uint32_t& sum, bool againstBytes = true,
          bool park = true) {
  Asked asked = Asked::Silent;
  bool heard = false;
  for (std::uint32_t i = 0; i < kAsksPerSum && !link.port.lost(); ++i) {
    asked = askOnce(link, address, length, sum, againstBytes, park);
    if (asked == Asked::Parsed) return asked;
    heard = heard || asked == Asked::Unparsed;
  }
  return heard ? Asked::Unparsed : Asked::Silent;
}

// Blocks `from` to `to` (exclusive) of the window, as unit addresses and sizes.
struct Span {
  std::uint32_t address;
  std::uint32_t length;
};
Span blocksOf(const SumWindow& w, std::uint32_t from, std::uint32_t to) {
  const std::uint32_t begin = from * w.blockLength;
  const std::uint32_t end = std::min(to * w.blockLength, w.length);
  return {w.address + begin, end - begin};
}

// The blocks of [from, to) that differ, the range as a whole being known to
// differ: halved until single blocks are left. A reply that does not parse
// counts as a difference (the doubt costs one block moved again). False when
// the unit fell silent.
bool narrow(Link& link, const SumWindow& w, std::uint32_t from, std::uint32_t to, std::vector<Span>& found) {
  if (to - from == 1) {
    found.push_back(blocksOf(w, from, to));
    return true;
  }
  const std::uint32_t mid = from + (to - from) / 2;
  const Span left = blocksOf(w, from, mid);
  std::uint32_t sum = 0;
  const Asked asked = ask(link, left.address, left.length, sum);
  if (asked == Asked::Silent) return false;
  const bool leftDiffers =
      asked != Asked::Parsed || sum != sumOf(w.bytes + (left.address - w.address), left.length);
  if (leftDiffers && !narrow(link, w, from, mid, found)) return false;
  if (!leftDiffers) return narrow(link, w, mid, to, found);  // the difference lies in the other half
  const Span right = blocksOf(w, mid, to);
  const Asked again = ask(link, right.address, right.length, sum);
  if (again == Asked::Silent) return false;
  if (again == Asked::Parsed && sum == sumOf(w.bytes + (right.address - w.address), right.length)) return true;
  return narrow(link, w, mid, to, found);
}

std::uint32_t blockCount(const SumWindow& w) { return (w.length + w.blockLength - 1) / w.blockLength; }

// A reply lost or damaged on the line may have come with a command taken for
// 'D', which writes where the address register pointed (the parked address,
// or the sum before's window) as many bytes as the length register held: the
// windows there are asked again.
void forgetStrayWrites(Link& link, std::vector<SumWindow>& windows) {
  for (const Link::StrayWrite& stray : link.strayWrites) {
    const std::uint32_t reach = std::min(stray.bytes, kSumWindowBytes);
    for (SumWindow& w : windows)
      if (w.address < stray.address + reach && stray.address < w.address + w.length) w.known = false;
  }
  link.strayWrites.clear();
}

TransferPlan repeatPlan(std::uint32_t blockLength, RetryNotice notice) {
  return {blockLength, true, notice, Progress::NoDots, Stops::Deferred};
}

}  // namespace

bool askSum(Link& link, std::uint32_t address, std::uint32_t length, std::uint32_t& sum) {
  return ask(link, address, length, sum, false) == Asked::Parsed;
}

void addWindows(std::vector<SumWindow>& windows, std::uint32_t address, const std::uint8_t* bytes,
                std::uint32_t length, std::uint32_t blockLength) {
  for (std::uint32_t offset = 0; offset < length; offset += kSumWindowBytes) {
    const std::uint32_t size = std::min(kSumWindowBytes, length - offset);
    windows.push_back({address + offset, size, bytes ? sumOf(bytes + offset, size) : 0,
                       bytes ? bytes + offset : nullptr, blockLength});
  }
}

void addHalfBlockWindows(std::vector<SumWindow>& windows, std::uint32_t address, const std::uint8_t* bytes,
                         std::uint32_t length, std::uint32_t blockLength) {
  const std::uint32_t half = blockLength / 2;
  for (std::uint32_t at = 0; at + half <= length; at += blockLength)
    addWindows(windows, address + at, bytes + at, half, half);
}

bool addWindowsAsFound(Link& link, std::vector<SumWindow>& windows, std::uint32_t address, std::uint32_t length) {
  const std::size_t first = windows.size();
  addWindows(windows, address, nullptr, length, 0);
  for (std::size_t i = first; i < windows.size(); ++i) {
    if (!askSum(link, windows[i].address, windows[i].length, windows[i].sum)) return false;
  }
  return true;
}

std::size_t askWindowsOnce(Link& link, std::vector<SumWindow>& windows) {
  std::size_t held = 0;
  for (SumWindow& w : windows) {
    std::uint32_t sum = 0;
    w.known = askSum(link, w.address, w.length, sum) && sum == w.sum;
    if (w.known) ++held;
  }
  return held;
}

CheckResult confirmHeld(Link& link, std::vector<SumWindow>& windows, const char* resending) {
  std::uint32_t lastDiffering = windows.empty() ? 0 : windows.front().address;  // what the ending names
  link.strayWrites.clear();  // earlier ones came before any window was asked
  for (std::uint32_t round = 0; round < kCheckRounds; ++round) {
    if (os::stopRequested()) return {CheckEnd::Stopped, 0};
    bool moved = false;
    for (auto it = windows.begin(); it != windows.end(); ++it) {
      SumWindow& w = *it;
      if (w.known) continue;
      // Sums of one length against bytes, one after the other (the half
      // blocks): the length is sent once, and the register parked after the last.
      const auto next = std::find_if(it + 1, windows.end(), [](const SumWindow& n) { return !n.known; });
      const bool inARow = w.bytes != nullptr && next != windows.end() && next->bytes != nullptr &&
                          next->length == w.length;
      std::uint32_t sum = 0;
      const Asked asked = ask(link, w.address, w.length, sum, w.bytes != nullptr, !inARow);
      if (link.port.lost()) return {CheckEnd::LineLost, w.address};
      if (asked == Asked::Parsed && sum == w.sum) {
        w.known = true;
        continue;
      }
      lastDiffering = w.address;
      if (asked == Asked::Silent) break;  // counted as a round that could not be made right
      if (w.bytes == nullptr) return {CheckEnd::Changed, w.address};
      std::vector<Span> differing;
      if (!narrow(link, w, 0, blockCount(w), differing)) break;
      for (const Span& block : differing) {
        consolePrint(resending, block.address);
        const TransferResult sent = downloadRegion(link, block.address, w.bytes + (block.address - w.address),
                                                   block.length, repeatPlan(w.blockLength, countedNotice()));
        if (sent.end == TransferEnd::LineLost) return {CheckEnd::LineLost, block.address};
        if (sent.end != TransferEnd::Complete) return {CheckEnd::NotHeld, block.address};
      }
      moved = true;
    }
    if (link.port.lost()) return {CheckEnd::LineLost, 0};
    forgetStrayWrites(link, windows);
    const bool allHeld = std::all_of(windows.begin(), windows.end(), [](const SumWindow& w) { return w.known; });
    if (allHeld) return {CheckEnd::Held, 0};
    // A block moved again may itself have gone astray: every window is asked again.
    if (moved)
      for (SumWindow& w : windows) w.known = false;
  }
  consolePrint("\nUnit memory at %06X not as sent after %u checks\n", lastDiffering, kCheckRounds);
  return {CheckEnd::NotHeld, lastDiffering};
}

CheckResult confirmHeld(Link& link, std::vector<SumWindow>& windows) {
  return confirmHeld(link, windows, "\nBlock at unit address %06X not as sent: sending it again");
}

TransferResult uploadChecked(Link& link, std::uint32_t address, std::uint8_t* bytes, std::uint32_t length,
                             const TransferPlan& plan) {
  // The unit's sums before anything is read: a damaged command taken for 'D'
  // during the readout changes the unit, not these.
  std::vector<SumWindow> before;
  if (!addWindowsAsFound(link, before, address, length)) {
    if (link.port.lost()) return {TransferEnd::LineLost, address};
    consolePrint("\nThe unit did not answer a memory sum at %06X\n", address);
    return {TransferEnd::NotConfirmed, address};
  }
  const TransferResult read = uploadRegion(link, address, bytes, length, plan);
  if (read.end != TransferEnd::Complete) return read;
  std::vector<SumWindow> windows;
  addWindows(windows, address, bytes, length, plan.blockLength);
  for (std::uint32_t round = 0;; ++round) {
    bool allAsBefore = true;
    for (std::size_t i = 0; i < windows.size(); ++i) {
      SumWindow& w = windows[i];
      w.sum = sumOf(w.bytes, w.length);
      if (w.sum == before[i].sum) continue;
      allAsBefore = false;
      if (round == kCheckRounds) break;
      // A block read from where a damaged address pointed: the unit's own sums
      // find it, and it is read again.
      std::uint32_t sum = 0;
      const Asked asked = ask(link, w.address, w.length, sum);
      if (link.port.lost()) return {TransferEnd::LineLost, w.address};
      std::vector<Span> differing;
      if (asked == Asked::Silent || (asked == Asked::Parsed && sum == w.sum) ||
          !narrow(link, w, 0, blockCount(w), differing))
        continue;
      for (const Span& block : differing) {
        consolePrint("\nBlock at unit address %06X not as read: reading it again", block.address);
        const TransferResult again = uploadRegion(link, block.address, bytes + (block.address - address),
                                                  block.length, repeatPlan(plan.blockLength, plan.notice));
        if (again.end != TransferEnd::Complete) return again;
      }
    }
    if (allAsBefore) break;
    if (round == kCheckRounds) {
      consolePrint("\nUnit memory at %06X not as read after %u checks\n", address, kCheckRounds);
      return {TransferEnd::NotConfirmed, address};
    }
  }
  // What was read is what the unit held; a block a stray 'D' wrote over after
  // it was read is written back.
  const CheckResult held =
      confirmHeld(link, windows, "\nBlock at unit address %06X changed since it was read: writing it back");
  switch (held.end) {
    case CheckEnd::Held: return {TransferEnd::Complete, 0};
    case CheckEnd::LineLost: return {TransferEnd::LineLost, held.address};
    case CheckEnd::Stopped: return {TransferEnd::Stopped, held.address};
    default: return {TransferEnd::NotConfirmed, held.address};
  }
}

}  // namespace korrin
