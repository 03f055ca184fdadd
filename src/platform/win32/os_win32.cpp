// The OS seam on Windows: forwards to kernel32, winmm (loaded from the system
// folder at run time) and the console runtime, plus the wait in a drain that
// puts written bytes on the line. The os:: records have the fields of the
// Windows ones but are types of their own (os::DWORD is 32 bits everywhere,
// Windows' is unsigned long), so they are copied field by field.
#include "platform/os.h"

#include "platform/win32/win32_api.h"
#include "platform/win32/wide_text.h"

#include <conio.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The ports this process holds, and when the bytes written to each have had
// their line time. The updater runs on one thread and holds one port at a
// time; the spare slots cost nothing.
struct OpenPort {
  HANDLE handle;          // null: a free slot
  ::DWORD baud;           // of the last SetCommState that took; 0 before
  LONGLONG lineFreeAt;    // performance counter when the last byte written has left
};

constexpr std::size_t kMaxOpenPorts = 8;
OpenPort openPorts[kMaxOpenPorts] = {};
constexpr LONGLONG kBitsPerByte = 10;  // start bit, 8 data bits, stop bit

LONGLONG counterNow() {
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  return now.QuadPart;
}

LONGLONG counterFrequency() {
  static const LONGLONG frequency = [] {
    LARGE_INTEGER value;
    ::QueryPerformanceFrequency(&value);
    return value.QuadPart;
  }();
  return frequency;
}

OpenPort* portOf(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  for (OpenPort& port : openPorts) {
    if (port.handle == handle) return &port;
  }
  return nullptr;
}

// A synchronous WriteFile on a COM port returns when the driver has taken the
// bytes, not when they are on the line: a UART keeps up to 16 in its FIFO, a
// USB adapter hundreds in its own buffer, and FlushFileBuffers only hands them
// on. So a drain also waits out the line time of the bytes written, counted
// from each write.
void noteWritten(OpenPort& port, LONGLONG startedAt, ::DWORD count) {
  if (count == 0 || port.baud == 0) return;
  // Bytes written while the line is still busy queue behind those before.
  LONGLONG from = port.lineFreeAt > startedAt ? port.lineFreeAt : startedAt;
  port.lineFreeAt = from + static_cast<LONGLONG>(count) * kBitsPerByte * counterFrequency() / port.baud;
}

bool drain(OpenPort& port) {
  if (!::FlushFileBuffers(port.handle)) return false;
  const LONGLONG frequency = counterFrequency();
  for (LONGLONG left = port.lineFreeAt - counterNow(); left > 0; left = port.lineFreeAt - counterNow()) {
    // Rounded up: a wait a little long costs nothing, one too short loses the reply.
    ::Sleep(static_cast<::DWORD>((left * 1000 + frequency - 1) / frequency));
  }
  return true;
}

::DCB toWindows(const os::DCB& from) {
  ::DCB to;
  std::memset(&to, 0, sizeof to);
  to.DCBlength = sizeof to;
  to.BaudRate = from.BaudRate;
  to.fBinary = from.fBinary;
  to.fParity = from.fParity;
  to.fOutxCtsFlow = from.fOutxCtsFlow;
  to.fOutxDsrFlow = from.fOutxDsrFlow;
  to.fDtrControl = from.fDtrControl;
  to.fDsrSensitivity = from.fDsrSensitivity;
  to.fTXContinueOnXoff = from.fTXContinueOnXoff;
  to.fOutX = from.fOutX;
  to.fInX = from.fInX;
  to.fErrorChar = from.fErrorChar;
  to.fNull = from.fNull;
  to.fRtsControl = from.fRtsControl;
  to.fAbortOnError = from.fAbortOnError;
  to.wReserved = from.wReserved;
  to.XonLim = from.XonLim;
  to.XoffLim = from.XoffLim;
  to.ByteSize = from.ByteSize;
  to.Parity = from.Parity;
  to.StopBits = from.StopBits;
  to.XonChar = from.XonChar;
  to.XoffChar = from.XoffChar;
  to.ErrorChar = from.ErrorChar;
  to.EofChar = from.EofChar;
  to.EvtChar = from.EvtChar;
  to.wReserved1 = from.wReserved1;
  return to;
}

// "COM1" to "COM9" also open as they are, but from COM10 on Windows knows the
// port only in the device namespace, "\\.\COM10". The prefix is harmless for
// the low numbers, so every port name gets it; other names are left alone.
bool isPortName(const char* name) {
  if (_strnicmp(name, "COM", 3) != 0 || name[3] < '1' || name[3] > '9') return false;
  for (const char* p = name + 4; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
  }
  return true;
}

constexpr ::DWORD kKeyPollMs = 100;  // how soon a stop request ends a wait for a key

