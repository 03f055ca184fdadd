// The OS seam on Windows: thin forwards to kernel32, winmm and the console
// runtime. The os:: records have the fields of the Windows ones but are types
// of their own (os::DWORD is 32 bits everywhere, Windows' is unsigned long),
// so they are copied field by field.
#include "platform/os.h"

// <windows.h> defines macros named like the os:: constants (GENERIC_READ,
// NOPARITY, ...); it must come after os.h, and the os:: constants are not
// named below this point.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <mmsystem.h>

#include <conio.h>

#include <cstdio>
#include <cstring>

namespace {

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

// One byte from standard input as it is (a pipe or a file): 0 to 255, or -1
// at end of input or on an error.
int readStdinByte() {
  unsigned char byte = 0;
  ::DWORD got = 0;
  if (!::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr) || got != 1) return -1;
  return byte;
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
  return ::CreateFileA(openName, desiredAccess, shareMode, static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes),
                       creationDisposition, flagsAndAttributes, templateFile);
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
  return ::SetCommState(file, &windows);
}

os::BOOL os::WriteFile(os::HANDLE file, const void* buffer, os::DWORD count, os::DWORD* written,
                       void* overlapped) {
  ::DWORD done = 0;
  ::BOOL ok = ::WriteFile(file, buffer, count, &done, static_cast<LPOVERLAPPED>(overlapped));
  if (written != nullptr) *written = static_cast<os::DWORD>(done);
  return ok;
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

os::BOOL os::CloseHandle(os::HANDLE object) { return ::CloseHandle(object); }

void os::Sleep(os::DWORD milliseconds) { ::Sleep(milliseconds); }

os::UINT os::timeBeginPeriod(os::UINT periodMs) { return ::timeBeginPeriod(periodMs); }

os::UINT os::timeEndPeriod(os::UINT periodMs) { return ::timeEndPeriod(periodMs); }

void os::writeConsole(const char* text, std::size_t length) {
  std::fwrite(text, 1, length, stdout);
  std::fflush(stdout);
}

int os::readKey() {
  // _getch reads the console, not standard input: with input from a pipe or a
  // file it returns at once with -1, so there the next byte is the key.
  ::DWORD mode = 0;
  if (!::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode)) return readStdinByte();
  int key = _getch();
  // Function and arrow keys come as two codes (0 or 0xE0, then the key); take
  // both, so that the second does not answer the next question.
  if (key == 0 || key == 0xE0) (void)_getch();
  return key;
}
