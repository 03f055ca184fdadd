// Saved copies of a unit's configuration on the PC. Converted records are
// longer than the old ones, so writing record k overwrites the start of old
// record k+1: once the write-back has begun, the unit alone no longer holds
// what one conversion needs. Before the first block is written, the readout
// and the converted records are saved on the disk; a run that finds an area
// some write-back of a copy left half done writes that copy's records again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/config_record.h"
#include "package/firmware_package.h"

namespace korrin {

// One conversion of a unit's records, in memory: what the unit held and what
// the layout of the updater that made it gives.
struct ConfigConversion {
  RevisionCode packageRevision = 0;  // of the updater that made it
  std::int32_t packageIsPro = 0;
  ConfigMode mode = ConfigMode::None;
  std::size_t targetSize = 0;
  ConfigImage readout;    // the area as read, kConfigReadoutBytes
  ConfigImage converted;  // six records of targetSize
};
ConfigConversion convertReadout(const ConfigImage& readout, ConfigMode mode, const FirmwarePackage& package);
// Whether this release's updater writes the copy's records as its own
// conversion of the same unit would: the same source and target layouts.
bool sameLayouts(const ConfigConversion& conversion, ConfigMode mode, const FirmwarePackage& package);

// What a write-back learnt of a block that the area cannot show by itself:
// the unit's sum of it, from a checksum reply that parsed. Journalled: every
// block the unit reported holding otherwise than sent, and the first block it
// confirmed (the write-back reached the unit). Every other state a write-back
// leaves, the area shows by itself.
struct HeldBlock {
  std::uint32_t address;
  std::uint32_t sum;
};
// An entry so marked is no block: the write-back lost step with the unit, and
// from `address` (without the mark) up to `sum` the unit may hold the line's
// bytes taken as data. Older readers find no block at such an address.
constexpr std::uint32_t kLineDamageMark = 0x80000000u;
// An entry so marked is no block either: `sum` is the little-endian word the
// area past the records held at `address` when the copy's run read it. A copy
// holds the records alone; line damage that reached past them is journalled
// with these, so that the next run puts those bytes back.
constexpr std::uint32_t kAsFoundMark = 0x40000000u;
// Whether a block of a write-back of the copy ever reached a unit: the
// journal holds a block, not only line damage.
bool reachedAUnit(const std::vector<HeldBlock>& journal);

// A copy on the disk: a conversion, and the journal of its write-backs.
struct SavedCopy {
  std::string path;
  ConfigConversion conversion;
  std::vector<HeldBlock> journal;
};

// How the area on the unit relates to a copy.
enum class CopyMatch {
  None,       // not this copy's unit, or not a state its write-backs leave
  Untouched,  // exactly the readout: no block of a write-back changed the unit
  Partial,    // write-backs of it, each cut short somewhere (written again, to the same bytes)
  Complete,   // every block of its write-back in place
};

// Whether the first `bytes` bytes of `area` (from 0x4000) are exactly a state
// that write-backs of the copy leave, each begun at its first block and cut
// anywhere, any number of times: every block before the furthest as sent,
// every byte no such block writes as read, and the furthest block as it was,
// as sent, or sent in part (a unit that stores bytes as they arrive). A block
// may differ from what was sent only as the journal says the unit held it:
// its sum as reported, and no more than a line's damage from what was sent.
// Bytes the journal marks as line damage may hold anything, but never in a
// Complete match.
CopyMatch matchCopy(const SavedCopy& copy, const std::uint8_t* area, std::size_t bytes);

// Where copies are. New ones go to the PC's own folder, so that the next run
// finds them whichever account runs it (the account's folder where the system
// has no such folder); the account's folder is searched too, for the copies
// older versions left there.
struct CopyStore {
  std::string folder;                      // where copies are saved, searched first; empty: no folder
  std::vector<std::string> olderFolders;  // searched after it
};

// The copies on this PC, read once per run, in folder and name order.
struct SavedCopies {
  CopyStore store;
  std::vector<SavedCopy> copies;        // whole copies, of any release
  std::vector<std::string> unreadable;  // files named as copies that are not whole ones
};
SavedCopies readSavedCopies();

enum class CopySave {
  Saved,
  NoFolder,  // the system gives no folder for it
  Failed,    // could not be written (path: the file tried)
  Full,      // every name for this readout is taken (path: the folder)
};
// Claims a file of its own for `copy.conversion`, named after the readout
// (another run's file of the same readout is never replaced: the next name is
// taken), and writes it durably. Sets `copy.path` to the file, or to the folder.
CopySave saveCopy(const CopyStore& store, SavedCopy& copy);
constexpr int kMaxCopiesOfOneReadout = 99;

// Adds `entry` to the copy's journal (once) and rewrites the file durably. A
// file that cannot be written keeps the entry in memory only: the write-back
// goes on, as it would without a copy.
void journalBlock(SavedCopy& copy, HeldBlock entry);
// The same for several entries, with one rewrite of the file.
void journalEntries(SavedCopy& copy, const std::vector<HeldBlock>& entries);
// The words past the records that the copy's journal holds as first found, put into `area`.
void putBackAsFound(const SavedCopy& copy, ConfigImage& area);

// The copies a run removes once the unit's records are seen in place: its own,
// the one it wrote back, and the others that are this unit's.
struct CopiesToSettle {
  std::vector<std::string> paths;
};
void settleCopies(const CopiesToSettle& copies);

}  // namespace korrin
