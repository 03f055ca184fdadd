#include "serial/serial_port.h"

#include <cstring>

namespace korrin {

namespace {

os::DCB lineSettings(std::uint32_t baud, std::int32_t paritySelector) {
  // All zero first: no flow control of any kind, no error or NUL handling,
  // no abort on error, no special characters but the two below.
  os::DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = baud;
  dcb.fBinary = 1;
  dcb.fParity = (paritySelector == 1 || paritySelector == 2) ? 1 : 0;
  dcb.fDtrControl = os::DTR_CONTROL_DISABLE;
  dcb.fRtsControl = os::RTS_CONTROL_DISABLE;
  dcb.XonLim = 2;
  dcb.XoffLim = 4;
  dcb.ByteSize = 8;
  dcb.Parity = paritySelector == 1 ? os::ODDPARITY : paritySelector == 2 ? os::EVENPARITY : os::NOPARITY;
  dcb.StopBits = os::ONESTOPBIT;
  // The unit's firmware was built against these values; with software flow
  // control off they never reach the line.
  dcb.XonChar = 0x13;
  dcb.XoffChar = 0x19;
  return dcb;
}

}  // namespace

int SerialPort::open(const char* portName, std::uint32_t baud, std::int32_t paritySelector) {
  close();
  if (portName == nullptr) return kNoName;

  // At most 10 characters, the rest filled with NULs; never read past them.
  std::size_t length = 0;
  while (length < kNameField && portName[length] != '\0') ++length;
  std::memset(name, 0, kNameField);
  std::memcpy(name, portName, length);
  baudRate = baud;
  parity = paritySelector;
  // A name that fills the field has lost its NUL: opening with it would read
  // past the field, so such a port cannot be opened.
  if (std::memchr(name, '\0', kNameField) == nullptr) return kCannotOpen;

  os::DCB dcb = lineSettings(baudRate, parity);
  os::COMMTIMEOUTS timeouts{0, 0, 0, 0, 0};  // reads wait for every byte, writes for the line

  handle = os::CreateFileA(name, os::GENERIC_READ | os::GENERIC_WRITE, 0, nullptr, os::OPEN_EXISTING, 0, nullptr);
  if (handle == os::INVALID_HANDLE_VALUE) return kCannotOpen;

  int result = kOpened;
  if (!os::SetCommMask(handle, 0)) result = kMaskFailed;
  if (!os::SetCommTimeouts(handle, &timeouts)) result = kTimeoutsFailed;
  if (!os::SetCommState(handle, &dcb)) result = kStateFailed;
  if (result != kOpened) close();
  return result;
}

void SerialPort::close() {
  if (handle != os::INVALID_HANDLE_VALUE) os::CloseHandle(handle);
  handle = os::INVALID_HANDLE_VALUE;
}

void SerialPort::write(const void* bytes, std::size_t count) {
  if (!isOpen() || lost_) return;
  os::DWORD written = 0;
  if (!os::WriteFile(handle, bytes, static_cast<os::DWORD>(count), &written, nullptr)) lost_ = true;
}

void SerialPort::writeByte(std::uint8_t byte) { write(&byte, 1); }

std::uint32_t SerialPort::read(void* buffer, std::uint32_t count) {
  if (!isOpen() || lost_) return 0;
  os::DWORD got = 0;
  // Only bytes already reported are asked for, so a failure is the device going.
  if (!os::ReadFile(handle, buffer, count, &got, nullptr)) lost_ = true;
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

std::uint8_t SerialPort::readByte() {
  std::uint8_t byte = 0;
  read(&byte, 1);
  return byte;
}

std::uint32_t SerialPort::bytesAvailable() {
  if (!isOpen() || lost_) return 0;
  os::DWORD errors = 0;
  os::COMSTAT stat{};
  if (!os::ClearCommError(handle, &errors, &stat)) {
    lost_ = true;
    return 0;
  }
  return stat.cbInQue;
}

}  // namespace korrin
