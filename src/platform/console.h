// The operator's console: formatted text to standard output, shown at once,
// and one key press read without echo.
#pragma once

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

}  // namespace korrin
