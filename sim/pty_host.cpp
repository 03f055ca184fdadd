// korrin-unit-sim: one simulated unit on a pseudo-terminal, in real time.
//
// Prints the slave device as the first line on standard output; give that path
// to the updater as its COM port. The unit's replies go out paced at the line
// speed, one byte per 10 bit times, as on a real line. When the unit has been
// told to flash or to leave update mode and the line has then stayed quiet for
// the idle time (or on SIGTERM/SIGINT), prints whether the unit holds what the
// run must leave behind; the exit status says the same. With --state the unit's
// memory outlives the process, so that a run can be cut off and run again.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__)
// termios2 is the only way to read a speed that is not a POSIX constant
// (14400, 28800). It redefines struct termios, so glibc's <termios.h> stays out.
#include <asm/termbits.h>
#else
#include <termios.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

#include "package/firmware_package.h"
#include "scenarios.h"
#include "unit_model.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitVerdictFailed = 1;
constexpr int kExitBadOptions = 2;
constexpr int kExitNoLine = 3;
constexpr int kExitStateNotSaved = 4;

using Nanos = std::int64_t;
constexpr Nanos kNanosPerMs = 1'000'000;
constexpr Nanos kNanosPerSecond = 1'000'000'000;

// The speeds the updater may set; anything else on the port is the host's own
// mapping (Wine gives 38400 for 28800 on a pty), so the unit's speed counts then.
constexpr std::uint32_t kLineSpeeds[] = {28800, 14400, 9600, 4800, 2400, 1000};

// A burst of PC bytes followed by this much quiet is one line of the trace.
constexpr Nanos kTraceQuietNs = 2 * kNanosPerMs;
// Replies longer than this are shown cut, with their length.
constexpr std::size_t kTraceReplyChars = 80;
constexpr std::size_t kTraceReplyHead = 32;

// A stop signal sets the flag and wakes the poll through the pipe.
volatile sig_atomic_t g_stop = 0;
int g_wakeWrite = -1;
void onStopSignal(int) {
  const int saved = errno;
  g_stop = 1;
  const char byte = 1;
  (void)!write(g_wakeWrite, &byte, 1);
  errno = saved;
}

// A pipe whose read end becomes readable when a stop signal arrives.
bool catchStopSignals(int& wakeRead) {
  int ends[2];
  if (pipe(ends) != 0) return false;
  for (int end : ends) {
    (void)fcntl(end, F_SETFD, FD_CLOEXEC);
    (void)fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
  }
  wakeRead = ends[0];
  g_wakeWrite = ends[1];
  struct sigaction action{};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  return sigaction(SIGTERM, &action, nullptr) == 0 && sigaction(SIGINT, &action, nullptr) == 0;
}

Nanos monotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<Nanos>(now.tv_sec) * kNanosPerSecond + now.tv_nsec;
}

struct Options {
  std::string scenario = "convert";
  bool trace = false;
  bool operatorRefuses = false;
  std::string link;
  std::string stateFile;
  double idleSeconds = 1.0;
};

void printUsage(std::FILE* to) {
  std::fprintf(to,
               "usage: korrin-unit-sim [--scenario NAME] [--trace] [--link PATH] [--idle SECONDS] [--refused]\n"
               "                       [--state FILE]\n"
               "       korrin-unit-sim --list\n"
               "Hosts a simulated unit on a pseudo-terminal; prints the device to give the updater.\n"
               "  --scenario NAME  the unit to simulate (default convert; --list shows them)\n"
               "  --trace          timestamped protocol trace on standard error\n"
               "  --link PATH      also make PATH a symbolic link to the device\n"
               "  --idle SECONDS   after the flash command or 'X', end when the line has been\n"
               "                   quiet this long (default 1)\n"
               "  --refused        the operator will refuse the update: the unit must be left\n"
               "                   unwritten and unflashed\n"
               "  --state FILE     the unit's memory across runs: loaded from FILE when it exists\n"
               "                   (else the scenario's), written back to FILE when the simulator\n"
               "                   ends. The unit starts at 9600 baud in update mode, as when the\n"
               "                   operator has put it back into update mode; the verdict still\n"
               "                   judges against the scenario's unit before any run.\n"
               "Exit status: 0 the unit is as the run must leave it, 1 it is not,\n"
               "2 bad options or an unreadable state file, 3 the line could not be set up,\n"
               "4 the state file could not be written.\n");
}

