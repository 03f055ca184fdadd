// The real POSIX seam on pseudo-terminals: the seam opens the slave side as its
// COM port, the test plays the unit on the master side.
#include "config/config_copy.h"
#include "platform/os.h"
#include "platform/posix/device_path.h"
#include "platform/posix/port.h"
#include "platform/posix/serial_ports.h"
#include "serial/serial_port.h"
#include "stand_ins.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A pseudo-terminal pair whose slave is not open until the seam opens it,
// mapped to COM3 as KORRIN_COMn maps a real port.
struct Pty {
  Pty() : master(posix_openpt(O_RDWR | O_NOCTTY)) {
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 && ptsname(master)) slave = ptsname(master);
    // Without a pseudo-terminal COM3 names nothing, rather than a real port.
    setenv("KORRIN_COM3", ok() ? slave.c_str() : "/nonexistent", 1);
  }
  ~Pty() { unsetenv("KORRIN_COM3"), closeMaster(); }
  bool ok() const { return master >= 0 && !slave.empty(); }
  void closeMaster() { close(std::exchange(master, -1)); }
  void write(const std::string& bytes) const {
    EXPECT_EQ(::write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // What the master receives until nothing more comes for `quietMs`.
  std::string read(int quietMs) const {
    std::string got;
    char buffer[512];
    ssize_t n = 0;
    for (pollfd wait{master, POLLIN, 0}; poll(&wait, 1, quietMs) > 0 && (n = ::read(master, buffer, sizeof buffer)) > 0;)
      got.append(buffer, static_cast<std::size_t>(n));
    return got;
  }
  int master;
  std::string slave;
};

// The port opened as the updater opens it (8N1 at 28800 unless told
// otherwise), closed with the scope.
struct Port {
  explicit Port(const char* name = "COM3", const os::LineSettings& line = korrin::lineSettings(28800))
      : port(os::openPort(name, line)) {}
  ~Port() { close(); }
  bool ok() const { return port != nullptr; }
  bool write(const void* bytes, std::size_t count) { return os::writePort(port, bytes, count); }
  void close() { os::closePort(std::exchange(port, nullptr)); }
  std::string failure() const { return os::portFailure(port); }
  os::Port* port;
};

using Change = void (*)(os::LineSettings&);

// The line as the updater sets it at `baud`, with `change` made to it.
os::LineSettings settingsWith(std::uint32_t baud, Change change) {
  os::LineSettings line = korrin::lineSettings(baud);
  change(line);
  return line;
}

// Runs `body` in a child process that exits without flushing anything (a hang
// ends with the alarm), and `meanwhile` here. Returns the child's exit status:
// the body's result, or 1 when a check of a body without one failed there (it
// is reported as it fails); -1 when the child did not exit.
template <typename Body, typename Meanwhile = void (*)(pid_t)>
int inChild(Body body, Meanwhile meanwhile = [](pid_t) {}) {
  const pid_t child = fork();
  if (child == 0) {
    alarm(5);
    if constexpr (std::is_void_v<decltype(body())>) {
      body();
      _exit(::testing::Test::HasFailure() ? 1 : 0);
    } else {
      _exit(body());
    }
  }
  meanwhile(child);
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}


// Waits until the terminal `fd` reads key by key, as readKey sets it: the
// asker is then in its wait. False after a second.
bool waitUntilRaw(int fd) {
  termios line{};
  for (auto deadline = Clock::now() + std::chrono::seconds(1); Clock::now() < deadline;) {
    if (tcgetattr(fd, &line) == 0 && (line.c_lflag & ICANON) == 0) return true;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return false;
}

class SeamOnPty : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty_.ok() && port_.ok()); }
  Pty pty_;
  Port port_;
};