// One byte from standard input as it is (a pipe or a file): 0 to 255, or -1
// at end of input, on an error or when a stop is requested first.
int readStdinByte(HANDLE input) {
  // A pipe is watched, so that a stop can end the wait; a file answers at once.
  if (::GetFileType(input) == FILE_TYPE_PIPE) {
    for (;;) {
      if (os::stopRequested()) return -1;
      ::DWORD available = 0;
      // A handle that cannot be watched (the writer gone, or a socket, which
      // also reports itself as a pipe) counts as input ended: a ReadFile on
      // it could wait past any stop.
      if (!::PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) return -1;
      if (available > 0) break;
      ::Sleep(kKeyPollMs);
    }
  }
  unsigned char byte = 0;
  ::DWORD got = 0;
  if (!::ReadFile(input, &byte, 1, &got, nullptr) || got != 1) return -1;
  return byte;
}

// Waits until the console has a key press for _getch; false when a stop is
// requested first.
bool waitForKeyPress(HANDLE input) {
  for (;;) {
    if (os::stopRequested()) return false;
    ::DWORD events = 0;
    if (!::GetNumberOfConsoleInputEvents(input, &events)) return true;
    if (_kbhit()) return true;
    // None of these events is a key press (key releases, focus, mouse, a
    // lone Shift): they would keep the handle signalled and the wait from
    // waiting. Events that came after the look above stay.
    INPUT_RECORD record;
    for (::DWORD read = 0; events > 0 && ::ReadConsoleInputA(input, &record, 1, &read) && read == 1; --events) {
    }
    // Signalled by any new console event; a key press is then seen above.
    if (::WaitForSingleObject(input, kKeyPollMs) == WAIT_FAILED) return true;
  }
}

}  // namespace

os::HANDLE os::CreateFileA(const char* fileName, os::DWORD desiredAccess, os::DWORD shareMode,
                           void* securityAttributes, os::DWORD creationDisposition, os::DWORD flagsAndAttributes,
                           os::HANDLE templateFile) {
  if (fileName == nullptr) return INVALID_HANDLE_VALUE;
  char deviceName[MAX_PATH];
  const char* openName = fileName;
  if (isPortName(fileName)) {
    int length = std::snprintf(deviceName, sizeof deviceName, "\\\\.\\%s", fileName);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof deviceName) return INVALID_HANDLE_VALUE;
    openName = deviceName;
  }
  OpenPort* slot = nullptr;
  for (OpenPort& port : openPorts) {
    if (port.handle == nullptr) {
      slot = &port;
      break;
    }
  }
  if (slot == nullptr) return INVALID_HANDLE_VALUE;
  HANDLE handle = ::CreateFileA(openName, desiredAccess, shareMode,
                                static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes), creationDisposition,
                                flagsAndAttributes, templateFile);
  if (handle != INVALID_HANDLE_VALUE) *slot = OpenPort{handle, 0, 0};
  return handle;
}

os::BOOL os::SetCommMask(os::HANDLE file, os::DWORD eventMask) { return ::SetCommMask(file, eventMask); }

os::BOOL os::SetCommTimeouts(os::HANDLE file, os::COMMTIMEOUTS* timeouts) {
  if (timeouts == nullptr) return FALSE;
  ::COMMTIMEOUTS windows;
  windows.ReadIntervalTimeout = timeouts->ReadIntervalTimeout;
  windows.ReadTotalTimeoutMultiplier = timeouts->ReadTotalTimeoutMultiplier;
  windows.ReadTotalTimeoutConstant = timeouts->ReadTotalTimeoutConstant;
  windows.WriteTotalTimeoutMultiplier = timeouts->WriteTotalTimeoutMultiplier;
  windows.WriteTotalTimeoutConstant = timeouts->WriteTotalTimeoutConstant;
  return ::SetCommTimeouts(file, &windows);
}

os::BOOL os::SetCommState(os::HANDLE file, os::DCB* dcb) {
  if (dcb == nullptr) return FALSE;
  ::DCB windows = toWindows(*dcb);
  OpenPort* port = portOf(file);
  ::BOOL ok = ::SetCommState(file, &windows);
  if (ok && port != nullptr) port->baud = windows.BaudRate;
  return ok;
}

os::BOOL os::WriteFile(os::HANDLE file, const void* buffer, os::DWORD count, os::DWORD* written,
                       void* overlapped) {
  ::DWORD done = 0;
  const LONGLONG startedAt = counterNow();
  ::BOOL ok = ::WriteFile(file, buffer, count, &done, static_cast<LPOVERLAPPED>(overlapped));
  if (OpenPort* port = portOf(file)) noteWritten(*port, startedAt, done);
  if (written != nullptr) *written = static_cast<os::DWORD>(done);
  return ok;
}

os::BOOL os::FlushFileBuffers(os::HANDLE file) {
  OpenPort* port = portOf(file);
  return port != nullptr && drain(*port);
}

os::BOOL os::ReadFile(os::HANDLE file, void* buffer, os::DWORD count, os::DWORD* read, void* overlapped) {
  ::DWORD done = 0;
  ::BOOL ok = ::ReadFile(file, buffer, count, &done, static_cast<LPOVERLAPPED>(overlapped));
  if (read != nullptr) *read = static_cast<os::DWORD>(done);
  return ok;
}

