// What an open port holds on Windows, the line settings as Windows' DCB, and
// the one kernel32 call of the port that the seam's tests stand in for (Wine
// cannot be made to refuse a drain as some Bluetooth and USB drivers do).
#pragma once

#include "platform/os.h"

#include "platform/win32/win32_api.h"

struct os::Port {
  HANDLE handle = INVALID_HANDLE_VALUE;
  ::DWORD baud = 0;
  ::DWORD msPerByte = 0, slackMs = 0;  // the write bound
  LONGLONG lineFreeAt = 0;             // performance counter when the last byte written has left
  char failure[160] = "";
};

namespace korrin_win32 {

// The real DCB for `line`: every field the settings name, fBinary (Windows
// takes no other), and all else zero: no error or NUL handling, no abort on error.
::DCB dcbFor(const os::LineSettings& line);

// kernel32's FlushFileBuffers, unless a test stands in for it.
extern BOOL(WINAPI* flushBuffers)(HANDLE);

}  // namespace korrin_win32
