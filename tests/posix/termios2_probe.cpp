#include "termios2_probe.h"

DriverFault driverFault;

#if defined(__linux__)

#include <asm/termbits.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>

bool readKernelLineSpeed(int fd, KernelLineSpeed* speed) {
  termios2 settings{};
  if (ioctl(fd, TCGETS2, &settings) != 0) return false;
  speed->output = settings.c_ospeed;
  speed->input = settings.c_ispeed;
  return true;
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
  const long result = syscall(SYS_ioctl, fd, request, argument);
  if (result == 0 && request == TCGETS2) {
    static_cast<termios2*>(argument)->c_ospeed += static_cast<speed_t>(driverFault.outputOff);
    static_cast<termios2*>(argument)->c_ispeed += static_cast<speed_t>(driverFault.inputOff);
  }
  return static_cast<int>(result);
}

#else

bool readKernelLineSpeed(int, KernelLineSpeed*) { return false; }

#endif
