// What this test program puts in the C library's place, so that the seam
// meets what a pseudo-terminal or a healthy disk never shows: a drain that
// counts, a drain that never ends or is not there, a queue that never empties
// or cannot be looked at, a flush the disk refuses, a serial driver that
// refuses a speed or reports another. Also the speed the Linux kernel holds, read apart from the
// seam. (termios2 cannot share a file with glibc's <termios.h>.)
#pragma once

#include <cstdint>

extern int drainCount;      // tcdrain calls so far
extern bool flushesFail;    // fsync answers EIO

enum class DrainFault {
  None,
  Unsupported,  // tcdrain answers ENOTTY, as a driver without one
  NeverEmpty,   // tcdrain waits until a signal comes: a transmitter that never reports empty
  QueueStuck,   // TIOCOUTQ reports 10 bytes queued, always
  NoQueue,      // TIOCOUTQ answers EINVAL, as a driver that cannot tell what it holds
};
extern DrainFault drainFault;

// Until reset: new speeds refused (TCSETS2 fails), or taken and reported off
// by these many baud, as a USB adapter reports the rate its clock divides to.
struct DriverFault {
  bool refuseSpeed = false;
  std::int32_t outputOff = 0, inputOff = 0;
};
extern DriverFault driverFault;

struct KernelLineSpeed {
  std::uint32_t output, input;
};
// False when the kernel does not answer TCGETS2 (and on systems without it).
bool readKernelLineSpeed(int fd, KernelLineSpeed* speed);
