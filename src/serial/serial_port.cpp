#include "serial/serial_port.h"

#include <cstring>

namespace korrin {

namespace {

os::DCB lineSettings(std::uint32_t baud) {
  // All zero first: no parity, no flow control of any kind, no error or NUL
  // handling, no abort on error, no special characters but the two below.
  os::DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = baud;
  dcb.fBinary = 1;
  dcb.fDtrControl = os::DTR_CONTROL_DISABLE;
  dcb.fRtsControl = os::RTS_CONTROL_DISABLE;
  dcb.XonLim = 2;
  dcb.XoffLim = 4;
  dcb.ByteSize = 8;
  dcb.Parity = os::NOPARITY;
  dcb.StopBits = os::ONESTOPBIT;
  // The unit's firmware was built against these values; with software flow
  // control off they never reach the line.
  dcb.XonChar = 0x13;
  dcb.XoffChar = 0x19;
  return dcb;
}

constexpr std::uint32_t kBitsPerByte = 10;      // start bit, 8 data bits, stop bit
constexpr std::uint32_t kWriteSlackMs = 3000;   // beyond twice the line time

// Reads never time out (only bytes already reported are asked for). A write
// gets twice its line time and a few seconds: a driver that takes no bytes (a
// stuck Bluetooth or USB port) would otherwise hold the run for ever.
os::COMMTIMEOUTS lineTimeouts(std::uint32_t baud) {
  const std::uint32_t msPerByteTwice = baud == 0 ? 0 : (2 * kBitsPerByte * 1000 + baud - 1) / baud;
  return os::COMMTIMEOUTS{0, 0, 0, msPerByteTwice, kWriteSlackMs};
}

}  // namespace

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

  os::DCB dcb = lineSettings(baud);
  os::COMMTIMEOUTS timeouts = lineTimeouts(baud);

  handle_ = os::CreateFileA(field, os::GENERIC_READ | os::GENERIC_WRITE, 0, nullptr, os::OPEN_EXISTING, 0, nullptr);
  if (handle_ == os::INVALID_HANDLE_VALUE) return false;

  // Each setting is tried whatever the one before it gave.
  bool configured = os::SetCommMask(handle_, 0) != 0;
  configured = os::SetCommTimeouts(handle_, &timeouts) != 0 && configured;
  configured = os::SetCommState(handle_, &dcb) != 0 && configured;
  if (!configured) close();
  return configured;
}

void SerialPort::close() {
  if (handle_ != os::INVALID_HANDLE_VALUE) {
    // The last command may set a new speed for the unit ("B%06d"), which must
    // leave at the old one before the port is reopened at the new; closing
    // throws away what the driver still holds.
    drainOutput();
    os::CloseHandle(handle_);
  }
  handle_ = os::INVALID_HANDLE_VALUE;
  gatheredCount_ = 0;
  drainOwed_ = false;
}

// On a USB adapter every write call is a USB transfer of about 1 ms, whatever
// it carries: byte by byte, a download would run at 1000 bytes/s at any speed.
// So the bytes of an exchange are gathered and go to the OS as one write; the
// line sees the same stream, back to back, as a UART gives it.
void SerialPort::write(const void* bytes, std::size_t count) {
  if (!isOpen() || lost_) return;
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
  os::DWORD written = 0;
  // Fewer bytes taken than given is the write time-out: the device is stuck.
  if (!os::WriteFile(handle_, gathered_, static_cast<os::DWORD>(gatheredCount_), &written, nullptr) ||
      written != gatheredCount_)
    lost_ = true;
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
  if (!os::FlushFileBuffers(handle_)) lost_ = true;
}

void SerialPort::pause(std::uint32_t ms) {
  if (isOpen()) drainOutput();
  os::Sleep(ms);
}

void SerialPort::writeByte(std::uint8_t byte) { write(&byte, 1); }

std::uint32_t SerialPort::read(void* buffer, std::uint32_t count) {
  if (!isOpen()) return 0;
  drainOutput();
  if (lost_) return 0;
  os::DWORD got = 0;
  // Only bytes already reported are asked for, so a failure is the device going.
  if (!os::ReadFile(handle_, buffer, count, &got, nullptr)) lost_ = true;
  if (watcher_ != nullptr && got > 0) watcher_(watcherContext_, static_cast<const std::uint8_t*>(buffer), got);
  return got;
}

std::uint32_t SerialPort::bytesAvailable() {
  if (!isOpen()) return 0;
  drainOutput();
  if (lost_) return 0;
  os::DWORD errors = 0;
  os::COMSTAT stat{};
  if (!os::ClearCommError(handle_, &errors, &stat)) {
    lost_ = true;
    return 0;
  }
  return stat.cbInQue;
}

}  // namespace korrin
