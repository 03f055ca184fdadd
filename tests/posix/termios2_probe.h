// Reads a terminal's speed as the Linux kernel holds it, independently of the
// seam under test. termios2 cannot share a file with glibc's <termios.h>.
#pragma once

#include <cstdint>

struct KernelLineSpeed {
  std::uint32_t output;
  std::uint32_t input;
};

// False when the kernel does not answer TCGETS2 (and on systems without it).
bool readKernelLineSpeed(int fd, KernelLineSpeed* speed);
