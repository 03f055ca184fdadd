// The console's input mode on Windows: plain forwards to kernel32.
#include "platform/os.h"

#include "platform/win32/win32_api.h"

os::HANDLE os::GetStdHandle(os::DWORD which) { return ::GetStdHandle(which); }

os::BOOL os::GetConsoleMode(os::HANDLE console, os::DWORD* mode) {
  ::DWORD windows = 0;
  if (mode == nullptr || !::GetConsoleMode(console, &windows)) return FALSE;
  *mode = static_cast<os::DWORD>(windows);
  return TRUE;
}

os::BOOL os::SetConsoleMode(os::HANDLE console, os::DWORD mode) { return ::SetConsoleMode(console, mode); }
