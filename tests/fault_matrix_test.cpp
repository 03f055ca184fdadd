// The fault matrix: every reply of the protocol lost, cut short, garbled or
// delayed past its wait, and line noise that damages blocks, in each phase of
// a full update with conversion and hardware image. The table stands in the
// README; this test fails when a row changes, and prints the new table.
#include <gtest/gtest.h>

#include <functional>

#include "harness.h"

namespace korrin {
namespace {

// Reply numbers, counted per command letter from 0, in the "convert" run at 28800 baud.
struct Phase {
  const char* name;
  char command;
  std::uint32_t reply;   // one reply in the middle of the phase
  std::uint32_t waitMs;  // the command's fixed wait before its reply is read
  const char* noise;     // its blocks, when noise on them makes rows of their own
  std::uint32_t blockFrom, blockTo, blockLength;
};

const Phase kPhases[] = {
    {"start-up, 'E' at 9600", 'E', 0, 0, nullptr, 0, 0, 0},
    {"start-up, burst replies", 'E', 5, 0, nullptr, 0, 0, 0},
    {"start-up, check at 28800", 'E', 21, 0, nullptr, 0, 0, 0},
    {"start-up, 'G'", 'G', 0, 2000, nullptr, 0, 0, 0},
    {"start-up, 'H'", 'H', 0, 2000, nullptr, 0, 0, 0},
    {"identification 'C'", 'C', 0, 1000, nullptr, 0, 0, 0},
    {"cap to 14400, 'E'", 'E', 22, 0, nullptr, 0, 0, 0},
    {"readout, 'M' data", 'M', 100, 0, nullptr, 0, 0, 0},
    {"readout, 'C'", 'C', 100, 0, "readout blocks", 0x4000, 0x7AE0, 64},
    {"write-back, 'C'", 'C', 260, 0, "write-back blocks", 0x4000, 0x7AE0, 256},
    {"closing steps, 'E'", 'E', 23, 0, nullptr, 0, 0, 0},
    {"return to 28800, 'E'", 'E', 24, 0, nullptr, 0, 0, 0},
    {"download, 'E'", 'E', 25, 0, nullptr, 0, 0, 0},
    {"software, 'C'", 'C', 350, 0, "software blocks", 0x8000, 0x1F0D2, 1024},
    {"hardware, 'C'", 'C', 500, 0, "hardware blocks", 0x40000, 0x6C01E, 1024},
};

const std::pair<const char*, sim::ReplyFault> kFaults[] = {
    {"lost", sim::ReplyFault::Lose},
    {"cut short", sim::ReplyFault::CutShort},
    {"garbled", sim::ReplyFault::Garble},
    {"delayed past its wait", sim::ReplyFault::Delay},
};

// Where the phase's blocks start; the write-back's records are 2512 bytes apart.
std::vector<std::uint32_t> blockAddresses(const Phase& phase) {
  std::vector<std::uint32_t> addresses;
  for (std::uint32_t a = phase.blockFrom; a < phase.blockTo; a += phase.blockLength) {
    if (phase.blockLength != 256) addresses.push_back(a);
  }
  for (std::uint32_t k = 0; phase.blockLength == 256 && k < 6; ++k)
    for (std::uint32_t offset = 0; offset < 2512; offset += 256) addresses.push_back(0x4000 + k * 2512 + offset);
  return addresses;
}

std::string notices(const std::string& shown) {
  const std::size_t fallbacks = testing::count(shown, "speed not working");
  std::size_t retries = 0;
  for (const char* mark : {"Retry#", "cs err", "Re43", "Info: ret"}) retries += testing::count(shown, mark);
  // "+" marks among the readout's dots.
  const std::size_t reading = shown.find("Reading config data..\n");
  for (std::size_t i = reading + 22; reading != std::string::npos && i < shown.size() &&
                                     (shown[i] == '.' || shown[i] == '+'); ++i)
    retries += shown[i] == '+';
  std::string text;
  if (fallbacks) text += std::to_string(fallbacks) + " speed step(s) down; ";
  if (shown.find("(y/n)") != std::string::npos) text += "operator asked; ";
  if (retries) text += std::to_string(retries) + " repeat notice(s); ";
  return text.empty() ? "-" : text.substr(0, text.size() - 2);
}

std::string row(const std::string& phase, const std::string& fault, const std::function<void(sim::UnitModel&)>& inject) {
  testing::VirtualRun run("convert");
  run.line.keys = "y";  // an operator who is asked says yes
  inject(run.unit);
  run.run();
  EXPECT_FALSE(run.line.hung) << phase << " / " << fault;
  run.expect.flashed = run.unit.log().flashed;
  const sim::Verdict verdict = run.verdict();
  const std::string unit = !verdict.ok ? "WRONG: " + verdict.report
                           : run.expect.flashed ? "exact images and records" : "not flashed";
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", run.line.nowMs() / 1000);
  return "| " + phase + " | " + fault + " | " + testing::ending(run, true) + " | " + notices(run.console()) + " | " +
         unit + " | " + seconds + " |\n";
}

std::string table() {
  std::string out = "| Phase | Reply fault | Run ends | Notices | Unit after the run | Virtual s |\n|---|---|---|---|---|---|\n";
  out += row("(none)", "(none)", [](sim::UnitModel&) {});
  for (const Phase& phase : kPhases) {
    for (const auto& [name, kind] : kFaults) {
      out += row(phase.name, name, [&, kind = kind](sim::UnitModel& unit) {
        // Late enough to miss the whole wait: the fixed wait plus the 320 ms of polls.
        unit.faults.replies.push_back({phase.command, phase.reply, 1, kind, phase.waitMs + 400});
      });
    }
    for (const std::uint32_t perMille : {20u, 50u}) {
      if (phase.noise == nullptr || phase.command != 'C') break;
      out += row(phase.name, std::to_string(perMille / 10) + "% of replies lost", [&](sim::UnitModel& unit) {
        unit.faults.checksumLossPerMille = perMille;
        unit.faults.lossFrom = phase.blockFrom;
        unit.faults.lossTo = phase.blockTo;
        unit.faults.lossAfter = phase.blockLength == 64 ? 'M' : 'D';
      });
    }
    for (const std::uint32_t perMille : {100u, 300u}) {
      if (phase.noise == nullptr) break;
      out += row(phase.noise, "noise damages " + std::to_string(perMille / 10) + "% of blocks", [&](sim::UnitModel& unit) {
        std::uint32_t state = perMille;
        for (std::uint32_t a : blockAddresses(phase)) {
          state = state * 1103515245u + 12345u;
          if ((state >> 16) % 1000 >= perMille) continue;
          (phase.blockLength == 64 ? unit.faults.corruptReads : unit.faults.corruptWrites)[a] = 1 + (state >> 8) % 3;
        }
      });
    }
  }
  // A checksum reply that comes after its wait, then the block's repeat
  // damaged on the line: the late reply must not confirm the damaged repeat.
  const std::pair<const char*, std::uint32_t> lateBlocks[] = {{"readout block 0x5000", 0x5000},
                                                              {"write-back block 0x0054A0", 0x54A0},
                                                              {"software block 0x00C000", 0xC000},
                                                              {"hardware block 0x050000", 0x50000}};
  for (const auto& [phase, address] : lateBlocks) {
    for (const std::uint32_t lateMs : {500u, 1000u, 2000u}) {
      char fault[80];
      std::snprintf(fault, sizeof fault, "checksum reply %.1f s late, repeat damaged", lateMs / 1000.0);
      out += row(phase, fault, [&, address = address](sim::UnitModel& unit) {
        unit.faults.lateChecksum[address] = lateMs;
        unit.faults.damagedTransfer[address] = 1;
      });
    }
  }
  out += row("software block 0x00C000", "damaged on every attempt",
             [](sim::UnitModel& unit) { unit.faults.corruptWrites[0x00C000] = 1000; });
  out += row("whole run", "noise damages 5% of all blocks", [](sim::UnitModel& unit) {
    unit.faults.noisePerMille = 50;
    unit.faults.noiseSeed = 7;
  });
  return out;
}

TEST(FaultMatrixTest, ReadmeTableIsCurrent) {
  const std::string current = table();
  EXPECT_EQ(current.find("WRONG"), std::string::npos) << "a fault left the unit flashed wrongly:\n" << current;
  EXPECT_EQ(testing::readmeTable("fault-matrix"), current)
      << "The fault matrix changed. Review, then put this table into README.md:\n" << current;
}

}  // namespace
}  // namespace korrin
