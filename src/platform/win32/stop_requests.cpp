// The operator's stop on Windows: Ctrl-C, Ctrl-Break and closing the console
// window are remembered instead of ending the process, so that the updater
// leaves the unit at a safe point rather than half way through a block.
#include "platform/os.h"

#include "platform/win32/stop_requests.h"
#include "platform/win32/win32_api.h"

namespace {

// Windows ends a process 5 s after its console window is closed (and at
// logoff or shutdown) whatever its handler does; the updater gets what it can
// of that and leaves a margin.
constexpr ::DWORD kClosingGraceMs = 4500;

volatile LONG stopSeen = 0;
HANDLE released = nullptr;  // set once the run has ended; never closed, see release
bool caught = false;

// Runs on a thread of its own, which the system starts for each event.
BOOL WINAPI onConsoleEvent(::DWORD event) {
  ::InterlockedExchange(&stopSeen, 1);
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  // Close, logoff, shutdown: the process ends as soon as this returns, so it
  // returns only when the run is over or the time is up.
  if (released != nullptr) (void)::WaitForSingleObject(released, kClosingGraceMs);
  return TRUE;
}

}  // namespace

void korrin_win32::catchStopRequests() {
  if (caught) return;
  if (released == nullptr) released = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  caught = ::SetConsoleCtrlHandler(onConsoleEvent, TRUE) != 0;
}

bool os::stopRequested() { return ::InterlockedCompareExchange(&stopSeen, 0, 0) != 0; }

void korrin_win32::releaseStopRequests() {
  if (!caught) return;
  // A handler thread may be waiting on the event right now: it is set, not
  // closed, and the process ends soon after.
  if (released != nullptr) (void)::SetEvent(released);
  (void)::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
  caught = false;
}
