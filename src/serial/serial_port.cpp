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
  os::COMMTIMEOUTS timeouts{0, 0, 0, 0, 0};  // reads wait for every byte, writes for the line

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
  if (handle_ != os::INVALID_HANDLE_VALUE) os::CloseHandle(handle_);
  handle_ = os::INVALID_HANDLE_VALUE;
}

void SerialPort::write(const void* bytes, std::size_t count) {
  if (!isOpen() || lost_) return;
  os::DWORD written = 0;
  if (!os::WriteFile(handle_, bytes, static_cast<os::DWORD>(count), &written, nullptr)) lost_ = true;
}

void SerialPort::writeByte(std::uint8_t byte) { write(&byte, 1); }

std::uint32_t SerialPort::read(void* buffer, std::uint32_t count) {
  if (!isOpen() || lost_) return 0;
  os::DWORD got = 0;
  // Only bytes already reported are asked for, so a failure is the device going.
  if (!os::ReadFile(handle_, buffer, count, &got, nullptr)) lost_ = true;
  countReplies(static_cast<const std::uint8_t*>(buffer), got);
  return got;
}

void SerialPort::countReplies(const std::uint8_t* bytes, std::uint32_t count) {
  static constexpr char kPrefix[] = "CS=";
  for (std::uint32_t i = 0; i < count; ++i) {
    if (bytes[i] == static_cast<std::uint8_t>(kPrefix[replyPrefixMatched_])) {
      if (++replyPrefixMatched_ == 3) {
        ++checksumRepliesSeen_;
        replyPrefixMatched_ = 0;
      }
    } else {
      replyPrefixMatched_ = bytes[i] == 'C' ? 1 : 0;
    }
  }
}

std::uint32_t SerialPort::bytesAvailable() {
  if (!isOpen() || lost_) return 0;
  os::DWORD errors = 0;
  os::COMSTAT stat{};
  if (!os::ClearCommError(handle_, &errors, &stat)) {
    lost_ = true;
    return 0;
  }
  return stat.cbInQue;
}

}  // namespace korrin
