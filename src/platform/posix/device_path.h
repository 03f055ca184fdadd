// Where a Windows port name lives on this system. The device map belongs to the
// platform layer, as the device namespace belongs to Windows: the updater itself
// only ever says "COM1".
#pragma once

#include <cstddef>

namespace os::posix {

// "COMn" (n from 1 to 255, any letter case): the device named by the environment
// variable KORRIN_COMn when it is set and not empty, else /dev/ttyS<n-1>.
// A name starting with '/' is taken as the device path itself.
// Writes the NUL-terminated path into `path`; false when the name has no device
// or the path does not fit in `pathSize` bytes.
bool devicePathFor(const char* portName, char* path, std::size_t pathSize);

}  // namespace os::posix
