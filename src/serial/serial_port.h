// One COM port, opened with a fixed line configuration (lineSettings): 8 data
// bits, no parity, one stop bit, no flow control, DTR and RTS inactive; reads
// never time out, a write or a drain that cannot finish in twice its line time
// and a few seconds does. It
// only reads bytes that have already arrived; all waiting for replies is done
// by the reply exchange above it.
//
// What is written is gathered and handed to the OS in one write at the next
// point where it must be on the line: a look at the receive queue, a read, a
// pause, a close (and so a new speed). There the port also waits until the
// bytes have left, since the unit's reply timing counts from the last byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/os.h"

namespace korrin {

// The line the unit's firmware was built against, at `baud`.
os::LineSettings lineSettings(std::uint32_t baud);

class SerialPort {
 public:
  static constexpr std::size_t kNameField = 10;  // characters of a port name, its NUL included

  SerialPort() = default;
  ~SerialPort() { close(); }
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Closes any open port, then opens `name` with lineSettings(baud). True
  // when the port is open and every setting took; otherwise the port is
  // closed. A name of kNameField or more characters is refused.
  bool open(const char* name, std::uint32_t baud);
  void close();
  bool isOpen() const { return port_ != nullptr; }

  // Queued for the line, in order; they are on it by the next read, look at
  // the receive queue, pause or close. Nothing happens when closed.
  void write(const void* bytes, std::size_t count);
  void writeByte(std::uint8_t byte);
  // Every byte written since the port was made, for telling how much the unit
  // may have taken as data when it fell out of step.
  std::uint64_t sent() const { return sent_; }
  // Reads exactly `count` bytes, blocking until they arrive: ask only for what
  // bytesAvailable() reported. 0 when closed, buffer untouched.
  std::uint32_t read(void* buffer, std::uint32_t count);
  // Received bytes waiting; 0 when closed or when the query fails.
  std::uint32_t bytesAvailable();
  // Suspends the thread for `ms` milliseconds, counted from when the bytes
  // written are on the line.
  void pause(std::uint32_t ms);
  // What is gathered goes to the line now, and is waited out: before the
  // updater turns to the disk or the operator, the unit is not left waiting
  // for a step it has not been sent.
  void flush();

  // A write, read or look at the receive queue failed on the open port, or a
  // write did not finish in its time: the device has gone (a USB adapter
  // pulled) or is stuck. From then on the port sends and reads nothing, and
  // the run must end.
  bool lost() const { return lost_; }
  // Why: the call that failed, in the system's words ("write: Input/output
  // error"); empty while the port is not lost.
  const char* failure() const { return failure_; }
  // Shown every byte read, drains included, as it is read: for the protocol
  // above, which must see the whole stream from the unit, not only the replies
  // it asked for.
  using ReadWatcher = void (*)(void* context, const std::uint8_t* bytes, std::uint32_t count);
  void watchReads(ReadWatcher watcher, void* context) {
    watcher_ = watcher;
    watcherContext_ = context;
  }

  // Bytes gathered before a write is made without waiting for a drain point:
  // more than the longest exchange (a 1024-byte block, its address, 'D', 'C').
  static constexpr std::size_t kGatherBytes = 2048;

 private:
  void handOver();    // what is gathered, to the OS in one write
  void drainOutput(); // handOver, then wait until it has left

  void fail();        // lost, for the reason the seam gives

  os::Port* port_ = nullptr;
  std::uint8_t gathered_[kGatherBytes];
  std::size_t gatheredCount_ = 0;
  std::uint64_t sent_ = 0;
  bool drainOwed_ = false;  // bytes were handed over since the last drain
  bool lost_ = false;
  char failure_[160] = "";
  ReadWatcher watcher_ = nullptr;
  void* watcherContext_ = nullptr;
};

}  // namespace korrin
