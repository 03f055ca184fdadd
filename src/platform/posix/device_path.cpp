#include "platform/posix/device_path.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace os::posix {
namespace {

constexpr unsigned kHighestComNumber = 255;  // the highest port number Windows gives out

// The n of "COMn", or 0 when the name is not a port name. Windows matches the
// prefix in any case; "COM0" and "COM01" are not port names.
unsigned comNumber(const char* name) {
  static const char kPrefix[] = "COM";
  for (std::size_t i = 0; i < 3; ++i) {
    char c = name[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != kPrefix[i]) return 0;
  }
  const char* digits = name + 3;
  if (*digits < '1' || *digits > '9') return 0;
  unsigned number = 0;
  for (const char* p = digits; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return 0;
    number = number * 10 + static_cast<unsigned>(*p - '0');
    if (number > kHighestComNumber) return 0;
  }
  return number;
}

bool copyPath(const char* source, char* path, std::size_t pathSize) {
  std::size_t length = std::strlen(source);
  if (length + 1 > pathSize) return false;
  std::memcpy(path, source, length + 1);
  return true;
}

}  // namespace

bool devicePathFor(const char* portName, char* path, std::size_t pathSize) {
  if (portName == nullptr || path == nullptr || pathSize == 0) return false;
  if (portName[0] == '/') return copyPath(portName, path, pathSize);

  unsigned number = comNumber(portName);
  if (number == 0) return false;

  char variable[32];
  std::snprintf(variable, sizeof variable, "KORRIN_COM%u", number);
  const char* mapped = std::getenv(variable);
  if (mapped != nullptr && mapped[0] != '\0') return copyPath(mapped, path, pathSize);

  int length = std::snprintf(path, pathSize, "/dev/ttyS%u", number - 1);
  return length > 0 && static_cast<std::size_t>(length) < pathSize;
}

}  // namespace os::posix
