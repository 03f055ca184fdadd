// The OS seam on termios, for Linux and macOS. A handle is the descriptor of
// the open terminal device.
#include "platform/os.h"

#include "platform/posix/device_path.h"
#include "platform/posix/line_speed.h"
#include "platform/posix/stop_requests.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>

namespace os {
namespace {

// The ports this process holds, with what a bounded write needs: the speed,
// the write time-out and when the last write's time runs out. The updater
// holds one port at a time (it closes the port before reopening it at
// another speed); the spare slots cost nothing. The updater runs on one
// thread, so the table needs no lock.
struct OpenPort {
  int fd = -1;
  DWORD baud = 0;
  DWORD writeMsPerByte = 0, writeSlackMs = 0;  // both 0: writes wait without end
  std::int64_t writeDeadlineMs = 0;            // of the last write, on the monotonic clock
};

constexpr std::size_t kMaxOpenPorts = 8;
OpenPort openPorts[kMaxOpenPorts];
constexpr std::int64_t kBitsPerByte = 10;  // start bit, 8 data bits, stop bit

HANDLE handleOf(int fd) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd)); }

// The port behind a handle this seam gave out, or null for any other handle.
OpenPort* portOf(HANDLE handle) {
  std::intptr_t value = reinterpret_cast<std::intptr_t>(handle);
  if (value < 0 || value > INT_MAX) return nullptr;
  for (OpenPort& port : openPorts) {
    if (port.fd >= 0 && port.fd == static_cast<int>(value)) return &port;
  }
  return nullptr;
}

std::int64_t nowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool bounded(const OpenPort& port) { return port.writeMsPerByte != 0 || port.writeSlackMs != 0; }

void sleepFor(std::int64_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// Parity framing for the DCB's Parity selector; mark and space have no
// portable termios form.
struct ParityFraming {
  BYTE parity;
  tcflag_t cflag;
};
constexpr ParityFraming kParityFramings[] = {
    {NOPARITY, 0},
    {ODDPARITY, PARENB | PARODD},
    {EVENPARITY, PARENB},
};

// Settings a DCB can ask for that this seam does not carry out. Refusing them
// is better than a port that silently works otherwise than asked.
bool unsupported(const DCB& dcb) {
  return dcb.BaudRate == 0 || dcb.ByteSize != 8 || dcb.StopBits != ONESTOPBIT || dcb.fOutxCtsFlow != 0 ||
         dcb.fOutxDsrFlow != 0 || dcb.fDtrControl != DTR_CONTROL_DISABLE || dcb.fRtsControl != RTS_CONTROL_DISABLE ||
         dcb.fOutX != 0 || dcb.fInX != 0 || dcb.fErrorChar != 0 || dcb.fNull != 0;
}

// The bits SetCommState decides; everything else is left as the driver has it.
constexpr tcflag_t kFramingCflags = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CLOCAL | CREAD;

bool framingTook(const termios& wanted, const termios& taken) {
  return (taken.c_cflag & kFramingCflags) == (wanted.c_cflag & kFramingCflags) &&
         (taken.c_iflag & (IXON | IXOFF | IXANY | ISTRIP | ICRNL | INLCR | IGNCR)) == 0 &&
         (taken.c_oflag & OPOST) == 0 && (taken.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 &&
         taken.c_cc[VMIN] == wanted.c_cc[VMIN] && taken.c_cc[VTIME] == wanted.c_cc[VTIME];
}

// One key byte from `fd`: 0 to 255, or -1 at end of input, on an error or
// when a stop is requested before a byte comes.
int readKeyByte(int fd) {
  unsigned char byte = 0;
  for (;;) {
    if (stopRequested()) return -1;
    pollfd waits[2] = {{fd, POLLIN, 0}, {posix::stopWakeDescriptor(), POLLIN, 0}};
    int ready = poll(waits, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready > 0 && waits[1].revents != 0) return -1;
    // Also when poll itself fails or cannot watch this kind of input (POLLNVAL,
    // as macOS answers for some devices): a plain read still gets the key.
    ssize_t got = read(fd, &byte, 1);
    if (got == 1) return byte;
    if (got < 0 && errno == EINTR) continue;
    return -1;
  }
}

}  // namespace

HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) {
  // A COM port is always opened for reading and writing, existing, unshared
  // and synchronous; the rest of a Windows open has no meaning here.
  (void)desiredAccess;
  (void)shareMode;
  (void)securityAttributes;
  (void)creationDisposition;
  (void)flagsAndAttributes;
  (void)templateFile;

  char path[PATH_MAX];
  if (!posix::devicePathFor(fileName, path, sizeof path)) return INVALID_HANDLE_VALUE;

  OpenPort* slot = nullptr;
  for (OpenPort& port : openPorts) {
    if (port.fd < 0) {
      slot = &port;
      break;
    }
  }
  if (slot == nullptr) return INVALID_HANDLE_VALUE;

  // O_NOCTTY: the port must not become the updater's controlling terminal.
  // O_NONBLOCK: without CLOCAL, which SetCommState sets, open would wait for
  // a carrier that the unit never raises; it stays on, see below.
  int fd;
  do {
    fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return INVALID_HANDLE_VALUE;
  // KORRIN_COMn naming a regular file (a slip of the operator's) names no
  // port, and the protocol's bytes must not land in the file.
  if (!isatty(fd)) {
    close(fd);
    return INVALID_HANDLE_VALUE;
  }

  // Exclusive use, as Windows grants a COM port to one program. The lock comes
  // before any change to the line, so a port in use is left as its holder set
  // it. flock is only advisory and TIOCEXCL does not stop root, so both.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return INVALID_HANDLE_VALUE;
  }
  // Devices without the exclusive mode (ENOTTY, EINVAL) still have the lock.
  (void)ioctl(fd, TIOCEXCL);

  // The descriptor stays non-blocking: a write that finds the driver's buffer
  // full waits in poll, which ends when the write's time is up.
  *slot = OpenPort{};
  slot->fd = fd;
  return handleOf(fd);
}

