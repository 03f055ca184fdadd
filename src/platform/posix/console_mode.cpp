// A terminal has no QuickEdit: there is no console mode to change or give back.
#include "platform/os.h"

namespace os {

HANDLE GetStdHandle(DWORD) { return INVALID_HANDLE_VALUE; }
BOOL GetConsoleMode(HANDLE, DWORD*) { return 0; }
BOOL SetConsoleMode(HANDLE, DWORD) { return 0; }

}  // namespace os
