// Files that outlive a run, on Windows: the PC's folder under %ProgramData%
// with an access list of its own, the account's under %LOCALAPPDATA%, and
// writes that are on the disk before they count. Every path goes to Windows in
// UTF-16 (the "W" calls): account names are not bound to the ANSI code page.
#include "platform/os.h"

#include "platform/win32/win32_api.h"
#include "platform/win32/wide_text.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using korrin_win32::toUtf8;
using korrin_win32::toWide;

constexpr int kTemporaryNameAttempts = 100;
// WriteFile takes a 32-bit count; a larger file goes in parts.
constexpr std::size_t kLargestWrite = 1u << 30;

// The PC folder's access list, inherited by every file in it: full control for
// SYSTEM and Administrators, modify for Users (every local account). "P" keeps
// out what %ProgramData% would pass down (CREATOR OWNER full control); the
// OWNER RIGHTS entry (S-1-3-4) takes from the account that made the folder the
// right to change the list that an owner has otherwise.
constexpr wchar_t kPcFolderAccess[] =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)(A;OICI;0x1301bf;;;S-1-3-4)";
constexpr wchar_t kSystemSid[] = L"S-1-5-18";
constexpr wchar_t kAdministratorsSid[] = L"S-1-5-32-544";
constexpr wchar_t kUsersSid[] = L"S-1-5-32-545";
constexpr wchar_t kOwnerRightsSid[] = L"S-1-3-4";
constexpr ::DWORD kAccessRightsOfTheList = WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

bool copyOut(const std::string& text, char* out, std::size_t size) {
  if (out == nullptr || text.size() + 1 > size) return false;
  std::memcpy(out, text.c_str(), text.size() + 1);
  return true;
}

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }
bool isSeparator(char c) { return c == '\\' || c == '/'; }

::DWORD attributesOf(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()); }

bool isFolder(const std::wstring& path) {
  ::DWORD attributes = attributesOf(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring environmentFolder(const wchar_t* name) {
  std::vector<wchar_t> value(MAX_PATH);
  ::DWORD length = ::GetEnvironmentVariableW(name, value.data(), static_cast<::DWORD>(value.size()));
  if (length >= value.size()) {
    value.resize(length + 1);
    length = ::GetEnvironmentVariableW(name, value.data(), static_cast<::DWORD>(value.size()));
  }
  if (length == 0 || length >= value.size()) return {};
  std::wstring folder(value.data(), length);
  while (!folder.empty() && isSeparator(folder.back())) folder.pop_back();
  return folder;
}

bool processMayBeRunning(::DWORD pid) {
  if (pid == ::GetCurrentProcessId()) return true;
  HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, pid);
  // Another account's process cannot be opened: it may be running.
  if (process == nullptr) return ::GetLastError() != ERROR_INVALID_PARAMETER;
  const bool running = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  ::CloseHandle(process);
  return running;
}

// The process id in a name writeFileDurably gave: ".<file>.<pid>.<attempt>.tmp".
bool temporaryOwner(const std::wstring& name, ::DWORD& pid) {
  static const std::wstring kSuffix = L".tmp";
  if (name.size() < 8 || name[0] != L'.' || name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0)
    return false;
  const std::wstring stem = name.substr(0, name.size() - kSuffix.size());
  const std::size_t attemptDot = stem.rfind(L'.');
  if (attemptDot == std::wstring::npos || attemptDot == 0) return false;
  const std::size_t pidDot = stem.rfind(L'.', attemptDot - 1);
  if (pidDot == std::wstring::npos || pidDot == 0) return false;
  const std::wstring attempt = stem.substr(attemptDot + 1), owner = stem.substr(pidDot + 1, attemptDot - pidDot - 1);
  const auto digits = [](const std::wstring& text) {
    return !text.empty() && text.size() <= 10 &&
           std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
  };
  if (!digits(attempt) || !digits(owner)) return false;
  pid = static_cast<::DWORD>(std::wcstoul(owner.c_str(), nullptr, 10));
  return true;
}

// A save killed half way leaves its temporary file; the folder is meant to
// hold the copies only.
void removeLeftovers(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  HANDLE search = ::FindFirstFileW((folder + L"\\.*.tmp").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  std::vector<std::wstring> leftovers;
  do {
    ::DWORD pid = 0;
    if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
        temporaryOwner(found.cFileName, pid) && !processMayBeRunning(pid))
      leftovers.emplace_back(found.cFileName);
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  for (const std::wstring& name : leftovers) ::DeleteFileW((folder + L"\\" + name).c_str());
}

std::wstring sidText(PSID sid) {
  wchar_t* text = nullptr;
  if (sid == nullptr || !::ConvertSidToStringSidW(sid, &text)) return {};
  std::wstring result = text;
  ::LocalFree(text);
  return result;
}

// Whether the folder's access list is one the PC folder may have: protected,
// granting only SYSTEM, Administrators, Users and OWNER RIGHTS, and none but
// the first two may change the list. A folder someone else made first, open
// to more accounts or to them alone, is not used.
bool hasPcFolderAccess(const std::wstring& folder) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL list = nullptr;
  PSID owner = nullptr;
  if (::GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION,
                              &owner, nullptr, &list, nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  ::DWORD revision = 0;
  bool ok = list != nullptr && ::GetSecurityDescriptorControl(descriptor, &control, &revision) &&
            (control & SE_DACL_PROTECTED) != 0;
  const std::wstring ownerSid = sidText(owner);
  // An owner other than these may change the list unless OWNER RIGHTS limits it.
  bool ownerLimited = ownerSid == kSystemSid || ownerSid == kAdministratorsSid;
  for (::DWORD i = 0; ok && i < list->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!::GetAce(list, i, reinterpret_cast<void**>(&header))) {
      ok = false;
    } else if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
      continue;  // takes away, never gives
    } else if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      ok = false;
    } else {
      auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
      const std::wstring sid = sidText(&ace->SidStart);
      const bool mayChangeList = (ace->Mask & kAccessRightsOfTheList) != 0;
      if (sid == kOwnerRightsSid) ownerLimited = ownerLimited || !mayChangeList;
      ok = sid == kSystemSid || sid == kAdministratorsSid ||
           ((sid == kUsersSid || sid == kOwnerRightsSid) && !mayChangeList);
    }
  }
  ::LocalFree(descriptor);
  return ok && ownerLimited;
}

