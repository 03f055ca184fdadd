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
constexpr std::size_t kWriteBackBlock = 256;  // the write-back's download block
constexpr std::size_t kHeaderBytes = sizeof kMagic + 4 * 5;
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
  for (std::size_t k = 0; k < kConfigRecordCount; ++k) {
    const std::uint8_t* record = copy.converted.bytes.data() + k * copy.targetSize;
    const std::size_t at = configTargetAddress(k, copy.targetSize, record[0]) - kConfigAreaAddress;
    for (std::size_t offset = 0; offset < copy.targetSize; offset += kWriteBackBlock)
      blocks.push_back({at + offset, record + offset, std::min(kWriteBackBlock, copy.targetSize - offset)});
  }
  return blocks;
}

}  // namespace

CopyMatch matchCopy(const ConfigCopy& copy, const std::uint8_t* area, std::size_t bytes) {
  bytes = std::min(bytes, kConfigReadoutBytes);
  const std::vector<Block> blocks = writeBackBlocks(copy);
  std::vector<std::uint8_t> state(copy.readout.bytes.begin(), copy.readout.bytes.begin() + bytes);
  // A whole write-back matches as cut in its last block, which may hold anything.
  for (std::size_t cut = 0; cut < blocks.size(); ++cut) {
    // The area must be the state after `cut` blocks, save inside block `cut`.
    const std::size_t from = std::min(blocks[cut].at, bytes);
    const std::size_t to = std::min(blocks[cut].at + blocks[cut].size, bytes);
    const bool outside = std::equal(area, area + from, state.begin()) &&
                         std::equal(area + to, area + bytes, state.begin() + static_cast<std::ptrdiff_t>(to));
    if (outside && cut > 0) return CopyMatch::Partial;
    if (outside) {
      // The longest written start of the first block; the rest must be as read.
      std::size_t written = from;
      while (written < to && area[written] == blocks[0].bytes[written - from]) ++written;
      if (std::equal(area + written, area + to, state.begin() + static_cast<std::ptrdiff_t>(written)))
        return std::equal(area + from, area + to, state.begin() + static_cast<std::ptrdiff_t>(from))
                   ? CopyMatch::Untouched
                   : CopyMatch::Partial;
    }
    for (std::size_t i = 0; i < blocks[cut].size && blocks[cut].at + i < bytes; ++i)
      state[blocks[cut].at + i] = blocks[cut].bytes[i];
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

bool saveCopy(const CopyStore& store, const ConfigCopy& copy, std::string& path) {
  char name[64];
  std::snprintf(name, sizeof name, "%s%08x%s", kNamePrefix, fnv1a(copy.readout.bytes.data(), kConfigReadoutBytes),
                kNameSuffix);
  path = store.folder.empty() ? std::string() : store.folder + name;
  if (store.folder.empty()) return false;
  const std::vector<std::uint8_t> file = encode(copy);
  return os::writeFileDurably(path.c_str(), file.data(), file.size());
}

CopyMatch findCopy(const CopyStore& store, const FirmwarePackage& package, ConfigMode mode, const std::uint8_t* area,
                   std::size_t bytes, ConfigCopy& copy, std::string& path) {
  std::vector<std::string> folders = store.olderFolders;
  if (!store.folder.empty()) folders.insert(folders.begin(), store.folder);
  auto file = std::make_unique<std::uint8_t[]>(kMaxFileBytes);
  for (const std::string& folder : folders) {
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
