// The serial port on termios, for Linux and macOS: the line settings mapped to
// a raw terminal, and every wait on the line bounded.
#include "platform/os.h"

#include "platform/posix/device_path.h"
#include "platform/posix/line_drain.h"
#include "platform/posix/line_speed.h"
#include "platform/posix/port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace os {
namespace {

constexpr std::int64_t kBitsPerByte = 10;  // start bit, 8 data bits, stop bit

std::int64_t lineTimeUs(std::int64_t bytes, std::uint32_t baud) {
  return baud == 0 ? 0 : (bytes * kBitsPerByte * 1000000 + baud - 1) / baud;
}

// A deadline `bytes` from now by the port's bound, in microseconds; -1: none.
std::int64_t deadlineFor(const Port& port, std::size_t bytes) {
  if (port.msPerByte == 0 && port.slackMs == 0) return -1;
  return posix::nowUs() + (static_cast<std::int64_t>(bytes) * port.msPerByte + port.slackMs) * 1000;
}

// Poll's wait in milliseconds until `deadline` (-1: none), rounded up; 0 once it has passed.
int waitUntil(std::int64_t deadline) {
  if (deadline < 0) return -1;
  const std::int64_t left = (deadline - posix::nowUs() + 999) / 1000;
  return left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

bool failed(Port& port, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(port.failure, sizeof port.failure, format, args);
  va_end(args);
  return false;
}

bool failedCall(Port& port, const char* call) { return failed(port, "%s: %s", call, std::strerror(errno)); }

// Settings this seam does not carry out. Refusing them is better than a port
// that silently works otherwise than asked.
bool unsupported(const LineSettings& line) {
  return line.baud == 0 || line.dataBits != 8 || line.stopBits != 1 || line.ctsFlow || line.dsrFlow ||
         line.xonXoffOut || line.xonXoffIn || line.dtr || line.rts;
}

tcflag_t parityFlags(Parity parity) {
  switch (parity) {
    case Parity::Odd: return PARENB | PARODD;
    case Parity::Even: return PARENB;
    case Parity::None: break;
  }
  return 0;
}

// The bits the settings decide; everything else is left as the driver has it.
constexpr tcflag_t kFramingCflags = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CLOCAL | CREAD;

bool framingTook(const termios& wanted, const termios& taken) {
  return (taken.c_cflag & kFramingCflags) == (wanted.c_cflag & kFramingCflags) &&
         (taken.c_iflag & (IXON | IXOFF | IXANY | ISTRIP | ICRNL | INLCR | IGNCR)) == 0 &&
         (taken.c_oflag & OPOST) == 0 && (taken.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 &&
         taken.c_cc[VMIN] == wanted.c_cc[VMIN] && taken.c_cc[VTIME] == wanted.c_cc[VTIME];
}

// Raw 8N1 (or the parity asked), no flow control, the speed, DTR and RTS low.
bool configure(int fd, const LineSettings& line) {
  termios wanted{};
  if (tcgetattr(fd, &wanted) != 0) return false;
  cfmakeraw(&wanted);
  wanted.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  wanted.c_cflag |= CS8 | CLOCAL | CREAD | parityFlags(line.parity);
  // No parity check either: a byte with a parity error is passed on as
  // received, as Windows does without an error character, where INPCK would
  // turn it into a NUL.
  wanted.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  wanted.c_cc[VMIN] = 1;
  wanted.c_cc[VTIME] = 0;
  // A speed left from an earlier open (14400, 28800) has no B* constant, and
  // macOS refuses such a speed in tcsetattr; the framing goes in at a
  // standard one, and the speed wanted follows at once, with nothing in flight.
  cfsetispeed(&wanted, B9600);
  cfsetospeed(&wanted, B9600);
  if (tcsetattr(fd, TCSANOW, &wanted) != 0 || !posix::setLineSpeed(fd, line.baud)) return false;
  // tcsetattr succeeds when any of the settings took; a pseudo-terminal, for
  // one, keeps 8 bits without parity whatever it is told.
  termios taken{};
  if (tcgetattr(fd, &taken) != 0 || !framingTook(wanted, taken)) return false;
  // Opening the device or leaving B0 raises DTR and RTS, so they are lowered
  // after the speed. Pseudo-terminals have no modem lines (ENOTTY, EINVAL).
  int lines = TIOCM_DTR | TIOCM_RTS;
  return ioctl(fd, TIOCMBIC, &lines) == 0 || errno == ENOTTY || errno == EINVAL;
}

// The device, for this program alone, or -1.
int openExclusive(const char* name) {
  char path[PATH_MAX];
  if (!posix::devicePathFor(name, path, sizeof path)) return -1;
  // O_NOCTTY: the port must not become the updater's controlling terminal.
  // O_NONBLOCK: without CLOCAL, which configure sets, open would wait for a
  // carrier that the unit never raises. It stays on: a write that finds the
  // driver's buffer full waits in poll, which ends when its time is up.
  int fd;
  do {
    fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  // Exclusive use, as Windows grants a COM port to one program. The lock comes
  // before any change to the line, so a port in use is left as its holder set
  // it. flock is only advisory and TIOCEXCL does not stop root, so both. A
  // regular file named by KORRIN_COMn (a slip of the operator's) is no port,
  // and the protocol's bytes must not land in it.
  if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return -1;
  }
  // Devices without the exclusive mode (ENOTTY, EINVAL) still have the lock.
  (void)ioctl(fd, TIOCEXCL);
  return fd;
}

void release(int fd) {
  // The exclusive mode stays with the device after the last close; clear it so
  // that the next program may open the port.
  (void)ioctl(fd, TIOCNXCL);
  (void)flock(fd, LOCK_UN);
  // No retry on EINTR: the descriptor is released either way.
  (void)close(fd);
}

}  // namespace

Port* openPort(const char* name, const LineSettings& settings) {
  if (name == nullptr || unsupported(settings)) return nullptr;
  const int fd = openExclusive(name);
  if (fd < 0) return nullptr;
  if (!configure(fd, settings)) {
    release(fd);
    return nullptr;
  }
  Port* port = new (std::nothrow) Port;
  if (port == nullptr) {
    release(fd);
    return nullptr;
  }
  port->fd = fd;
  port->baud = settings.baud;
  port->msPerByte = settings.writeMsPerByte;
  port->slackMs = settings.writeSlackMs;
  return port;
}

bool writePort(Port* port, const void* bytes, std::size_t count) {
  if (port == nullptr || (bytes == nullptr && count != 0)) return false;
  const std::int64_t startedAt = posix::nowUs();
  const std::int64_t deadline = deadlineFor(*port, count);
  const auto* next = static_cast<const unsigned char*>(bytes);
  std::size_t left = count;
  bool ok = true;
  while (left > 0) {
    const ssize_t put = write(port->fd, next, left);
    if (put > 0) {
      next += put;
      left -= static_cast<std::size_t>(put);
    } else if (put < 0 && errno == EAGAIN) {
      // The driver's buffer is full: wait for room, but not past the bound,
      // so that a driver that takes nothing cannot hold the run.
      const int wait = waitUntil(deadline);
      if (wait == 0) {
        ok = failed(*port, "write: %zu of %zu bytes not taken within the write time-out", left, count);
        break;
      }
      pollfd room{port->fd, POLLOUT, 0};
      if (poll(&room, 1, wait) < 0 && errno != EINTR) {
        ok = failedCall(*port, "poll");
        break;
      }
    } else if (put < 0 && errno != EINTR) {
      ok = failedCall(*port, "write");
      break;
    }
  }
  // Bytes written while the line is still busy queue behind those before.
  const std::size_t taken = count - left;
  const std::int64_t from = port->lineFreeAtUs > startedAt ? port->lineFreeAtUs : startedAt;
  port->lineFreeAtUs = from + lineTimeUs(static_cast<std::int64_t>(taken), port->baud);
  port->handedOver += taken;
  return ok;
}

// What the driver holds is given its line time and looked at again, then
// tcdrain waits for the last few in the UART or the adapter; all of it within
// the bound of the bytes handed over. A driver that offers neither look gets
// the line time of the bytes written instead.
bool drainPort(Port* port) {
  if (port == nullptr) return false;
  const std::int64_t deadline = deadlineFor(*port, port->handedOver);
  const std::size_t handedOver = port->handedOver;
  port->handedOver = 0;
  for (int queued = 0;;) {
    if (ioctl(port->fd, TIOCOUTQ, &queued) != 0) {
      if (errno == ENOTTY || errno == EINVAL) break;  // no queue to look at
      return failedCall(*port, "ioctl TIOCOUTQ");
    }
    if (queued <= 0) break;
    if (deadline >= 0 && posix::nowUs() >= deadline)
      return failed(*port, "tcdrain: %d of %zu bytes still queued at the write time-out", queued, handedOver);
    const std::int64_t lineUs = lineTimeUs(queued, port->baud);
    const std::int64_t leftUs = deadline - posix::nowUs();
    posix::sleepUs(deadline < 0 || lineUs < leftUs ? lineUs : leftUs);
  }
  const int drained = posix::drainWithin(port->fd, deadline);
  if (drained == 0) return true;
  if (drained == ETIMEDOUT) return failed(*port, "tcdrain: the line did not report empty within the write time-out");
  if (drained != ENOTTY && drained != EINVAL && drained != ENOSYS && drained != EOPNOTSUPP) {
    errno = drained;
    return failedCall(*port, "tcdrain");
  }
  posix::sleepUs(port->lineFreeAtUs - posix::nowUs());
  return true;
}

bool bytesWaiting(Port* port, std::uint32_t& count) {
  count = 0;
  if (port == nullptr) return false;
  int waiting = 0;
  if (ioctl(port->fd, FIONREAD, &waiting) != 0) return failedCall(*port, "ioctl FIONREAD");
  if (waiting < 0) return failed(*port, "ioctl FIONREAD: %d bytes", waiting);
  count = static_cast<std::uint32_t>(waiting);
  return true;
}

bool readPort(Port* port, void* buffer, std::uint32_t count, std::uint32_t& got) {
  got = 0;
  if (port == nullptr || (buffer == nullptr && count != 0)) return false;
  // Only bytes already reported are asked for; the bound is for a device
  // that takes them back.
  const std::int64_t deadline = deadlineFor(*port, count);
  auto* next = static_cast<unsigned char*>(buffer);
  while (got < count) {
    const ssize_t n = read(port->fd, next + got, count - got);
    if (n > 0) {
      got += static_cast<std::uint32_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      const int wait = waitUntil(deadline);
      if (wait == 0) return failed(*port, "read: %u of %u bytes reported waiting did not come", count - got, count);
      pollfd arrival{port->fd, POLLIN, 0};
      if (poll(&arrival, 1, wait) < 0 && errno != EINTR) return failedCall(*port, "poll");
    } else if (n == 0) {
      // A hang-up (the device went away): nothing more will come, and reading on would spin.
      return failed(*port, "read: the device hung up");
    } else if (errno != EINTR) {
      return failedCall(*port, "read");
    }
  }
  return true;
}

void closePort(Port* port) {
  if (port == nullptr) return;
  release(port->fd);
  delete port;
}

const char* portFailure(const Port* port) { return port == nullptr ? "" : port->failure; }

}  // namespace os
