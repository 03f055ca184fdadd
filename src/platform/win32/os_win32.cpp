// The rest of the OS seam on Windows: sleep, the console and the key.
#include "platform/os.h"

#include "platform/win32/win32_api.h"
#include "platform/win32/wide_text.h"

#include <conio.h>

#include <cstdio>
#include <string>

namespace {

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

void os::sleepMs(std::uint32_t ms) { ::Sleep(ms); }

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
