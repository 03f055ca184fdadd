#include "config/config_copy.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/os.h"

namespace korrin {

namespace {

// Version 1 (releases up to 02/09/04) has no journal; both are read.
constexpr char kMagic[8] = {'K', 'R', 'N', 'C', 'F', 'G', '0', '2'};
constexpr char kMagicWithoutJournal[8] = {'K', 'R', 'N', 'C', 'F', 'G', '0', '1'};
constexpr char kNamePrefix[] = "config-";
constexpr char kNameSuffix[] = ".bin";
// A block the line damaged holds nearly all it was sent: the unit model flips
// a bit, noise a few bytes. More than this and the sum alone would decide.
constexpr std::size_t kDamagedBytes = 8;
constexpr std::size_t kFieldsWithoutJournal = 5;
constexpr std::size_t kFields = 6;  // and the journal's length
constexpr std::size_t kEntryBytes = 8;
constexpr std::size_t kMaxJournal = 4096;  // a bound on what a file may claim
constexpr std::size_t kMaxFileBytes =
    sizeof kMagic + 4 * kFields + kConfigReadoutBytes + kConfigImageBytes + kMaxJournal * kEntryBytes + 4;

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

std::vector<std::uint8_t> encode(const SavedCopy& copy) {
  const ConfigConversion& conversion = copy.conversion;
  std::vector<std::uint8_t> out(kMagic, kMagic + sizeof kMagic);
  putWord(out, conversion.packageRevision);
  putWord(out, static_cast<std::uint32_t>(conversion.packageIsPro));
  putWord(out, static_cast<std::uint32_t>(conversion.mode));
  putWord(out, static_cast<std::uint32_t>(conversion.targetSize));
  putWord(out, static_cast<std::uint32_t>(kConfigReadoutBytes));
  putWord(out, static_cast<std::uint32_t>(copy.journal.size()));
  out.insert(out.end(), conversion.readout.bytes.begin(), conversion.readout.bytes.begin() + kConfigReadoutBytes);
  out.insert(out.end(), conversion.converted.bytes.begin(),
             conversion.converted.bytes.begin() + static_cast<std::ptrdiff_t>(kConfigRecordCount * conversion.targetSize));
  for (const HeldBlock& entry : copy.journal) {
    putWord(out, entry.address);
    putWord(out, entry.sum);
  }
  putWord(out, fnv1a(out.data(), out.size()));
  return out;
}

// False for anything that is not one whole copy as encode() (or version 1) wrote it.
bool decode(const std::uint8_t* in, std::size_t count, SavedCopy& copy) {
  const bool withJournal = count >= sizeof kMagic && std::memcmp(in, kMagic, sizeof kMagic) == 0;
  const std::size_t header = sizeof kMagic + 4 * (withJournal ? kFields : kFieldsWithoutJournal);
  if (count < header + 4) return false;
  if (!withJournal && std::memcmp(in, kMagicWithoutJournal, sizeof kMagic) != 0) return false;
  if (fnv1a(in, count - 4) != getWord(in + count - 4)) return false;
  const std::uint8_t* field = in + sizeof kMagic;
  ConfigConversion& conversion = copy.conversion;
  conversion.packageRevision = getWord(field);
  conversion.packageIsPro = static_cast<std::int32_t>(getWord(field + 4));
  const std::uint32_t mode = getWord(field + 8);
  conversion.targetSize = getWord(field + 12);
  const std::size_t entries = withJournal ? getWord(field + 20) : 0;
  if (getWord(field + 16) != kConfigReadoutBytes || (mode != 1 && mode != 2) ||
      (conversion.targetSize != kConfigRecordBytes && conversion.targetSize != kProRecordBytes) ||
      entries > kMaxJournal)
    return false;
  conversion.mode = static_cast<ConfigMode>(mode);
  const std::size_t records = kConfigRecordCount * conversion.targetSize;
  if (count != header + kConfigReadoutBytes + records + entries * kEntryBytes + 4) return false;
  std::copy_n(in + header, kConfigReadoutBytes, conversion.readout.bytes.begin());
  std::copy_n(in + header + kConfigReadoutBytes, records, conversion.converted.bytes.begin());
  const std::uint8_t* entry = in + header + kConfigReadoutBytes + records;
  copy.journal.clear();
  for (std::size_t i = 0; i < entries; ++i, entry += kEntryBytes)
    copy.journal.push_back({getWord(entry), getWord(entry + 4)});
  return true;
}

// The write-back as the unit sees it: blocks at offsets from 0x4000, in order.
struct Block {
  std::size_t at;
  const std::uint8_t* bytes;
  std::size_t size;
};

std::vector<Block> writeBackBlocks(const ConfigConversion& conversion) {
  std::vector<Block> blocks;
  for (const WriteBackRecord& record : writeBackRecords(conversion.converted, conversion.targetSize))
    for (std::size_t offset = 0; offset < record.size; offset += kWriteBackBlockBytes)
      blocks.push_back({record.address - kConfigAreaAddress + offset, record.bytes + offset,
                        std::min(kWriteBackBlockBytes, record.size - offset)});
  return blocks;
}

// The part of a block that lies within the first `bytes` of the area.
std::size_t visibleEnd(const Block& block, std::size_t bytes) { return std::min(block.at + block.size, bytes); }

// Whether the unit may hold `block` as `area` shows it by the journal: the
// whole block in sight, summing to what the unit reported for it, and no more
// than a line's damage away from what was sent.
bool heldAsJournaled(const SavedCopy& copy, const Block& block, const std::uint8_t* area, std::size_t bytes) {
  if (block.at + block.size > bytes) return false;
  std::uint32_t sum = 0;
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < block.size; ++i) {
    sum += area[block.at + i];
    if (area[block.at + i] != block.bytes[i]) ++wrong;
  }
  const auto address = static_cast<std::uint32_t>(kConfigAreaAddress + block.at);
  return wrong <= kDamagedBytes &&
         std::any_of(copy.journal.begin(), copy.journal.end(),
                     [&](const HeldBlock& entry) { return entry.address == address && entry.sum == sum; });
}

// The furthest block in flight, seen over what the blocks before it left:
// as it was, as sent, or a sent start with the rest as it was.
bool inFlight(const Block& block, const std::uint8_t* before, const std::uint8_t* area, std::size_t bytes) {
  const std::size_t end = visibleEnd(block, bytes);
  std::size_t i = block.at;
  while (i < end && area[i] == block.bytes[i - block.at]) ++i;
  for (; i < end; ++i)
    if (area[i] != before[i]) return false;
  return true;
}

}  // namespace

