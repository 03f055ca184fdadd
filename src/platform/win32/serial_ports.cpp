// The serial ports of this PC, as Windows lists them for every program: the
// serial-port map in the registry, one value per port, its data the COM name.
#include "platform/os.h"

#include "platform/win32/win32_api.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// The n of "COMn", or 0 for any other name; such names go last.
unsigned long comNumber(const std::string& name) {
  if (name.size() < 4 || _strnicmp(name.c_str(), "COM", 3) != 0) return 0;
  char* end = nullptr;
  unsigned long number = std::strtoul(name.c_str() + 3, &end, 10);
  return *end == '\0' ? number : 0;
}

// By number (COM2 before COM10), names without one after them.
bool portBefore(const std::string& a, const std::string& b) {
  unsigned long numberA = comNumber(a), numberB = comNumber(b);
  if ((numberA == 0) != (numberB == 0)) return numberA != 0;
  if (numberA != numberB) return numberA < numberB;
  return a < b;
}

}  // namespace

void os::listSerialPorts(void (*each)(const char* name, void* context), void* context) {
  HKEY map = nullptr;
  // Absent when no port has ever been present since the system started.
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &map) !=
      ERROR_SUCCESS) {
    return;
  }
  std::vector<std::string> ports;
  for (::DWORD index = 0;; ++index) {
    char valueName[256];
    ::DWORD valueNameSize = sizeof valueName;
    char data[256];
    ::DWORD dataSize = sizeof data;
    ::DWORD type = 0;
    LONG result = ::RegEnumValueA(map, index, valueName, &valueNameSize, nullptr, &type,
                                  reinterpret_cast<BYTE*>(data), &dataSize);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS || type != REG_SZ || dataSize == 0) continue;
    // Registry strings need not end in a NUL.
    std::string port(data, dataSize);
    port.resize(port.find('\0') == std::string::npos ? port.size() : port.find('\0'));
    if (!port.empty()) ports.push_back(port);
  }
  ::RegCloseKey(map);
  std::sort(ports.begin(), ports.end(), portBefore);
  ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
  for (const std::string& port : ports) each(port.c_str(), context);
}
