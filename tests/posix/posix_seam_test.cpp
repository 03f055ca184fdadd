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
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
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
  ~Pty() {
    unsetenv("KORRIN_COM3");
    closeMaster();
  }
  bool ok() const { return master >= 0 && !slave.empty(); }
  void closeMaster() { close(std::exchange(master, -1)); }
  void write(const Bytes& bytes) const {
    EXPECT_EQ(::write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // What the master receives until nothing more comes for `quietMs`.
  Bytes read(int quietMs) const {
    Bytes got;
    std::uint8_t buffer[512];
    for (pollfd wait{master, POLLIN, 0}; poll(&wait, 1, quietMs) > 0;) {
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      got.insert(got.end(), buffer, buffer + n);
    }
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
  int fd() const { return port->fd; }
  bool write(const void* bytes, std::size_t count) { return os::writePort(port, bytes, count); }
  void close() { os::closePort(std::exchange(port, nullptr)); }
  std::string failure() const { return os::portFailure(port); }
  os::Port* port;
};

// The line as the updater sets it at `baud`, with `change` made to it.
os::LineSettings settingsWith(std::uint32_t baud, void (*change)(os::LineSettings&)) {
  os::LineSettings line = korrin::lineSettings(baud);
  change(line);
  return line;
}

// Runs `body` in a child process that exits with its result without flushing
// anything (a hang ends with the alarm), and `meanwhile` here. Returns the
// child's exit status, or -1 when it did not exit.
template <typename Body, typename Meanwhile = void (*)(pid_t)>
int inChild(Body body, Meanwhile meanwhile = [](pid_t) {}) {
  const pid_t child = fork();
  if (child == 0) {
    alarm(5);
    _exit(body());
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
  for (const char* name : {"COM0", "COM01", "COM256", "COM", "COM1x", "LPT1", "NUL", "ttyS0", "", "/nonexistent/x"}) {
    char path[64];
    EXPECT_FALSE(os::posix::devicePathFor(name, path, sizeof path) && Port(name).ok()) << name;
  }
  char exact[11], tooSmall[10];  // each needs 11 bytes with its NUL
  EXPECT_TRUE(os::posix::devicePathFor("COM1", exact, sizeof exact) &&
              os::posix::devicePathFor("/dev/ttyS0", exact, sizeof exact));
  EXPECT_FALSE(os::posix::devicePathFor("COM1", tooSmall, sizeof tooSmall) ||
               os::posix::devicePathFor("/dev/ttyS0", tooSmall, sizeof tooSmall));
}

// The updater's own SerialPort opens a pty; a regular file named as the port
// is no port and stays as it was.
TEST(SeamOpen, OnlyATerminalIsAPort) {
  Pty pty;
  korrin::SerialPort port;
  ASSERT_TRUE(port.open("COM3", 28800)) << "the line settings as the updater sets them";
  port.writeByte('E');
  EXPECT_EQ(port.bytesAvailable(), 0u);
  EXPECT_EQ(pty.read(100), Bytes{'E'});
  EXPECT_FALSE(Port().ok()) << "the port is the updater's";
  port.close();
  char file[] = "/tmp/korrin-not-a-port-XXXXXX";
  ASSERT_EQ(close(mkstemp(file)), 0);
  setenv("KORRIN_COM3", file, 1);
  EXPECT_FALSE(Port().ok() || port.open("COM3", 9600));
  port.writeByte('E');
  struct stat info {};
  EXPECT_TRUE(stat(file, &info) == 0 && info.st_size == 0) << "protocol bytes written into a file";
  unlink(file);
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
  port_.close();
  EXPECT_TRUE(Port().ok()) << "the port is free again after closing";
  if (plainWhileOpen == 3) GTEST_SKIP() << "cannot run a process without root here";
  EXPECT_EQ(plainWhileOpen, 0) << "a program that does not lock, while the port is open";
  EXPECT_EQ(inChild(plainOpen), 1) << "a program that does not lock, after the port is closed";
}

// An open either sets the line up as asked or fails; it never leaves a line
// that works otherwise than the settings say.
TEST(SeamOpen, SettingsTakeEffectOrAreRefused) {
  struct Case {
    const char* what;
    void (*change)(os::LineSettings&);
    DriverFault fault;
    bool accepted;
  } const cases[] = {
      {"8N1 as the updater asks", [](os::LineSettings&) {}, {}, true},
      // A pseudo-terminal keeps 8 bits without parity whatever it is told:
      // tcsetattr succeeds, only reading back shows it.
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
  for (const Case& c : cases) {
    driverFault = c.fault;
    EXPECT_EQ(Port("COM3", settingsWith(28800, c.change)).ok(), c.accepted) << c.what;
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
    ASSERT_EQ(tcsetattr(other, TCSANOW, &line), 0);
    close(other);
    Port port("COM3", korrin::lineSettings(baud));
    KernelLineSpeed speed{};
    ASSERT_TRUE(port.ok() && readKernelLineSpeed(port.fd(), &speed) && tcgetattr(port.fd(), &line) == 0) << baud;
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
    EXPECT_EQ(pty.read(0), Bytes{}) << what << ": out before the line is used";
    next(port);
    EXPECT_EQ(drainCount, 1) << what;
    EXPECT_EQ(pty.read(100), (Bytes{'B', '0', '2', '8', '8', '0', '0'})) << what;
    port.bytesAvailable();
    EXPECT_EQ(drainCount, 1) << what << ": drained again with nothing written since";
  }
}

// A driver that takes no more bytes (here: nobody reads the far end) ends a
// write at its bound, no sooner and not much later, and what it took went out
// in order. An errno left as EINTR by an earlier call changes nothing of the settings.
TEST(SeamWrite, AWriteThatCannotFinishEndsAtItsBound) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  EXPECT_EQ(inChild([] {
              errno = EINTR;
              return Port().ok() ? 0 : 1;
            }),
            0);
  Port port("COM3", settingsWith(28800, [](os::LineSettings& l) { l.writeMsPerByte = 0, l.writeSlackMs = 300; }));
  ASSERT_TRUE(port.ok());
  static std::vector<std::uint8_t> flood(4 << 20);
  for (std::size_t i = 0; i < flood.size(); ++i) flood[i] = static_cast<std::uint8_t>(i % 253);
  const auto start = Clock::now();
  EXPECT_FALSE(port.write(flood.data(), flood.size()));
  const auto took = Clock::now() - start;
  EXPECT_TRUE(took >= milliseconds(300) && took < milliseconds(800))
      << std::chrono::duration_cast<milliseconds>(took).count() << " ms";
  EXPECT_NE(port.failure().find(" of 4194304 bytes not taken within the write time-out"), std::string::npos)
      << port.failure();
  const Bytes taken = pty.read(100);
  ASSERT_FALSE(taken.empty());
  EXPECT_TRUE(std::equal(taken.begin(), taken.end(), flood.begin())) << "a part written twice or skipped";
}

// A drain ends within the bound of what was handed over, whatever the driver
// does, and a stop request meanwhile neither ends it early nor holds it; a
// driver without a drain of its own gets the bytes' line time instead. Here
// 120 bytes at 2400 baud (500 ms on the line) and a bound of 2 ms a byte and
// 300 ms (540 ms).
TEST(SeamDrain, EndsWithinItsBoundOrWaitsTheLineTime) {
  struct Case {
    const char* what;
    DrainFault fault;
    bool stop;          // SIGINT 100 ms into the drain, stop requests caught
    int fromMs, toMs;   // how long the drain takes, from the write on (a loaded machine is slow)
    const char* failure;  // the port's reason; null: drained
  } const cases[] = {
      {"a driver that drains", DrainFault::None, false, 0, 300, nullptr},
      {"a driver without a drain", DrainFault::Unsupported, false, 500, 800, nullptr},
      {"a line that never reports empty", DrainFault::NeverEmpty, false, 540, 840,
       "tcdrain: the line did not report empty within the write time-out"},
      {"... and a stop meanwhile", DrainFault::NeverEmpty, true, 540, 840,
       "tcdrain: the line did not report empty within the write time-out"},
      {"a queue that never empties", DrainFault::QueueStuck, false, 540, 840,
       "tcdrain: 10 of 120 bytes still queued at the write time-out"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Pty pty;
    ASSERT_TRUE(pty.ok());
    const int result = inChild(
        [&] {
          if (c.stop) os::takeRunResources();
          Port port("COM3", settingsWith(2400, [](os::LineSettings& l) { l.writeMsPerByte = 2, l.writeSlackMs = 300; }));
          const std::uint8_t bytes[120] = {};
          const auto start = Clock::now();
          if (!port.write(bytes, sizeof bytes)) return 1;
          drainFault = c.fault;
          const bool drained = os::drainPort(port.port);
          const auto took = Clock::now() - start;
          if (drained != (c.failure == nullptr)) return 2;
          if (c.failure != nullptr && port.failure() != c.failure) return 3;
          if (took < milliseconds(c.fromMs) || took >= milliseconds(c.toMs)) return 4;
          return c.stop && !os::stopRequested() ? 5 : 0;
        },
        [&](pid_t child) {
          if (!c.stop) return;
          std::this_thread::sleep_for(milliseconds(100));
          kill(child, SIGINT);
        });
    EXPECT_EQ(result, 0) << "1: not written, 2: drained or not, 3: another reason, 4: too soon or too late, "
                            "5: the stop forgotten, -1: still waiting at the alarm";
  }
}

// When the device goes away (the far end closes: EIO; the line is hung up:
// reads return 0, as on an unplugged USB adapter) a read for bytes that will
// never come ends.
// What the receive queue reports is read whole and at once: the updater asks
// for no more than that, and a read that waited on would cost a reply's time.
TEST_F(SeamOnPty, ReadTakesWhatIsWaitingAtOnce) {
  pty_.write({'C', 'S', '='});
  std::uint32_t waiting = 0;
  for (auto deadline = Clock::now() + std::chrono::seconds(1); waiting < 3 && Clock::now() < deadline;)
    ASSERT_TRUE(os::bytesWaiting(port_.port, waiting));
  ASSERT_EQ(waiting, 3u);
  char buffer[3] = {};
  std::uint32_t got = 0;
  const auto started = Clock::now();
  EXPECT_TRUE(os::readPort(port_.port, buffer, waiting, got)) << port_.failure();
  EXPECT_LT(Clock::now() - started, milliseconds(50));
  EXPECT_EQ(std::string(buffer, got), "CS=");
}

TEST(SeamRead, EndsWhenTheDeviceGoesAway) {
  for (const char* how : {"far end closed", "line hung up"}) {
    SCOPED_TRACE(how);
    const bool hangUp = how[0] == 'l';
    Pty pty;
    Port port("COM3", korrin::lineSettings(9600));
    ASSERT_TRUE(pty.ok() && port.ok());
    bool gone = true;
    // 0: failed after the two bytes that came, saying why, 1: succeeded, 2:
    // failed with more bytes than came, 3: with fewer, 4: without a reason,
    // -1: still waiting at the alarm.
    const int result = inChild(
        [&] {
          pty.closeMaster();  // only the parent's master keeps the line up
          char buffer[4];
          std::uint32_t read = 99;
          errno = EINTR;  // left by an earlier call a signal cut short
          if (os::readPort(port.port, buffer, sizeof buffer, read)) return 1;
          if (port.failure().rfind("read: ", 0) != 0) return 4;
          return read == 2 ? 0 : read > 2 ? 2 : 3;
        },
        [&](pid_t reader) {
          pty.write({'O', 'k'});
          std::this_thread::sleep_for(milliseconds(50));
          gone = hangUp ? ioctl(port.fd(), TIOCVHANGUP) == 0 : (pty.closeMaster(), true);
          if (!gone) kill(reader, SIGKILL);
        });
    if (!gone) GTEST_SKIP() << "cannot hang up a terminal here";
    // A hang-up throws away what was not read yet.
    EXPECT_TRUE(result == 0 || (how != std::string("far end closed") && result == 3)) << result;
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
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    close(fds[1]);
    // 0: the key, then the rest of the input still there; 1: another key; 2: other bytes left.
    EXPECT_EQ(inChild([&, input = input, key = key] {
                dup2(fds[0], STDIN_FILENO);
                os::discardTypedAhead();  // a script's answers are meant for the questions
                if (os::readKey() != key) return 1;
                char rest[16];
                const ssize_t left = read(STDIN_FILENO, rest, sizeof rest);
                return input.substr(input.empty() ? 0 : 1) == std::string(rest, std::max<ssize_t>(left, 0)) ? 0 : 2;
              }),
              0)
        << "input \"" << input << '"';
    close(fds[0]);
  }
  Pty terminal;
  const int slave = open(terminal.slave.c_str(), O_RDWR | O_NOCTTY);
  termios before{}, after{};
  ASSERT_TRUE(terminal.ok() && slave >= 0 && tcgetattr(slave, &before) == 0);
  ASSERT_EQ(before.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO)) << "a new terminal is cooked";
  terminal.write({'y'});
  ASSERT_EQ(terminal.read(200), Bytes{'y'}) << "the cooked terminal's echo: the key is in its input queue";
  const int key = inChild(
      [&] {
        dup2(slave, STDIN_FILENO);
        os::discardTypedAhead();
        return os::readKey();
      },
      [&](pid_t) {
        EXPECT_TRUE(waitUntilRaw(slave)) << "the terminal still waited for Enter";
        terminal.write({'k'});
      });
  EXPECT_EQ(key, 'k') << "the key typed before the question answered it";
  EXPECT_TRUE(terminal.read(100).empty()) << "the key was echoed";
  ASSERT_EQ(tcgetattr(slave, &after), 0);
  EXPECT_TRUE(after.c_lflag == before.c_lflag && after.c_iflag == before.c_iflag) << "the terminal was left raw";
  close(slave);
}

TEST(SeamConsole, TextIsOutAtOnce) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  // The child ends without flushing: a buffered console leaves the pipe empty.
  EXPECT_EQ(inChild([&] {
              dup2(fds[1], STDOUT_FILENO);
              errno = EINTR;  // left by a pause a stop request cut short
              os::writeConsole("Connected\n.", 11);
              return 0;
            }),
            0);
  close(fds[1]);
  char got[32] = {};
  EXPECT_EQ(read(fds[0], got, sizeof got - 1), 11);
  close(fds[0]);
  EXPECT_STREQ(got, "Connected\n.");
}

// The operator's stop (Ctrl-C at the shell, kill, a closed terminal window)
// is remembered instead of ending the process in the middle of a block; a
// wait for a key ends at once, also when another thread takes the signal; a
// pause still lasts its full time; and once given back, the signals act as
// before the run.
TEST(SeamStop, SignalsAreRememberedAndEndAWaitForAKey) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    for (bool fromTerminal : {true, false}) {  // from a pipe, the signal is taken by another thread
      SCOPED_TRACE(std::string(strsignal(signal)) + (fromTerminal ? ", key from a terminal" : ", from a pipe"));
      Pty terminal;
      int fds[2];
      ASSERT_TRUE(terminal.ok() && pipe(fds) == 0);
      const int from = fromTerminal ? open(terminal.slave.c_str(), O_RDWR | O_NOCTTY) : fds[0];
      ASSERT_GE(from, 0);
      auto sent = Clock::now();
      // 0: the wait ended with -1 and the stop is remembered.
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
                      // The next prompt, after the stop, does not wait at all.
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
      for (int fd : {fds[0], fds[1], fromTerminal ? from : -1}) close(fd);
    }
  }
  const int slept = inChild(
      [] {
        os::takeRunResources();
        const auto start = Clock::now();
        os::sleepMs(1000);  // a whole second: its own unit
        const auto took = Clock::now() - start;
        return took >= milliseconds(1000) && took < milliseconds(1100) && os::stopRequested() ? 0 : 1;
      },
      [](pid_t child) {
        std::this_thread::sleep_for(milliseconds(50));
        kill(child, SIGTERM);
      });
  EXPECT_EQ(slept, 0) << "a pause cut short by the signal, or not as long as asked";
  const int given = inChild([] {
    ::signal(SIGHUP, SIG_IGN);  // as nohup starts a program
    ::signal(SIGTERM, SIG_DFL);
    os::takeRunResources();
    raise(SIGHUP);
    if (os::stopRequested()) return 1;  // an ignored signal stays ignored
    os::giveBackRunResources();
    raise(SIGTERM);
    return 2;  // still alive: the signal was not given back
  });
  EXPECT_EQ(given, -1) << "1: an ignored signal was taken as a stop; 2: a signal given back did not end the process";
  const int teeGone = inChild([] {
    int ends[2];
    if (pipe(ends) != 0 || dup2(ends[1], STDOUT_FILENO) < 0) return 1;
    close(ends[0]);  // `korrin-update | tee`, and the Ctrl-C ended tee
    os::takeRunResources();
    os::writeConsole(".", 1);
    return 0;
  });
  EXPECT_EQ(teeGone, 0) << "a console that lost its reader ended the run";
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
                                     state.path + "/.local/state/korrin"}) {
    EXPECT_EQ(modeOf(created), 0700u) << created;
  }
  char tooSmall[8];
  EXPECT_FALSE(os::userDataFolder(tooSmall, sizeof tooSmall));
  std::ofstream(state.path + "/blocked").put('x');  // a file where the folder should be
  EXPECT_EQ(state.folderFor((state.path + "/blocked").c_str()), "(none)");
}

