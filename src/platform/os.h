// The operating-system seam: the few operations the updater needs from the
// system, in its own words. One implementation is linked per build: win32/
// (kernel32), posix/ (termios) or the virtual-time line of the tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace os {

// The serial port.

enum class Parity : std::uint8_t { None, Odd, Even };

// How a port is set up. A seam carries out every field or refuses the open:
// a port that works otherwise than asked is worse than none.
struct LineSettings {
  std::uint32_t baud = 0;
  std::uint8_t dataBits = 8;
  Parity parity = Parity::None;
  std::uint8_t stopBits = 1;
  bool dtr = false, rts = false;              // the modem lines: raised when true
  bool ctsFlow = false, dsrFlow = false;      // hardware flow control
  bool xonXoffOut = false, xonXoffIn = false;  // software flow control
  // The software flow control's limits and characters, which only matter
  // when it is on.
  std::uint16_t xonLimit = 0, xoffLimit = 0;
  char xonChar = 0, xoffChar = 0;
  // The time a write, or a drain, may take before the port counts as lost:
  // this much per byte waiting, plus the slack. Both 0: no bound.
  std::uint32_t writeMsPerByte = 0, writeSlackMs = 0;
};

struct Port;  // an open port; what it holds is each seam's own

// Opens the port `name` ("COM1"; POSIX maps it to a device) for this program
// alone, with `settings`. Null when there is no such port, another program
// holds it, or a setting did not take.
Port* openPort(const char* name, const LineSettings& settings);
// Hands `count` bytes to the driver; true when it took them all within the
// write bound (they may still wait in its buffer or the adapter's).
bool writePort(Port* port, const void* bytes, std::size_t count);
// Returns once every byte handed over is on the line; false when that did
// not happen within the bound of what was waiting, or the device has gone. A
// driver without a drain of its own gets the line time of the bytes instead.
bool drainPort(Port* port);
// The received bytes waiting, in `count`; false when the device has gone.
bool bytesWaiting(Port* port, std::uint32_t& count);
// Reads exactly `count` bytes into `buffer` (callers ask only for what
// bytesWaiting reported), `got` of them before a failure.
bool readPort(Port* port, void* buffer, std::uint32_t count, std::uint32_t& got);
void closePort(Port* port);
// Why the last failed call on `port` failed, in the system's words: the call,
// the system's text and its number, as "WriteFile: The device is not
// connected. 1167". Empty before any failure.
const char* portFailure(const Port* port);

// The serial ports this PC has, for an operator who cannot find the unit's
// port: `each` is called once per port, in a stable order, with a name the
// operator knows (Windows: "COM5"; POSIX: a device path such as
// /dev/serial/by-id/usb-..., /dev/ttyUSB0, /dev/ttyACM0, /dev/ttyS0).
void listSerialPorts(void (*each)(const char* name, void* context), void* context);
// How the operator gives the unit's port one of the names -c can choose
// (COM1 to COM4) on this system: lines of text, each ending with a line feed.
const char* portNamingHelp();

// What a run holds from the system, taken at its start and given back at its
// very end (after the last key): a 1 ms scheduler tick, so that a pause of
// 40 ms lasts 40 ms; the operator's stop requests (Ctrl-C, Ctrl-Break and
// closing the console window on Windows; SIGINT, SIGTERM and SIGHUP on
// POSIX), remembered instead of ending the process; the console without
// QuickEdit, whose click would hold up every console write; the PC kept from
// sleeping; the console window's title, for showProgress. Each is given back
// as it was. A console window that is being closed waits for the give-back,
// within what Windows allows.
void takeRunResources();
void giveBackRunResources();
// A stop was requested since takeRunResources. The updater looks at it only
// at safe points.
bool stopRequested();
// The console window's title while the run holds it; nothing where there is no
// window to name.
void showProgress(const char* title);

// Suspends the thread for `ms` milliseconds; a stop request does not cut it short.
void sleepMs(std::uint32_t ms);

// Console: text to standard output at once (no buffering), and one key read
// without echo. End of input counts as a key (returns -1), so scripted runs never hang.
// A stop request that comes while readKey waits ends the wait with -1.
void writeConsole(const char* text, std::size_t length);
int readKey();
// Throws away keys typed before now, so that a prompt is answered only by a key
// pressed after it appears. Only when input is a console or terminal: scripted
// input (a pipe or a file) is left as it is.
void discardTypedAhead();

// Files that outlive a run: the saved copies of a unit's configuration
// records. Paths are UTF-8, in the system's own form; Windows takes and gives
// them in UTF-16 underneath, so that every account name works.
//
// The folders for them, created when missing, each with a separator at its end
// so that a file name can be appended; false when the system gives no such
// folder. Opening one removes temporary files that a killed writeFileDurably
// left in it (those of a process still running stay).
//
// The PC's own folder, which every account on the PC may read and write and
// no one else: Windows %ProgramData%\Korrin\ with an access list of its own
// (SYSTEM, Administrators, Users). POSIX has none: false.
bool pcDataFolder(char* path, std::size_t size);
// This account's folder, readable by its owner only. Windows:
// %LOCALAPPDATA%\Korrin\; POSIX: $XDG_STATE_HOME/korrin/, else
// ~/.local/state/korrin/.
bool userDataFolder(char* path, std::size_t size);
// Calls `each` with the name (not the path) of every regular file in `folder`.
void listFiles(const char* folder, void (*each)(const char* name, void* context), void* context);
// Replaces the file at `path` with `count` bytes (POSIX: readable by its owner
// only; Windows: as its folder's access list gives), and returns only once
// they are on the disk: written to a temporary file beside it, flushed, then renamed over it (and, on POSIX, the folder flushed).
// False on any failure; the file at `path` is then as it was before.
bool writeFileDurably(const char* path, const void* bytes, std::size_t count);
// Writes `count` bytes to a new file at `path`, durably as writeFileDurably
// does, but never over a file that is there: Taken when the name is already
// in use (another run's file), Failed on any other failure. A file is at
// `path` afterwards only when Claimed, and it is then this call's.
enum class FileClaim { Claimed, Taken, Failed };
FileClaim claimFileDurably(const char* path, const void* bytes, std::size_t count);
// The whole file into `bytes`; false when it is missing, unreadable or larger
// than `capacity`.
bool readWholeFile(const char* path, void* bytes, std::size_t capacity, std::size_t* count);
bool deleteFile(const char* path);

}  // namespace os
