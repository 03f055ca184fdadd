#include "serial/serial_port.h"

#include <cstdio>
#include <cstring>

namespace korrin {

namespace {

constexpr std::uint32_t kBitsPerByte = 10;      // start bit, 8 data bits, stop bit
constexpr std::uint32_t kWriteSlackMs = 3000;   // beyond twice the line time

}  // namespace

os::LineSettings lineSettings(std::uint32_t baud) {
  os::LineSettings line;  // 8N1, no flow control of any kind, DTR and RTS inactive
  line.baud = baud;
  // The unit's firmware was built against these values; with software flow
  // control off they never reach the line.
  line.xonLimit = 2;
  line.xoffLimit = 4;
  line.xonChar = 0x13;
  line.xoffChar = 0x19;
  // Reads never time out (only bytes already reported are asked for). A write
  // gets twice its line time and a few seconds: a driver that takes no bytes
  // (a stuck Bluetooth or USB port) would otherwise hold the run for ever.
  line.writeMsPerByte = baud == 0 ? 0 : (2 * kBitsPerByte * 1000 + baud - 1) / baud;
  line.writeSlackMs = kWriteSlackMs;
  return line;
}

bool SerialPort::open(const char* name, std::uint32_t baud) {
  close();
  if (name == nullptr) return false;

  // The name travels in a field of 10 characters; one that fills the field has
  // lost its NUL, and opening with it would read past the field.
  char field[kNameField] = {};
  std::size_t length = 0;
  while (length < kNameField && name[length] != '\0') ++length;
  if (length == kNameField) return false;
  std::memcpy(field, name, length);

  port_ = os::openPort(field, lineSettings(baud));
  return port_ != nullptr;
}

void SerialPort::close() {
  if (port_ != nullptr) {
    // The last command may set a new speed for the unit ("B%06d"), which must
    // leave at the old one before the port is reopened at the new; closing
    // throws away what the driver still holds.
    drainOutput();
    os::closePort(port_);
  }
  port_ = nullptr;
  gatheredCount_ = 0;
  drainOwed_ = false;
}

// On a USB adapter every write call is a USB transfer of about 1 ms, whatever
// it carries: byte by byte, a download would run at 1000 bytes/s at any speed.
// So the bytes of an exchange are gathered and go to the OS as one write; the
// line sees the same stream, back to back, as a UART gives it.
void SerialPort::write(const void* bytes, std::size_t count) {
  if (!isOpen() || lost_) return;
  sent_ += count;
  const auto* next = static_cast<const std::uint8_t*>(bytes);
  while (count > 0) {
    if (gatheredCount_ == kGatherBytes) handOver();
    const std::size_t take = count < kGatherBytes - gatheredCount_ ? count : kGatherBytes - gatheredCount_;
    std::memcpy(gathered_ + gatheredCount_, next, take);
    gatheredCount_ += take;
    next += take;
    count -= take;
  }
}

void SerialPort::handOver() {
  if (gatheredCount_ == 0 || lost_) return;
  // Fewer bytes taken than given is the write time-out: the device is stuck.
  if (!os::writePort(port_, gathered_, gatheredCount_)) fail();
  gatheredCount_ = 0;
  drainOwed_ = true;
}

// A write returns once the driver has taken the bytes, and a USB adapter keeps
// hundreds in its own buffer. The unit's reply timing counts from the last
// byte on the line, so before anything looks for a reply, pauses, or closes
// the port, the bytes are waited out: once per exchange, not after each byte.
void SerialPort::drainOutput() {
  handOver();
  if (!drainOwed_ || lost_) return;
  drainOwed_ = false;
  if (!os::drainPort(port_)) fail();
}

void SerialPort::fail() {
  if (lost_) return;
  lost_ = true;
  std::snprintf(failure_, sizeof failure_, "%s", os::portFailure(port_));
}

void SerialPort::pause(std::uint32_t ms) {
  if (isOpen()) drainOutput();
  os::sleepMs(ms);
}

void SerialPort::flush() {
  if (isOpen()) drainOutput();
}

void SerialPort::writeByte(std::uint8_t byte) { write(&byte, 1); }

std::uint32_t SerialPort::read(void* buffer, std::uint32_t count) {
  if (!isOpen()) return 0;
  drainOutput();
  if (lost_) return 0;
  std::uint32_t got = 0;
  // Only bytes already reported are asked for, so a failure is the device going.
  if (!os::readPort(port_, buffer, count, got)) fail();
  if (watcher_ != nullptr && got > 0) watcher_(watcherContext_, static_cast<const std::uint8_t*>(buffer), got);
  return got;
}

std::uint32_t SerialPort::bytesAvailable() {
  if (!isOpen()) return 0;
  drainOutput();
  if (lost_) return 0;
  std::uint32_t waiting = 0;
  if (!os::bytesWaiting(port_, waiting)) {
    fail();
    return 0;
  }
  return waiting;
}

}  // namespace korrin