TEST(DevicePath, MapsPortNamesToDevices) {
  const char* const cases[][4] = {
      // port name, variable, its value for this case only, the device
      {"COM1", nullptr, nullptr, "/dev/ttyS0"}, {"COM4", nullptr, nullptr, "/dev/ttyS3"},
      {"COM10", nullptr, nullptr, "/dev/ttyS9"}, {"COM255", nullptr, nullptr, "/dev/ttyS254"},
      {"COM2", "KORRIN_COM2", "/dev/pts/7", "/dev/pts/7"}, {"com3", "KORRIN_COM3", "/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"COM2", "KORRIN_COM2", "", "/dev/ttyS1"}, {"COM1", "KORRIN_COM2", "/dev/pts/7", "/dev/ttyS0"},
      {"COM1", "KORRIN_COM10", "/dev/pts/7", "/dev/ttyS0"}, {"/dev/ttyACM0", nullptr, nullptr, "/dev/ttyACM0"},
  };
  for (const char* name : {"KORRIN_COM1", "KORRIN_COM2", "KORRIN_COM3", "KORRIN_COM10"}) unsetenv(name);
  for (const auto& [portName, variable, value, expected] : cases) {
    if (variable != nullptr) setenv(variable, value, 1);
    char path[64] = "untouched";
    EXPECT_TRUE(os::posix::devicePathFor(portName, path, sizeof path)) << portName;
    EXPECT_STREQ(path, expected) << portName << " with " << (variable ? variable : "nothing set");
    if (variable != nullptr) unsetenv(variable);
  }
  char path[64], exact[11], tooSmall[10];  // each of the last two needs 11 bytes with its NUL
  for (const char* name : {"COM0", "COM01", "COM256", "COM", "COM1x", "LPT1", "NUL", "ttyS0", "", "/nonexistent/x"})
    EXPECT_FALSE(os::posix::devicePathFor(name, path, sizeof path) && Port(name).ok()) << name;
  EXPECT_TRUE(os::posix::devicePathFor("COM1", exact, sizeof exact) &&
              os::posix::devicePathFor("/dev/ttyS0", exact, sizeof exact));
  EXPECT_FALSE(os::posix::devicePathFor("COM1", tooSmall, sizeof tooSmall) ||
               os::posix::devicePathFor("/dev/ttyS0", tooSmall, sizeof tooSmall));
}

// A regular file named as the port is no port and stays as it was; every use
// of the port that did not open fails.
TEST(SeamOpen, OnlyATerminalIsAPort) {
  char file[] = "/tmp/korrin-not-a-port-XXXXXX", byte = 0;
  ASSERT_EQ(close(mkstemp(file)), 0);
  setenv("KORRIN_COM3", file, 1);
  korrin::SerialPort port;
  Port refused;
  std::uint32_t count = 7;
  EXPECT_FALSE(refused.ok() || port.open("COM3", 9600) || refused.write("E", 1) || os::drainPort(refused.port) ||
               os::bytesWaiting(refused.port, count) || os::readPort(refused.port, &byte, 1, count) || count != 0);
  port.writeByte('E');
  struct stat info {};
  EXPECT_TRUE(stat(file, &info) == 0 && info.st_size == 0) << "protocol bytes written into a file";
  unlink(file);
  unsetenv("KORRIN_COM3");
}

TEST_F(SeamOnPty, PortIsForOneUserAtATime) {
  // flock keeps out other openers through the seam; a program that does not
  // lock is kept out by the terminal's exclusive mode, which binds everyone
  // but root. 0: refused as busy, 1: opened, 2: refused otherwise, 3: could
  // not drop root.
  ASSERT_EQ(chmod(pty_.slave.c_str(), 0666), 0);  // for the open as nobody
  auto plainOpen = [this] {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 3;
    if (open(pty_.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) >= 0) return 1;
    return errno == EBUSY ? 0 : 2;
  };
  EXPECT_EQ(inChild([] { return Port().ok() ? 1 : 0; }), 0) << "open by another process";
  const int plainWhileOpen = inChild(plainOpen);
  // A process forked meanwhile holds a copy of the descriptor through the close.
  inChild(pause, [this](pid_t holder) {
    port_.close();
    EXPECT_TRUE(Port().ok()) << "the port is free again after closing";
    kill(holder, SIGKILL);
  });
  if (plainWhileOpen == 3) GTEST_SKIP() << "cannot run a process without root here";
  EXPECT_EQ(plainWhileOpen, 0) << "a program that does not lock, while the port is open";
  EXPECT_EQ(inChild(plainOpen), 1) << "a program that does not lock, after the port is closed";
}

// An open either sets the line up as asked or fails; it never leaves a line
// that works otherwise than the settings say. An errno left as EINTR by an
// earlier call changes nothing of that.
TEST(SeamOpen, SettingsTakeEffectOrAreRefused) {
  // A pseudo-terminal keeps 8 bits without parity whatever it is told:
  // tcsetattr succeeds, only reading back shows it.
  const std::tuple<const char*, Change, DriverFault, bool> cases[] = {
      {"8N1 as the updater asks", [](os::LineSettings&) {}, {}, true},
      {"odd parity", [](os::LineSettings& l) { l.parity = os::Parity::Odd; }, {}, false},
      {"even parity", [](os::LineSettings& l) { l.parity = os::Parity::Even; }, {}, false},
      {"7 data bits", [](os::LineSettings& l) { l.dataBits = 7; }, {}, false},
      {"two stop bits", [](os::LineSettings& l) { l.stopBits = 2; }, {}, false},
      {"CTS flow control", [](os::LineSettings& l) { l.ctsFlow = true; }, {}, false},
      {"DSR flow control", [](os::LineSettings& l) { l.dsrFlow = true; }, {}, false},
      {"XON/XOFF flow control", [](os::LineSettings& l) { l.xonXoffOut = true; }, {}, false},
      {"XON/XOFF on input", [](os::LineSettings& l) { l.xonXoffIn = true; }, {}, false},
      {"DTR raised", [](os::LineSettings& l) { l.dtr = true; }, {}, false},
      {"RTS raised", [](os::LineSettings& l) { l.rts = true; }, {}, false},
      {"speed 0 (hang-up)", [](os::LineSettings& l) { l.baud = 0; }, {}, false},
#if defined(__linux__)
      {"the driver refuses the speed", [](os::LineSettings&) {}, {true, 0, 0}, false},
      // A receiver samples every bit of a 10-bit frame within 2 %.
      {"reported 2 % off: taken", [](os::LineSettings&) {}, {false, 576, -576}, true},
      {"output reported 2 % and 1 baud off", [](os::LineSettings&) {}, {false, 577, 0}, false},
      {"input reported 2 % and 1 baud off", [](os::LineSettings&) {}, {false, 0, -577}, false},
#endif
  };
  Pty pty;
  ASSERT_TRUE(pty.ok());
  for (const auto& [what, change, fault, accepted] : cases) {
    driverFault = fault;
    errno = EINTR;
    EXPECT_EQ(Port("COM3", settingsWith(28800, change)).ok(), accepted) << what;
    driverFault = {};
  }
#if defined(__linux__)
  // The ladder, and a speed no B* constant has, each set on a terminal left
  // cooked, with flow control and two stop bits: the kernel holds the speed
  // and the line is raw 8N1. (The end-to-end runs pass every byte value.)
  for (std::uint32_t baud : {28800u, 14400u, 9600u, 4800u, 2400u, 1000u}) {
    const int other = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    termios line{};
    ASSERT_TRUE(other >= 0 && tcgetattr(other, &line) == 0);
    line.c_iflag |= IXON | IXOFF | ICRNL | ISTRIP;
    line.c_oflag |= OPOST;
    line.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    line.c_cflag = (line.c_cflag | CSTOPB | CRTSCTS) & ~CLOCAL;
    line.c_cc[VTIME] = 5;
    ASSERT_TRUE(tcsetattr(other, TCSANOW, &line) == 0 && close(other) == 0);
    Port port("COM3", korrin::lineSettings(baud));
    KernelLineSpeed speed{};
    ASSERT_TRUE(port.ok() && readKernelLineSpeed(port.port->fd, &speed) && tcgetattr(port.port->fd, &line) == 0);
    EXPECT_TRUE(speed.output == baud && speed.input == baud) << baud << ": " << speed.output << " " << speed.input;
    EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              static_cast<tcflag_t>(CS8 | CLOCAL | CREAD)) << baud;
    EXPECT_TRUE((line.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP)) == 0 && (line.c_oflag & OPOST) == 0 &&
                (line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 && line.c_cc[VMIN] == 1 && line.c_cc[VTIME] == 0)
        << baud;
  }
#endif
}

