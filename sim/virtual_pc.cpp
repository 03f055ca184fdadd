// The rest of the OS seam for the virtual-time tests: a PC with no PC-wide
// folder (copies go to the per-user one the virtual line keeps), and standard
// input that is a console only when the line says so, with its input mode.
#include "platform/os.h"
#include "virtual_line.h"

namespace os {
namespace {

// By Windows' own numbers, not os.h's: a wrong constant there must show.
constexpr DWORD kStdInput = 0xFFFFFFF6u;  // (DWORD)-10
constexpr DWORD kQuickEdit = 0x0040, kExtendedFlags = 0x0080;
const HANDLE kConsoleInput = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(0x5C0));

bool console(HANDLE handle) { return handle == kConsoleInput && sim::g_line && sim::g_line->consoleInput; }

}  // namespace

bool pcDataFolder(char*, std::size_t) { return false; }
HANDLE GetStdHandle(DWORD which) {
  return which == kStdInput && sim::g_line && sim::g_line->consoleInput ? kConsoleInput : INVALID_HANDLE_VALUE;
}
BOOL GetConsoleMode(HANDLE handle, DWORD* mode) {
  if (!console(handle) || mode == nullptr) return 0;
  *mode = sim::g_line->consoleMode;
  return 1;
}
BOOL SetConsoleMode(HANDLE handle, DWORD mode) {
  if (!console(handle)) return 0;
  std::uint32_t& now = sim::g_line->consoleMode;
  now = (mode & kExtendedFlags) ? mode : (mode & ~kQuickEdit) | (now & kQuickEdit);
  return 1;
}

}  // namespace os
