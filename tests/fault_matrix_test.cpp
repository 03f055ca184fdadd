// The fault matrix: every reply of the protocol lost, cut short, garbled or
// delayed past its wait, and line noise that damages blocks, in each phase of
// a full update with conversion and hardware image. For each: how the run ends
// and what the unit holds. The table stands in the README; this test fails when
// a row changes, and prints the new table.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "harness.h"

#ifndef KORRIN_SOURCE_DIR
#error "KORRIN_SOURCE_DIR must name the source tree"
#endif

namespace korrin {
namespace {

// Reply numbers, counted per command letter from 0, in the "convert" run at 28800 baud.
struct Phase {
  const char* name;
  char command;
  std::uint32_t reply;     // one reply in the middle of the phase
  std::uint32_t waitMs;    // the command's fixed wait before its reply is read
  std::uint32_t blockFrom, blockTo;  // unit addresses of the phase's blocks, for noise
  std::uint32_t blockLength;
};

const Phase kPhases[] = {
    {"start-up, 'E' at 9600", 'E', 0, 0, 0, 0, 0},
    {"start-up, burst replies", 'E', 5, 0, 0, 0, 0},
    {"start-up, check at 28800", 'E', 21, 0, 0, 0, 0},
    {"start-up, 'G'", 'G', 0, 2000, 0, 0, 0},
    {"start-up, 'H'", 'H', 0, 2000, 0, 0, 0},
    {"identification 'C'", 'C', 0, 1000, 0, 0, 0},
    {"cap to 14400, 'E'", 'E', 22, 0, 0, 0, 0},
    {"readout, 'M' data", 'M', 100, 0, 0x4000, 0x7AE0, 64},
    {"readout, 'C'", 'C', 100, 0, 0x4000, 0x7AE0, 64},
    {"write-back, 'C'", 'C', 260, 0, 0x4000, 0x7AE0, 256},
    {"closing steps, 'E'", 'E', 23, 0, 0, 0, 0},
    {"return to 28800, 'E'", 'E', 24, 0, 0, 0, 0},
    {"download, 'E'", 'E', 25, 0, 0, 0, 0},
    {"software, 'C'", 'C', 350, 0, 0x8000, 0x1F0D2, 1024},
    {"hardware, 'C'", 'C', 500, 0, 0x40000, 0x6C01E, 1024},
};

// Where the phase's blocks start; the write-back's records are 2512 bytes apart.
std::vector<std::uint32_t> blockAddresses(const Phase& phase) {
  std::vector<std::uint32_t> addresses;
  if (phase.blockLength == 256) {
    for (std::uint32_t k = 0; k < 6; ++k)
      for (std::uint32_t offset = 0; offset < 2512; offset += 256) addresses.push_back(0x4000 + k * 2512 + offset);
  } else {
    for (std::uint32_t a = phase.blockFrom; a < phase.blockTo; a += phase.blockLength) addresses.push_back(a);
  }
  return addresses;
}

struct Fault {
  const char* name;
  sim::ReplyFault kind;
};
const Fault kFaults[] = {
    {"lost", sim::ReplyFault::Lose},
    {"cut short", sim::ReplyFault::CutShort},
    {"garbled", sim::ReplyFault::Garble},
    {"delayed past its wait", sim::ReplyFault::Delay},
};

// How the run ended, in the operator's words.
std::string ending(const testing::VirtualRun& run) {
  const std::string shown = run.console();
  struct Ending {
    const char* text;
    const char* label;
  } const endings[] = {
      {"Korrin not in update mode", "E4 not in update mode"},
      {"Connection cannot be made", "E5 no line speed"},
      {"Connection failed at check config", "E8 at check config"},
      {"Connection failed after check config", "E9 after check config"},
      {" not confirmed after ", "block bound, not flashed"},
      {"Firmware not updated", "E7 refused"},
      {"Now flashing", "E10 flashed"},
  };
  for (const Ending& e : endings)
    if (shown.find(e.text) != std::string::npos) return e.label;
  return "?";
}

std::string notices(const std::string& shown) {
  std::ostringstream out;
  std::size_t fallbacks = 0, retries = 0, questions = 0;
  for (std::size_t at = shown.find("speed not working"); at != std::string::npos; at = shown.find("speed not working", at + 1)) ++fallbacks;
  for (const char* mark : {"Retry#", "cs err", "Re43", "Info: ret"})
    for (std::size_t at = shown.find(mark); at != std::string::npos; at = shown.find(mark, at + 1)) ++retries;
  questions = shown.find("(y/n)") != std::string::npos;
  // "+" marks in the readout: count those between the readout's start and its dots' end.
  const std::size_t reading = shown.find("Reading config data..\n");
  if (reading != std::string::npos)
    for (std::size_t i = reading + 22; i < shown.size() && (shown[i] == '.' || shown[i] == '+'); ++i) retries += shown[i] == '+';
  if (fallbacks) out << fallbacks << " speed step(s) down; ";
  if (questions) out << "operator asked; ";
  if (retries) out << retries << " repeat notice(s); ";
  std::string text = out.str();
  if (!text.empty()) text.resize(text.size() - 2);
  return text.empty() ? "-" : text;
}

struct Row {
  std::string phase, fault, ends, notices, unit, seconds;
};

Row runRow(const std::string& phase, const std::string& fault, const std::function<void(sim::UnitModel&)>& inject) {
  testing::VirtualRun run;
  sim::Expectation expect;
  EXPECT_TRUE(sim::setUpScenario("convert", carriedPackage(), run.unit, expect));
  run.line.keys = "y";  // an operator who is asked says yes
  inject(run.unit);
  run.run();
  EXPECT_FALSE(run.line.hung) << phase << " / " << fault;
  const bool flashed = run.unit.log().flashed;
  sim::Expectation judged = expect;
  judged.flashed = flashed;
  const sim::Verdict verdict = sim::judgeUnit(run.unit, carriedPackage(), judged);
  std::string unit = flashed ? (verdict.ok ? "exact images and records" : "WRONG: " + verdict.report)
                             : (verdict.ok ? "not flashed" : "WRONG: " + verdict.report);
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", run.ms() / 1000);
  return {phase, fault, ending(run), notices(run.console()), unit, seconds};
}

std::string table() {
  std::vector<Row> rows;
  rows.push_back(runRow("(none)", "(none)", [](sim::UnitModel&) {}));
  for (const Phase& phase : kPhases) {
    for (const Fault& fault : kFaults) {
      rows.push_back(runRow(phase.name, fault.name, [&](sim::UnitModel& unit) {
        // Late enough to miss the whole wait: the fixed wait plus the 320 ms of polls.
        const std::uint32_t delay = phase.waitMs + 400;
        unit.faults.replies.push_back({phase.command, phase.reply, 1, fault.kind, delay});
      }));
    }
    if (phase.blockLength == 0 || phase.command == 'M') continue;
    for (const std::uint32_t perMille : {100u, 300u}) {
      rows.push_back(runRow(phase.name[0] == 'r' && phase.blockLength == 64 ? "readout blocks"
                            : phase.blockLength == 256                       ? "write-back blocks"
                            : phase.blockFrom == 0x8000                      ? "software blocks"
                                                                             : "hardware blocks",
                            "noise damages " + std::to_string(perMille / 10) + "% of blocks", [&](sim::UnitModel& unit) {
                              std::uint32_t state = perMille;
                              for (std::uint32_t a : blockAddresses(phase)) {
                                state = state * 1103515245u + 12345u;
                                if ((state >> 16) % 1000 >= perMille) continue;
                                const std::uint32_t times = 1 + (state >> 8) % 3;
                                if (phase.blockLength == 64) {
                                  unit.faults.corruptReads[a] = times;
                                } else {
                                  unit.faults.corruptWrites[a] = times;
                                }
                              }
                            }));
    }
  }
  // A checksum reply that comes after its wait, then the block's repeat
  // damaged on the line: the late reply must not confirm the damaged repeat.
  struct LateBlock {
    const char* phase;
    std::uint32_t address;
  } const lateBlocks[] = {{"readout block 0x5000", 0x5000},
                          {"write-back block 0x0054A0", 0x54A0},
                          {"software block 0x00C000", 0xC000},
                          {"hardware block 0x050000", 0x50000}};
  for (const LateBlock& block : lateBlocks) {
    for (const std::uint32_t lateMs : {500u, 1000u, 2000u}) {
      char fault[80];
      std::snprintf(fault, sizeof fault, "checksum reply %.1f s late, repeat damaged", lateMs / 1000.0);
      rows.push_back(runRow(block.phase, fault, [&](sim::UnitModel& unit) {
        unit.faults.lateChecksum[block.address] = lateMs;
        unit.faults.damagedTransfer[block.address] = 1;
      }));
    }
  }
  rows.push_back(runRow("software block 0x00C000", "damaged on every attempt",
                        [](sim::UnitModel& unit) { unit.faults.corruptWrites[0x00C000] = 1000; }));
  rows.push_back(runRow("whole run", "noise damages 5% of all blocks", [](sim::UnitModel& unit) {
    unit.faults.noisePerMille = 50;
    unit.faults.noiseSeed = 7;
  }));

  std::ostringstream out;
  out << "| Phase | Reply fault | Run ends | Notices | Unit after the run | Virtual s |\n";
  out << "|---|---|---|---|---|---|\n";
  for (const Row& r : rows)
    out << "| " << r.phase << " | " << r.fault << " | " << r.ends << " | " << r.notices << " | " << r.unit << " | "
        << r.seconds << " |\n";
  return out.str();
}

TEST(FaultMatrixTest, ReadmeTableIsCurrent) {
  const std::string current = table();
  EXPECT_EQ(current.find("WRONG"), std::string::npos) << "a fault left the unit flashed wrongly:\n" << current;

  std::ifstream readme(std::string(KORRIN_SOURCE_DIR) + "/README.md");
  std::stringstream text;
  text << readme.rdbuf();
  const std::string doc = text.str();
  const std::string begin = "<!-- fault-matrix:begin -->\n", end = "<!-- fault-matrix:end -->";
  const std::size_t from = doc.find(begin), to = doc.find(end);
  ASSERT_NE(from, std::string::npos) << "README.md has no fault matrix section; it should read:\n" << current;
  ASSERT_NE(to, std::string::npos);
  EXPECT_EQ(doc.substr(from + begin.size(), to - from - begin.size()), current)
      << "The fault matrix changed. Review, then put this table into README.md:\n" << current;
}

}  // namespace
}  // namespace korrin
