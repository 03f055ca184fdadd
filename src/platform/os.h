// The operating-system seam: exactly the calls the updater makes, with the
// Win32 names and records. One implementation is linked per build:
// win32/ (kernel32), posix/ (termios) or the virtual-time line of the tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace os {

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using BOOL = int;
using HANDLE = void*;

// A closed or failed handle, as Windows reports it.
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD DTR_CONTROL_DISABLE = 0;
constexpr DWORD RTS_CONTROL_DISABLE = 0;
constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE ONESTOPBIT = 0;

// Same fields, order and meaning as the Win32 record of that name.
struct DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
};

struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
};

struct COMSTAT {
  DWORD flags;  // fCtsHold .. fTxim; the updater never reads them
  DWORD cbInQue;
  DWORD cbOutQue;
};

// Serial port calls (all synchronous, no overlapped I/O; `overlapped` must be null).
HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL SetCommMask(HANDLE file, DWORD eventMask);
BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts);
BOOL SetCommState(HANDLE file, DCB* dcb);
// Returns once the driver has taken the bytes, which may still wait in its
// buffer or the adapter's. With a write time-out set, `written` falls short
// of `count` when the time ran out.
BOOL WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written, void* overlapped);
// Returns once every byte written so far is on the line; within the write
// time-out, false when it ran out or the device has gone.
BOOL FlushFileBuffers(HANDLE file);
// Blocks until `count` bytes have arrived: callers ask only for what ClearCommError reported.
BOOL ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* read, void* overlapped);
BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat);
BOOL CloseHandle(HANDLE object);

// Suspends the thread for `milliseconds`.
void Sleep(DWORD milliseconds);

// Ask for, and give back, a finer scheduler tick so that Sleep(40) lasts 40 ms.
// Returns 0 on success, as the multimedia timer calls do; a no-op where the tick is already fine.
UINT timeBeginPeriod(UINT periodMs);
UINT timeEndPeriod(UINT periodMs);

// Console: text to standard output at once (no buffering), and one key read
// without echo. End of input counts as a key (returns -1), so scripted runs never hang.
// A stop request (below) that comes while readKey waits ends the wait with -1.
void writeConsole(const char* text, std::size_t length);
int readKey();
// Throws away keys typed before now, so that a prompt is answered only by a key
// pressed after it appears. Only when input is a console or terminal: scripted
// input (a pipe or a file) is left as it is.
void discardTypedAhead();

// The operator's stop. After catchStopRequests, Ctrl-C, Ctrl-Break and closing
// the console window (Windows), SIGINT, SIGTERM and SIGHUP (POSIX) no longer end
// the process on the spot; they are remembered, and stopRequested() says so
// from then on. The updater looks at it only at safe points. releaseStopRequests
// is called at the very end of a run (after the last key): a console window that
// is being closed waits for it, within what Windows allows.
void catchStopRequests();
bool stopRequested();
void releaseStopRequests();

// The serial ports this PC has, for an operator who cannot find the unit's
// port: `each` is called once per port, in a stable order, with a name the
// operator knows (Windows: "COM5"; POSIX: a device path such as
// /dev/serial/by-id/usb-..., /dev/ttyUSB0, /dev/ttyACM0, /dev/ttyS0).
void listSerialPorts(void (*each)(const char* name, void* context), void* context);
// How the operator gives the unit's port one of the names -c can choose
// (COM1 to COM4) on this system: lines of text, each ending with a line feed.
const char* portNamingHelp();

// Console input mode (standard input), as Windows has it: QuickEdit lets a
// mouse click select text and hold up every console write until the selection
// ends. GetConsoleMode fails where input is no console (a pipe, a file, POSIX).
constexpr DWORD STD_INPUT_HANDLE = static_cast<DWORD>(-10);
constexpr DWORD ENABLE_QUICK_EDIT_MODE = 0x0040;
constexpr DWORD ENABLE_EXTENDED_FLAGS = 0x0080;  // needed to change QuickEdit
HANDLE GetStdHandle(DWORD which);
BOOL GetConsoleMode(HANDLE console, DWORD* mode);
BOOL SetConsoleMode(HANDLE console, DWORD mode);

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
