// termios2 with BOTHER takes the speed as a number, which is the only way to
// ask Linux for 14400 or 28800 baud. The kernel's termios2 headers redefine
// struct termios, so this file must not see glibc's <termios.h>.
#if defined(__linux__)

#include "platform/posix/line_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace os::posix {
namespace {

int ioctlRetrying(int fd, unsigned long request, termios2* settings) {
  int result;
  do {
    result = ioctl(fd, request, settings);
  } while (result != 0 && errno == EINTR);
  return result;
}

}  // namespace

bool setLineSpeed(int fd, std::uint32_t baud) {
  if (baud == 0) return false;  // B0 would hang up the line
  termios2 settings{};
  if (ioctlRetrying(fd, TCGETS2, &settings) != 0) return false;
  settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  settings.c_ospeed = baud;
  settings.c_ispeed = baud;
  if (ioctlRetrying(fd, TCSETS2, &settings) != 0) return false;

  // Like tcsetattr, TCSETS2 succeeds when the driver kept only part of it.
  termios2 taken{};
  if (ioctlRetrying(fd, TCGETS2, &taken) != 0) return false;
  return speedTook(baud, taken.c_ospeed) && speedTook(baud, taken.c_ispeed);
}

}  // namespace os::posix

#endif  // __linux__
