#include "config/config_copy.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/os.h"

namespace korrin {

namespace {

constexpr char kMagic[8] = {'K', 'R', 'N', 'C', 'F', 'G', '0', '1'};
constexpr char kNamePrefix[] = "config-";
constexpr char kNameSuffix[] = ".bin";
// A block the line damaged on every attempt still holds nearly all it was sent.
constexpr std::size_t kDamagedBytes = 8;
// Bytes in which the conversion differs from the readout and the unit holds
// the converted ones: fewer could be another unit's area that is almost the same.
constexpr std::size_t kShownBytes = 16;
constexpr std::size_t kHeaderBytes = sizeof kMagic + 4 * 5;
constexpr int kMaxTwins = 99;  // copies of one readout kept side by side
constexpr std::size_t kMaxFileBytes = kHeaderBytes + kConfigReadoutBytes + kConfigImageBytes + 4;

std::uint32_t fnv1a(const std::uint8_t* bytes, std::size_t count) {
  std::uint32_t hash = 2166136261u;
  for (std::size_t i = 0; i < count; ++i) hash = (hash ^ bytes[i]) * 16777619u;
  return hash;
}

void putWord(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::uint32_t getWord(const std::uint8_t* in) {
  return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
         static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

std::vector<std::uint8_t> encode(const ConfigCopy& copy) {
  std::vector<std::uint8_t> out(kMagic, kMagic + sizeof kMagic);
  putWord(out, copy.packageRevision);
  putWord(out, static_cast<std::uint32_t>(copy.packageIsPro));
  putWord(out, static_cast<std::uint32_t>(copy.mode));
  putWord(out, static_cast<std::uint32_t>(copy.targetSize));
  putWord(out, static_cast<std::uint32_t>(kConfigReadoutBytes));
  out.insert(out.end(), copy.readout.bytes.begin(), copy.readout.bytes.begin() + kConfigReadoutBytes);
  out.insert(out.end(), copy.converted.bytes.begin(),
             copy.converted.bytes.begin() + static_cast<std::ptrdiff_t>(kConfigRecordCount * copy.targetSize));
  putWord(out, fnv1a(out.data(), out.size()));
  return out;
}

// False for anything that is not one whole copy as encode() wrote it.
bool decode(const std::uint8_t* in, std::size_t count, ConfigCopy& copy) {
  if (count < kHeaderBytes + 4 || std::memcmp(in, kMagic, sizeof kMagic) != 0) return false;
  if (fnv1a(in, count - 4) != getWord(in + count - 4)) return false;
  const std::uint8_t* field = in + sizeof kMagic;
  copy.packageRevision = getWord(field);
  copy.packageIsPro = static_cast<std::int32_t>(getWord(field + 4));
  const std::uint32_t mode = getWord(field + 8);
  copy.targetSize = getWord(field + 12);
  if (getWord(field + 16) != kConfigReadoutBytes || (mode != 1 && mode != 2) ||
      (copy.targetSize != kConfigRecordBytes && copy.targetSize != kProRecordBytes))
    return false;
  copy.mode = static_cast<ConfigMode>(mode);
  const std::size_t images = kConfigReadoutBytes + kConfigRecordCount * copy.targetSize;
  if (count != kHeaderBytes + images + 4) return false;
  std::copy_n(in + kHeaderBytes, kConfigReadoutBytes, copy.readout.bytes.begin());
  std::copy_n(in + kHeaderBytes + kConfigReadoutBytes, kConfigRecordCount * copy.targetSize,
              copy.converted.bytes.begin());
  return true;
}

// The write-back as the unit sees it: blocks at offsets from 0x4000, in order.
struct Block {
  std::size_t at;
  const std::uint8_t* bytes;
  std::size_t size;
};

std::vector<Block> writeBackBlocks(const ConfigCopy& copy) {
  std::vector<Block> blocks;
  for (const WriteBackRecord& record : writeBackRecords(copy.converted, copy.targetSize))
    for (std::size_t offset = 0; offset < record.size; offset += kWriteBackBlockBytes)
      blocks.push_back({record.address - kConfigAreaAddress + offset, record.bytes + offset,
                        std::min(kWriteBackBlockBytes, record.size - offset)});
  return blocks;
}

// Whether `area` is what write-backs of `blocks`, each begun at block 0 and
// cut short somewhere, leave when the furthest got to block `last`: every byte
// no block writes as read; every block before `last` as sent or damaged on the
// line; block `last` anything, once the conversion shows on the unit. Before
// it shows, block `last` must itself show it (as sent, damaged, or a sent
// start with the rest as read): an area that differs from the readout in
// other ways is another unit's.
bool explainsCut(const std::vector<Block>& blocks, const std::vector<int>& owner, const std::uint8_t* readout,
                 const std::uint8_t* area, std::size_t bytes, std::size_t last) {
  std::vector<std::size_t> wrong(last + 1, 0);
  std::size_t shown = 0, shownInLast = 0;
  for (std::size_t i = 0; i < bytes; ++i) {
    if (owner[i] < 0) {
      if (area[i] != readout[i]) return false;
      continue;
    }
    const Block& block = blocks[static_cast<std::size_t>(owner[i])];
    const std::uint8_t sent = block.bytes[i - block.at];
    if (area[i] != sent) {
      ++wrong[static_cast<std::size_t>(owner[i])];
    } else if (sent != readout[i]) {
      ++(static_cast<std::size_t>(owner[i]) == last ? shownInLast : shown);
    }
  }
  for (std::size_t b = 0; b < last; ++b)
    if (wrong[b] > kDamagedBytes) return false;
  if (shown >= kShownBytes) return true;
  if (shown + shownInLast < kShownBytes) return false;
  if (wrong[last] <= kDamagedBytes) return true;
  // A sent start, the rest of the block as read.
  const Block& block = blocks[last];
  const std::size_t end = std::min(block.at + block.size, bytes);
  std::size_t i = block.at;
  while (i < end && (owner[i] != static_cast<int>(last) || area[i] == block.bytes[i - block.at])) ++i;
  for (; i < end; ++i)
    if (owner[i] == static_cast<int>(last) && area[i] != readout[i]) return false;
  return true;
}

}  // namespace

CopyMatch matchCopy(const ConfigCopy& copy, const std::uint8_t* area, std::size_t bytes) {
  bytes = std::min(bytes, kConfigReadoutBytes);
  const std::uint8_t* readout = copy.readout.bytes.data();
  if (std::equal(area, area + bytes, readout)) return CopyMatch::Untouched;
  const std::vector<Block> blocks = writeBackBlocks(copy);
  // owner[i]: the last block so far that writes byte i, or -1: as read.
  std::vector<int> owner(bytes, -1);
  for (std::size_t last = 0; last < blocks.size(); ++last) {
    for (std::size_t i = blocks[last].at; i < blocks[last].at + blocks[last].size && i < bytes; ++i)
      owner[i] = static_cast<int>(last);
    if (explainsCut(blocks, owner, readout, area, bytes, last)) return CopyMatch::Partial;
  }
  return CopyMatch::None;
}

CopyStore openCopyStore() {
  CopyStore store;
  char folder[1024];
  if (os::pcDataFolder(folder, sizeof folder)) store.folder = folder;
  if (os::userDataFolder(folder, sizeof folder)) {
    if (store.folder.empty()) {
      store.folder = folder;
    } else if (store.folder != folder) {
      store.olderFolders.emplace_back(folder);
    }
  }
  return store;
}

namespace {

// The names of the copies in `folder`, sorted.
std::vector<std::string> copyNames(const std::string& folder) {
  std::vector<std::string> names;
  os::listFiles(
      folder.c_str(),
      [](const char* name, void* context) {
        const std::string text = name;
        if (text.rfind(kNamePrefix, 0) == 0 && text.size() > sizeof kNameSuffix &&
            text.compare(text.size() - (sizeof kNameSuffix - 1), std::string::npos, kNameSuffix) == 0)
          static_cast<std::vector<std::string>*>(context)->push_back(text);
      },
      &names);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

bool saveCopy(const CopyStore& store, const ConfigCopy& copy, std::string& path) {
  path.clear();
  if (store.folder.empty()) return false;
  // Units with the same records (factory settings, cloned set-ups) each get a
  // file of their own: the run that completes one write-back removes only its own.
  const std::vector<std::string> taken = copyNames(store.folder);
  const std::uint32_t hash = fnv1a(copy.readout.bytes.data(), kConfigReadoutBytes);
  for (int twin = 1; twin <= kMaxTwins && path.empty(); ++twin) {
    char name[64];
    if (twin == 1) {
      std::snprintf(name, sizeof name, "%s%08x%s", kNamePrefix, hash, kNameSuffix);
    } else {
      std::snprintf(name, sizeof name, "%s%08x-%d%s", kNamePrefix, hash, twin, kNameSuffix);
    }
    if (!std::binary_search(taken.begin(), taken.end(), std::string(name))) path = store.folder + name;
  }
  if (path.empty()) {
    path = store.folder;
    return false;
  }
  const std::vector<std::uint8_t> file = encode(copy);
  return os::writeFileDurably(path.c_str(), file.data(), file.size());
}

CopyMatch findCopy(const CopyStore& store, const FirmwarePackage& package, ConfigMode mode, const std::uint8_t* area,
                   std::size_t bytes, ConfigCopy& copy, std::string& path) {
  std::vector<std::string> folders = store.olderFolders;
  if (!store.folder.empty()) folders.insert(folders.begin(), store.folder);
  auto file = std::make_unique<std::uint8_t[]>(kMaxFileBytes);
  for (const std::string& folder : folders) {
    const std::vector<std::string> names = copyNames(folder);
    for (const std::string& name : names) {
      const std::string candidate = folder + name;
      std::size_t count = 0;
      if (!os::readWholeFile(candidate.c_str(), file.get(), kMaxFileBytes, &count)) continue;
      if (!decode(file.get(), count, copy)) continue;
      if (copy.packageRevision != package.packageRevision || copy.packageIsPro != package.packageIsPro ||
          copy.mode != mode || copy.targetSize != targetRecordSize(package))
        continue;
      const CopyMatch match = matchCopy(copy, area, bytes);
      if (match != CopyMatch::None) {
        path = candidate;
        return match;
      }
    }
  }
  return CopyMatch::None;
}

CopyMatch findCopyAnyMode(const CopyStore& store, const FirmwarePackage& package, const std::uint8_t* area,
                          std::size_t bytes, ConfigCopy& copy, std::string& path) {
  for (ConfigMode mode : {ConfigMode::Legacy, ConfigMode::ConfigOnPro}) {
    const CopyMatch match = findCopy(store, package, mode, area, bytes, copy, path);
    if (match != CopyMatch::None) return match;
  }
  return CopyMatch::None;
}

void removeCopy(const std::string& path) {
  if (!path.empty()) os::deleteFile(path.c_str());
}

}  // namespace korrin
