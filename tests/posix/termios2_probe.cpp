#include "termios2_probe.h"

#if defined(__linux__)

#include <asm/termbits.h>
#include <sys/ioctl.h>

bool readKernelLineSpeed(int fd, KernelLineSpeed* speed) {
  termios2 settings{};
  if (ioctl(fd, TCGETS2, &settings) != 0) return false;
  speed->output = settings.c_ospeed;
  speed->input = settings.c_ispeed;
  return true;
}

#else

bool readKernelLineSpeed(int, KernelLineSpeed*) { return false; }

#endif
