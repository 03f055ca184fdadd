// The rest of the OS seam on POSIX, for Linux and macOS: sleep, the console,
// the key, and what a run holds (the stop requests; the scheduler already
// sleeps to the millisecond, and a terminal has no QuickEdit, no sleep
// inhibitor the updater could count on, and no title it owns).
#include "platform/os.h"

#include "platform/posix/line_drain.h"
#include "platform/posix/stop_requests.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace os {
namespace {

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

void takeRunResources() { posix::catchStopRequests(); }
void giveBackRunResources() { posix::releaseStopRequests(); }
void showProgress(const char*) {}

void sleepMs(std::uint32_t ms) { posix::sleepUs(static_cast<std::int64_t>(ms) * 1000); }

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
