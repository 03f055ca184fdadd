// What the console needs of the stop requests beyond os.h: a descriptor that
// becomes readable when a stop is requested, so that a wait for a key can
// watch it beside standard input.
#pragma once

namespace os::posix {

// Readable from the first stop request on (and stays so); -1 before
// catchStopRequests or after releaseStopRequests.
int stopWakeDescriptor();

}  // namespace os::posix