#if defined(__linux__)
// The updater's port on this seam: what it is given stays with it until the
// reply is looked for, a read, a pause or the close (a new speed is a close),
// then goes out in one write and is drained once.
TEST(SeamDrain, GatheredBytesGoOutAtTheNextUseOfTheLine) {
  const std::pair<const char*, void (*)(korrin::SerialPort&)> cases[] = {
      {"read", [](korrin::SerialPort& port) { port.read(nullptr, 0); }},
      {"count", [](korrin::SerialPort& port) { port.bytesAvailable(); }},
      {"pause", [](korrin::SerialPort& port) { port.pause(0); }},
      {"close", [](korrin::SerialPort& port) { port.close(); }},
  };
  for (const auto& [what, next] : cases) {
    Pty pty;
    korrin::SerialPort port;
    ASSERT_TRUE(pty.ok() && port.open("COM3", 28800)) << what;
    drainCount = 0;
    port.writeByte('B');
    port.write("028800", 6);
    EXPECT_EQ(pty.read(0), "") << what << ": out before the line is used";
    next(port);
    EXPECT_FALSE(port.lost()) << what << ": " << port.failure();
    EXPECT_EQ(drainCount, 1) << what;
    EXPECT_EQ(pty.read(100), "B028800") << what;
    port.bytesAvailable();
    EXPECT_EQ(drainCount, 1) << what << ": drained again with nothing written since";
  }
}

// A write the driver stops taking (here: nobody reads the far end) ends at its
// bound, no sooner and not much later, or at once when the wait for room
// itself fails (poll refuses more descriptors than the process may hold); what
// the driver took went out in order.
TEST(SeamWrite, AWriteThatCannotFinishEndsAtItsBound) {
  static std::string flood(4 << 20, '\0');
  for (std::size_t i = 0; i < flood.size(); ++i) flood[i] = static_cast<char>(i % 253);
  rlimit held{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &held), 0);
  const std::tuple<rlim_t, const char*, int, int> cases[] = {
      {held.rlim_cur, " of 4194304 bytes not taken within the write time-out", 300, 800},
      {0, "poll: Invalid argument", 0, 250},
  };
  for (const auto& [descriptors, failure, fromMs, toMs] : cases) {
    Pty pty;
    Port port("COM3", settingsWith(28800, [](os::LineSettings& l) { l.writeMsPerByte = 0, l.writeSlackMs = 300; }));
    const rlimit limit{descriptors, held.rlim_max};
    ASSERT_TRUE(pty.ok() && port.ok() && setrlimit(RLIMIT_NOFILE, &limit) == 0);
    const auto start = Clock::now();
    EXPECT_FALSE(port.write(flood.data(), flood.size()));
    const auto took = Clock::now() - start;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &held), 0);
    EXPECT_TRUE(took >= milliseconds(fromMs) && took < milliseconds(toMs))
        << std::chrono::duration_cast<milliseconds>(took).count() << " ms";
    EXPECT_NE(port.failure().find(failure), std::string::npos) << port.failure();
    const std::string taken = pty.read(100);
    EXPECT_TRUE(!taken.empty() && flood.compare(0, taken.size(), taken) == 0) << "a part written twice or skipped";
  }
}

