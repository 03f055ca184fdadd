// One COM port, opened with a fixed line configuration: 8 data bits, no parity,
// one stop bit, no flow control, DTR and RTS inactive, no time-outs. It only
// reads bytes that have already arrived; all waiting is done by the reply exchange above it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/os.h"

namespace korrin {

class SerialPort {
 public:
  static constexpr std::size_t kNameField = 10;  // characters of a port name, its NUL included

  SerialPort() = default;
  ~SerialPort() { close(); }
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Closes any open handle, then opens `name` at `baud`, no parity, and
  // configures it. True when the port is open and every setting took; otherwise
  // the port is closed. A name of kNameField or more characters is refused.
  bool open(const char* name, std::uint32_t baud);
  void close();
  bool isOpen() const { return handle_ != os::INVALID_HANDLE_VALUE; }

  // Synchronous; returns when the bytes are on the line. Nothing happens when closed.
  void write(const void* bytes, std::size_t count);
  void writeByte(std::uint8_t byte);
  // Reads exactly `count` bytes, blocking until they arrive: ask only for what
  // bytesAvailable() reported. 0 when closed, buffer untouched.
  std::uint32_t read(void* buffer, std::uint32_t count);
  // Received bytes waiting; 0 when closed or when the query fails.
  std::uint32_t bytesAvailable();

  // A write, read or look at the receive queue failed on the open port: the
  // device has gone (a USB adapter pulled). From then on the port sends and
  // reads nothing, and the run must end.
  bool lost() const { return lost_; }
  // How many checksum replies ("CS=") have come in so far, in everything read.
  std::uint32_t checksumRepliesSeen() const { return checksumRepliesSeen_; }

 private:
  void countReplies(const std::uint8_t* bytes, std::uint32_t count);

  os::HANDLE handle_ = os::INVALID_HANDLE_VALUE;
  bool lost_ = false;
  std::uint32_t checksumRepliesSeen_ = 0;
  int replyPrefixMatched_ = 0;  // characters of "CS=" matched at the end of what was read
};

}  // namespace korrin
