#include "package/firmware_package.h"

namespace korrin {

int compareRevision(RevisionCode a, RevisionCode b) {
  // Year first, then month, then day. Each byte holds two hex digits that read
  // as the decimal number, so unsigned byte order is calendar order.
  const auto calendarKey = [](RevisionCode code) -> std::uint32_t {
    const std::uint32_t year = code & 0xFFu;
    const std::uint32_t monthDay = (code >> 8) & 0xFFFFu;
    return (year << 16) | monthDay;
  };
  const std::uint32_t keyA = calendarKey(a);
  const std::uint32_t keyB = calendarKey(b);
  if (keyA == keyB) {
    return 0;
  }
  return keyA < keyB ? -1 : 1;
}

}  // namespace korrin