// Made with the PC folder's access list, or, when it is there already (an
// earlier run, another account, anyone), given that list where this account
// may (an administrator, or whoever may change the list), and otherwise used
// only when its list is already one the PC folder may have.
bool makePcFolder(const std::wstring& folder) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kPcFolderAccess, SDDL_REVISION_1, &descriptor, nullptr))
    return false;
  SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
  bool ok = ::CreateDirectoryW(folder.c_str(), &security) != 0;
  const bool existed = !ok && ::GetLastError() == ERROR_ALREADY_EXISTS;
  // A link would lead the PC's copies, and the list set below, into a folder
  // of one account's choosing.
  const ::DWORD attributes = attributesOf(folder);
  const bool plainFolder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
  if (existed && plainFolder) {
    PACL list = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    ok = ::GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted) && present &&
         ::SetNamedSecurityInfoW(const_cast<wchar_t*>(folder.c_str()), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                 list, nullptr) == ERROR_SUCCESS;
    if (!ok) ok = hasPcFolderAccess(folder);
  }
  ::LocalFree(descriptor);
  return ok && plainFolder;
}

// `base`\Korrin\, made when missing; false for a base that is no folder.
bool openFolder(const std::wstring& base, bool pcWide, char* path, std::size_t size) {
  if (base.empty() || !isFolder(base)) return false;
  const std::wstring folder = base + L"\\Korrin";
  if (pcWide) {
    if (!makePcFolder(folder)) return false;
  } else if ((!::CreateDirectoryW(folder.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) ||
             !isFolder(folder)) {
    return false;
  }
  removeLeftovers(folder);
  const std::string text = toUtf8(folder + L"\\");
  return !text.empty() && copyOut(text, path, size);
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

bool os::pcDataFolder(char* path, std::size_t size) {
  return openFolder(environmentFolder(L"ProgramData"), true, path, size);
}

bool os::userDataFolder(char* path, std::size_t size) {
  return openFolder(environmentFolder(L"LOCALAPPDATA"), false, path, size);
}

void os::listFiles(const char* folder, void (*each)(const char* name, void* context), void* context) {
  if (folder == nullptr || folder[0] == '\0') return;
  std::wstring pattern = toWide(folder);
  if (pattern.empty()) return;
  if (!isSeparator(pattern.back())) pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW found;
  HANDLE search = ::FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  std::vector<std::string> names;
  do {
    // Links are not followed: the folder is meant to hold the files themselves.
    if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                                   FILE_ATTRIBUTE_DEVICE)) == 0) {
      names.push_back(toUtf8(found.cFileName));
    }
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) each(name.c_str(), context);
}

