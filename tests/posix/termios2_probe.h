// The terminal as the Linux kernel holds it, read apart from the seam under
// test, and what a serial driver may do that a pseudo-terminal never does,
// put between the seam and the kernel (this program's ioctl takes the C
// library's place). termios2 cannot share a file with glibc's <termios.h>.
#pragma once

#include <cstdint>

struct KernelLineSpeed {
  std::uint32_t output;
  std::uint32_t input;
};

// False when the kernel does not answer TCGETS2 (and on systems without it).
bool readKernelLineSpeed(int fd, KernelLineSpeed* speed);

// Until reset: new speeds refused (TCSETS2 fails), or taken and reported off
// by these many baud, as a USB adapter reports the rate its clock divides to.
struct DriverFault {
  bool refuseSpeed = false;
  std::int32_t outputOff = 0, inputOff = 0;
};
extern DriverFault driverFault;
