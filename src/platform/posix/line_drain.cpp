#include "platform/posix/line_drain.h"

#include <signal.h>
#include <sys/time.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#if defined(__linux__)
#include <sys/syscall.h>
#endif

namespace os::posix {
namespace {

void wake(int) {}

// A signal that only interrupts tcdrain: its handler does nothing, and without
// SA_RESTART the wait comes back with EINTR. The handler stays installed once
// set, so that a signal still pending after the drain cannot end the process.
bool installWake(int signal) {
  struct sigaction action {};
  action.sa_handler = wake;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  return sigaction(signal, &action, nullptr) == 0;
}

// Repeats after the first: a signal that came just before tcdrain began to
// wait is followed by another.
constexpr long kRepeatNs = 20 * 1000000L;

int drainLoop(int fd, std::int64_t deadlineUs) {
  for (;;) {
    if (tcdrain(fd) == 0) return 0;
    if (errno != EINTR) return errno;
    if (deadlineUs >= 0 && nowUs() >= deadlineUs) return ETIMEDOUT;
  }
}

}  // namespace

std::int64_t nowUs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void sleepUs(std::int64_t us) {
  if (us <= 0) return;
  timespec left{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

#if defined(__linux__)

// A timer of this thread's own, on a real-time signal no one else uses.
int drainWithin(int fd, std::int64_t deadlineUs) {
  if (deadlineUs < 0) return drainLoop(fd, deadlineUs);
  const int signal = SIGRTMIN + 4;
  static const bool installed = installWake(signal);
  sigevent event{};
  event.sigev_notify = SIGEV_THREAD_ID;
  event.sigev_signo = signal;
  event._sigev_un._tid = static_cast<pid_t>(syscall(SYS_gettid));
  // Without a timer there is no bounded tcdrain: the caller waits the line time instead.
  timer_t timer{};
  if (!installed || timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) return ENOSYS;
  std::int64_t left = deadlineUs - nowUs();
  if (left < 1) left = 1;
  const itimerspec when{{0, kRepeatNs}, {static_cast<time_t>(left / 1000000), static_cast<long>(left % 1000000) * 1000L}};
  const int result = timer_settime(timer, 0, &when, nullptr) == 0 ? drainLoop(fd, deadlineUs) : ENOSYS;
  timer_delete(timer);
  return result;
}

#else

// macOS has no per-thread timers: the process's interval timer, and what it
// was set to given back after. The updater uses it for nothing else.
int drainWithin(int fd, std::int64_t deadlineUs) {
  if (deadlineUs < 0) return drainLoop(fd, deadlineUs);
  static const bool installed = installWake(SIGALRM);
  if (!installed) return ENOSYS;
  std::int64_t left = deadlineUs - nowUs();
  if (left < 1) left = 1;
  const itimerval when{{0, kRepeatNs / 1000}, {static_cast<time_t>(left / 1000000), static_cast<int>(left % 1000000)}};
  itimerval before{};
  if (setitimer(ITIMER_REAL, &when, &before) != 0) return ENOSYS;
  const int result = drainLoop(fd, deadlineUs);
  (void)setitimer(ITIMER_REAL, &before, nullptr);
  return result;
}

#endif

}  // namespace os::posix
