// Line speeds beyond the POSIX constants. 14400 and 28800 baud have no B*
// constant, so each system sets the speed its own way, in a file of its own:
// Linux with termios2 (line_speed_linux.cpp), macOS with IOSSIOSPEED
// (line_speed_macos.cpp).
#pragma once

#include <cstdint>

namespace os::posix {

// Sets the input and output speed of the open terminal `fd`, whose framing is
// already set, to `baud`, then reads the speed back. False when the driver
// refused it or reports a speed that is not close enough to `baud`.
bool setLineSpeed(int fd, std::uint32_t baud);

// A driver may report the rate it really produces rather than the one asked
// for (USB adapters divide a base clock). Within 2% the receiver still samples
// every bit of a 10-bit frame inside the bit, so such a speed counts as taken.
inline bool speedTook(std::uint32_t wanted, std::uint64_t reported) {
  std::uint64_t difference = reported > wanted ? reported - wanted : wanted - reported;
  return wanted != 0 && difference * 50 <= wanted;
}

}  // namespace os::posix