BOOL SetCommMask(HANDLE file, DWORD eventMask) {
  // No events are ever waited for; the mask has nothing to select.
  (void)eventMask;
  return portOf(file) != nullptr;
}

BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
  // Reads carry out only "no time-out" (VMIN 1, VTIME 0 of the raw mode);
  // writes the Windows total: a multiplier per byte and a constant.
  OpenPort* port = portOf(file);
  if (port == nullptr || timeouts == nullptr) return 0;
  if (timeouts->ReadIntervalTimeout != 0 || timeouts->ReadTotalTimeoutMultiplier != 0 ||
      timeouts->ReadTotalTimeoutConstant != 0)
    return 0;
  port->writeMsPerByte = timeouts->WriteTotalTimeoutMultiplier;
  port->writeSlackMs = timeouts->WriteTotalTimeoutConstant;
  return 1;
}

BOOL SetCommState(HANDLE file, DCB* dcb) {
  OpenPort* port = portOf(file);
  if (port == nullptr || dcb == nullptr || unsupported(*dcb)) return 0;
  const ParityFraming* framing = nullptr;
  for (const ParityFraming& candidate : kParityFramings) {
    if (candidate.parity == dcb->Parity) framing = &candidate;
  }
  if (framing == nullptr) return 0;

  termios wanted{};
  if (tcgetattr(port->fd, &wanted) != 0) return 0;
  cfmakeraw(&wanted);
  wanted.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  wanted.c_cflag |= CS8 | CLOCAL | CREAD | framing->cflag;
  // No software flow control. No parity check either: a byte with a parity
  // error is passed on as received, as Windows does without an error
  // character, where INPCK would turn it into a NUL.
  wanted.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  wanted.c_cc[VMIN] = 1;
  wanted.c_cc[VTIME] = 0;
  // A speed left from an earlier call (14400, 28800) has no B* constant, and
  // macOS refuses such a speed in tcsetattr; the framing goes in at a
  // standard one, and the speed wanted follows at once, with nothing in flight.
  cfsetispeed(&wanted, B9600);
  cfsetospeed(&wanted, B9600);
  if (tcsetattr(port->fd, TCSANOW, &wanted) != 0) return 0;

  if (!posix::setLineSpeed(port->fd, dcb->BaudRate)) return 0;

  // tcsetattr succeeds when any of the settings took; a pseudo-terminal, for
  // one, keeps 8 bits without parity whatever it is told.
  termios taken{};
  if (tcgetattr(port->fd, &taken) != 0 || !framingTook(wanted, taken)) return 0;

  // DTR and RTS inactive. Opening the device or leaving B0 raises them, so
  // they are lowered after the speed is set. Pseudo-terminals have no modem
  // lines and answer ENOTTY or EINVAL.
  int lines = TIOCM_DTR | TIOCM_RTS;
  if (ioctl(port->fd, TIOCMBIC, &lines) != 0 && errno != ENOTTY && errno != EINVAL) return 0;
  port->baud = dcb->BaudRate;
  return 1;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written, void* overlapped) {
  if (written != nullptr) *written = 0;
  OpenPort* port = portOf(file);
  if (port == nullptr || overlapped != nullptr || (buffer == nullptr && count != 0)) return 0;

  // As Windows counts a write's total time-out: per byte, plus a constant.
  const bool timed = bounded(*port);
  port->writeDeadlineMs = nowMs() + static_cast<std::int64_t>(count) * port->writeMsPerByte + port->writeSlackMs;
  const unsigned char* next = static_cast<const unsigned char*>(buffer);
  std::size_t left = count;
  while (left > 0) {
    ssize_t put = write(port->fd, next, left);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && errno == EAGAIN) {
      // The driver's buffer is full: wait for room, but not past the time-out,
      // so that a driver that takes nothing cannot hold the run.
      const std::int64_t wait = timed ? port->writeDeadlineMs - nowMs() : -1;
      if (timed && wait <= 0) break;
      pollfd room{port->fd, POLLOUT, 0};
      if (poll(&room, 1, static_cast<int>(wait)) < 0 && errno != EINTR) break;
      continue;
    }
    if (put < 0) break;
    next += put;
    left -= static_cast<std::size_t>(put);
  }
  if (written != nullptr) *written = static_cast<DWORD>(count - left);
  return left == 0;
}

