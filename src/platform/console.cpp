#include "platform/console.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "platform/os.h"

namespace korrin {

void consolePrint(const char* format, ...) {
  char small[256];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (length < 0) {
    va_end(again);
    return;
  }
  if (static_cast<std::size_t>(length) < sizeof small) {
    os::writeConsole(small, static_cast<std::size_t>(length));
  } else {
    std::vector<char> large(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(large.data(), large.size(), format, again);
    os::writeConsole(large.data(), static_cast<std::size_t>(length));
  }
  va_end(again);
}

int consoleKey() {
  // Every key is read to answer a prompt just printed: a key pressed before it
  // (an Enter after the 'y') must not answer it.
  os::discardTypedAhead();
  return os::readKey();
}

}  // namespace korrin
