// Finding the serial ports of this system, for the operator who looks for the
// unit's port. The listing itself is in os.h (listSerialPorts); this is the
// same under another root, so that it can be tried on a made-up /dev and /sys.
#pragma once

namespace os::posix {

// Calls `each` with every serial port found under `root` ("" for the system
// itself), named as the system would name it (without `root`): Linux
// /dev/serial/by-id/* first, then /dev/ttyUSB*, /dev/ttyACM*, /dev/ttyS* (a
// ttyS whose driver reports no UART behind it left out); macOS /dev/cu.*.
// Each family in a stable order, numbers by value (ttyUSB2 before ttyUSB10).
void listSerialPortsUnder(const char* root, void (*each)(const char* name, void* context), void* context);

}  // namespace os::posix
