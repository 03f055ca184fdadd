#include "app/progress_title.h"

#include <cstdio>
#include <cstring>

#include "platform/os.h"
#include "serial/reply_exchange.h"

namespace korrin {

namespace {

constexpr std::int64_t kBitsPerByte = 10;
constexpr std::uint32_t kCommandBytes = 7 + 1 + 1;  // "A%06X", 'M' or 'D', 'C'
constexpr std::uint32_t kChecksumReplyBytes = 11;   // "CS=%08x"
const char* const kPhaseNames[] = {"configuration", "software", "hardware"};

void show(ProgressTitle& progress) {
  if (progress.current < 0) return;
  const int phase = progress.current;
  const std::int64_t total = progress.totalMicros[phase];
  std::int64_t share = total > 0 ? 100 * progress.doneMicros[phase] / total : 100;
  if (share > 100) share = 100;
  std::int64_t left = progress.checkMicros;
  for (int later = phase; later < ProgressTitle::kPhases; ++later) {
    if (progress.totalMicros[later] > progress.doneMicros[later])
      left += progress.totalMicros[later] - progress.doneMicros[later];
  }
  const std::int64_t minute = 60 * 1000000;
  const int minutes = static_cast<int>((left + minute / 2) / minute);  // the nearest
  char title[sizeof progress.shown];
  if (minutes <= 1) {
    std::snprintf(title, sizeof title, "korrin-update: %s %d %%, about a minute left", kPhaseNames[phase],
                  static_cast<int>(share));
  } else {
    std::snprintf(title, sizeof title, "korrin-update: %s %d %%, about %d min left", kPhaseNames[phase],
                  static_cast<int>(share), minutes);
  }
  if (std::strcmp(title, progress.shown) == 0) return;
  std::memcpy(progress.shown, title, sizeof title);
  os::showProgress(title);
}

void onBlock(void* context, std::uint32_t bytes, bool upload) {
  auto& progress = *static_cast<ProgressTitle*>(context);
  if (progress.current < 0) return;
  progress.doneMicros[progress.current] += blockMicros(bytes, upload, progress.link->currentSpeed);
  show(progress);
}

}  // namespace

std::int64_t blockMicros(std::uint32_t bytes, bool upload, std::uint32_t baud) {
  if (baud == 0) return 0;
  const std::int64_t lineBytes = kCommandBytes + (upload ? 2 * bytes : bytes) + kChecksumReplyBytes;
  // A download's reply comes after one poll; a read is drained first.
  const std::int64_t waitMs = upload ? kDrainSettleMs + kReplyPollMs : kReplyPollMs;
  return lineBytes * kBitsPerByte * 1000000 / baud + waitMs * 1000;
}

void followBlocks(ProgressTitle& progress, Link& link) {
  progress.link = &link;
  link.blockDone = onBlock;
  link.blockDoneContext = &progress;
}

void planPhase(ProgressTitle& progress, ProgressTitle::Phase phase, std::size_t bytes, std::uint32_t blockBytes,
               bool upload, std::uint32_t baud) {
  const auto rest = static_cast<std::uint32_t>(bytes % blockBytes);
  progress.totalMicros[phase] += static_cast<std::int64_t>(bytes / blockBytes) * blockMicros(blockBytes, upload, baud);
  if (rest != 0) progress.totalMicros[phase] += blockMicros(rest, upload, baud);
}

void planSums(ProgressTitle& progress, std::uint32_t sums, std::uint32_t baud) {
  // "L%06X", "A%06X", 'C', the reply, the address parked; a reply is looked for every few ms.
  constexpr std::int64_t kSumLineBytes = 7 + 7 + 1 + kChecksumReplyBytes + 7;
  if (baud != 0) progress.checkMicros += sums * (kSumLineBytes * kBitsPerByte * 1000000 / baud + kChecksumPollMs * 500);
}

void beginPhase(ProgressTitle& progress, ProgressTitle::Phase phase) {
  progress.current = phase;
  show(progress);
}

}  // namespace korrin
