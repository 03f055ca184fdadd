// Files of this user that outlive a run, on Windows: a folder under
// %LOCALAPPDATA%, which is the user's own and whose access list keeps other
// users out, and writes that are on the disk before they count.
#include "platform/os.h"

#include "platform/win32/win32_api.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kTemporaryNameAttempts = 100;
// WriteFile takes a 32-bit count; a larger file goes in parts.
constexpr std::size_t kLargestWrite = 1u << 30;

bool copyOut(const std::string& text, char* out, std::size_t size) {
  if (out == nullptr || text.size() + 1 > size) return false;
  std::memcpy(out, text.c_str(), text.size() + 1);
  return true;
}

bool isSeparator(char c) { return c == '\\' || c == '/'; }

bool isFolder(const std::string& path) {
  ::DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool writeAll(HANDLE file, const unsigned char* bytes, std::size_t count) {
  while (count > 0) {
    ::DWORD part = static_cast<::DWORD>(std::min(count, kLargestWrite));
    ::DWORD put = 0;
    if (!::WriteFile(file, bytes, part, &put, nullptr) || put == 0) return false;
    bytes += put;
    count -= put;
  }
  return true;
}

}  // namespace

bool os::userDataFolder(char* path, std::size_t size) {
  char base[MAX_PATH];
  ::DWORD length = ::GetEnvironmentVariableA("LOCALAPPDATA", base, sizeof base);
  if (length == 0 || length >= sizeof base) return false;
  std::string folder(base, length);
  while (!folder.empty() && isSeparator(folder.back())) folder.pop_back();
  if (folder.empty() || !isFolder(folder)) return false;
  folder += "\\Korrin";
  if (!::CreateDirectoryA(folder.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) return false;
  if (!isFolder(folder)) return false;
  return copyOut(folder + "\\", path, size);
}

void os::listFiles(const char* folder, void (*each)(const char* name, void* context), void* context) {
  if (folder == nullptr || folder[0] == '\0') return;
  std::string pattern = folder;
  if (!isSeparator(pattern.back())) pattern += '\\';
  pattern += '*';
  WIN32_FIND_DATAA found;
  HANDLE search = ::FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  std::vector<std::string> names;
  do {
    // Links are not followed: the folder is meant to hold the files themselves.
    if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                                   FILE_ATTRIBUTE_DEVICE)) == 0) {
      names.emplace_back(found.cFileName);
    }
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) each(name.c_str(), context);
}

bool os::writeFileDurably(const char* path, const void* bytes, std::size_t count) {
  if (path == nullptr || (bytes == nullptr && count != 0)) return false;
  const std::string target = path;
  std::size_t nameStart = target.size();
  while (nameStart > 0 && !isSeparator(target[nameStart - 1]) && target[nameStart - 1] != ':') --nameStart;
  const std::string folder = target.substr(0, nameStart);
  const std::string name = target.substr(nameStart);
  if (name.empty()) return false;

  // Beside the file, so that the move stays on one volume.
  std::string temporary;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < kTemporaryNameAttempts && file == INVALID_HANDLE_VALUE; ++attempt) {
    temporary = folder + "." + name + "." + std::to_string(::GetCurrentProcessId()) + "." +
                std::to_string(attempt) + ".tmp";
    file = ::CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  if (file == INVALID_HANDLE_VALUE) return false;

  bool written = writeAll(file, static_cast<const unsigned char*>(bytes), count) && ::FlushFileBuffers(file);
  written = ::CloseHandle(file) && written;
  // WRITE_THROUGH: the move itself is on the disk when the call returns.
  if (!written || !::MoveFileExA(temporary.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ::DeleteFileA(temporary.c_str());
    return false;
  }
  return true;
}

bool os::readWholeFile(const char* path, void* bytes, std::size_t capacity, std::size_t* count) {
  if (count != nullptr) *count = 0;
  if (path == nullptr || (bytes == nullptr && capacity != 0)) return false;
  HANDLE file = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  if (::GetFileType(file) != FILE_TYPE_DISK) {
    ::CloseHandle(file);
    return false;
  }
  // Read to the end rather than trust the size: the file may be growing.
  unsigned char* next = static_cast<unsigned char*>(bytes);
  std::size_t total = 0;
  bool ok = true;
  for (;;) {
    unsigned char spare;
    unsigned char* into = total < capacity ? next + total : &spare;
    ::DWORD room = static_cast<::DWORD>(total < capacity ? std::min(capacity - total, kLargestWrite) : 1);
    ::DWORD got = 0;
    if (!::ReadFile(file, into, room, &got, nullptr)) ok = false;
    if (got > 0 && total >= capacity) ok = false;  // larger than `capacity`
    if (got == 0 || !ok) break;
    total += got;
  }
  ::CloseHandle(file);
  if (ok && count != nullptr) *count = total;
  return ok;
}

bool os::deleteFile(const char* path) { return path != nullptr && ::DeleteFileA(path) != 0; }
