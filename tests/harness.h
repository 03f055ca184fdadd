// Runs of the updater against the simulated unit in virtual time, and what the
// tests read from them: the console, the wire, the unit's verdict.
#pragma once

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/updater.h"
#include "package/firmware_package.h"
#include "protocol/link.h"
#include "scenarios.h"
#include "unit_model.h"
#include "virtual_line.h"

namespace korrin::testing {

const std::string kPrompt = "\nPress a key to exit program";
// What a run that flashes shows from the check of what the unit holds on.
const std::string kFinalTexts =
    "\nChecking the update on the unit.."
    "\nNow flashing\n"
    "\nDO NOT SHUT OFF UNIT. Wait for unit to turn itself off or"
    "\nrequest you to disconnect and reconnect power."
    "\nAlso, if you've waited over 3 minutes disconnect and reconnect power."
    "\nYou can then turn it back on"
    "\nWhen powered back up you can check sw rev by pressing \"menu\",0,6,0,5\n";
const std::string kBanner =
    "\n****************************************\n"
    "* Korrin    firmware update utility    *\n"
    "****************************************\n"
    "\nUpdater for firmware version 020904\n\n";
// What the PC sends in a normal start-up at 28800 baud, up to and including 'H'.
const std::string kStartupWire = "EB028800" + std::string(21, 'E') + "GH";

// A link open at `speed` to a unit already at that speed.
struct OpenLink {
  sim::UnitModel unit;
  sim::VirtualLine line{unit};
  Link link;
  explicit OpenLink(std::uint32_t speed = 14400) {
    char command[16];  // the speed command the unit took before the test, off the record
    std::snprintf(command, sizeof command, "B%06u", speed);
    for (const char* c = command; *c; ++c) unit.receive(static_cast<std::uint8_t>(*c));
    link.port.open("COM1", speed);
    link.currentSpeed = link.requestedSpeed = speed;
  }
};

// A whole run. Given a scenario, the unit is set up for it and can be judged
// after. Its line is the system's from its making on: make one run at a time.
struct VirtualRun {
  sim::UnitModel unit;
  sim::VirtualLine line{unit};
  sim::Expectation expect;
  int status = -1;
  bool killed = false;  // the updater died at line.killAt