TEST(SeamFiles, TemporariesOfAKilledSaveGoWhenTheFolderIsOpened) {
  StateHome state;
  const std::string folder = state.folderFor(nullptr);
  ASSERT_NE(folder, "(none)");
  pid_t gone = fork();  // a process that has ended: its pid names no process now
  if (gone == 0) _exit(0);
  ASSERT_GT(gone, 0);
  ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
  const std::pair<std::string, bool> files[] = {
      {".config-0badf00d.bin." + std::to_string(gone) + ".0.tmp", false},
      {".config-0badf00d.bin." + std::to_string(getpid()) + ".0.tmp", true},  // a save under way
      {".config-0badf00d.bin.1.0.tmp", true},  // another updater's save, still running
      {".config-0badf00d.bin.tmp", true}, {"config-0badf00d.bin", true}};
  for (const auto& [name, stays] : files) std::ofstream(folder + name).put('x');
  ASSERT_EQ(state.folderFor(nullptr), folder);
  for (const auto& [name, stays] : files) EXPECT_EQ(modeOf(folder + name) != 0, stays) << name;
}

TEST(SeamFiles, DurableWritesReplaceWholeFilesForTheOwnerOnly) {
  StateHome state;
  const std::string folder = state.folderFor(nullptr), saved = folder + "records.bin";
  ASSERT_NE(folder, "(none)");
  const std::string longer("second\0with a NUL", 17);
  const std::pair<std::string, std::string> writes[] = {{"records.bin", "first"}, {"records.bin", longer},
                                                        {"empty", ""}, {"one", "1"}};
  for (const auto& [name, bytes] : writes) {
    ASSERT_TRUE(os::writeFileDurably((folder + name).c_str(), bytes.empty() ? nullptr : bytes.data(), bytes.size()));
    EXPECT_EQ(readBack(folder + name), bytes);
    EXPECT_EQ(modeOf(folder + name), 0600u);
  }
  // errno left as EINTR by an earlier call a signal cut short changes nothing.
  EXPECT_EQ(inChild([&] { errno = EINTR; return readBack(saved) == longer ? 0 : 1; }), 0);
  EXPECT_EQ(readBack(saved, 17), longer) << "exactly the capacity";
  EXPECT_EQ(readBack(saved, 16), "(unread)") << "one byte over the capacity";

  // Only regular files are listed, in order, and no temporary file is left.
  ASSERT_EQ(mkdir((folder + "sub").c_str(), 0700), 0);
  ASSERT_EQ(symlink(saved.c_str(), (folder + "link").c_str()), 0);
  const std::vector<std::string> files = {"empty", "one", "records.bin"};
  EXPECT_EQ(filesIn(folder), files);
  EXPECT_TRUE(filesIn(folder + "missing/").empty());

  // A write that fails half way (the file size limit stands in for a full
  // disk) or whose flush the disk refuses leaves the old file as it was, and
  // no temporary file.
  EXPECT_EQ(inChild([&] {
              signal(SIGXFSZ, SIG_IGN);
              rlimit limit{4, 4};
              if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
              return os::writeFileDurably(saved.c_str(), "too long for the limit", 22) ? 1 : 0;
            }),
            0);
#if defined(__linux__)
  EXPECT_EQ(inChild([&] {
              flushesFail = true;
              return os::writeFileDurably(saved.c_str(), "unflushed", 9) ? 1 : 0;
            }),
            0);
#endif
  EXPECT_EQ(readBack(saved), longer);
  EXPECT_FALSE(os::writeFileDurably((folder + "sub").c_str(), "x", 1)) << "a folder is not replaced";
  EXPECT_FALSE(os::writeFileDurably((folder + "missing/file").c_str(), "x", 1) ||
               os::writeFileDurably(nullptr, "x", 1) || os::writeFileDurably(saved.c_str(), nullptr, 1) ||
               os::writeFileDurably(folder.c_str(), "x", 1));
  EXPECT_EQ(filesIn(folder), files);

  // A claim never replaces: the name in use keeps its bytes.
  EXPECT_EQ(os::claimFileDurably(saved.c_str(), "other", 5), os::FileClaim::Taken);
  EXPECT_EQ(readBack(saved), longer);
  EXPECT_EQ(os::claimFileDurably((folder + "claimed").c_str(), "new", 3), os::FileClaim::Claimed);
  EXPECT_EQ(readBack(folder + "claimed"), "new");
  EXPECT_EQ(modeOf(folder + "claimed"), 0600u);
  EXPECT_EQ(os::claimFileDurably((folder + "missing/file").c_str(), "x", 1), os::FileClaim::Failed);
  EXPECT_TRUE(os::deleteFile((folder + "claimed").c_str()));
  EXPECT_EQ(filesIn(folder), files);

  EXPECT_TRUE(os::deleteFile(saved.c_str()));
  EXPECT_EQ(readBack(saved), "(unread)");
  EXPECT_FALSE(os::deleteFile(saved.c_str()));
  EXPECT_EQ(readBack(folder + "sub"), "(unread)") << "a folder is not a file";
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
    std::vector<pid_t> savers;
    for (int i = 0; i < 2; ++i) {
      const pid_t saver = fork();
      if (saver == 0) {
        alarm(5);
        char go = 0;
        _exit(read(start[0], &go, 1) == 1 && korrin::saveCopy(korrin::readSavedCopies().store, *copy) ==
                                                   korrin::CopySave::Saved ? 0 : 1);
      }
      savers.push_back(saver);
    }
    ASSERT_EQ(write(start[1], "go", 2), 2);  // both at once
    for (const pid_t saver : savers) {
      int status = -1;
      EXPECT_EQ(waitpid(saver, &status, 0), saver);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a save failed";
    }
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
  auto make = [&](const std::string& path, const char* contents = "") {
    ASSERT_EQ(system(("mkdir -p \"$(dirname '" + root.path + path + "')\"").c_str()), 0);
    std::ofstream(root.path + path) << contents;
  };
  for (const char* device : {"/dev/ttyS10", "/dev/ttyS2", "/dev/ttyS1", "/dev/ttyS0", "/dev/ttyUSB10",
                             "/dev/ttyUSB2", "/dev/ttyACM0", "/dev/ttyUSBx", "/dev/tty0", "/dev/ttySA",
                             "/dev/serial/by-id/usb-FTDI_B-if00-port0", "/dev/serial/by-id/usb-FTDI_A-if00-port0"}) {
    make(device);
  }
  // 4 is a 16550A; 0 means no UART; ttyS2 says nothing, so it is listed.
  make("/sys/class/tty/ttyS0/type", "4\n");
  make("/sys/class/tty/ttyS1/type", "0\n");
  make("/sys/class/tty/ttyS10/type", "4\n");
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
