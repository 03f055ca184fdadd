// UTF-8 inside the updater, UTF-16 at the Windows calls: the "A" calls go
// through the ANSI code page, which cannot spell most account names (a Western
// code page turns Юрий or 山田 into "????").
#pragma once

#include <string>

namespace korrin_win32 {

// Empty when `text` is not valid UTF-8 (or is empty).
std::wstring toWide(const std::string& text);
// Unpaired surrogates become U+FFFD.
std::string toUtf8(const std::wstring& text);

}  // namespace korrin_win32