// A drain ends within the bound of what was handed over, whatever the driver
// does, and a stop request meanwhile neither ends it early nor holds it; a
// driver without a drain of its own gets the bytes' line time instead. Here
// 120 bytes at 2400 baud (500 ms on the line) and a bound of 2 ms a byte and
// 300 ms (540 ms).
TEST(SeamDrain, EndsWithinItsBoundOrWaitsTheLineTime) {
  const char* const neverEmpty = "tcdrain: the line did not report empty within the write time-out";
  struct Case {
    const char* what;
    DrainFault fault;
    bool stop;            // SIGINT 100 ms into the drain, stop requests caught
    int fromMs, toMs;     // how long the drain takes, from the write on (a loaded machine is slow)
    const char* failure;  // the port's reason; "": drained
  } const cases[] = {
      {"a driver that drains", DrainFault::None, false, 0, 300, ""},
      {"a driver that shows no queue", DrainFault::NoQueue, false, 0, 300, ""},
      {"a driver without a drain", DrainFault::Unsupported, false, 500, 800, ""},
      {"a line that never reports empty", DrainFault::NeverEmpty, false, 540, 840, neverEmpty},
      {"... and a stop meanwhile", DrainFault::NeverEmpty, true, 540, 840, neverEmpty},
      {"a queue that never empties", DrainFault::QueueStuck, false, 540, 840,
       "tcdrain: 10 of 120 bytes still queued at the write time-out"},
  };
  const os::LineSettings line = settingsWith(2400, [](os::LineSettings& l) { l.writeMsPerByte = 2, l.writeSlackMs = 300; });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Pty pty;
    ASSERT_TRUE(pty.ok());
    EXPECT_EQ(inChild(
                  [&] {
                    if (c.stop) os::takeRunResources();
                    Port port("COM3", line);
                    const std::uint8_t bytes[120] = {};
                    const auto start = Clock::now();
                    EXPECT_TRUE(port.write(bytes, sizeof bytes));
                    drainFault = c.fault;
                    EXPECT_EQ(os::drainPort(port.port), *c.failure == '\0');
                    const auto took = Clock::now() - start;
                    EXPECT_EQ(port.failure(), c.failure);
                    EXPECT_TRUE(took >= milliseconds(c.fromMs) && took < milliseconds(c.toMs))
                        << std::chrono::duration_cast<milliseconds>(took).count() << " ms";
                    EXPECT_EQ(os::stopRequested(), c.stop);
                  },
                  [&](pid_t child) {
                    if (!c.stop) return;
                    std::this_thread::sleep_for(milliseconds(100));
                    kill(child, SIGINT);
                  }),
              0)
        << "-1: still waiting at the alarm";
  }
}

// What the receive queue reports is read whole and at once: the updater asks
// for no more than that, and a read that waited on would cost a reply's time.
// Bytes reported but not all there yet are waited for, and no more are taken.
TEST_F(SeamOnPty, ReadTakesWhatIsWaitingAndNoMore) {
  const auto waitFor = [this](std::uint32_t count) {
    std::uint32_t waiting = 0;
    for (auto deadline = Clock::now() + std::chrono::seconds(1); waiting < count && Clock::now() < deadline;)
      EXPECT_TRUE(os::bytesWaiting(port_.port, waiting));
    return waiting;
  };
  pty_.write("CS=");
  ASSERT_EQ(waitFor(3), 3u);
  char buffer[4] = {};
  std::uint32_t got = 0;
  const auto started = Clock::now();
  EXPECT_TRUE(os::readPort(port_.port, buffer, 3, got)) << port_.failure();
  EXPECT_LT(Clock::now() - started, milliseconds(50));
  EXPECT_EQ(std::string(buffer, got), "CS=");
  pty_.write("O");
  ASSERT_EQ(waitFor(1), 1u);
  std::thread rest([this] {
    std::this_thread::sleep_for(milliseconds(50));
    pty_.write("k!?");
  });
  EXPECT_TRUE(os::readPort(port_.port, buffer, 3, got)) << port_.failure();
  rest.join();
  EXPECT_EQ(std::string(buffer, sizeof buffer), std::string("Ok!\0", 4)) << got;
  EXPECT_EQ(waitFor(1), 1u) << "the byte not asked for was taken";
}

