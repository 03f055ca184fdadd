#include "package/identify.h"

#include <string>

#include "platform/console.h"

namespace korrin {

std::uint32_t findUnitRow(const FirmwarePackage& package, std::uint32_t sum) {
  for (std::uint32_t row = 0; row < kUnitTableRows; ++row)
    if (package.unitTable->sum[row] == sum) return row;
  return kUnitTableRows;
}

const char* paddedModelName(std::uint32_t isPro) { return isPro ? "KorrinPro" : "Korrin   "; }
const char* plainModelName(std::uint32_t isPro) { return isPro ? "KorrinPro" : "Korrin"; }

Identification identifyUnit(Link& link, const FirmwarePackage& package) {
  const std::uint32_t packageModel = static_cast<std::uint32_t>(package.packageIsPro);
  consolePrint("\nChecking version..\n");
  sendText("A008000", link.port);
  sendText("L00e000", link.port);
  const int length = requestChecksum(link, kIdentWaitMs);
  if (length > 0 && length < kIdentReplyLength) {
    // A short reply may be a whole one without leading zeros, or the start of
    // one cut off by the wait: "CS=00" of "CS=004C3260" would read as 0 and
    // match the placeholder row. Only a reply that repeats is believed.
    const std::string first = link.reply.text;
    drainInput(link.port);
    requestChecksum(link, kIdentWaitMs);
    if (first != link.reply.text) link.reply.text[0] = '\0';
  }

  if (link.port.lost()) return {IdentifyEnd::kLineLost, kUnitTableRows};

  std::uint32_t unitChecksum = kNoChecksumShown;
  // A reply that does not parse matches no row, not even a placeholder row of sum 0.
  const bool parsed = parseChecksum(link.reply.text, unitChecksum);
  const std::uint32_t row = parsed ? findUnitRow(package, unitChecksum) : kUnitTableRows;

  if (row < kUnitTableRows) {
    const UnitEntry entry = unitEntry(package, row);
    if (entry.id == packageModel && compareRevision(entry.rev, package.packageRevision) <= 0) {
      consolePrint("Unit confirmed as %s with firmware rev %06x.\nUpdate proceeding..\n\n",
                   paddedModelName(packageModel), entry.rev);
      return {IdentifyEnd::kGoOn, row};
    }
    if (entry.id != packageModel) {
      consolePrint("Unit ID's as %s, but this firmware is for a %s (ind:%u)\n", paddedModelName(entry.id),
                   paddedModelName(packageModel), row);
      return {IdentifyEnd::kWrongModel, row};
    }
  }

  consolePrint("Could not confirm unit ID (csum=%x)\n", unitChecksum);
  consolePrint("Are you sure you want to run update for %s rev %06x (y/n)", plainModelName(packageModel),
               package.packageRevision);
  const int key = consoleKey();
  if (key != 'y' && key != 'Y') return {IdentifyEnd::kRefused, row};
  consolePrint("\nUpdate proceeding..\n\n");
  return {IdentifyEnd::kGoOn, row};
}

}  // namespace korrin