// 0 when parsed, otherwise the exit status (kExitOk after --list or --help).
int parseOptions(int argc, char** argv, Options& options, bool& done) {
  done = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    const std::size_t equals = arg.find('=');
    bool inlineValue = false;
    if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = arg.substr(equals + 1);
      arg.resize(equals);
      inlineValue = true;
    }
    auto takeValue = [&](const char* name) -> bool {
      if (inlineValue) return true;
      if (i + 1 >= argc) {
        std::fprintf(stderr, "korrin-unit-sim: %s needs a value\n", name);
        return false;
      }
      value = argv[++i];
      return true;
    };
    auto noValue = [&]() {
      if (inlineValue) std::fprintf(stderr, "korrin-unit-sim: %s takes no value\n", arg.c_str());
      return !inlineValue;
    };

    if (arg == "--scenario") {
      if (!takeValue("--scenario")) return kExitBadOptions;
      options.scenario = value;
    } else if (arg == "--link") {
      if (!takeValue("--link")) return kExitBadOptions;
      if (value.empty()) {
        std::fprintf(stderr, "korrin-unit-sim: --link needs a path\n");
        return kExitBadOptions;
      }
      options.link = value;
    } else if (arg == "--state") {
      if (!takeValue("--state")) return kExitBadOptions;
      if (value.empty()) {
        std::fprintf(stderr, "korrin-unit-sim: --state needs a file\n");
        return kExitBadOptions;
      }
      options.stateFile = value;
    } else if (arg == "--idle") {
      if (!takeValue("--idle")) return kExitBadOptions;
      char* end = nullptr;
      const double seconds = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !std::isfinite(seconds) || seconds < 0 || seconds > 86400) {
        std::fprintf(stderr, "korrin-unit-sim: --idle wants seconds, not '%s'\n", value.c_str());
        return kExitBadOptions;
      }
      options.idleSeconds = seconds;
    } else if (arg == "--trace") {
      if (!noValue()) return kExitBadOptions;
      options.trace = true;
    } else if (arg == "--refused") {
      if (!noValue()) return kExitBadOptions;
      options.operatorRefuses = true;
    } else if (arg == "--list") {
      if (!noValue()) return kExitBadOptions;
      for (const sim::Scenario& scenario : sim::scenarios()) std::printf("%-12s %s\n", scenario.name, scenario.summary);
      done = true;
      return kExitOk;
    } else if (arg == "--help" || arg == "-h") {
      printUsage(stdout);
      done = true;
      return kExitOk;
    } else {
      std::fprintf(stderr, "korrin-unit-sim: unknown option '%s'\n", argv[i]);
      printUsage(stderr);
      return kExitBadOptions;
    }
  }
  return 0;
}

// ---- The terminal device -------------------------------------------------

#if defined(__linux__)
using TermSettings = termios2;
bool getSettings(int fd, TermSettings& settings) { return ioctl(fd, TCGETS2, &settings) == 0; }
bool setSettings(int fd, const TermSettings& settings) { return ioctl(fd, TCSETS2, &settings) == 0; }
std::uint32_t outputSpeed(const TermSettings& settings) { return settings.c_ospeed; }
#else
using TermSettings = termios;
bool getSettings(int fd, TermSettings& settings) { return tcgetattr(fd, &settings) == 0; }
bool setSettings(int fd, const TermSettings& settings) { return tcsetattr(fd, TCSANOW, &settings) == 0; }
std::uint32_t outputSpeed(const TermSettings& settings) { return static_cast<std::uint32_t>(cfgetospeed(&settings)); }
#endif

// Bytes pass untouched: no echo, no line editing, no CR/LF translation, no
// flow control characters, 8 bits. The same as cfmakeraw.
bool makeRaw(int fd) {
  TermSettings settings{};
  if (!getSettings(fd, settings)) return false;
  settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
  settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
  settings.c_cflag |= CS8 | CREAD | CLOCAL;
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  return setSettings(fd, settings);
}