// When the device goes away (the far end closes: EIO; the line is hung up:
// reads return 0, as on an unplugged USB adapter) a read for bytes that will
// never come ends, and says why.
TEST(SeamRead, EndsWhenTheDeviceGoesAway) {
  for (const bool hangUp : {false, true}) {
    SCOPED_TRACE(hangUp ? "line hung up" : "far end closed");
    Pty pty;
    Port port("COM3", korrin::lineSettings(9600));
    ASSERT_TRUE(pty.ok() && port.ok());
    bool gone = true;
    const int result = inChild(
        [&] {
          pty.closeMaster();  // only the parent's master keeps the line up
          char buffer[4];
          std::uint32_t read = 99;
          errno = EINTR;  // left by an earlier call a signal cut short
          EXPECT_FALSE(os::readPort(port.port, buffer, sizeof buffer, read));
          EXPECT_EQ(port.failure().rfind("read: ", 0), 0u) << port.failure();
          EXPECT_TRUE(read == 2 || (hangUp && read < 2)) << read;  // a hang-up throws away what was not read yet
        },
        [&](pid_t reader) {
          pty.write("Ok");
          std::this_thread::sleep_for(milliseconds(50));
          gone = hangUp ? ioctl(port.port->fd, TIOCVHANGUP) == 0 : (pty.closeMaster(), true);
          if (!gone) kill(reader, SIGKILL);
        });
    if (!gone) GTEST_SKIP() << "cannot hang up a terminal here";
    EXPECT_EQ(result, 0) << "-1: still waiting at the alarm";
    // The operator's report names the call and the system's words.
    EXPECT_FALSE(port.write("E", 1));
    EXPECT_EQ(port.failure(), "write: Input/output error");
  }
}
#endif

// From a script, one byte is a key and the rest stays for the next question;
// on a terminal the key typed while the updater was busy is thrown away and
// the one typed at the question is taken at once, without Enter or echo, and
// the terminal is left as it was.
TEST(SeamKey, AKeyIsOneByteAndOnATerminalOnlyOneTypedAtTheQuestion) {
  const std::pair<std::string, int> cases[] = {{"", -1}, {"y", 'y'}, {"yn", 'y'}, {"\n", '\n'}, {"\xff", 0xFF}};
  for (const auto& [input, key] : cases) {
    SCOPED_TRACE("input \"" + input + '"');
    int script[2];  // as a script feeds the updater
    ASSERT_EQ(pipe(script), 0);
    ASSERT_EQ(write(script[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    close(script[1]);
    EXPECT_EQ(inChild([&, input = input, key = key] {
                dup2(script[0], STDIN_FILENO);
                os::discardTypedAhead();  // a script's answers are meant for the questions
                EXPECT_EQ(os::readKey(), key);
                char rest[16];
                const ssize_t left = read(STDIN_FILENO, rest, sizeof rest);
                EXPECT_EQ(std::string(rest, std::max<ssize_t>(left, 0)), input.substr(input.empty() ? 0 : 1));
              }),
              0);
    close(script[0]);
  }
  Pty terminal;
  const int slave = open(terminal.slave.c_str(), O_RDWR | O_NOCTTY);
  termios before{}, after{};
  ASSERT_TRUE(terminal.ok() && slave >= 0 && tcgetattr(slave, &before) == 0);
  ASSERT_EQ(before.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO)) << "a new terminal is cooked";
  terminal.write("y");
  ASSERT_EQ(terminal.read(200), "y") << "the cooked terminal's echo: the key is in its input queue";
  const int key = inChild(
      [&] {
        dup2(slave, STDIN_FILENO);
        os::discardTypedAhead();
        return os::readKey();
      },
      [&](pid_t) {
        EXPECT_TRUE(waitUntilRaw(slave)) << "the terminal still waited for Enter";
        terminal.write("k");
      });
  EXPECT_EQ(key, 'k') << "the key typed before the question answered it";
  EXPECT_EQ(terminal.read(100), "") << "the key was echoed";
  ASSERT_EQ(tcgetattr(slave, &after), 0);
  EXPECT_TRUE(after.c_lflag == before.c_lflag && after.c_iflag == before.c_iflag) << "the terminal was left raw";
  close(slave);
}

// The operator's stop (Ctrl-C at the shell, kill, a closed terminal window)
// is remembered instead of ending the process in the middle of a block; a
// wait for a key ends at once, also when another thread takes the signal.
TEST(SeamStop, SignalsAreRememberedAndEndAWaitForAKey) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    for (bool fromTerminal : {true, false}) {  // from a pipe, the signal is taken by another thread
      SCOPED_TRACE(std::string(strsignal(signal)) + (fromTerminal ? ", key from a terminal" : ", from a pipe"));
      Pty terminal;
      int ends[2];  // a pipe whose writer stays open: a key may still come
      ASSERT_TRUE(terminal.ok() && pipe(ends) == 0);
      const int from = fromTerminal ? open(terminal.slave.c_str(), O_RDWR | O_NOCTTY) : ends[0];
      ASSERT_GE(from, 0);
      auto sent = Clock::now();
      // 0: the wait ended with -1 and the stop is remembered; the next prompt does not wait at all.
      EXPECT_EQ(inChild(
                    [&] {
                      dup2(from, STDIN_FILENO);
                      ::signal(signal, SIG_DFL);  // as an interactive start has it
                      os::takeRunResources();
                      if (!fromTerminal) {
                        std::thread([] { std::this_thread::sleep_for(std::chrono::seconds(3)); }).detach();
                        sigset_t stops;
                        sigemptyset(&stops);
                        sigaddset(&stops, signal);
                        pthread_sigmask(SIG_BLOCK, &stops, nullptr);
                      }
                      return !os::stopRequested() && os::readKey() == -1 && os::stopRequested() && os::readKey() == -1
                                 ? 0
                                 : 1;
                    },
                    [&](pid_t child) {
                      if (!fromTerminal) std::this_thread::sleep_for(milliseconds(100));
                      EXPECT_TRUE(!fromTerminal || waitUntilRaw(from));
                      sent = Clock::now();
                      kill(child, signal);
                    }),
                0);
      EXPECT_LT(Clock::now() - sent, milliseconds(500));
      for (int fd : {ends[0], ends[1], fromTerminal ? from : -1}) close(fd);
    }
  }
}

