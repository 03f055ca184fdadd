#include "platform/posix/serial_ports.h"

#include "platform/os.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace os::posix {
namespace {

// Where ports are looked for, in the order they are shown.
struct PortFamily {
  const char* folder;    // with its trailing '/'
  const char* prefix;    // of the entry names; "" takes every entry
  bool numbered;         // the prefix must be followed by digits only
  bool needsUart;        // left out when the kernel knows no UART behind it
};

#if defined(__APPLE__)
// The call-out devices: the tty.* twins wait for a carrier on open.
constexpr PortFamily kFamilies[] = {{"/dev/", "cu.", false, false}};
#else
// The by-id names stay with an adapter across a replug, where /dev/ttyUSBn can
// go to whichever adapter the kernel finds first.
constexpr PortFamily kFamilies[] = {
    {"/dev/serial/by-id/", "", false, false},
    {"/dev/", "ttyUSB", true, false},
    {"/dev/", "ttyACM", true, false},
    // The kernel makes ttyS0 to ttyS31 whether or not a UART is there.
    {"/dev/", "ttyS", true, true},
};
#endif

// The port type the serial core reports in sysfs; 0 is PORT_UNKNOWN, no UART.
// Read rather than asked with TIOCGSERIAL: opening a port raises its DTR and
// RTS, which a device on a port the operator is not using need not see.
bool hasUart(const std::string& root, const char* name) {
  std::string path = root + "/sys/class/tty/" + name + "/type";
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;  // no such record: list the port rather than hide it
  char text[16] = {};
  ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got <= 0) return true;
  char* end = nullptr;
  long type = std::strtol(text, &end, 10);
  return end == text || type != 0;
}

bool allDigits(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

// Shorter runs of digits first, so that 2 comes before 10; then as text.
bool numberedBefore(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

bool textBefore(const std::string& a, const std::string& b) { return a < b; }

}  // namespace

void listSerialPortsUnder(const char* root, void (*each)(const char* name, void* context), void* context) {
  const std::string rootPath = root == nullptr ? "" : root;
  for (const PortFamily& family : kFamilies) {
    DIR* folder = opendir((rootPath + family.folder).c_str());
    if (folder == nullptr) continue;
    std::vector<std::string> names;
    const std::size_t prefixLength = std::strlen(family.prefix);
    while (const dirent* entry = readdir(folder)) {
      const char* name = entry->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      if (std::strncmp(name, family.prefix, prefixLength) != 0) continue;
      if (family.numbered && !allDigits(name + prefixLength)) continue;
      if (family.needsUart && !hasUart(rootPath, name)) continue;
      names.emplace_back(name);
    }
    closedir(folder);
    // Within a numbered family the names differ only in their digits.
    std::sort(names.begin(), names.end(), family.numbered ? numberedBefore : textBefore);
    for (const std::string& name : names) each((family.folder + name).c_str(), context);
  }
}

}  // namespace os::posix

namespace os {

void listSerialPorts(void (*each)(const char* name, void* context), void* context) {
  posix::listSerialPortsUnder("", each, context);
}

}  // namespace os
