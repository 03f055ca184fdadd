// The operator's stop on POSIX: SIGINT, SIGTERM and SIGHUP are remembered
// instead of ending the process, so that the updater leaves the unit at a safe
// point rather than half way through a block; SIGPIPE is ignored for the run.
#include "platform/os.h"
#include "platform/posix/stop_requests.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace os {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kStopSignalCount = sizeof kStopSignals / sizeof kStopSignals[0];

volatile sig_atomic_t stopSeen = 0;
// A self-pipe: a flag alone cannot wake a wait that started just before the
// signal came, a readable pipe can.
int wakeRead = -1;
int wakeWrite = -1;
bool caught = false;
// The dispositions found, given back on release; only for the signals caught.
struct sigaction previous[kStopSignalCount];
bool replaced[kStopSignalCount];
// A console whose reader has gone (`korrin-update | tee run.log` and a
// Ctrl-C that ends tee too) must not end the run in the middle of the
// write-back: a write to it fails like any other console write, and is ignored.
struct sigaction previousPipe;
bool pipeReplaced = false;

void onStopSignal(int) {
  int savedErrno = errno;
  stopSeen = 1;
  if (wakeWrite >= 0) {
    char byte = 's';
    // Non-blocking: a full pipe is already readable.
    (void)!write(wakeWrite, &byte, 1);
  }
  errno = savedErrno;
}

bool openWakePipe() {
  int ends[2];
  if (pipe(ends) != 0) return false;
  for (int end : ends) {
    int flags = fcntl(end, F_GETFL);
    if (flags < 0 || fcntl(end, F_SETFL, flags | O_NONBLOCK) != 0 || fcntl(end, F_SETFD, FD_CLOEXEC) != 0) {
      close(ends[0]);
      close(ends[1]);
      return false;
    }
  }
  wakeRead = ends[0];
  wakeWrite = ends[1];
  return true;
}

}  // namespace

bool stopRequested() { return stopSeen != 0; }

namespace posix {

void catchStopRequests() {
  if (caught) return;
  // Without the pipe a stop still sets the flag and interrupts a read (EINTR);
  // only the narrow race before a wait begins is then open.
  (void)openWakePipe();
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : kStopSignals) sigaddset(&action.sa_mask, signal);
  // No SA_RESTART: a read of the keyboard must come back with EINTR so that a
  // wait for a key ends. Every other wait of the seam resumes on EINTR itself.
  action.sa_flags = 0;
  for (int i = 0; i < kStopSignalCount; ++i) {
    replaced[i] = sigaction(kStopSignals[i], &action, &previous[i]) == 0;
    // A signal the caller chose to ignore (nohup, a background job) stays ignored.
    if (replaced[i] && previous[i].sa_handler == SIG_IGN) {
      (void)sigaction(kStopSignals[i], &previous[i], nullptr);
      replaced[i] = false;
    }
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  pipeReplaced = sigaction(SIGPIPE, &ignore, &previousPipe) == 0;
  caught = true;
}

void releaseStopRequests() {
  if (!caught) return;
  for (int i = 0; i < kStopSignalCount; ++i) {
    if (replaced[i]) (void)sigaction(kStopSignals[i], &previous[i], nullptr);
    replaced[i] = false;
  }
  if (pipeReplaced) (void)sigaction(SIGPIPE, &previousPipe, nullptr);
  pipeReplaced = false;
  caught = false;
  // The handler can no longer run, so the pipe may go.
  if (wakeRead >= 0) close(wakeRead);
  if (wakeWrite >= 0) close(wakeWrite);
  wakeRead = wakeWrite = -1;
}

int stopWakeDescriptor() { return wakeRead; }

}  // namespace posix
}  // namespace os
