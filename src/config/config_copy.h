// Saved copies of a unit's configuration on the PC. Converted records are
// longer than the old ones, so writing record k overwrites the start of old
// record k+1: once the write-back has begun, the unit alone no longer holds
// what one conversion needs. Before the first block is written, the readout
// and the converted records are saved on the disk; a run that finds an area
// some write-back left half done writes the saved records again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/config_record.h"
#include "package/firmware_package.h"

namespace korrin {

// One copy: what the unit held and what one conversion of it gives.
struct ConfigCopy {
  RevisionCode packageRevision = 0;
  std::int32_t packageIsPro = 0;
  ConfigMode mode = ConfigMode::None;
  std::size_t targetSize = 0;
  ConfigImage readout;    // the area as read, kConfigReadoutBytes
  ConfigImage converted;  // six records of targetSize
};

// How the area on the unit relates to a copy.
enum class CopyMatch {
  None,         // not this copy's unit, or not a state its write-back passes through
  Untouched,    // exactly the readout: no block of the write-back reached the unit
  Partial,      // the write-back was cut short, or not (it is written again, to the same bytes)
};

// Whether the first `bytes` bytes of `area` (from 0x4000) are a state that
// write-backs of the copy leave when cut short, any number of times (a restore
// cut too): every byte past the furthest block reached as read, every block
// before it as sent or damaged on the line (a few bytes wrong), the furthest
// block anything. Until the area shows bytes of the conversion, differences
// from the readout are another unit's: the furthest block must then show them.
CopyMatch matchCopy(const ConfigCopy& copy, const std::uint8_t* area, std::size_t bytes);

// The copies saved on this PC, by name. A copy is kept from just before the
// write-back until a write-back of it has completed. New copies go to the
// PC's own folder, so that the next run finds them whichever account runs it
// (the account's folder where the system has no such folder); the account's
// folder is searched too, for the copies older versions left there.
struct CopyStore {
  std::string folder;                      // where copies are saved, searched first; empty: no folder
  std::vector<std::string> olderFolders;  // searched after it
};
CopyStore openCopyStore();

// Writes the copy durably, owner-only, in a file of its own named after the
// readout it holds (a second unit with the same readout gets a second file).
// False (and nothing changed) when it could not be saved; `path` is set either way.
bool saveCopy(const CopyStore& store, const ConfigCopy& copy, std::string& path);
// The first copy made for this package and mode whose state matches the first
// `bytes` of `area` (Untouched counts: the same readout). Files that are not
// whole copies are passed over. Match None when there is none.
CopyMatch findCopy(const CopyStore& store, const FirmwarePackage& package, ConfigMode mode, const std::uint8_t* area,
                   std::size_t bytes, ConfigCopy& copy, std::string& path);
// As findCopy, over every mode that can apply to this package.
CopyMatch findCopyAnyMode(const CopyStore& store, const FirmwarePackage& package, const std::uint8_t* area,
                          std::size_t bytes, ConfigCopy& copy, std::string& path);
void removeCopy(const std::string& path);

}  // namespace korrin