ConfigConversion convertReadout(const ConfigImage& readout, ConfigMode mode, const FirmwarePackage& package) {
  ConfigConversion conversion;
  conversion.packageRevision = package.packageRevision;
  conversion.packageIsPro = package.packageIsPro;
  conversion.mode = mode;
  conversion.targetSize = targetRecordSize(package);
  conversion.readout = readout;
  conversion.converted = readout;
  migrateConfigImage(conversion.converted, mode, package);
  return conversion;
}

bool sameLayouts(const ConfigConversion& conversion, ConfigMode mode, const FirmwarePackage& package) {
  return conversion.mode == mode && conversion.targetSize == targetRecordSize(package);
}

CopyMatch matchCopy(const SavedCopy& copy, const std::uint8_t* area, std::size_t bytes) {
  bytes = std::min(bytes, kConfigReadoutBytes);
  const std::uint8_t* readout = copy.conversion.readout.bytes.data();
  if (std::equal(area, area + bytes, readout)) return CopyMatch::Untouched;
  const std::vector<Block> blocks = writeBackBlocks(copy.conversion);
  if (blocks.empty()) return CopyMatch::None;

  // before: the area as blocks 0 .. last-1 leave it; owner: the block that wrote each byte last, or -1.
  std::vector<std::uint8_t> before(readout, readout + bytes);
  std::vector<int> owner(bytes, -1);
  auto place = [&](std::size_t b) {
    for (std::size_t i = blocks[b].at; i < visibleEnd(blocks[b], bytes); ++i) {
      before[i] = blocks[b].bytes[i - blocks[b].at];
      owner[i] = static_cast<int>(b);
    }
  };
  for (std::size_t b = 0; b < blocks.size(); ++b) place(b);
  // Complete only when the whole write-back is in sight (a Pro record 5 at
  // its own place reaches past the readout).
  if (blocks.back().at + blocks.back().size <= bytes && std::equal(area, area + bytes, before.data()))
    return CopyMatch::Complete;

  // Bytes the line may have written as data are taken as the state each
  // candidate cut expects there; the write-back of the copy puts them right.
  std::vector<bool> damaged(bytes, false);
  for (const HeldBlock& entry : copy.journal) {
    if ((entry.address & kLineDamageMark) == 0) continue;
    const std::uint32_t from = (entry.address & ~kLineDamageMark) - kConfigAreaAddress;
    for (std::size_t i = from; i < bytes && i + kConfigAreaAddress < entry.sum; ++i) damaged[i] = true;
  }
  std::vector<std::uint8_t> seen(area, area + bytes);
  area = seen.data();

  std::copy(readout, readout + bytes, before.begin());
  std::fill(owner.begin(), owner.end(), -1);
  std::vector<bool> differs(blocks.size());
  for (std::size_t last = 0; last < blocks.size(); ++last) {
    const Block& flying = blocks[last];
    for (std::size_t i = 0; i < bytes; ++i)
      if (damaged[i]) seen[i] = before[i];
    std::fill(differs.begin(), differs.end(), false);
    bool explained = true;
    for (std::size_t i = 0; i < bytes && explained; ++i) {
      if ((i >= flying.at && i < flying.at + flying.size) || area[i] == before[i]) continue;
      if (owner[i] < 0) {
        explained = false;  // a byte no block before the furthest writes, not as read
      } else {
        differs[static_cast<std::size_t>(owner[i])] = true;
      }
    }
    for (std::size_t b = 0; b < last && explained; ++b)
      explained = !differs[b] || heldAsJournaled(copy, blocks[b], area, bytes);
    if (explained && (inFlight(flying, before.data(), area, bytes) || heldAsJournaled(copy, flying, area, bytes)))
      return CopyMatch::Partial;
    place(last);
  }
  return CopyMatch::None;
}

