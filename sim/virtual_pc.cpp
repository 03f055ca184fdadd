// The rest of the OS seam for the virtual-time tests: a PC with no PC-wide
// folder (copies go to the per-user one the virtual line keeps), and input
// that is no console, so there is no console mode to change.
#include "platform/os.h"

namespace os {

bool pcDataFolder(char*, std::size_t) { return false; }
HANDLE GetStdHandle(DWORD) { return INVALID_HANDLE_VALUE; }
BOOL GetConsoleMode(HANDLE, DWORD*) { return 0; }
BOOL SetConsoleMode(HANDLE, DWORD) { return 0; }

}  // namespace os
