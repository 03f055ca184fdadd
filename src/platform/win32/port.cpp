// The serial port on Windows: the line settings as a DCB and the write bound
// as COMMTIMEOUTS, synchronous calls to kernel32, and the wait in a drain that
// puts the bytes written on the line.
#include "platform/win32/port.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace korrin_win32 {

BOOL(WINAPI* flushBuffers)(HANDLE) = ::FlushFileBuffers;

::DCB dcbFor(const os::LineSettings& line) {
  ::DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = line.baud;
  dcb.fBinary = 1;
  dcb.fParity = line.parity != os::Parity::None;
  dcb.Parity = line.parity == os::Parity::Odd ? ODDPARITY : line.parity == os::Parity::Even ? EVENPARITY : NOPARITY;
  dcb.ByteSize = line.dataBits;
  dcb.StopBits = line.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  dcb.fOutxCtsFlow = line.ctsFlow;
  dcb.fOutxDsrFlow = line.dsrFlow;
  dcb.fDtrControl = line.dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  dcb.fRtsControl = line.rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  dcb.fOutX = line.xonXoffOut;
  dcb.fInX = line.xonXoffIn;
  dcb.XonLim = line.xonLimit;
  dcb.XoffLim = line.xoffLimit;
  dcb.XonChar = line.xonChar;
  dcb.XoffChar = line.xoffChar;
  return dcb;
}

}  // namespace korrin_win32

namespace os {
namespace {

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

bool failed(Port& port, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(port.failure, sizeof port.failure, format, args);
  va_end(args);
  return false;
}

// "WriteFile: The device is not connected. 1167": the call, the system's
// text for its error and the number.
bool failedCall(Port& port, const char* call, ::DWORD error) {
  char text[120] = "";
  ::DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                    text, sizeof text, nullptr);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' '))
    text[--length] = '\0';
  return length > 0 ? failed(port, "%s: %s %lu", call, text, error) : failed(port, "%s: error %lu", call, error);
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

// A synchronous WriteFile on a COM port returns when the driver has taken the
// bytes, not when they are on the line: a UART keeps up to 16 in its FIFO, a
// USB adapter hundreds in its own buffer, and FlushFileBuffers only hands them
// on. So a drain also waits out the line time of the bytes written, counted
// from each write.
void noteWritten(Port& port, LONGLONG startedAt, ::DWORD count) {
  if (count == 0 || port.baud == 0) return;
  // Bytes written while the line is still busy queue behind those before.
  LONGLONG from = port.lineFreeAt > startedAt ? port.lineFreeAt : startedAt;
  port.lineFreeAt = from + static_cast<LONGLONG>(count) * kBitsPerByte * counterFrequency() / port.baud;
}

// Drivers that have no flush of their own (some Bluetooth and virtual USB
// ports) say so; for them the line time alone is the drain.
bool flushUnsupported(::DWORD error) { return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED; }

}  // namespace

Port* openPort(const char* name, const LineSettings& settings) {
  if (name == nullptr) return nullptr;
  char deviceName[MAX_PATH];
  const char* openName = name;
  if (isPortName(name)) {
    int length = std::snprintf(deviceName, sizeof deviceName, "\\\\.\\%s", name);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof deviceName) return nullptr;
    openName = deviceName;
  }
  HANDLE handle = ::CreateFileA(openName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  // Reads never time out (only bytes already reported are asked for); a
  // write gets its bound, as Windows counts it: per byte, plus a constant.
  ::COMMTIMEOUTS timeouts{0, 0, 0, settings.writeMsPerByte, settings.writeSlackMs};
  ::DCB dcb = korrin_win32::dcbFor(settings);
  // Each setting is tried whatever the one before it gave.
  bool configured = ::SetCommMask(handle, 0) != 0;
  configured = ::SetCommTimeouts(handle, &timeouts) != 0 && configured;
  configured = ::SetCommState(handle, &dcb) != 0 && configured;
  Port* port = configured ? new (std::nothrow) Port : nullptr;
  if (port == nullptr) {
    ::CloseHandle(handle);
    return nullptr;
  }
  port->handle = handle;
  port->baud = settings.baud;
  port->msPerByte = settings.writeMsPerByte;
  port->slackMs = settings.writeSlackMs;
  return port;
}

bool writePort(Port* port, const void* bytes, std::size_t count) {
  if (port == nullptr) return false;
  ::DWORD done = 0;
  const LONGLONG startedAt = counterNow();
  const ::BOOL ok = ::WriteFile(port->handle, bytes, static_cast<::DWORD>(count), &done, nullptr);
  const ::DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
  noteWritten(*port, startedAt, done);
  if (!ok) return failedCall(*port, "WriteFile", error);
  // Fewer bytes taken than given: the write time-out ran out.
  if (done != count) return failed(*port, "WriteFile: %lu of %zu bytes not taken within the write time-out", count - done, count);
  return true;
}

bool drainPort(Port* port) {
  if (port == nullptr) return false;
  if (!korrin_win32::flushBuffers(port->handle)) {
    const ::DWORD error = ::GetLastError();
    if (!flushUnsupported(error)) return failedCall(*port, "FlushFileBuffers", error);
  }
  const LONGLONG frequency = counterFrequency();
  for (LONGLONG left = port->lineFreeAt - counterNow(); left > 0; left = port->lineFreeAt - counterNow()) {
    // Rounded up: a wait a little long costs nothing, one too short loses the reply.
    ::Sleep(static_cast<::DWORD>((left * 1000 + frequency - 1) / frequency));
  }
  return true;
}

bool bytesWaiting(Port* port, std::uint32_t& count) {
  count = 0;
  if (port == nullptr) return false;
  ::DWORD errors = 0;
  ::COMSTAT stat;
  std::memset(&stat, 0, sizeof stat);
  // Also clears a line error (framing, overrun) so that I/O goes on; the updater has no use for which.
  if (!::ClearCommError(port->handle, &errors, &stat)) return failedCall(*port, "ClearCommError", ::GetLastError());
  count = static_cast<std::uint32_t>(stat.cbInQue);
  return true;
}

bool readPort(Port* port, void* buffer, std::uint32_t count, std::uint32_t& got) {
  got = 0;
  if (port == nullptr) return false;
  ::DWORD done = 0;
  const ::BOOL ok = ::ReadFile(port->handle, buffer, count, &done, nullptr);
  got = static_cast<std::uint32_t>(done);
  if (!ok) return failedCall(*port, "ReadFile", ::GetLastError());
  if (done != count) return failed(*port, "ReadFile: %lu of %u bytes reported waiting did not come", count - done, count);
  return true;
}

void closePort(Port* port) {
  if (port == nullptr) return;
  ::CloseHandle(port->handle);
  delete port;
}

const char* portFailure(const Port* port) { return port == nullptr ? "" : port->failure; }

}  // namespace os
