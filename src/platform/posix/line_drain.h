// The clock and the waits of the POSIX seam: every wait on the line ends by a
// deadline, tcdrain's too, which POSIX gives no time-out of its own.
#pragma once

#include <cstdint>

namespace os::posix {

// Microseconds on the monotonic clock.
std::int64_t nowUs();
// Sleeps `us` in full, whatever signals come meanwhile.
void sleepUs(std::int64_t us);
// tcdrain on `fd`, ended at `deadlineUs` (-1: none) if the line has not
// reported empty by then: 0 when drained, ETIMEDOUT when the time ran out,
// ENOSYS when no timer could bound it, else tcdrain's errno. A signal
// meanwhile (a stop request) does not end it early, and cannot make it wait
// past the deadline.
int drainWithin(int fd, std::int64_t deadlineUs);

}  // namespace os::posix