  VirtualRun() = default;
  explicit VirtualRun(const char* scenario) { sim::setUpScenario(scenario, carriedPackage(), unit, expect); }
  int run(std::vector<const char*> arguments = {}, const FirmwarePackage& package = carriedPackage()) {
    arguments.insert(arguments.begin(), "korrin-update");
    try {
      status = runUpdater(static_cast<int>(arguments.size()), arguments.data(), package);
    } catch (const sim::Killed&) {
      killed = true;
    }
    checkWholeRun();
    return status;
  }
  // What every run keeps, however it ends: no read waits for bytes that never
  // come; the run's resources (the fine tick, the stops, the PC kept awake, the
  // title) are held whenever the port is used and given back once, after the
  // last key, which only the port's release follows; a lost port gets no call
  // after the one that failed (the line keeps the last failure, the console
  // shows the first).
  void checkWholeRun() const {
    EXPECT_FALSE(line.hung);
    if (killed) return;
    EXPECT_FALSE(line.portUsedUnheld) << "the PC free to sleep while the updater worked with the unit";
    EXPECT_EQ(line.resourcesTaken, 1);
    EXPECT_EQ(line.resourcesGivenBack, 1);
    EXPECT_EQ(line.keysBeforeGivenBack, line.keysRead()) << "given back before the last key";
    const auto& events = line.transcript;
    const auto key =
        std::find_if(events.rbegin(), events.rend(), [](const sim::Event& e) { return e.kind == sim::Event::Key; });
    EXPECT_TRUE(std::all_of(events.rbegin(), key, [](const sim::Event& e) { return e.kind == sim::Event::Close; }))
        << "after the key only the port is released";
    EXPECT_TRUE(console().find("stopped working") == std::string::npos ||
                console().find("(" + line.failure + ")\n") != std::string::npos)
        << "called after the loss: " << line.failure;
  }
  std::string console() const { return line.console(); }
  std::string wire() const { return line.wire(); }
  sim::Verdict verdict(const FirmwarePackage& package = carriedPackage()) const {
    return sim::judgeUnit(unit, package, expect);
  }
};

// A Pro release of this date, and a Pro unit for it: table row `row`, its
// records as `records` makes them, to be converted to the Pro layout.
inline const FirmwarePackage& proRelease() {
  static const FirmwarePackage pro = [] {
    FirmwarePackage release = carriedPackage();
    release.packageIsPro = 1;
    return release;
  }();
  return pro;
}
inline void setUpProUnit(VirtualRun& run, std::uint32_t row, const sim::ConfigAreaSetup& records) {
  sim::setIdentificationSum(run.unit.memory(), proRelease().unitTable->sum[row]);
  sim::fillConfigArea(run.unit.memory(), records);
  run.expect.hardware = true;
  run.expect.configFrom = records.layout;
  run.expect.configTo = sim::RecordLayout::Pro;
  run.expect.memoryBefore = run.unit.memory();
}

// The same unit put back into update mode after `before`, with `faults`
// (none by default), run again on the same PC (its saved files as `before`
// left them).
inline void runAgain(VirtualRun& next, VirtualRun& before, const std::string& keys = "",
                     const FirmwarePackage& package = carriedPackage(), const sim::UnitFaults& faults = {}) {
  before.unit.reenterUpdateMode();
  before.unit.faults = faults;
  next.unit = before.unit;
  next.line.files = before.line.files;
  next.line.keys = keys;
  next.run({}, package);
}

// Where `text` first begins among the bytes the unit hears in a clean run of
// `scenario`: the index a line error of sim::UnitFaults names.
inline std::uint64_t heardAt(const char* scenario, const std::string& text) {
  VirtualRun run(scenario);
  run.run();
  std::string heard;
  for (const sim::Event& e : run.line.transcript)
    if (e.kind == sim::Event::ToUnit && !e.lost) heard += e.data;
  return heard.find(text);
}

// When the PC began to send the first text that is exactly `marker`, else the
// first that contains it; -1 when none does.
inline sim::Ticks sentAt(const sim::VirtualLine& line, const std::string& marker) {
  for (const sim::Event& e : line.transcript)
    if (e.kind == sim::Event::ToUnit && e.data == marker) return e.at;
  return line.wireTime(marker);
}

inline std::string tailOf(const std::string& text, std::size_t length) {
  return text.substr(text.size() - std::min(length, text.size()));
}

inline std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// How a run ended, in the operator's words: the short label of the
// interruption matrix, or the long one of the fault matrix.
inline std::string ending(const VirtualRun& run, bool longLabel) {
  if (run.killed) return "killed";
  const char* const endings[][3] = {
      {"Korrin not in update mode", "E4", "E4 not in update mode"},
      {"Connection cannot be made", "E5", "E5 no line speed"},
      {"Connection failed at check config", "E8", "E8 at check config"},
      {"Connection failed after check config", "E9", "E9 after check config"},
      {"no answer from the unit", "silent unit", "silent unit"},
      {" not confirmed after ", "block bound", "block bound, not flashed"},
      {"stopped working", "port lost", "port lost"},
      {"operator's request", "stopped", "stopped"},
      {" after 4 checks", "not held", "not held, not flashed"},
      {"did not answer a memory sum", "no memory sum", "no memory sum, not flashed"},
      {"overwritten by a line error", "records overwritten", "records overwritten, not flashed"},
      {"Firmware not updated", "E7", "E7 refused"},
      {"Now flashing", "E10", "E10 flashed"},
  };
  for (const auto& [text, label, longer] : endings)
    if (run.console().find(text) != std::string::npos) return longLabel ? longer : label;
  return "?";
}

// The table of docs/measurements.md between <!-- name:begin --> and <!-- name:end -->, or "(missing)".
inline std::string readmeTable(const std::string& name) {
  std::ifstream file(std::string(KORRIN_SOURCE_DIR) + "/docs/measurements.md");
  std::stringstream text;
  text << file.rdbuf();
  const std::string doc = text.str(), begin = "<!-- " + name + ":begin -->\n", end = "<!-- " + name + ":end -->";
  const std::size_t from = doc.find(begin), to = doc.find(end);
  if (from == std::string::npos || to == std::string::npos) return "(missing)";
  return doc.substr(from + begin.size(), to - from - begin.size());
}

}  // namespace korrin::testing
