// The interruption matrix: a converting update cut off at one point of one
// phase — the cable cut, the USB adapter pulled, the updater killed (or the PC
// losing power), or the operator's Ctrl-C — then, after the operator has put
// the unit back into update mode (it keeps its memory and listens at 9600
// again), a second run on a healthy line with the PC's files as the first run
// left them. Every row must end with the unit holding exactly the release's
// images and the records of one conversion. The table stands in the README;
// this test fails when a row changes, and prints the new table.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "harness.h"

#ifndef KORRIN_SOURCE_DIR
#error "KORRIN_SOURCE_DIR must name the source tree"
#endif

namespace korrin {
namespace {

// Where the first run is cut off: the start of the first PC text that contains
// `marker` in a clean run, plus `offsetMs` (into the block being sent).
struct Point {
  const char* name;
  const char* marker;
  double offsetMs;
};

const Point kPoints[] = {
    {"start-up, waiting for 'G'", "G", 1000},
    {"identification", "A008000L00e000C", 500},
    {"readout, block 0x4000", "A004000M", 20},
    {"readout, block 0x5D00", "A005D00M", 20},
    {"write-back, record 0, first block", "A004000D", 20},
    {"write-back, record 0, last block", "A004900D", 20},
    {"write-back, record 1, first block", "A0049D0D", 20},
    {"write-back, record 2, middle block", "A0057A0D", 20},
    {"write-back, record 3, first block", "A005D70D", 20},
    {"write-back, record 4, middle block", "A006B40D", 20},
    {"write-back, record 5, last block", "A007A10D", 20},
    {"closing steps", "V0T", 10},
    {"software, block 0x000000", "A000000D", 100},
    {"software, block 0x00C000", "A00C000D", 100},
    {"software, last block", "A01F000D", 20},
    {"hardware, block 0x040000", "A040000D", 100},
    {"hardware, block 0x056000", "A056000D", 100},
    {"hardware, last block", "A06C000D", 2},
    {"flash command", "JFLASHING", 1},
};

enum class How { CableCut, AdapterPulled, Killed, Stopped };
struct Kind {
  const char* name;
  How how;
};
const Kind kKinds[] = {
    {"cable cut", How::CableCut},
    {"adapter pulled", How::AdapterPulled},
    {"updater killed", How::Killed},
    {"operator's Ctrl-C", How::Stopped},
};

// How a run ended, in the operator's words.
std::string ending(const testing::VirtualRun& run, bool killed) {
  if (killed) return "killed";
  struct Ending {
    const char* text;
    const char* label;
  } const endings[] = {
      {"Korrin not in update mode", "E4"},
      {"Connection cannot be made", "E5"},
      {"Connection failed at check config", "E8"},
      {"Connection failed after check config", "E9"},
      {"no answer from the unit", "silent unit"},
      {" not confirmed after ", "block bound"},
      {"stopped working", "port lost"},
      {"operator's request", "stopped"},
      {"Firmware not updated", "E7"},
      {"Now flashing", "E10"},
  };
  const std::string shown = run.console();
  for (const Ending& e : endings)
    if (shown.find(e.text) != std::string::npos) return e.label;
  return "?";
}

std::string configNote(const std::string& console, bool flashed) {
  if (console.find("writing back the copy saved then") != std::string::npos) return ", config from the saved copy";
  if (console.find("already converted") != std::string::npos) return ", config already converted";
  if (console.find("no copy saved on this PC") != std::string::npos) return ", config NOT written";
  if (flashed && console.find("Reading config data") != std::string::npos) return ", config converted";
  return "";
}

struct Row {
  std::string point, kind, first, second, unit;
};

Row runRow(const Point& point, const Kind& kind, const testing::VirtualRun& clean) {
  const sim::Ticks sent = testing::sentAt(clean.line, point.marker);
  EXPECT_GE(sent, 0) << point.marker;
  const sim::Ticks at = sent + static_cast<sim::Ticks>(point.offsetMs * sim::kTicksPerMs);

  testing::VirtualRun first;
  sim::Expectation expect;
  EXPECT_TRUE(sim::setUpScenario("convert", carriedPackage(), first.unit, expect));
  switch (kind.how) {
    case How::CableCut: first.line.cutAt = at; break;
    case How::AdapterPulled: first.line.vanishAt = at; break;
    case How::Killed: first.line.killAt = at; break;
    case How::Stopped: first.line.stopAt = at; break;
  }
  bool killed = false;
  try {
    first.run();
  } catch (const sim::Killed&) {
    killed = true;
  }
  EXPECT_FALSE(first.line.hung);
  Row row{point.name, kind.name, ending(first, killed) + configNote(first.console(), first.unit.log().flashed), "-", ""};

  const sim::UnitModel* judged = &first.unit;
  testing::VirtualRun second;
  if (!first.unit.log().flashed) {
    // The same unit, back in update mode; the same PC.
    first.unit.reenterUpdateMode();
    first.unit.faults = sim::UnitFaults{};
    second.unit = first.unit;
    second.line.files = first.line.files;
    second.run();
    EXPECT_FALSE(second.line.hung);
    row.second = ending(second, false) + configNote(second.console(), second.unit.log().flashed);
    judged = &second.unit;
  }
  const sim::Verdict verdict = sim::judgeUnit(*judged, carriedPackage(), expect);
  row.unit = verdict.ok ? "exact images and records" : "WRONG: " + verdict.report;
  return row;
}

std::string table() {
  testing::VirtualRun clean;
  sim::Expectation expect;
  EXPECT_TRUE(sim::setUpScenario("convert", carriedPackage(), clean.unit, expect));
  clean.run();

  std::ostringstream out;
  out << "| Cut off at | How | First run ends | Second run ends | Unit after the runs |\n";
  out << "|---|---|---|---|---|\n";
  for (const Point& point : kPoints) {
    for (const Kind& kind : kKinds) {
      const Row r = runRow(point, kind, clean);
      out << "| " << r.point << " | " << r.kind << " | " << r.first << " | " << r.second << " | " << r.unit
          << " |\n";
    }
  }
  return out.str();
}

TEST(InterruptionMatrixTest, ReadmeTableIsCurrent) {
  const std::string current = table();
  EXPECT_EQ(current.find("WRONG"), std::string::npos) << "an interruption cost the unit its update:\n" << current;

  std::ifstream readme(std::string(KORRIN_SOURCE_DIR) + "/README.md");
  std::stringstream text;
  text << readme.rdbuf();
  const std::string doc = text.str();
  const std::string begin = "<!-- interruption-matrix:begin -->\n", end = "<!-- interruption-matrix:end -->";
  const std::size_t from = doc.find(begin), to = doc.find(end);
  ASSERT_NE(from, std::string::npos) << "README.md has no interruption matrix section; it should read:\n" << current;
  ASSERT_NE(to, std::string::npos);
  EXPECT_EQ(doc.substr(from + begin.size(), to - from - begin.size()), current)
      << "The interruption matrix changed. Review, then put this table into README.md:\n" << current;
}

}  // namespace
}  // namespace korrin
