// macOS drivers refuse speeds without a B* constant in tcsetattr; IOSSIOSPEED
// hands any speed to the driver. A later tcsetattr puts the termios speed back,
// so the speed is set last, after the framing.
#if defined(__APPLE__)

#include "platform/posix/line_speed.h"

#include <IOKit/serial/ioss.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

namespace os::posix {

bool setLineSpeed(int fd, std::uint32_t baud) {
  if (baud == 0) return false;  // B0 would hang up the line
  speed_t speed = baud;
  int result;
  do {
    result = ioctl(fd, IOSSIOSPEED, &speed);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return false;

  termios taken{};
  if (tcgetattr(fd, &taken) != 0) return false;
  return speedTook(baud, cfgetospeed(&taken)) && speedTook(baud, cfgetispeed(&taken));
}

}  // namespace os::posix

#endif  // __APPLE__
