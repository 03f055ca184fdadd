// What a run holds from Windows, and gives back as it was: a 1 ms scheduler
// tick (Windows stretches Sleep(40) to a whole tick unless asked), the
// operator's stop requests, the console without QuickEdit, the PC kept awake,
// and the console window's title.
#include "platform/os.h"

#include "platform/win32/stop_requests.h"
#include "platform/win32/win32_api.h"
#include "platform/win32/wide_text.h"

#include <cstring>
#include <string>

namespace {

constexpr UINT kTimerResolutionMs = 1;

// winmm is not a known DLL: linked by name, it would be looked for in the
// program's folder first, where anyone who can write there could put their
// own. So it is loaded from the system folder only, when first needed.
using TimerCall = UINT(WINAPI*)(UINT);

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

// Without winmm the tick stays coarse: pauses run long, never short.
void timerCall(const char* name) {
  static const HMODULE winmm = loadSystemWinmm();
  if (winmm == nullptr) return;
  // Through the generic function pointer type, which converts to any other.
  const auto call = reinterpret_cast<TimerCall>(reinterpret_cast<void (*)()>(::GetProcAddress(winmm, name)));
  if (call != nullptr) (void)call(kTimerResolutionMs);
}

// QuickEdit lets a click in the window select text, and holds up every
// console write until the selection ends: mid-transfer, the unit would wait.
struct QuickEdit {
  HANDLE input = nullptr;
  ::DWORD savedMode = 0;
  bool changed = false;
} quickEdit;

void quickEditOff() {
  quickEdit.input = ::GetStdHandle(STD_INPUT_HANDLE);
  ::DWORD mode = 0;
  quickEdit.changed = false;
  // Nothing where input is no console (a pipe, a file).
  if (!::GetConsoleMode(quickEdit.input, &mode)) return;
  quickEdit.savedMode = mode;
  // The extended flag makes the QuickEdit bit count, whether it is on or off.
  quickEdit.changed =
      ::SetConsoleMode(quickEdit.input, (mode | ENABLE_EXTENDED_FLAGS) & ~ENABLE_QUICK_EDIT_MODE) != 0;
}

void quickEditBack() {
  if (quickEdit.changed) (void)::SetConsoleMode(quickEdit.input, quickEdit.savedMode | ENABLE_EXTENDED_FLAGS);
  quickEdit.changed = false;
}

// The console's own title, given back at the end; empty: the run has none.
std::wstring savedTitle;
bool titleHeld = false;

void takeTitle() {
  wchar_t title[1024] = L"";
  // Zero is also an empty title; only a process without a console has none to give back.
  titleHeld = ::GetConsoleWindow() != nullptr;
  if (!titleHeld) return;
  ::GetConsoleTitleW(title, sizeof title / sizeof title[0]);
  savedTitle = title;
}

void giveBackTitle() {
  if (titleHeld) (void)::SetConsoleTitleW(savedTitle.c_str());
  titleHeld = false;
}

}  // namespace

void os::takeRunResources() {
  timerCall("timeBeginPeriod");
  korrin_win32::catchStopRequests();
  quickEditOff();
  // An update takes up to 25 minutes: a PC set to sleep when idle would cut the line.
  (void)::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  takeTitle();
}

void os::giveBackRunResources() {
  giveBackTitle();
  (void)::SetThreadExecutionState(ES_CONTINUOUS);
  quickEditBack();
  korrin_win32::releaseStopRequests();
  timerCall("timeEndPeriod");
}

void os::showProgress(const char* title) {
  if (titleHeld) (void)::SetConsoleTitleW(korrin_win32::toWide(title).c_str());
}