// What a run holds, each in a process of its own: a pause lasts its full
// time, console text is out at once whatever becomes of its reader, and once
// given back, the signals act as before the run.
TEST(SeamStop, APauseLastsOnAndWhatIsGivenBackActsAsBefore) {
  const std::tuple<const char*, int (*)(), bool, int> cases[] = {
      {"a pause cut short by the stop, or not as long as asked, or the stop forgotten",
       [] {
         os::takeRunResources();
         const auto start = Clock::now();
         os::sleepMs(1000);  // a whole second: its own unit
         const auto took = Clock::now() - start;
         return took >= milliseconds(1000) && took < milliseconds(1100) && os::stopRequested() ? 0 : 1;
       },
       true, 0},
      {"1: an ignored signal was taken as a stop; 2: a signal given back did not end the process",
       [] {
         ::signal(SIGHUP, SIG_IGN);  // as nohup starts a program
         ::signal(SIGTERM, SIG_DFL);
         os::takeRunResources();
         raise(SIGHUP);
         if (os::stopRequested()) return 1;
         os::giveBackRunResources();
         raise(SIGTERM);
         return 2;
       },
       false, -1},
      {"1: taken again once given back, a stop is not caught; 2: given back, a descriptor of the wake pipe kept",
       [] {
         const auto descriptors = [] {
           int open = 0;
           for (int fd = 0; fd < 256; ++fd) open += fcntl(fd, F_GETFD) != -1;
           return open;
         };
         const int before = descriptors();
         os::takeRunResources();
         os::giveBackRunResources();
         if (descriptors() != before) return 2;
         os::takeRunResources();
         raise(SIGTERM);
         return os::stopRequested() ? 0 : 1;
       },
       false, 0},
      {"1: console text held back, or cut short by an errno left as EINTR; -1: a console that lost its reader "
       "ended the run",
       [] {
         int ends[2];
         char got[16] = {};
         if (pipe(ends) != 0 || dup2(ends[1], STDOUT_FILENO) < 0) return 2;
         errno = EINTR;  // left by a pause a stop request cut short
         os::writeConsole("Connected\n.", 11);  // nothing is flushed before the read
         if (read(ends[0], got, sizeof got - 1) != 11 || std::string(got) != "Connected\n.") return 1;
         close(ends[0]);  // `korrin-update | tee`, and the Ctrl-C ended tee
         os::takeRunResources();
         os::writeConsole(".", 1);
         return 0;
       },
       false, 0},
  };
  for (const auto& [what, body, stop, expected] : cases) {
    EXPECT_EQ(inChild(body, [stop = stop](pid_t child) {
                if (!stop) return;
                std::this_thread::sleep_for(milliseconds(50));
                kill(child, SIGTERM);
              }),
              expected)
        << what;
  }
}

// A folder of this test's own, used as XDG_STATE_HOME and HOME; removed with
// everything in it.
struct StateHome {
  StateHome() {
    char pattern[] = "/tmp/korrin-state-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path = pattern;
    for (const char* name : {"XDG_STATE_HOME", "HOME"})
      if (const char* value = getenv(name)) saved.emplace_back(name, value);
  }
  ~StateHome() {
    unsetenv("XDG_STATE_HOME");
    unsetenv("HOME");
    for (const auto& [name, value] : saved) setenv(name.c_str(), value.c_str(), 1);
    EXPECT_TRUE(path.empty() || system(("rm -rf '" + path + "'").c_str()) == 0);
  }
  // The folder the seam gives for these variables (null: unset), or "(none)".
  std::string folderFor(const char* xdgStateHome) const {
    xdgStateHome ? setenv("XDG_STATE_HOME", xdgStateHome, 1) : unsetenv("XDG_STATE_HOME");
    setenv("HOME", path.c_str(), 1);
    char folder[512] = "";
    return os::userDataFolder(folder, sizeof folder) ? folder : "(none)";
  }
  std::string path;
  std::vector<std::pair<std::string, std::string>> saved;  // the variables that were set
};