struct Pty {
  int master = -1;
  int slave = -1;  // held open so that the updater's close does not hang up the line
  std::string path;
};

bool openPty(Pty& pty) {
  pty.master = posix_openpt(O_RDWR | O_NOCTTY);
  if (pty.master < 0) {
    std::perror("korrin-unit-sim: posix_openpt");
    return false;
  }
  if (grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) {
    std::perror("korrin-unit-sim: grantpt/unlockpt");
    return false;
  }
  const char* name = ptsname(pty.master);
  if (name == nullptr) {
    std::perror("korrin-unit-sim: ptsname");
    return false;
  }
  pty.path = name;
  pty.slave = open(name, O_RDWR | O_NOCTTY);
  if (pty.slave < 0) {
    std::perror("korrin-unit-sim: opening the slave");
    return false;
  }
  // The slave raw too, so that nothing is echoed back before the updater sets
  // the port up itself.
  if (!makeRaw(pty.master) || !makeRaw(pty.slave)) {
    std::perror("korrin-unit-sim: raw mode");
    return false;
  }
  (void)fcntl(pty.master, F_SETFD, FD_CLOEXEC);
  (void)fcntl(pty.slave, F_SETFD, FD_CLOEXEC);
  const int flags = fcntl(pty.master, F_GETFL);
  if (flags < 0 || fcntl(pty.master, F_SETFL, flags | O_NONBLOCK) != 0) {
    std::perror("korrin-unit-sim: non-blocking master");
    return false;
  }
  return true;
}

// The speed the updater set on its port, or 0 when it cannot be read.
std::uint32_t portSpeed(int slave) {
  TermSettings settings{};
  return getSettings(slave, settings) ? outputSpeed(settings) : 0;
}

bool isLineSpeed(std::uint32_t baud) {
  for (std::uint32_t speed : kLineSpeeds)
    if (speed == baud) return true;
  return false;
}

// ---- The trace -------------------------------------------------------------

std::string printable(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      text.push_back(static_cast<char>(c));
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      text += escaped;
    }
  }
  return text;
}

class Trace {
 public:
  Trace(bool on, Nanos start) : on_(on), start_(start) {}
  bool on() const { return on_; }

  void line(Nanos at, const char* direction, const std::string& text) const {
    if (!on_) return;
    std::fprintf(stderr, "%10.1f ms  %-5s %s\n", static_cast<double>(at - start_) / kNanosPerMs, direction,
                 text.c_str());
  }

  // What the PC sends, one command per line; a 'D' block's data as its length.
  void pcByte(Nanos at, std::uint8_t byte, bool newCommand, std::uint32_t dataFollowing) {
    if (!on_) return;
    if (dataLeft_ > 0) {
      ++dataCount_;
      if (--dataLeft_ == 0) flushPc();
      lastPc_ = at;
      return;
    }
    if (newCommand) flushPc();
    if (pc_.empty()) pcStart_ = at;
    pc_.push_back(static_cast<char>(byte));
    lastPc_ = at;
    if (newCommand && dataFollowing > 0) {
      dataLeft_ = dataFollowing;
      dataCount_ = 0;
    }
  }

  // The PC's line so far is complete (the unit answers, the line went quiet).
  void flushPc() {
    if (pc_.empty()) return;
    std::string text = printable(pc_);
    if (dataLeft_ > 0 || dataCount_ > 0) {
      text += " <" + std::to_string(dataCount_) + " data bytes";
      if (dataLeft_ > 0) text += " of " + std::to_string(dataCount_ + dataLeft_);
      text += ">";
    }
    line(pcStart_, "PC>", text);
    pc_.clear();
    dataLeft_ = 0;
    dataCount_ = 0;
  }

  // When the PC's current line should be printed if nothing more comes; -1: no line waiting.
  Nanos pcDeadline() const { return pc_.empty() || dataLeft_ > 0 ? -1 : lastPc_ + kTraceQuietNs; }

  void reply(Nanos at, const std::string& bytes) const {
    if (!on_) return;
    if (bytes.size() <= kTraceReplyChars) {
      line(at, "UNIT<", printable(bytes));
    } else {
      line(at, "UNIT<",
           printable(bytes.substr(0, kTraceReplyHead)) + "... <" + std::to_string(bytes.size()) + " characters>");
    }
  }