BOOL FlushFileBuffers(HANDLE file) {
  OpenPort* port = portOf(file);
  if (port == nullptr) return 0;
  // tcdrain has no time-out. While the driver still holds bytes, they are
  // given their line time and looked at again, until the last write's time
  // runs out; tcdrain then waits only for the few in the UART itself.
  if (bounded(*port) && port->baud != 0) {
    for (int queued = 0; ioctl(port->fd, TIOCOUTQ, &queued) == 0 && queued > 0;) {
      const std::int64_t left = port->writeDeadlineMs - nowMs();
      if (left <= 0) return 0;
      const std::int64_t lineMs = (queued * kBitsPerByte * 1000 + port->baud - 1) / port->baud;
      sleepFor(lineMs < left ? lineMs : left);
    }
  }
  while (tcdrain(port->fd) != 0) {
    if (errno != EINTR) return 0;
  }
  return 1;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* read, void* overlapped) {
  if (read != nullptr) *read = 0;
  OpenPort* port = portOf(file);
  if (port == nullptr || overlapped != nullptr || (buffer == nullptr && count != 0)) return 0;

  unsigned char* next = static_cast<unsigned char*>(buffer);
  std::size_t left = count;
  while (left > 0) {
    ssize_t got = ::read(port->fd, next, left);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) {
      pollfd arrival{port->fd, POLLIN, 0};
      if (poll(&arrival, 1, -1) < 0 && errno != EINTR) break;
      continue;
    }
    // 0 is a hang-up (the device went away): nothing more will come, and
    // reading on would spin.
    if (got <= 0) break;
    next += got;
    left -= static_cast<std::size_t>(got);
  }
  if (read != nullptr) *read = static_cast<DWORD>(count - left);
  return left == 0;
}

BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) {
  OpenPort* port = portOf(file);
  if (port == nullptr) return 0;
  int waiting = 0;
  if (ioctl(port->fd, FIONREAD, &waiting) != 0 || waiting < 0) return 0;
  // Line errors (framing, overrun) are not reported by termios; the updater
  // discards them anyway.
  if (errors != nullptr) *errors = 0;
  if (stat != nullptr) {
    stat->flags = 0;
    stat->cbInQue = static_cast<DWORD>(waiting);
    stat->cbOutQue = 0;  // the updater never asks
  }
  return 1;
}

BOOL CloseHandle(HANDLE object) {
  OpenPort* port = portOf(object);
  if (port == nullptr) return 0;
  // The exclusive mode stays with the device after the last close; clear it so
  // that the next program may open the port.
  (void)ioctl(port->fd, TIOCNXCL);
  (void)flock(port->fd, LOCK_UN);
  int fd = port->fd;
  *port = OpenPort{};
  // No retry on EINTR: the descriptor is released either way.
  return close(fd) == 0;
}

void Sleep(DWORD milliseconds) { sleepFor(milliseconds); }

// The POSIX scheduler sleeps to the requested time already.
UINT timeBeginPeriod(UINT periodMs) {
  (void)periodMs;
  return 0;
}

UINT timeEndPeriod(UINT periodMs) {
  (void)periodMs;
  return 0;
}

const char* portNamingHelp() {
  return "COMn is the device KORRIN_COMn names, else /dev/ttyS<n-1>. On Linux name a USB\n"
         "adapter by its /dev/serial/by-id/ path, which stays the same after a replug:\n"
         "  KORRIN_COM1=/dev/serial/by-id/usb-... korrin-update -c1\n";
}

void writeConsole(const char* text, std::size_t length) {
  while (length > 0) {
    ssize_t put = write(STDOUT_FILENO, text, length);
    if (put < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text += put;
    length -= static_cast<std::size_t>(put);
  }
}

int readKey() {
  // A stop already requested answers at once: nobody is to be waited for.
  if (stopRequested()) return -1;
  termios saved{};
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0) {
    // A pipe or a file: the next byte is the key, end of input too.
    return readKeyByte(STDIN_FILENO);
  }
  // One key, as typed, without Enter and without echo. Signals are off too:
  // Ctrl-C is a key like any other here, and the terminal is always restored.
  termios raw = saved;
  raw.c_lflag &= ~(ICANON | ECHO | ECHONL | ISIG | IEXTEN);
  raw.c_iflag &= ~(IXON | ICRNL | INLCR | IGNCR);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return readKeyByte(STDIN_FILENO);
  int key = readKeyByte(STDIN_FILENO);
  (void)tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  return key;
}

void discardTypedAhead() {
  // Only a terminal: scripted answers in a pipe or a file are meant to be read.
  if (isatty(STDIN_FILENO)) (void)tcflush(STDIN_FILENO, TCIFLUSH);
}

}  // namespace os