mode_t modeOf(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

void collect(const char* name, void* names) { static_cast<std::vector<std::string>*>(names)->push_back(name); }

std::vector<std::string> filesIn(const std::string& folder) {
  std::vector<std::string> names;
  os::listFiles(folder.c_str(), collect, &names);
  return names;
}

std::string readBack(const std::string& path, std::size_t capacity = 64) {
  char bytes[64];
  std::size_t count = 99;
  if (!os::readWholeFile(path.c_str(), bytes, std::min(capacity, sizeof bytes), &count)) return "(unread)";
  return std::string(bytes, count);
}

TEST(SeamFiles, TheFolderIsTheUsersAndCreatedForTheOwnerOnly) {
  StateHome state;
  ASSERT_FALSE(state.path.empty());
  const std::string xdg = state.path + "/xdg/state";
  EXPECT_EQ(state.folderFor(xdg.c_str()), xdg + "/korrin/");
  EXPECT_EQ(state.folderFor((xdg + "/").c_str()), xdg + "/korrin/") << "a slash at its end";
  EXPECT_EQ(state.folderFor(nullptr), state.path + "/.local/state/korrin/");
  EXPECT_EQ(state.folderFor("state"), state.path + "/.local/state/korrin/") << "relative: ignored";
  for (const std::string& created : {state.path + "/xdg", xdg, xdg + "/korrin", state.path + "/.local",
                                     state.path + "/.local/state/korrin"})
    EXPECT_EQ(modeOf(created), 0700u) << created;
  char tooSmall[8];
  EXPECT_FALSE(os::userDataFolder(tooSmall, sizeof tooSmall));
  std::ofstream(state.path + "/blocked").put('x');  // a file where the folder should be
  EXPECT_EQ(state.folderFor((state.path + "/blocked").c_str()), "(none)");
}

TEST(SeamFiles, TemporariesOfAKilledSaveGoWhenTheFolderIsOpened) {
  StateHome state;
  const std::string folder = state.folderFor(nullptr);
  ASSERT_NE(folder, "(none)");
  const pid_t ended = fork();  // a process that has ended: its pid names no process now
  if (ended == 0) _exit(0);
  ASSERT_TRUE(ended > 0 && waitpid(ended, nullptr, 0) == ended);
  const std::string gone = std::to_string(ended);
  const std::pair<std::string, bool> files[] = {
      {".config-0badf00d.bin." + gone + ".0.tmp", false},
      {".config-0badf00d.bin." + std::to_string(getpid()) + ".0.tmp", true},  // a save under way
      {".config-0badf00d.bin.1.0.tmp", true},  // another updater's save, still running
      {".config-0badf00d.bin.tmp", true}, {"config-0badf00d.bin", true}, {".." + gone + ".tmp", true},
      {".config-0badf00d.bin." + gone + ".x.tmp", true}};  // not a name a save gives
  for (const auto& [name, stays] : files) std::ofstream(folder + name).put('x');
  ASSERT_EQ(state.folderFor(nullptr), folder);
  for (const auto& [name, stays] : files) EXPECT_EQ(modeOf(folder + name) != 0, stays) << name;
}

// Files are replaced whole, for the owner only; a claim never replaces; what
// fails leaves the file as it was and no temporary file behind.
TEST(SeamFiles, DurableWritesReplaceWholeFilesForTheOwnerOnly) {
  using os::FileClaim;
  StateHome state;
  const std::string folder = state.folderFor(nullptr), saved = folder + "records.bin";
  ASSERT_NE(folder, "(none)");
  ASSERT_EQ(mkdir((folder + "sub").c_str(), 0700), 0);
  const std::string longer("second\0with a NUL", 17);
  struct Case {
    const char* name;
    const char* bytes;
    std::size_t count;
    bool claim;  // claimFileDurably, else writeFileDurably (Claimed: written)
    FileClaim result;
    std::string holds;  // what the file then holds; "(unread)": no file
  } const cases[] = {
      {"records.bin", "first", 5, false, FileClaim::Claimed, "first"},
      {"records.bin", longer.data(), 17, false, FileClaim::Claimed, longer},
      {"empty", nullptr, 0, false, FileClaim::Claimed, ""},
      {"one", "1", 1, false, FileClaim::Claimed, "1"},
      {"records.bin", "other", 5, true, FileClaim::Taken, longer},
      {"claimed", "new", 3, true, FileClaim::Claimed, "new"},
      {"nothing", nullptr, 0, true, FileClaim::Claimed, ""},
      {"records.bin", nullptr, 1, false, FileClaim::Failed, longer},
      {"sub", "x", 1, false, FileClaim::Failed, "(unread)"},  // a folder is not replaced, nor read as a file
      {"", "x", 1, false, FileClaim::Failed, "(unread)"},
      {"missing/file", "x", 1, false, FileClaim::Failed, "(unread)"},
      {"missing/file", "x", 1, true, FileClaim::Failed, "(unread)"},
  };
  for (const Case& c : cases) {
    const std::string path = folder + c.name;
    const FileClaim result = c.claim ? os::claimFileDurably(path.c_str(), c.bytes, c.count)
                             : os::writeFileDurably(path.c_str(), c.bytes, c.count) ? FileClaim::Claimed
                                                                                     : FileClaim::Failed;
    EXPECT_EQ(result, c.result) << c.name;
    EXPECT_EQ(readBack(path), c.holds) << c.name;
    EXPECT_TRUE(c.result == FileClaim::Failed || modeOf(path) == 0600u) << c.name << ": " << modeOf(path);
  }
  EXPECT_FALSE(os::writeFileDurably(nullptr, "x", 1));
  // errno left as EINTR by an earlier call a signal cut short changes nothing.
  EXPECT_EQ(inChild([&] { errno = EINTR; return readBack(saved) == longer ? 0 : 1; }), 0);
  EXPECT_EQ(readBack(saved, 17), longer) << "exactly the capacity";
  EXPECT_EQ(readBack(saved, 16), "(unread)") << "one byte over the capacity";
  // A write that fails half way (the file size limit stands in for a full
  // disk) or whose flush the disk refuses.
  EXPECT_EQ(inChild([&] {
              signal(SIGXFSZ, SIG_IGN);
              const rlimit limit{4, 4};
              return setrlimit(RLIMIT_FSIZE, &limit) != 0 || os::writeFileDurably(saved.c_str(), "too long", 8);
            }),
            0);
#if defined(__linux__)
  EXPECT_EQ(inChild([&] { return (flushesFail = true) && os::writeFileDurably(saved.c_str(), "unflushed", 9); }), 0);
  // A regular file whose read fails (EIO), as on a failing disk: refused, not read for ever.
  EXPECT_EQ(inChild([] { return readBack("/proc/self/mem") == "(unread)" ? 0 : 1; }), 0);
#endif
  EXPECT_EQ(readBack(saved), longer);
  // Only regular files are listed, in order, and no temporary file is left.
  ASSERT_EQ(symlink(saved.c_str(), (folder + "link").c_str()), 0);
  EXPECT_EQ(filesIn(folder), (std::vector<std::string>{"claimed", "empty", "nothing", "one", "records.bin"}));
  EXPECT_TRUE(filesIn(folder + "missing/").empty());
  EXPECT_TRUE(os::deleteFile(saved.c_str()));
  EXPECT_EQ(readBack(saved), "(unread)");
  EXPECT_FALSE(os::deleteFile(saved.c_str()));
}

// Two updaters saving a copy of the same readout at the same moment (units
// with the factory's records, on two ports): each keeps a whole file of its
// own, so neither run can later remove the other's only copy.
TEST(SeamFiles, TwoSavesOfOneReadoutAtOnceKeepTwoFiles) {
  StateHome state;
  const std::string folder = state.folderFor(nullptr);
  ASSERT_NE(folder, "(none)");
  auto copy = std::make_unique<korrin::SavedCopy>();
  copy->conversion = korrin::convertReadout(korrin::ConfigImage{}, korrin::ConfigMode::Legacy, korrin::carriedPackage());
  for (int round = 0; round < 5; ++round) {
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    const auto save = [&] {
      char go = 0;
      return read(start[0], &go, 1) == 1 &&
             korrin::saveCopy(korrin::readSavedCopies().store, *copy) == korrin::CopySave::Saved ? 0 : 1;
    };
    // Two savers wait for the word, given once both are there.
    const auto second = [&](pid_t) {
      EXPECT_EQ(inChild(save, [&](pid_t) { EXPECT_EQ(write(start[1], "go", 2), 2); }), 0) << "a save failed";
    };
    EXPECT_EQ(inChild(save, second), 0) << "a save failed";
    close(start[0]);
    close(start[1]);
    const korrin::SavedCopies saved = korrin::readSavedCopies();
    EXPECT_EQ(saved.copies.size(), 2u) << "round " << round;
    EXPECT_TRUE(saved.unreadable.empty());
    for (const korrin::SavedCopy& each : saved.copies) EXPECT_TRUE(os::deleteFile(each.path.c_str()));
    EXPECT_TRUE(filesIn(folder).empty()) << "a temporary file left behind";
  }
}

#if defined(__linux__)
TEST(SeamPorts, ListedByIdFirstThenByFamilyAndNumber) {
  StateHome root;
  ASSERT_FALSE(root.path.empty());
  const std::pair<const char*, const char*> files[] = {
      {"/dev/ttyS10", ""}, {"/dev/ttyS2", ""}, {"/dev/ttyS1", ""}, {"/dev/ttyS0", ""}, {"/dev/ttyUSB10", ""},
      {"/dev/ttyUSB2", ""}, {"/dev/ttyACM0", ""}, {"/dev/ttyUSBx", ""}, {"/dev/tty0", ""}, {"/dev/ttySA", ""},
      {"/dev/serial/by-id/usb-FTDI_B-if00-port0", ""}, {"/dev/serial/by-id/usb-FTDI_A-if00-port0", ""},
      // 4 is a 16550A; 0 means no UART; ttyS2 says nothing and ttyS10's record is empty, so both are listed.
      {"/sys/class/tty/ttyS0/type", "4\n"}, {"/sys/class/tty/ttyS1/type", "0\n"}, {"/sys/class/tty/ttyS10/type", ""}};
  for (const auto& [path, contents] : files) {
    ASSERT_EQ(system(("mkdir -p \"$(dirname '" + root.path + path + "')\"").c_str()), 0);
    std::ofstream(root.path + path) << contents;
  }
  const std::vector<std::string> expected = {"/dev/serial/by-id/usb-FTDI_A-if00-port0",
                                             "/dev/serial/by-id/usb-FTDI_B-if00-port0", "/dev/ttyUSB2",
                                             "/dev/ttyUSB10", "/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyS2", "/dev/ttyS10"};
  for (const std::string& under : {root.path, root.path + "/sys"}) {  // the second has no /dev at all
    std::vector<std::string> ports;
    os::posix::listSerialPortsUnder(under.c_str(), collect, &ports);
    EXPECT_EQ(ports, under == root.path ? expected : std::vector<std::string>{});
  }
}
#endif

}  // namespace