os::BOOL os::ClearCommError(os::HANDLE file, os::DWORD* errors, os::COMSTAT* stat) {
  ::DWORD windowsErrors = 0;
  ::COMSTAT windows;
  std::memset(&windows, 0, sizeof windows);
  ::BOOL ok = ::ClearCommError(file, &windowsErrors, &windows);
  if (errors != nullptr) *errors = static_cast<os::DWORD>(windowsErrors);
  if (stat != nullptr) {
    stat->flags = static_cast<os::DWORD>(windows.fCtsHold | windows.fDsrHold << 1 | windows.fRlsdHold << 2 |
                                         windows.fXoffHold << 3 | windows.fXoffSent << 4 | windows.fEof << 5 |
                                         windows.fTxim << 6);
    stat->cbInQue = static_cast<os::DWORD>(windows.cbInQue);
    stat->cbOutQue = static_cast<os::DWORD>(windows.cbOutQue);
  }
  return ok;
}

os::BOOL os::CloseHandle(os::HANDLE object) {
  if (OpenPort* port = portOf(object)) *port = OpenPort{};
  return ::CloseHandle(object);
}

void os::Sleep(os::DWORD milliseconds) { ::Sleep(milliseconds); }

namespace {

// winmm is not a known DLL: linked by name, it would be looked for in the
// program's folder first, where anyone who can write there could put their
// own. So it is loaded from the system folder only, when first needed.
using TimerCall = UINT(WINAPI*)(UINT);
constexpr os::UINT kTimerCannotDo = 97;  // TIMERR_NOCANDO

HMODULE loadSystemWinmm() {
  HMODULE module = ::LoadLibraryExA("winmm.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module != nullptr) return module;
  // Windows 7 without KB2533623 refuses the flag; the full path does the same.
  static const char kName[] = "\\winmm.dll";
  char path[MAX_PATH];
  UINT length = ::GetSystemDirectoryA(path, MAX_PATH);
  if (length == 0 || length + sizeof kName > MAX_PATH) return nullptr;
  std::memcpy(path + length, kName, sizeof kName);
  // Its own imports are then looked for beside it, in the system folder.
  return ::LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

TimerCall timerCall(const char* name) {
  static const HMODULE winmm = loadSystemWinmm();
  if (winmm == nullptr) return nullptr;
  // Through the generic function pointer type, which converts to any other.
  return reinterpret_cast<TimerCall>(reinterpret_cast<void (*)()>(::GetProcAddress(winmm, name)));
}

}  // namespace

// Without winmm the tick stays coarse: pauses run long, never short.
os::UINT os::timeBeginPeriod(os::UINT periodMs) {
  static const TimerCall call = timerCall("timeBeginPeriod");
  return call == nullptr ? kTimerCannotDo : call(periodMs);
}

os::UINT os::timeEndPeriod(os::UINT periodMs) {
  static const TimerCall call = timerCall("timeEndPeriod");
  return call == nullptr ? kTimerCannotDo : call(periodMs);
}

const char* os::portNamingHelp() {
  return "To give a USB adapter a number from COM1 to COM4: Device Manager,\n"
         "Ports (COM & LPT), the adapter's Properties, Port Settings, Advanced,\n"
         "COM Port Number.\n";
}

void os::writeConsole(const char* text, std::size_t length) {
  // The texts are UTF-8 (a path may hold the account's name); a console shows
  // them in its own code page, so it is given UTF-16. A pipe or a file gets
  // the bytes as they are.
  HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  ::DWORD mode = 0;
  if (length > 0 && ::GetConsoleMode(output, &mode)) {
    const std::wstring wide = korrin_win32::toWide(std::string(text, length));
    ::DWORD written = 0;
    std::fflush(stdout);
    if (!wide.empty() && ::WriteConsoleW(output, wide.data(), static_cast<::DWORD>(wide.size()), &written, nullptr))
      return;
  }
  std::fwrite(text, 1, length, stdout);
  std::fflush(stdout);
}

int os::readKey() {
  // A stop already requested answers at once: nobody is to be waited for.
  if (stopRequested()) return -1;
  HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  // _getch reads the console, not standard input: with input from a pipe or a
  // file it returns at once with -1, so there the next byte is the key.
  ::DWORD mode = 0;
  if (!::GetConsoleMode(input, &mode)) return readStdinByte(input);
  if (!waitForKeyPress(input)) return -1;
  int key = _getch();
  // Function and arrow keys come as two codes (0 or 0xE0, then the key); take
  // both, so that the second does not answer the next question.
  if (key == 0 || key == 0xE0) (void)_getch();
  return key;
}

void os::discardTypedAhead() {
  HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  ::DWORD mode = 0;
  // Only a console: scripted answers in a pipe or a file are meant to be read.
  if (!::GetConsoleMode(input, &mode)) return;
  (void)::FlushConsoleInputBuffer(input);
}