namespace {

// `path` split into its folder (with its separator) and its name; false
// without a name or when it is no UTF-8 text.
bool splitPath(const char* path, std::string& folder, std::string& name) {
  const std::string target = path;
  std::size_t nameStart = target.size();
  while (nameStart > 0 && !isSeparator(target[nameStart - 1]) && target[nameStart - 1] != ':') --nameStart;
  folder = target.substr(0, nameStart);
  name = target.substr(nameStart);
  return !name.empty() && !toWide(target).empty();
}

// The bytes in a temporary file beside `name`, on the disk; empty on failure
// (and nothing left). Beside it, so that the move stays on one volume.
std::string writeTemporary(const std::string& folder, const std::string& name, const void* bytes, std::size_t count) {
  std::string temporary;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < kTemporaryNameAttempts && file == INVALID_HANDLE_VALUE; ++attempt) {
    temporary = folder + "." + name + "." + std::to_string(::GetCurrentProcessId()) + "." +
                std::to_string(attempt) + ".tmp";
    file = ::CreateFileW(toWide(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
    if (file == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) return "";
  }
  if (file == INVALID_HANDLE_VALUE) return "";
  bool written = writeAll(file, static_cast<const unsigned char*>(bytes), count) && ::FlushFileBuffers(file);
  written = ::CloseHandle(file) && written;
  if (!written) {
    ::DeleteFileW(toWide(temporary).c_str());
    return "";
  }
  return temporary;
}

}  // namespace

bool os::writeFileDurably(const char* path, const void* bytes, std::size_t count) {
  if (path == nullptr || (bytes == nullptr && count != 0)) return false;
  std::string folder, name;
  if (!splitPath(path, folder, name)) return false;
  const std::string temporary = writeTemporary(folder, name, bytes, count);
  if (temporary.empty()) return false;
  // WRITE_THROUGH: the move itself is on the disk when the call returns.
  if (!::MoveFileExW(toWide(temporary).c_str(), toWide(path).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ::DeleteFileW(toWide(temporary).c_str());
    return false;
  }
  return true;
}

os::FileClaim os::claimFileDurably(const char* path, const void* bytes, std::size_t count) {
  if (path == nullptr || (bytes == nullptr && count != 0)) return FileClaim::Failed;
  std::string folder, name;
  if (!splitPath(path, folder, name)) return FileClaim::Failed;
  const std::string temporary = writeTemporary(folder, name, bytes, count);
  if (temporary.empty()) return FileClaim::Failed;
  // Without MOVEFILE_REPLACE_EXISTING the move fails on a name in use: of two
  // runs claiming one name, only one gets it.
  if (::MoveFileExW(toWide(temporary).c_str(), toWide(path).c_str(), MOVEFILE_WRITE_THROUGH))
    return FileClaim::Claimed;
  const ::DWORD error = ::GetLastError();
  ::DeleteFileW(toWide(temporary).c_str());
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? FileClaim::Taken : FileClaim::Failed;
}

bool os::readWholeFile(const char* path, void* bytes, std::size_t capacity, std::size_t* count) {
  if (count != nullptr) *count = 0;
  if (path == nullptr || (bytes == nullptr && capacity != 0)) return false;
  HANDLE file = ::CreateFileW(toWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
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

bool os::deleteFile(const char* path) { return path != nullptr && ::DeleteFileW(toWide(path).c_str()) != 0; }
