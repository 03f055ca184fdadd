// korrin-bench: what an update costs.
//
// For each scenario: the protocol's own duration on a real line, phase by
// phase, from a virtual-time run with both directions paced; then the
// updater's overhead, measured for real: korrin-update against korrin-unit-sim
// on a pseudo-terminal, compared with a virtual-time run under the same
// condition (a pty delivers the PC's bytes at once, the unit's at its line
// speed), with the updater's CPU time and peak memory. Also the same updates
// through a USB adapter, where each write call costs a USB transfer: as the
// updater writes now (one write per exchange) and as it wrote before (one per
// byte), against the UART.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/updater.h"
#include "scenarios.h"
#include "virtual_line.h"

namespace {

struct Phase {
  const char* name;
  double ms;
};

struct VirtualResult {
  double totalMs;
  std::vector<Phase> phases;
  bool ok;
  long writeCalls;
};

// How the PC's bytes reach the line. The defaults are a UART.
struct Adapter {
  std::size_t bufferBytes = 0;
  sim::Ticks perWriteCall = 0;
  bool oneWritePerByte = false;
};

// A unit that sums 57344 bytes (the identification window) in the full
// 1000 ms the identification allows it, and any range at that rate; the
// simulated unit otherwise answers a sum at once.
void sumsTakeTheirTime(sim::UnitModel& unit) {
  unit.faults.replyHook = [&unit](char command, std::string&, std::uint32_t& delayMs) {
    if (command == 'C') delayMs += static_cast<std::uint32_t>(1000ull * unit.lengthRegister() / 0xE000);
  };
}

constexpr std::size_t kUsbBufferBytes = 256;  // between a CP210x's 640 and the 16 of a UART's FIFO

// Phase boundaries are the console texts that open each phase; the readout and
// the write-back end with their 14th and 6th dots.
std::vector<Phase> phasesOf(const sim::VirtualLine& line) {
  std::vector<std::pair<const char*, sim::Ticks>> marks;
  int readoutDots = -1, writeBackDots = -1;
  sim::Ticks readoutEnd = -1, writeBackEnd = -1;
  for (const sim::Event& e : line.transcript) {
    if (e.kind != sim::Event::Console) continue;
    auto opens = [&](const char* text, const char* phase) {
      if (e.data.find(text) != std::string::npos) marks.emplace_back(phase, e.at);
    };
    opens("\nChecking version..", "identification");
    opens("Update proceeding..", "configuration: cap and check");
    opens("Reading config data..", "configuration: readout");
    opens("\nSending SW update..", "software");
    opens("\nSending HW update..", "hardware");
    opens("\nChecking the update on the unit..", "check before the flash");
    opens("\nNow flashing", "flash and instructions");
    if (e.data.find("Reading config data..") != std::string::npos) readoutDots = 0;
    if (e.data == "." && readoutDots >= 0 && readoutDots < 14 && ++readoutDots == 14) {
      readoutEnd = e.at;
      writeBackDots = 0;
      continue;
    }
    if (e.data == "." && writeBackDots >= 0 && writeBackDots < 6 && ++writeBackDots == 6) writeBackEnd = e.at;
  }
  if (readoutEnd >= 0) marks.emplace_back("configuration: write-back", readoutEnd);
  if (writeBackEnd >= 0) marks.emplace_back("closing steps", writeBackEnd);
  std::stable_sort(marks.begin(), marks.end(), [](const auto& a, const auto& b) { return a.second < b.second; });

  // Without a configuration phase, what follows the confirmation is the closing steps alone.
  for (std::size_t i = 0; i + 1 < marks.size(); ++i)
    if (std::strcmp(marks[i].first, "configuration: cap and check") == 0 && std::strcmp(marks[i + 1].first, "software") == 0)
      marks[i].first = "closing steps";

  std::vector<Phase> phases;
  const char* current = "start-up";
  sim::Ticks from = 0;
  for (const auto& [name, at] : marks) {
    phases.push_back({current, sim::toMs(at - from)});
    current = name;
    from = at;
  }
  phases.push_back({current, sim::toMs(line.now - from)});
  return phases;
}

VirtualResult runVirtual(const std::string& scenario, bool pacePc, const char* speedOption = "-s0",
                         const Adapter& adapter = {}, bool slowSums = false) {
  sim::UnitModel unit;
  sim::Expectation expect;
  sim::setUpScenario(scenario, korrin::carriedPackage(), unit, expect);
  if (slowSums) sumsTakeTheirTime(unit);
  sim::VirtualLine line(unit);
  line.pacePcOutput = pacePc;
  line.useUsbAdapter(adapter.bufferBytes, adapter.perWriteCall);
  line.oneWritePerByte = adapter.oneWritePerByte;
  const char* argv[] = {"korrin-update", speedOption};
  korrin::runUpdater(2, argv, korrin::carriedPackage());
  const bool ok = sim::judgeUnit(unit, korrin::carriedPackage(), expect).ok && !line.hung;
  return {line.nowMs(), phasesOf(line), ok, line.writeCalls};
}

struct RealResult {
  bool ran = false;
  double wallMs = 0, cpuMs = 0;
  long peakKb = 0;
  int status = -1;
  bool unitOk = false;
};

RealResult runReal(const std::string& scenario, const std::string& simPath, const std::string& updaterPath) {
  RealResult result;
  int out[2];
  if (pipe(out) != 0) return result;
  const pid_t unitPid = fork();
  if (unitPid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    execl(simPath.c_str(), simPath.c_str(), "--scenario", scenario.c_str(), "--idle", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string device;
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') device.push_back(c);
  if (device.empty()) return result;

  const auto start = std::chrono::steady_clock::now();
  const pid_t updaterPid = fork();
  if (updaterPid == 0) {
    setenv("KORRIN_COM1", device.c_str(), 1);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    execl(updaterPath.c_str(), updaterPath.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // ru_maxrss would count the bench's own pages the child had before its exec:
  // the updater's peak is read from its own /proc entry while it runs, once
  // the entry names the updater.
  int status = 0;
  rusage usage{};
  long peakKb = 0;
  const std::string name = "Name:\t" + updaterPath.substr(updaterPath.rfind('/') + 1).substr(0, 15);
  while (wait4(updaterPid, &status, WNOHANG, &usage) == 0) {
    std::ifstream proc("/proc/" + std::to_string(updaterPid) + "/status");
    bool updater = false;
    for (std::string line; std::getline(proc, line);) {
      if (line.rfind("Name:", 0) == 0) updater = line == name;
      if (updater && line.rfind("VmHWM:", 0) == 0) peakKb = std::max(peakKb, std::atol(line.c_str() + 6));
    }
    usleep(5000);
  }
  const auto end = std::chrono::steady_clock::now();
  result.ran = true;
  result.wallMs = std::chrono::duration<double, std::milli>(end - start).count();
  result.cpuMs = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
  result.peakKb = peakKb;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;

  kill(unitPid, SIGTERM);
  int unitStatus = 0;
  waitpid(unitPid, &unitStatus, 0);
  result.unitOk = WIFEXITED(unitStatus) && WEXITSTATUS(unitStatus) == 0;
  close(out[0]);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  bool virtualOnly = false;
  std::string binDir = ".";
  std::string beforeDir;  // korrin-update as it was before, for its CPU time
  std::vector<std::string> scenarios = {"uptodate", "convert", "convert-9600"};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--virtual-only") == 0) {
      virtualOnly = true;
    } else if (std::strcmp(argv[i], "--bin") == 0 && i + 1 < argc) {
      binDir = argv[++i];
    } else if (std::strcmp(argv[i], "--before-bin") == 0 && i + 1 < argc) {
      beforeDir = argv[++i];
    } else if (std::strcmp(argv[i], "--scenario") == 0 && i + 1 < argc) {
      scenarios = {argv[++i]};
    } else {
      std::fprintf(stderr, "usage: korrin-bench [--virtual-only] [--bin DIR] [--before-bin DIR] [--scenario NAME]\n");
      return 2;
    }
  }

  bool allOk = true;
  std::printf("#### Protocol time on a real line (virtual time, both directions paced)\n\n");
  std::printf("| Scenario | Phase | Seconds |\n|---|---|---|\n");
  for (const std::string& scenario : scenarios) {
    const VirtualResult paced = runVirtual(scenario, true);
    allOk = allOk && paced.ok;
    for (const Phase& phase : paced.phases)
      if (phase.ms >= 0.5) std::printf("| %s | %s | %.1f |\n", scenario.c_str(), phase.name, phase.ms / 1000);
    std::printf("| %s | **total** | **%.1f** |\n", scenario.c_str(), paced.totalMs / 1000);
  }
  std::printf("\n#### Whole update by the speed asked for with -s (virtual time, paced)\n\n");
  std::printf("| Scenario | 28800 | 14400 | 9600 | 4800 | 2400 |\n|---|---|---|---|---|---|\n");
  for (const char* scenario : {"uptodate", "convert"}) {
    std::printf("| %s |", scenario);
    for (const char* option : {"-s0", "-s1", "-s2", "-s3", "-s4"}) {
      const VirtualResult run = runVirtual(scenario, true, option);
      allOk = allOk && run.ok;
      std::printf(" %.0f s |", run.totalMs / 1000);
    }
    std::printf("\n");
  }

  std::printf("\n#### Each road against a unit that sums at once and one that takes its time (virtual time, paced)\n\n");
  std::printf("| Scenario | -s | Sums at once | 1000 ms a window |\n|---|---|---|---|\n");
  for (const char* scenario : {"uptodate", "convert"}) {
    for (const char* option : {"-s0", "-s4"}) {
      const VirtualResult prompt = runVirtual(scenario, true, option);
      const VirtualResult slow = runVirtual(scenario, true, option, {}, true);
      allOk = allOk && prompt.ok && slow.ok;
      std::printf("| %s | %s | %.1f s | %.1f s |\n", scenario, option, prompt.totalMs / 1000, slow.totalMs / 1000);
    }
  }

  std::printf("\n#### Through a USB adapter (1 ms per write call, a %zu-byte buffer; virtual time, paced)\n\n",
              kUsbBufferBytes);
  std::printf("| Scenario | -s | UART | Before: a write per byte | After: a write per exchange | After / UART |"
              " Write calls before | Write calls after |\n|---|---|---|---|---|---|---|---|\n");
  const char* const speeds[] = {"28800", "14400", "9600", "4800", "2400"};
  for (const char* scenario : {"uptodate", "convert"}) {
    for (int s = 0; s < 5; ++s) {
      const std::string option = "-s" + std::to_string(s);
      const VirtualResult uart = runVirtual(scenario, true, option.c_str());
      const VirtualResult before =
          runVirtual(scenario, true, option.c_str(), {kUsbBufferBytes, sim::kTicksPerMs, true});
      const VirtualResult after = runVirtual(scenario, true, option.c_str(), {kUsbBufferBytes, sim::kTicksPerMs, false});
      const double ratio = after.totalMs / uart.totalMs;
      allOk = allOk && uart.ok && before.ok && after.ok && ratio <= 1.01;
      std::printf("| %s | %s | %.1f s | %.1f s | %.1f s | %.4f | %ld | %ld |\n", scenario, speeds[s],
                  uart.totalMs / 1000, before.totalMs / 1000, after.totalMs / 1000, ratio, before.writeCalls,
                  after.writeCalls);
    }
  }
  std::fflush(stdout);
  if (virtualOnly) return allOk ? 0 : 1;

  std::printf("\n#### Updater overhead (pty, PC bytes unpaced)\n\n");
  std::printf("| Scenario | Virtual s | Real s | Ratio | Updater CPU s | CPU / wall | Peak memory MB | Status | Unit |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|\n");
  std::fflush(stdout);
  for (const std::string& scenario : scenarios) {
    const VirtualResult unpaced = runVirtual(scenario, false);
    // The updater as it wrote before, where given: the same run, its own CPU time.
    for (const std::string& updaterDir : {binDir, beforeDir}) {
      if (updaterDir.empty()) continue;
      const std::string label = scenario + (updaterDir == binDir ? "" : " (before)");
      const RealResult real = runReal(scenario, binDir + "/korrin-unit-sim", updaterDir + "/korrin-update");
      if (!real.ran) {
        std::printf("| %s | %.1f | (could not run) | | | | | | |\n", label.c_str(), unpaced.totalMs / 1000);
        allOk = false;
        continue;
      }
      const double ratio = real.wallMs / unpaced.totalMs;
      std::printf("| %s | %.2f | %.2f | %.4f | %.3f | %.2f%% | %.1f | %d | %s |\n", label.c_str(),
                  unpaced.totalMs / 1000, real.wallMs / 1000, ratio, real.cpuMs / 1000, 100 * real.cpuMs / real.wallMs,
                  static_cast<double>(real.peakKb) / 1024.0, real.status, real.unitOk ? "exact" : "WRONG");
      std::fflush(stdout);
      allOk = allOk && real.unitOk && real.status == 1;
    }
  }
  return allOk ? 0 : 1;
}
