// The operator's console: formatted text to standard output, shown at once,
// and one key press read without echo.
#pragma once

#include <cstdint>

namespace korrin {

// printf-style; the text appears at once (progress dots, the question).
void consolePrint(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Waits for one key pressed after now (keys typed ahead on a console are
// discarded first); the key, or -1 when input has ended (which counts as a key).
int consoleKey();

// QuickEdit off while it lives (a click in the window would otherwise select
// text and hold up the next console write, mid-transfer); the console's input
// mode as it was, given back when it ends. Nothing where input is no console.
class QuickEditOff {
 public:
  QuickEditOff();
  ~QuickEditOff();
  QuickEditOff(const QuickEditOff&) = delete;
  QuickEditOff& operator=(const QuickEditOff&) = delete;

 private:
  void* input_;
  std::uint32_t savedMode_ = 0;
  bool changed_ = false;
};

}  // namespace korrin
