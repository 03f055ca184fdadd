// Files of this user that outlive a run, on POSIX: the XDG state folder, and
// writes that are on the disk before they count.
#include "platform/os.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace os {
namespace {

constexpr mode_t kOwnerOnlyFolder = 0700;
constexpr mode_t kOwnerOnlyFile = 0600;
constexpr int kTemporaryNameAttempts = 100;

bool copyOut(const std::string& text, char* out, std::size_t size) {
  if (out == nullptr || text.size() + 1 > size) return false;
  std::memcpy(out, text.c_str(), text.size() + 1);
  return true;
}

std::string homeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  // Started without HOME (from a service, say): the account's own record.
  const passwd* account = getpwuid(getuid());
  if (account != nullptr && account->pw_dir != nullptr && account->pw_dir[0] == '/') return account->pw_dir;
  return "";
}

// Every missing folder on the way to `folder` (an absolute path ending in
// '/'), each readable by its owner only; existing ones are left as they are.
bool makeFolders(const std::string& folder) {
  for (std::size_t slash = folder.find('/', 1); slash != std::string::npos; slash = folder.find('/', slash + 1)) {
    const std::string step = folder.substr(0, slash);
    if (mkdir(step.c_str(), kOwnerOnlyFolder) != 0 && errno != EEXIST) return false;
  }
  struct stat info {};
  return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool writeAll(int fd, const unsigned char* bytes, std::size_t count) {
  while (count > 0) {
    ssize_t put = write(fd, bytes, count);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += put;
    count -= static_cast<std::size_t>(put);
  }
  return true;
}

// To the disk itself. On macOS fsync stops at the drive's own cache;
// F_FULLFSYNC goes through it, where the file system supports it.
bool flushToDisk(int fd) {
#if defined(F_FULLFSYNC)
  if (fcntl(fd, F_FULLFSYNC) == 0) return true;
#endif
  while (fsync(fd) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

bool isRegularFile(DIR* folder, const dirent* entry) {
#if defined(_DIRENT_HAVE_D_TYPE) || defined(__APPLE__)
  if (entry->d_type == DT_REG) return true;
  if (entry->d_type != DT_UNKNOWN) return false;
#endif
  // Some file systems do not fill d_type in. A link is not followed: the
  // folder is meant to hold the files themselves.
  struct stat info {};
  return fstatat(dirfd(folder), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
}

// The owner of a name writeFileDurably gave, ".<file>.<pid>.<attempt>.tmp",
// or 0 for any other name.
pid_t temporaryOwner(const std::string& name) {
  static const std::string kSuffix = ".tmp";
  if (name.size() < 8 || name[0] != '.' || name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0)
    return 0;
  const std::string stem = name.substr(0, name.size() - kSuffix.size());
  const std::size_t attemptDot = stem.rfind('.');
  if (attemptDot == std::string::npos || attemptDot == 0) return 0;
  const std::size_t pidDot = stem.rfind('.', attemptDot - 1);
  if (pidDot == std::string::npos || pidDot == 0) return 0;
  const std::string attempt = stem.substr(attemptDot + 1), owner = stem.substr(pidDot + 1, attemptDot - pidDot - 1);
  const auto digits = [](const std::string& text) {
    return !text.empty() && text.size() <= 9 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  return digits(attempt) && digits(owner) ? static_cast<pid_t>(std::atol(owner.c_str())) : 0;
}

// A save killed half way leaves its temporary file; the folder is meant to
// hold the copies only. Those of a process still running are its own business.
void removeLeftovers(const std::string& folderPath) {
  DIR* folder = opendir(folderPath.c_str());
  if (folder == nullptr) return;
  std::vector<std::string> leftovers;
  while (const dirent* entry = readdir(folder)) {
    const pid_t owner = temporaryOwner(entry->d_name);
    if (owner > 0 && owner != getpid() && kill(owner, 0) != 0 && errno == ESRCH && isRegularFile(folder, entry))
      leftovers.emplace_back(entry->d_name);
  }
  closedir(folder);
  for (const std::string& name : leftovers) unlink((folderPath + name).c_str());
}

}  // namespace

// No folder on POSIX is the PC's: a shared one would need a group every
// account is in, which the system does not give.
bool pcDataFolder(char*, std::size_t) { return false; }

bool userDataFolder(char* path, std::size_t size) {
  std::string base;
  // The XDG rules: a relative XDG_STATE_HOME is to be ignored.
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') {
    base = state;
  } else {
    const std::string home = homeFolder();
    if (home.empty()) return false;
    base = home + "/.local/state";
  }
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  const std::string folder = base + "/korrin/";
  if (!makeFolders(folder)) return false;
  removeLeftovers(folder);
  return copyOut(folder, path, size);
}

void listFiles(const char* folderPath, void (*each)(const char* name, void* context), void* context) {
  if (folderPath == nullptr) return;
  DIR* folder = opendir(folderPath);
  if (folder == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* entry = readdir(folder)) {
    if (isRegularFile(folder, entry)) names.emplace_back(entry->d_name);
  }
  closedir(folder);
  // readdir's order changes with the file system's history.
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) each(name.c_str(), context);
}

namespace {

// `path` split into its folder (with its '/') and its name; false without a name.
bool splitPath(const char* path, std::string& folder, std::string& name) {
  const std::string target = path;
  const std::size_t slash = target.rfind('/');
  folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  name = target.substr(folder.size());
  return !name.empty();
}

// The bytes in a temporary file beside `name`, on the disk; empty on failure
// (and nothing left). Beside it, so that the rename stays on one file system;
// the dot keeps a temporary file left by a power cut out of casual listings.
std::string writeTemporary(const std::string& folder, const std::string& name, const void* bytes, std::size_t count) {
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < kTemporaryNameAttempts && fd < 0; ++attempt) {
    temporary = folder + "." + name + "." + std::to_string(getpid()) + "." + std::to_string(attempt) + ".tmp";
    fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kOwnerOnlyFile);
    if (fd < 0 && errno != EEXIST && errno != EINTR) return "";
  }
  if (fd < 0) return "";
  bool written = writeAll(fd, static_cast<const unsigned char*>(bytes), count) && flushToDisk(fd);
  // A close can report a write that failed late (NFS, a full disk).
  written = close(fd) == 0 && written;
  if (!written) {
    unlink(temporary.c_str());
    return "";
  }
  return temporary;
}

// A rename or a link is an entry in the folder: until the folder is on the
// disk too, a power cut can undo it. Without this the caller must not count
// on the new entry.
bool flushFolder(const std::string& folder) {
  const std::string folderPath = folder.empty() ? "." : folder;
  int folderFd = open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd < 0) return false;
  bool flushed = flushToDisk(folderFd);
  close(folderFd);
  return flushed;
}

}  // namespace