 private:
  bool on_;
  Nanos start_;
  std::string pc_;
  Nanos pcStart_ = 0;
  Nanos lastPc_ = 0;
  std::uint32_t dataLeft_ = 0;
  std::uint32_t dataCount_ = 0;
};

// ---- The unit's side of the line ------------------------------------------

class UnitHost {
 public:
  UnitHost(sim::UnitModel& unit, const Pty& pty, Trace& trace) : unit_(unit), pty_(pty), trace_(trace) {}

  // Everything the PC has sent so far goes to the unit. False when the master failed.
  bool takeInput(Nanos now) {
    std::uint8_t buffer[4096];
    for (;;) {
      const ssize_t got = read(pty_.master, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      // EIO: no slave open, which cannot happen while we hold one.
      if (got <= 0) return false;
      lastInput_ = now;
      for (ssize_t i = 0; i < got; ++i) feed(now, buffer[i]);
    }
  }

  // Writes the reply bytes that are due by `now`. False when the master failed.
  bool sendDue(Nanos now) {
    std::string due;
    std::size_t count = 0;
    while (count < outgoing_.size() && outgoing_[count].due <= now) ++count;
    if (count == 0) return true;
    for (std::size_t i = 0; i < count; ++i) due.push_back(static_cast<char>(outgoing_[i].byte));
    while (!notes_.empty() && notes_.front().at <= outgoing_[count - 1].due) {
      trace_.reply(notes_.front().at, notes_.front().text);
      notes_.pop_front();
    }
    ssize_t put;
    do {
      put = write(pty_.master, due.data(), due.size());
    } while (put < 0 && errno == EINTR);
    if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    const std::size_t sent = put < 0 ? 0 : static_cast<std::size_t>(put);
    outgoing_.erase(outgoing_.begin(), outgoing_.begin() + static_cast<std::ptrdiff_t>(sent));
    // The port's receive buffer is full: wait until the updater reads, not for a time.
    blocked_ = sent < count;
    return true;
  }

  bool blocked() const { return blocked_; }
  // When the next reply byte is due; -1 when none is waiting.
  Nanos nextDue() const { return outgoing_.empty() ? -1 : outgoing_.front().due; }
  bool idle() const { return outgoing_.empty(); }
  Nanos lastInput() const { return lastInput_; }
  bool finished() const { return unit_.log().flashed || unit_.log().exited; }

 private:
  struct Outgoing {
    Nanos due;  // when the byte has arrived at the PC
    std::uint8_t byte;
  };
  struct Note {
    Nanos at;
    std::string text;
  };

  void feed(Nanos now, std::uint8_t byte) {
    const std::size_t commandsBefore = unit_.log().commands.size();
    const sim::UnitModel::Reply reply = unit_.receive(byte);
    const bool newCommand = unit_.log().commands.size() > commandsBefore;
    const bool dataFollows = newCommand && unit_.log().commands.back() == 'D';
    trace_.pcByte(now, byte, newCommand, dataFollows ? unit_.lengthRegister() : 0);
    if (reply.bytes.empty()) return;
    trace_.flushPc();
    schedule(now, reply);
  }

  // The reply goes out after its delay, behind anything still being sent, one
  // byte per 10 bit times at the speed of the line.
  void schedule(Nanos heardAt, const sim::UnitModel::Reply& reply) {
    const std::uint32_t port = portSpeed(pty_.slave);
    const std::uint32_t baud = isLineSpeed(port) ? port : unit_.speed();
    if (baud != pacedAt_ || port != portSeen_) {
      trace_.line(heardAt, "---",
                  "replies at " + std::to_string(baud) + " baud (port set to " + std::to_string(port) +
                      ", unit at " + std::to_string(unit_.speed()) + ")");
      pacedAt_ = baud;
      portSeen_ = port;
    }
    const Nanos perByte = baud == 0 ? 0 : 10 * kNanosPerSecond / baud;
    Nanos at = heardAt + static_cast<Nanos>(reply.delayMs) * kNanosPerMs;
    if (!outgoing_.empty() && outgoing_.back().due > at) at = outgoing_.back().due;
    notes_.push_back({at, reply.bytes});
    for (char c : reply.bytes) {
      at += perByte;
      outgoing_.push_back({at, static_cast<std::uint8_t>(c)});
    }
  }

  sim::UnitModel& unit_;
  const Pty& pty_;
  Trace& trace_;
  std::deque<Outgoing> outgoing_;
  std::deque<Note> notes_;
  bool blocked_ = false;
  Nanos lastInput_ = 0;
  std::uint32_t pacedAt_ = 0;
  std::uint32_t portSeen_ = 0;
};

// Runs the line until a stop signal or, once the unit is done, the idle time.
// False when the master failed.
bool serve(UnitHost& host, Trace& trace, const Pty& pty, Nanos idleNs, int wakeRead) {
  for (;;) {
    if (g_stop) return true;
    const Nanos now = monotonicNow();
    if (!host.sendDue(now)) return false;

    Nanos deadline = -1;
    auto earliest = [&](Nanos at) {
      if (at >= 0 && (deadline < 0 || at < deadline)) deadline = at;
    };
    if (!host.blocked()) earliest(host.nextDue());
    earliest(trace.pcDeadline());
    if (host.finished() && host.idle()) {
      if (now - host.lastInput() >= idleNs) return true;
      earliest(host.lastInput() + idleNs);
    }

    pollfd watch[2] = {{pty.master, static_cast<short>(POLLIN | (host.blocked() ? POLLOUT : 0)), 0},
                       {wakeRead, POLLIN, 0}};
    // Rounded up to whole milliseconds: a reply byte is at most that late,
    // never early, and the lateness does not add up (due times are absolute).
    int timeoutMs = -1;
    if (deadline >= 0) {
      const Nanos left = deadline > now ? deadline - now : 0;
      timeoutMs = static_cast<int>(std::min<Nanos>((left + kNanosPerMs - 1) / kNanosPerMs, 60'000));
    }
    const int ready = poll(watch, 2, timeoutMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      std::perror("korrin-unit-sim: poll");
      return false;
    }
    const Nanos woke = monotonicNow();
    if (ready > 0 && (watch[0].revents & POLLIN) && !host.takeInput(woke)) return false;
    if (ready > 0 && (watch[0].revents & (POLLERR | POLLNVAL))) return false;
    const Nanos quietSince = trace.pcDeadline();
    if (quietSince >= 0 && woke >= quietSince) trace.flushPc();
  }
}

// A link at `path` to the device; an old link there is replaced, anything else is not.
bool makeLink(const std::string& path, const std::string& target) {
  struct stat existing{};
  if (lstat(path.c_str(), &existing) == 0) {
    if (!S_ISLNK(existing.st_mode)) {
      std::fprintf(stderr, "korrin-unit-sim: %s exists and is not a link\n", path.c_str());
      return false;
    }
    unlink(path.c_str());
  }
  if (symlink(target.c_str(), path.c_str()) != 0) {
    std::fprintf(stderr, "korrin-unit-sim: cannot link %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

// Removes the link only while it still points at our device.
void removeLink(const std::string& path, const std::string& target) {
  char pointsTo[4096];
  const ssize_t length = readlink(path.c_str(), pointsTo, sizeof pointsTo - 1);
  if (length < 0) return;
  pointsTo[length] = '\0';
  if (target == pointsTo) unlink(path.c_str());
}

// ---- The unit's memory across runs -----------------------------------------

enum class StateLoad { Missing, Loaded, Unusable };

// The whole memory from `path`. A file of any other size is not a saved memory
// (a wrong path, a copy cut short) and is refused rather than padded.
StateLoad loadState(const std::string& path, std::vector<std::uint8_t>& memory) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return StateLoad::Missing;
    std::fprintf(stderr, "korrin-unit-sim: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
    return StateLoad::Unusable;
  }
  struct stat info{};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || static_cast<std::uint64_t>(info.st_size) != memory.size()) {
    std::fprintf(stderr, "korrin-unit-sim: %s is not a unit's memory (%zu bytes)\n", path.c_str(), memory.size());
    close(fd);
    return StateLoad::Unusable;
  }
  std::vector<std::uint8_t> loaded(memory.size());
  std::size_t have = 0;
  while (have < loaded.size()) {
    const ssize_t got = read(fd, loaded.data() + have, loaded.size() - have);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    have += static_cast<std::size_t>(got);
  }
  close(fd);
  if (have != loaded.size()) {
    std::fprintf(stderr, "korrin-unit-sim: %s could not be read whole\n", path.c_str());
    return StateLoad::Unusable;
  }
  memory.swap(loaded);
  return StateLoad::Loaded;
}

// Written beside `path` and renamed over it, so that a simulator stopped while
// saving leaves the previous memory, never half of one.
bool saveState(const std::string& path, const std::vector<std::uint8_t>& memory) {
  const std::string temporary = path + ".tmp" + std::to_string(getpid());
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool ok = fd >= 0;
  std::size_t put = 0;
  while (ok && put < memory.size()) {
    const ssize_t wrote = write(fd, memory.data() + put, memory.size() - put);
    if (wrote < 0 && errno == EINTR) continue;
    ok = wrote > 0;
    if (ok) put += static_cast<std::size_t>(wrote);
  }
  if (fd >= 0) {
    ok = fsync(fd) == 0 && ok;
    ok = close(fd) == 0 && ok;
  }
  ok = ok && rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    const int cause = errno;
    unlink(temporary.c_str());
    std::fprintf(stderr, "korrin-unit-sim: cannot save the unit's memory to %s: %s\n", path.c_str(),
                 std::strerror(cause));
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool done = false;
  const int parsed = parseOptions(argc, argv, options, done);
  if (done || parsed != 0) return parsed;

  const korrin::FirmwarePackage& package = korrin::carriedPackage();
  sim::UnitModel unit;
  sim::Expectation expect;
  if (!sim::setUpScenario(options.scenario, package, unit, expect)) {
    std::fprintf(stderr, "korrin-unit-sim: no scenario '%s' (--list shows them)\n", options.scenario.c_str());
    return kExitBadOptions;
  }
  if (options.operatorRefuses) {
    expect.flashed = false;
    expect.untouched = true;
  }
  // After the expectation: the verdict judges against the unit before its first run.
  StateLoad state = StateLoad::Missing;
  if (!options.stateFile.empty()) {
    state = loadState(options.stateFile, unit.memory());
    if (state == StateLoad::Unusable) return kExitBadOptions;
  }

  int wakeRead = -1;
  if (!catchStopSignals(wakeRead)) {
    std::perror("korrin-unit-sim: signals");
    return kExitNoLine;
  }

  Pty pty;
  if (!openPty(pty)) return kExitNoLine;
  if (!options.link.empty() && !makeLink(options.link, pty.path)) return kExitNoLine;
  std::printf("%s\n", pty.path.c_str());
  std::fflush(stdout);

  const Nanos start = monotonicNow();
  Trace trace(options.trace, start);
  trace.line(start, "---", "unit '" + options.scenario + "' on " + pty.path);
  if (state == StateLoad::Loaded) trace.line(start, "---", "memory from " + options.stateFile);
  UnitHost host(unit, pty, trace);
  const bool lineHeld = serve(host, trace, pty,
                              static_cast<Nanos>(std::llround(options.idleSeconds * kNanosPerSecond)), wakeRead);
  // Bytes the updater wrote just before it ended count too, even when the
  // stop signal came before they were read.
  if (lineHeld) (void)host.takeInput(monotonicNow());
  trace.flushPc();
  trace.line(monotonicNow(), "---", g_stop ? "stopped" : lineHeld ? "line quiet, run over" : "line failed");

  if (!options.link.empty()) removeLink(options.link, pty.path);
  close(pty.slave);
  close(pty.master);

  const bool saved = options.stateFile.empty() || saveState(options.stateFile, unit.memory());
  const sim::Verdict verdict = sim::judgeUnit(unit, package, expect);
  std::printf("%s\n", verdict.report.c_str());
  std::fflush(stdout);
  if (!saved) return kExitStateNotSaved;
  return verdict.ok && lineHeld ? kExitOk : kExitVerdictFailed;
}
