// The operator's stop on Windows, taken and given back with the run's resources.
#pragma once

namespace korrin_win32 {

// From catchStopRequests on, Ctrl-C, Ctrl-Break and closing the console
// window are remembered (os::stopRequested) instead of ending the process.
// releaseStopRequests comes at the very end of a run: a console window that
// is being closed waits for it, within what Windows allows.
void catchStopRequests();
void releaseStopRequests();

}  // namespace korrin_win32