bool writeFileDurably(const char* path, const void* bytes, std::size_t count) {
  if (path == nullptr || (bytes == nullptr && count != 0)) return false;
  std::string folder, name;
  if (!splitPath(path, folder, name)) return false;
  const std::string temporary = writeTemporary(folder, name, bytes, count);
  if (temporary.empty()) return false;
  if (rename(temporary.c_str(), path) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return flushFolder(folder);
}

FileClaim claimFileDurably(const char* path, const void* bytes, std::size_t count) {
  if (path == nullptr || (bytes == nullptr && count != 0)) return FileClaim::Failed;
  std::string folder, name;
  if (!splitPath(path, folder, name)) return FileClaim::Failed;
  const std::string temporary = writeTemporary(folder, name, bytes, count);
  if (temporary.empty()) return FileClaim::Failed;
  // link, unlike rename, never replaces: of two runs claiming one name, one
  // gets EEXIST, and the file is whole from the instant it has its name.
  const bool linked = link(temporary.c_str(), path) == 0;
  const int error = errno;
  unlink(temporary.c_str());
  if (!linked) return error == EEXIST ? FileClaim::Taken : FileClaim::Failed;
  if (!flushFolder(folder)) {
    unlink(path);
    return FileClaim::Failed;
  }
  return FileClaim::Claimed;
}

bool readWholeFile(const char* path, void* bytes, std::size_t capacity, std::size_t* count) {
  if (count != nullptr) *count = 0;
  if (path == nullptr || (bytes == nullptr && capacity != 0)) return false;
  int fd;
  do {
    fd = open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return false;
  }
  // Read to the end rather than trust the size: the file may be growing.
  unsigned char* next = static_cast<unsigned char*>(bytes);
  std::size_t total = 0;
  bool ok = true;
  for (;;) {
    unsigned char spare;
    unsigned char* into = total < capacity ? next + total : &spare;
    std::size_t room = total < capacity ? capacity - total : 1;
    ssize_t got = read(fd, into, room);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 || (got > 0 && total >= capacity)) ok = false;  // unreadable, or larger than `capacity`
    if (got <= 0 || !ok) break;
    total += static_cast<std::size_t>(got);
  }
  close(fd);
  if (ok && count != nullptr) *count = total;
  return ok;
}

bool deleteFile(const char* path) { return path != nullptr && unlink(path) == 0; }

}  // namespace os
