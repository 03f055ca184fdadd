#include "stand_ins.h"

#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>

int drainCount = 0;
bool flushesFail = false;
DrainFault drainFault = DrainFault::None;
DriverFault driverFault;

#if defined(__linux__)

#include <asm/termbits.h>

extern "C" int fsync(int fd) {
  if (!flushesFail) return static_cast<int>(syscall(SYS_fsync, fd));
  errno = EIO;
  return -1;
}

// A pseudo-terminal has no output queue, so tcdrain returns at once and a
// missing drain cannot be seen on the line: the drains are counted.
extern "C" int tcdrain(int fd) {
  ++drainCount;
  if (drainFault == DrainFault::Unsupported) {
    errno = ENOTTY;
    return -1;
  }
  if (drainFault == DrainFault::NeverEmpty) {
    pause();  // as the kernel's wait: until a signal's handler has run
    errno = EINTR;
    return -1;
  }
  return ioctl(fd, TCSBRK, 1);
}

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);  // as the C library's own ioctl reads it
  va_end(arguments);
  if (request == TCSETS2 && driverFault.refuseSpeed) {
    errno = EINVAL;
    return -1;
  }
  if (request == TIOCOUTQ && drainFault == DrainFault::QueueStuck) {
    *static_cast<int*>(argument) = 10;
    return 0;
  }
  if (request == TIOCOUTQ && drainFault == DrainFault::NoQueue) {
    errno = EINVAL;
    return -1;
  }
  const long result = syscall(SYS_ioctl, fd, request, argument);
  if (result == 0 && request == TCGETS2) {
    static_cast<termios2*>(argument)->c_ospeed += static_cast<speed_t>(driverFault.outputOff);
    static_cast<termios2*>(argument)->c_ispeed += static_cast<speed_t>(driverFault.inputOff);
  }
  return static_cast<int>(result);
}

bool readKernelLineSpeed(int fd, KernelLineSpeed* speed) {
  termios2 settings{};
  if (ioctl(fd, TCGETS2, &settings) != 0) return false;
  *speed = {settings.c_ospeed, settings.c_ispeed};
  return true;
}

#else

bool readKernelLineSpeed(int, KernelLineSpeed*) { return false; }

#endif
