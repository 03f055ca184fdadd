// One COM port, opened with a fixed line configuration: 8 data bits, one stop
// bit, no flow control, DTR and RTS inactive, no time-outs. It only reads bytes
// that have already arrived; all waiting is done by the reply exchange above it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/os.h"

namespace korrin {

class SerialPort {
 public:
  // Result codes of open(): single values, the last failing step wins.
  enum OpenResult : int {
    kOpened = 0,
    kMaskFailed = 1,
    kTimeoutsFailed = 2,
    kStateFailed = 4,
    kCannotOpen = 8,
    kNoName = 16,
  };
  static constexpr std::size_t kNameField = 10;

  SerialPort() = default;
  ~SerialPort() { close(); }
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Closes any open handle, then opens and configures `portName` (parity 0 none,
  // 1 odd, 2 even, other values none). A name that does not fit the 10-character
  // field with its NUL is refused with kCannotOpen. On any failure the port is closed.
  int open(const char* portName, std::uint32_t baud, std::int32_t paritySelector);
  void close();
  bool isOpen() const { return handle != os::INVALID_HANDLE_VALUE; }

  // Synchronous; returns when the bytes are on the line. Nothing happens when closed.
  void write(const void* bytes, std::size_t count);
  void writeByte(std::uint8_t byte);
  // Reads exactly `count` bytes, blocking until they arrive: ask only for what
  // bytesAvailable() reported. 0 when closed, buffer untouched.
  std::uint32_t read(void* buffer, std::uint32_t count);
  std::uint8_t readByte();
  // Received bytes waiting; 0 when closed or when the query fails.
  std::uint32_t bytesAvailable();

  // A write, read or look at the receive queue failed on the open port: the
  // device has gone (a USB adapter pulled). From then on the port sends and
  // reads nothing, and the run must end.
  bool lost() const { return lost_; }
  // How many checksum replies ("CS=") have come in so far, in everything read.
  std::uint32_t checksumRepliesSeen() const { return checksumRepliesSeen_; }

  // Fields of the last open(), kept after close().
  char name[kNameField] = {};
  std::uint32_t baudRate = 0;
  std::int32_t parity = 0;
  os::HANDLE handle = os::INVALID_HANDLE_VALUE;

 private:
  void countReplies(const std::uint8_t* bytes, std::uint32_t count);

  bool lost_ = false;
  std::uint32_t checksumRepliesSeen_ = 0;
  int replyPrefixMatched_ = 0;  // characters of "CS=" matched at the end of what was read
};

}  // namespace korrin
