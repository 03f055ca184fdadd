// What an open port holds on POSIX; the seam's tests look at its terminal.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/os.h"

struct os::Port {
  int fd = -1;  // the terminal device
  std::uint32_t baud = 0;
  std::uint32_t msPerByte = 0, slackMs = 0;  // the bound of a write, a drain or a read; both 0: none
  std::size_t handedOver = 0;                 // bytes written since the last drain
  std::int64_t lineFreeAtUs = 0;              // when those have had their line time
  char failure[160] = "";
};
