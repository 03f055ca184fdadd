// A run of the updater against the simulated unit, in virtual time.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "app/updater.h"
#include "package/firmware_package.h"
#include "protocol/link.h"
#include "scenarios.h"
#include "unit_model.h"
#include "virtual_line.h"

namespace korrin::testing {

// A link open at `speed` to a unit already at that speed.
struct OpenLink {
  sim::UnitModel unit;
  sim::VirtualLine line{unit};
  Link link;
  explicit OpenLink(std::uint32_t speed = 14400) {
    tellUnit("B%06u", speed);
    link.port.open("COM1", speed);
    link.currentSpeed = link.requestedSpeed = speed;
  }
  // A command the unit took before the test, off the record.
  void tellUnit(const char* format, std::uint32_t value) {
    char command[16];
    std::snprintf(command, sizeof command, format, value);
    for (const char* c = command; *c; ++c) unit.receive(static_cast<std::uint8_t>(*c));
  }
};

struct VirtualRun {
  sim::UnitModel unit;
  sim::VirtualLine line{unit};
  int status = -1;

  // Runs the updater with these arguments (after the program name).
  int run(std::vector<const char*> arguments = {}, const FirmwarePackage& package = carriedPackage()) {
    arguments.insert(arguments.begin(), "korrin-update");
    status = runUpdater(static_cast<int>(arguments.size()), arguments.data(), package);
    return status;
  }
  std::string console() const { return line.console(); }
  std::string wire() const { return line.wire(); }
  double ms() const { return line.nowMs(); }
};

// When the PC began to send the first text that is exactly `marker`, else the
// first that contains it; -1 when none does.
inline sim::Ticks sentAt(const sim::VirtualLine& line, const std::string& marker) {
  for (const sim::Event& e : line.transcript)
    if (e.kind == sim::Event::ToUnit && e.data == marker) return e.at;
  return line.wireTime(marker);
}

// Whether the port was closed at the end.
inline bool portClosedAtEnd(const sim::VirtualLine& line) {
  for (auto e = line.transcript.rbegin(); e != line.transcript.rend(); ++e) {
    if (e->kind == sim::Event::Close) return true;
    if (e->kind == sim::Event::Open) return false;
  }
  return true;
}

// Bytes the PC sends in a normal start-up at 28800 baud, up to and including 'H'.
inline std::string startupWire() { return "E" "B028800" + std::string(21, 'E') + "GH"; }

inline const std::string& banner() {
  static const std::string text =
      "\n****************************************\n"
      "* Korrin    firmware update utility    *\n"
      "****************************************\n"
      "\nUpdater for firmware version 020904\n\n";
  return text;
}

}  // namespace korrin::testing