namespace {

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

SavedCopies readSavedCopies() {
  SavedCopies saved;
  saved.store = openCopyStore();
  std::vector<std::string> folders = saved.store.olderFolders;
  if (!saved.store.folder.empty()) folders.insert(folders.begin(), saved.store.folder);
  auto file = std::make_unique<std::uint8_t[]>(kMaxFileBytes);
  for (const std::string& folder : folders) {
    for (const std::string& name : copyNames(folder)) {
      SavedCopy copy;
      copy.path = folder + name;
      std::size_t count = 0;
      if (os::readWholeFile(copy.path.c_str(), file.get(), kMaxFileBytes, &count) &&
          decode(file.get(), count, copy)) {
        saved.copies.push_back(std::move(copy));
      } else {
        saved.unreadable.push_back(copy.path);
      }
    }
  }
  return saved;
}

CopySave saveCopy(const CopyStore& store, SavedCopy& copy) {
  copy.path.clear();
  if (store.folder.empty()) return CopySave::NoFolder;
  const std::vector<std::uint8_t> file = encode(copy);
  const std::uint32_t hash = fnv1a(copy.conversion.readout.bytes.data(), kConfigReadoutBytes);
  // Units with the same records (factory settings, cloned set-ups) each get a
  // file of their own, claimed without replacing: a run saving at the same
  // moment takes the next name, and each run settles only its own.
  for (int twin = 1; twin <= kMaxCopiesOfOneReadout; ++twin) {
    char name[64];
    if (twin == 1) {
      std::snprintf(name, sizeof name, "%s%08x%s", kNamePrefix, hash, kNameSuffix);
    } else {
      std::snprintf(name, sizeof name, "%s%08x-%d%s", kNamePrefix, hash, twin, kNameSuffix);
    }
    copy.path = store.folder + name;
    switch (os::claimFileDurably(copy.path.c_str(), file.data(), file.size())) {
      case os::FileClaim::Claimed: return CopySave::Saved;
      case os::FileClaim::Failed: return CopySave::Failed;
      case os::FileClaim::Taken: break;
    }
  }
  copy.path = store.folder;
  return CopySave::Full;
}

bool reachedAUnit(const std::vector<HeldBlock>& journal) {
  return std::any_of(journal.begin(), journal.end(), [](const HeldBlock& entry) {
    return (entry.address & (kLineDamageMark | kAsFoundMark)) == 0;
  });
}

void journalEntries(SavedCopy& copy, const std::vector<HeldBlock>& entries) {
  bool added = false;
  for (const HeldBlock& entry : entries) {
    const bool known = std::any_of(copy.journal.begin(), copy.journal.end(), [&](const HeldBlock& held) {
      return held.address == entry.address && held.sum == entry.sum;
    });
    if (known || copy.journal.size() == kMaxJournal) continue;
    copy.journal.push_back(entry);
    added = true;
  }
  if (!added || copy.path.empty()) return;
  const std::vector<std::uint8_t> file = encode(copy);
  os::writeFileDurably(copy.path.c_str(), file.data(), file.size());
}

void journalBlock(SavedCopy& copy, HeldBlock entry) { journalEntries(copy, {entry}); }

void putBackAsFound(const SavedCopy& copy, ConfigImage& area) {
  for (const HeldBlock& entry : copy.journal) {
    if ((entry.address & (kLineDamageMark | kAsFoundMark)) != kAsFoundMark) continue;
    const std::uint32_t at = (entry.address & ~kAsFoundMark) - kConfigAreaAddress;
    // Past the records and inside the area, whatever the file claims.
    if (at < kConfigReadoutBytes || at > kConfigAreaBytes - 4) continue;
    for (std::uint32_t i = 0; i < 4; ++i) area.bytes[at + i] = static_cast<std::uint8_t>(entry.sum >> (8 * i));
  }
}

void settleCopies(const CopiesToSettle& copies) {
  for (const std::string& path : copies.paths) os::deleteFile(path.c_str());
}

}  // namespace korrin
