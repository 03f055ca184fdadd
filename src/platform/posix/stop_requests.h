// The operator's stop on POSIX, taken and given back with the run's
// resources; and what the console needs beyond os.h: a descriptor that
// becomes readable when a stop is requested, so that a wait for a key can
// watch it beside standard input.
#pragma once

namespace os::posix {

// From catchStopRequests on, SIGINT, SIGTERM and SIGHUP no longer end the
// process: they are remembered (os::stopRequested). releaseStopRequests gives
// them back as they were; a signal the caller ignored stays ignored.
void catchStopRequests();
void releaseStopRequests();

// Readable from the first stop request on (and stays so); -1 before
// catchStopRequests or after releaseStopRequests.
int stopWakeDescriptor();

}  // namespace os::posix
