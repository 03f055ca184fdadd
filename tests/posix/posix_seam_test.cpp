// The real POSIX seam on pseudo-terminals: the seam opens the slave side as its
// COM port, the test plays the unit on the master side.
#include "platform/os.h"
#include "platform/posix/device_path.h"
#include "platform/posix/serial_ports.h"
#include "termios2_probe.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#if defined(__linux__)
// A pseudo-terminal has no output queue, so tcdrain returns at once and a
// missing drain cannot be seen on the line. This definition takes the C
// library's place in this program and counts the drains.
static int drainCount = 0;
extern "C" int tcdrain(int fd) {
  ++drainCount;
  return ioctl(fd, TCSBRK, 1);
}
#endif

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
      ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }

  int master;
  std::string slave;
};

// The port opened exactly as the updater opens it, closed with the scope.
// Reads and counts give 0xFFFFFFFF when the call fails.
struct Port {
  explicit Port(const char* name = "COM3")
      : handle(os::CreateFileA(name, os::GENERIC_READ | os::GENERIC_WRITE, 0, nullptr, os::OPEN_EXISTING, 0,
                               nullptr)) {}
  ~Port() { close(); }
  bool ok() const { return handle != os::INVALID_HANDLE_VALUE; }
  int fd() const { return static_cast<int>(reinterpret_cast<std::intptr_t>(handle)); }
  // The line the updater asks for, then `change` made to it. What is left zero
  // means no parity, one stop bit, no flow control, DTR and RTS inactive.
  bool set(os::DWORD baud, void (*change)(os::DCB&) = [](os::DCB&) {}) {
    os::DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = baud;
    dcb.fBinary = 1;
    dcb.XonLim = 2;
    dcb.XoffLim = 4;
    dcb.ByteSize = 8;
    dcb.XonChar = 0x13;
    dcb.XoffChar = 0x19;
    change(dcb);
    return os::SetCommState(handle, &dcb) != 0;
  }
  bool write(const void* bytes, os::DWORD count) {
    os::DWORD written = 0;
    return os::WriteFile(handle, bytes, count, &written, nullptr) && written == count;
  }
  os::DWORD read(void* bytes, os::DWORD count) {
    os::DWORD got = 0;
    return os::ReadFile(handle, bytes, count, &got, nullptr) ? got : 0xFFFFFFFFu;
  }
  os::DWORD waiting() {
    os::COMSTAT stat{};
    return os::ClearCommError(handle, nullptr, &stat) ? stat.cbInQue : 0xFFFFFFFFu;
  }
  bool close() {
    bool closed = ok() && os::CloseHandle(handle);
    handle = os::INVALID_HANDLE_VALUE;
    return closed;
  }

  os::HANDLE handle;
};

// Runs `body` in a child process that exits with its result without flushing
// anything; a hang ends with the alarm.
template <typename Body>
pid_t forkChild(Body body) {
  pid_t child = fork();
  if (child == 0) {
    alarm(5);
    _exit(body());
  }
  return child;
}

// The child's exit status, or -1 when it did not exit normally.
int exitStatusOf(pid_t child) {
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class SeamOnPty : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty_.ok() && port_.ok()); }
  Pty pty_;
  Port port_;
};

TEST(DevicePath, MapsPortNamesToDevices) {
  struct Case {
    const char *portName, *variable, *value, *expected;  // `variable` set to `value` for this case only
  } const cases[] = {
      {"COM1", nullptr, nullptr, "/dev/ttyS0"}, {"COM4", nullptr, nullptr, "/dev/ttyS3"},
      {"COM10", nullptr, nullptr, "/dev/ttyS9"}, {"COM255", nullptr, nullptr, "/dev/ttyS254"},
      {"COM2", "KORRIN_COM2", "/dev/pts/7", "/dev/pts/7"}, {"com3", "KORRIN_COM3", "/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"COM2", "KORRIN_COM2", "", "/dev/ttyS1"}, {"COM1", "KORRIN_COM2", "/dev/pts/7", "/dev/ttyS0"},
      {"COM1", "KORRIN_COM10", "/dev/pts/7", "/dev/ttyS0"}, {"/dev/ttyACM0", nullptr, nullptr, "/dev/ttyACM0"},
  };
  for (const char* name : {"KORRIN_COM1", "KORRIN_COM2", "KORRIN_COM3", "KORRIN_COM10"}) unsetenv(name);
  for (const Case& c : cases) {
    if (c.variable != nullptr) setenv(c.variable, c.value, 1);
    char path[64] = "untouched";
    EXPECT_TRUE(os::posix::devicePathFor(c.portName, path, sizeof path)) << c.portName;
    EXPECT_STREQ(path, c.expected) << c.portName << " with " << (c.variable ? c.variable : "nothing set");
    if (c.variable != nullptr) unsetenv(c.variable);
  }
  for (const char* name : {"COM0", "COM01", "COM256", "COM", "COM1x", "LPT1", "NUL", "ttyS0", ""}) {
    char path[64];
    EXPECT_FALSE(os::posix::devicePathFor(name, path, sizeof path)) << name;
    EXPECT_FALSE(Port(name).ok()) << name;
  }
  EXPECT_FALSE(Port("/nonexistent/ttyS0").ok());
  char tooSmall[10];  // each needs 11 bytes with its NUL
  EXPECT_FALSE(os::posix::devicePathFor("COM1", tooSmall, sizeof tooSmall));
  EXPECT_FALSE(os::posix::devicePathFor("/dev/ttyS0", tooSmall, sizeof tooSmall));
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
  EXPECT_FALSE(Port().ok()) << "second open in the same process";
  EXPECT_EQ(exitStatusOf(forkChild([] { return Port().ok() ? 1 : 0; })), 0) << "open by another process";
  const int plainWhileOpen = exitStatusOf(forkChild(plainOpen));
  EXPECT_TRUE(port_.close());
  EXPECT_TRUE(Port().ok()) << "the port is free again after closing";

  if (plainWhileOpen == 3) GTEST_SKIP() << "cannot run a process without root here";
  EXPECT_EQ(plainWhileOpen, 0) << "a program that does not lock, while the port is open";
  EXPECT_EQ(exitStatusOf(forkChild(plainOpen)), 1) << "a program that does not lock, after the port is closed";
}

TEST_F(SeamOnPty, EverySpeedOfTheLadderTakesEffectOnARawLine) {
  // The ladder from the top, then a speed no B* constant or table has, each
  // time from a terminal left cooked, with flow control and two stop bits.
  for (os::DWORD baud : {28800u, 14400u, 9600u, 4800u, 2400u, 1000u, 28800u}) {
    SCOPED_TRACE(baud);
    termios line{};
    ASSERT_EQ(tcgetattr(port_.fd(), &line), 0);
    line.c_iflag |= IXON | IXOFF | ICRNL | ISTRIP;
    line.c_oflag |= OPOST | ONLCR;
    line.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    line.c_cflag = (line.c_cflag | CSTOPB | CRTSCTS) & ~CLOCAL;
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 5;
    ASSERT_EQ(tcsetattr(port_.fd(), TCSANOW, &line), 0);

    ASSERT_TRUE(port_.set(baud));
    KernelLineSpeed speed{};
    ASSERT_TRUE(readKernelLineSpeed(port_.fd(), &speed));
    EXPECT_EQ(speed.output, baud);
    EXPECT_EQ(speed.input, baud);
    ASSERT_EQ(tcgetattr(port_.fd(), &line), 0);
    EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(line.c_cc[VMIN], 1);
    EXPECT_EQ(line.c_cc[VTIME], 0);
  }
}

// SetCommState either configures the line as asked or fails; it never leaves
// a line that works otherwise than the DCB says.
TEST_F(SeamOnPty, SettingsThatDoNotTakeAreRefused) {
  struct Case {
    const char* what;
    void (*change)(os::DCB&);
    bool accepted;
  } const cases[] = {
      {"8N1 as the updater asks", [](os::DCB&) {}, true},
      // A pseudo-terminal keeps 8 bits without parity whatever it is told:
      // tcsetattr succeeds, only reading back shows it.
      {"odd parity", [](os::DCB& d) { d.Parity = os::ODDPARITY; }, false},
      {"even parity", [](os::DCB& d) { d.Parity = os::EVENPARITY; }, false},
      {"mark parity", [](os::DCB& d) { d.Parity = 3; }, false},
      {"7 data bits", [](os::DCB& d) { d.ByteSize = 7; }, false},
      {"two stop bits", [](os::DCB& d) { d.StopBits = 2; }, false},
      {"CTS flow control", [](os::DCB& d) { d.fOutxCtsFlow = 1; }, false},
      {"XON/XOFF flow control", [](os::DCB& d) { d.fOutX = 1; }, false},
      {"DTR raised", [](os::DCB& d) { d.fDtrControl = 1; }, false},
      {"speed 0 (hang-up)", [](os::DCB& d) { d.BaudRate = 0; }, false},
  };
  for (const Case& c : cases) EXPECT_EQ(port_.set(9600, c.change), c.accepted) << c.what;
}

TEST_F(SeamOnPty, BytesPassUnchangedAndReadsTakeExactlyTheCountAsked) {
  ASSERT_TRUE(port_.set(28800));
  // Line ends, XON/XOFF, Ctrl-C and 0xFF among them: nothing is translated,
  // swallowed or doubled. Half go one byte per call, as data bytes do.
  Bytes all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<std::uint8_t>(i));
  for (std::size_t i = 0; i < 128; ++i) ASSERT_TRUE(port_.write(&all[i], 1));
  ASSERT_TRUE(port_.write(&all[128], 128));
  EXPECT_EQ(pty_.read(200), all);

  EXPECT_EQ(port_.waiting(), 0u);
  pty_.write(all);
  for (auto deadline = Clock::now() + std::chrono::seconds(2); port_.waiting() < 256 && Clock::now() < deadline;) {
    std::this_thread::sleep_for(milliseconds(1));
  }
  ASSERT_EQ(port_.waiting(), 256u);
  Bytes got(256, 0xAA);
  EXPECT_EQ(port_.read(got.data(), 100), 100u);
  EXPECT_EQ(port_.waiting(), 156u) << "what was not asked for stays queued";
  EXPECT_EQ(port_.read(&got[100], 156), 156u);
  EXPECT_EQ(got, all);
  EXPECT_EQ(port_.waiting(), 0u);

  // A reply that comes in parts is read whole.
  std::thread unit([this] {
    pty_.write({'C', 'S', '='});
    std::this_thread::sleep_for(milliseconds(100));
    pty_.write({'0', '0', '1', '2', 'f'});
  });
  char reply[9] = {};
  EXPECT_EQ(port_.read(reply, 8), 8u);
  unit.join();
  EXPECT_STREQ(reply, "CS=0012f");
}

#if defined(__linux__)
// Bytes written must be on the line before anyone looks for the reply, the
// updater pauses for the unit, the speed changes or the port is closed.
TEST_F(SeamOnPty, WrittenBytesAreOutBeforeTheLineIsUsedAgain) {
  struct Case {
    const char* what;
    bool (*next)(Port&);
  } const cases[] = {
      {"read", [](Port& port) { return port.read(nullptr, 0) == 0; }},
      {"count", [](Port& port) { return port.waiting() == 0; }},
      {"pause", [](Port&) { os::Sleep(0); return true; }},
      {"new speed", [](Port& port) { return port.set(9600); }},
      {"close", [](Port& port) { return port.close(); }},  // last
  };
  ASSERT_TRUE(port_.set(28800));
  for (const Case& c : cases) {
    drainCount = 0;
    ASSERT_TRUE(port_.write("B", 1));
    ASSERT_TRUE(c.next(port_)) << c.what;
    EXPECT_GT(drainCount, 0) << c.what;
  }
}
#endif

// A read for bytes that will never come must end when the device goes away,
// not wait or spin: the far end closes (EIO), or the line is hung up (reads
// return 0, as on an unplugged USB adapter).
TEST(SeamRead, EndsWhenTheDeviceGoesAway) {
  for (bool hangUp : {false, true}) {
    SCOPED_TRACE(hangUp ? "line hung up" : "far end closed");
    Pty pty;
    Port port;
    ASSERT_TRUE(pty.ok() && port.ok() && port.set(9600));
    // 0: failed after the two bytes that came, 1: succeeded, 2: failed with
    // more bytes than came, 3: with fewer, -1: still waiting at the alarm.
    pid_t reader = forkChild([&] {
      pty.closeMaster();  // only the parent's master keeps the line up
      char buffer[4];
      os::DWORD read = 99;
      if (os::ReadFile(port.handle, buffer, sizeof buffer, &read, nullptr)) return 1;
      return read > 2 ? 2 : read == 2 ? 0 : 3;
    });
    pty.write({'O', 'k'});
    std::this_thread::sleep_for(milliseconds(50));
    const bool gone = hangUp ? ioctl(port.fd(), TIOCVHANGUP) == 0 : (pty.closeMaster(), true);
    if (!gone) kill(reader, SIGKILL);
    const int result = exitStatusOf(reader);
    if (!gone) GTEST_SKIP() << "cannot hang up a terminal here";
    // A hang-up may discard bytes not yet read.
    EXPECT_TRUE(result == 0 || (hangUp && result == 3)) << result;
  }
}

TEST(SeamSleep, LastsTheFullTimeThroughSignals) {
  struct sigaction handler {}, previous {};
  handler.sa_handler = [](int) {};  // no SA_RESTART: nanosleep returns early with EINTR
  ASSERT_EQ(sigaction(SIGALRM, &handler, &previous), 0);
  itimerval every5ms{{0, 5000}, {0, 5000}}, off{};
  ASSERT_EQ(setitimer(ITIMER_REAL, &every5ms, nullptr), 0);
  const auto start = Clock::now();
  os::Sleep(60);
  const auto elapsed = Clock::now() - start;
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &previous, nullptr);
  EXPECT_GE(elapsed, milliseconds(60));
  EXPECT_LT(elapsed, milliseconds(500));
}

TEST(SeamKey, ScriptedInputGivesOneByteAndEndOfInputCounts) {
  struct Case {
    std::string input;
    int key;
    std::string left;  // what the next reader still finds
  } const cases[] = {{"", -1, ""}, {"y", 'y', ""}, {"yn", 'y', "n"}, {"\n", '\n', ""}, {"\xff", 0xFF, ""}};
  for (const Case& c : cases) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], c.input.data(), c.input.size()), static_cast<ssize_t>(c.input.size()));
    close(fds[1]);
    // 0: the key, then what should be left; 1: another key; 2: other bytes left.
    pid_t asker = forkChild([&] {
      dup2(fds[0], STDIN_FILENO);
      if (os::readKey() != c.key) return 1;
      char rest[16];
      return std::string(rest, std::max<ssize_t>(read(STDIN_FILENO, rest, sizeof rest), 0)) == c.left ? 0 : 2;
    });
    EXPECT_EQ(exitStatusOf(asker), 0) << "input \"" << c.input << '"';
    close(fds[0]);
  }
}

TEST(SeamKey, TerminalKeyIsTakenAtOnceWithoutEchoAndTheTerminalRestored) {
  Pty terminal;
  const int slave = open(terminal.slave.c_str(), O_RDWR | O_NOCTTY);
  termios before{}, now{}, after{};
  ASSERT_TRUE(terminal.ok() && slave >= 0 && tcgetattr(slave, &before) == 0);
  ASSERT_EQ(before.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO))
      << "a new terminal is cooked";

  pid_t asker = forkChild([slave] { dup2(slave, STDIN_FILENO); return os::readKey(); });
  // The operator types once the question is waiting: a key typed while the
  // terminal is still line by line would wait for Enter.
  for (auto deadline = Clock::now() + std::chrono::seconds(1);
       tcgetattr(slave, &now) == 0 && (now.c_lflag & ICANON) != 0 && Clock::now() < deadline;) {
    std::this_thread::sleep_for(milliseconds(1));
  }
  EXPECT_EQ(now.c_lflag & ICANON, 0u) << "the terminal still waited for Enter";
  terminal.write({'k'});
  EXPECT_EQ(exitStatusOf(asker), 'k');
  EXPECT_TRUE(terminal.read(100).empty()) << "the key was echoed";
  ASSERT_EQ(tcgetattr(slave, &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  close(slave);
}

TEST(SeamConsole, TextIsOutAtOnce) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  // The child ends without flushing: a buffered console leaves the pipe empty.
  auto writer = [&] { dup2(fds[1], STDOUT_FILENO); os::writeConsole("Connected\n.", 11); return 0; };
  EXPECT_EQ(exitStatusOf(forkChild(writer)), 0);
  close(fds[1]);
  char got[32] = {};
  EXPECT_EQ(read(fds[0], got, sizeof got - 1), 11);
  close(fds[0]);
  EXPECT_STREQ(got, "Connected\n.");
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

// A key typed while the updater was busy must not answer the question that
// follows; scripted answers in a pipe are meant for the questions.
TEST(SeamKey, KeysTypedAheadAreDiscardedOnATerminalOnly) {
  {
    Pty terminal;
    const int slave = open(terminal.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_TRUE(terminal.ok() && slave >= 0);
    terminal.write({'y'});
    // The echo of the cooked terminal shows the key is in its input queue.
    ASSERT_EQ(terminal.read(200), Bytes{'y'});
    pid_t asker = forkChild([slave] {
      dup2(slave, STDIN_FILENO);
      os::discardTypedAhead();
      return os::readKey();
    });
    ASSERT_TRUE(waitUntilRaw(slave));
    terminal.write({'k'});
    EXPECT_EQ(exitStatusOf(asker), 'k') << "the key typed before the question answered it";
    close(slave);
  }
  {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "yn", 2), 2);
    close(fds[1]);
    pid_t asker = forkChild([&] {
      dup2(fds[0], STDIN_FILENO);
      os::discardTypedAhead();
      return os::readKey();
    });
    EXPECT_EQ(exitStatusOf(asker), 'y') << "scripted input was thrown away";
    close(fds[0]);
  }
}

// The operator's stop (Ctrl-C at the shell, kill, a closed terminal window)
// is remembered instead of ending the process in the middle of a block, and a
// wait for a key ends at once.
TEST(SeamStop, SignalsAreRememberedAndEndAWaitForAKey) {
  // In the child: the defaults an interactive start has, then the updater's catch.
  auto catchFromDefaults = [] {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::signal(signal, SIG_DFL);
    os::catchStopRequests();
  };
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    // 7: alive and the stop remembered; 1: alive, nothing remembered.
    pid_t self = forkChild([&] {
      catchFromDefaults();
      if (os::stopRequested()) return 2;
      kill(getpid(), signal);
      return os::stopRequested() ? 7 : 1;
    });
    EXPECT_EQ(exitStatusOf(self), 7);

    for (bool fromTerminal : {true, false}) {
      SCOPED_TRACE(fromTerminal ? "key from a terminal" : "key from a pipe");
      Pty terminal;
      int fds[2];
      ASSERT_TRUE(terminal.ok() && pipe(fds) == 0);
      const int input = fromTerminal ? open(terminal.slave.c_str(), O_RDWR | O_NOCTTY) : fds[0];
      ASSERT_GE(input, 0);
      // 0: the wait ended with -1 and the stop is remembered.
      pid_t asker = forkChild([&] {
        dup2(input, STDIN_FILENO);
        catchFromDefaults();
        return os::readKey() == -1 && os::stopRequested() ? 0 : 1;
      });
      if (fromTerminal) {
        ASSERT_TRUE(waitUntilRaw(input));
      } else {
        std::this_thread::sleep_for(milliseconds(100));
      }
      const auto sent = Clock::now();
      kill(asker, signal);
      EXPECT_EQ(exitStatusOf(asker), 0) << "-1 means the alarm ended a wait that went on";
      EXPECT_LT(Clock::now() - sent, milliseconds(500));
      if (fromTerminal) {
        termios after{};
        ASSERT_EQ(tcgetattr(input, &after), 0);
        EXPECT_NE(after.c_lflag & ICANON, 0u) << "the terminal was left raw";
        close(input);
      }
      close(fds[0]);
      close(fds[1]);
    }
  }
}

TEST(SeamStop, APauseLastsItsFullTimeThroughAStop) {
  pid_t sleeper = forkChild([] {
    os::catchStopRequests();
    const auto start = Clock::now();
    os::Sleep(200);
    return Clock::now() - start >= milliseconds(200) && os::stopRequested() ? 0 : 1;
  });
  std::this_thread::sleep_for(milliseconds(50));
  kill(sleeper, SIGTERM);
  EXPECT_EQ(exitStatusOf(sleeper), 0);
}

// A folder of this test's own, used as XDG_STATE_HOME and HOME; removed with
// everything in it.
struct StateHome {
  StateHome() {
    char pattern[] = "/tmp/korrin-state-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path = pattern;
    for (const char* name : {"XDG_STATE_HOME", "HOME"}) {
      const char* value = getenv(name);
      if (value != nullptr) saved.emplace_back(name, value);
    }
  }
  ~StateHome() {
    unsetenv("XDG_STATE_HOME");
    unsetenv("HOME");
    for (const auto& [name, value] : saved) setenv(name.c_str(), value.c_str(), 1);
    if (!path.empty()) {
      EXPECT_EQ(system(("rm -rf '" + path + "'").c_str()), 0);
    }
  }
  std::string path;
  std::vector<std::pair<std::string, std::string>> saved;  // the variables that were set
};

mode_t modeOf(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

std::string folderFor(const char* xdgStateHome, const std::string& home) {
  if (xdgStateHome) {
    setenv("XDG_STATE_HOME", xdgStateHome, 1);
  } else {
    unsetenv("XDG_STATE_HOME");
  }
  setenv("HOME", home.c_str(), 1);
  char folder[512] = "";
  return os::userDataFolder(folder, sizeof folder) ? folder : "(none)";
}

TEST(SeamFiles, TheFolderIsTheUsersAndCreatedForTheOwnerOnly) {
  StateHome state;
  ASSERT_FALSE(state.path.empty());
  const std::string xdg = state.path + "/xdg/state", xdgSlash = xdg + "/";
  struct Case {
    const char* what;
    const char* xdgStateHome;  // null: unset
    std::string expected;
  } const cases[] = {
      {"XDG_STATE_HOME", xdg.c_str(), xdg + "/korrin/"},
      {"XDG_STATE_HOME with a slash at its end", xdgSlash.c_str(), xdg + "/korrin/"},
      {"no XDG_STATE_HOME", nullptr, state.path + "/.local/state/korrin/"},
      {"a relative XDG_STATE_HOME is ignored", "state", state.path + "/.local/state/korrin/"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(folderFor(c.xdgStateHome, state.path), c.expected) << c.what;
  }
  for (const std::string& created : {state.path + "/xdg", xdg, xdg + "/korrin", state.path + "/.local",
                                     state.path + "/.local/state/korrin"}) {
    EXPECT_EQ(modeOf(created), 0700u) << created;
  }
  char tooSmall[8];
  EXPECT_FALSE(os::userDataFolder(tooSmall, sizeof tooSmall));
  // A file where the folder should be.
  std::ofstream(state.path + "/blocked").put('x');
  EXPECT_EQ(folderFor((state.path + "/blocked").c_str(), state.path), "(none)");
}

std::vector<std::string> filesIn(const std::string& folder) {
  std::vector<std::string> names;
  os::listFiles(
      folder.c_str(),
      [](const char* name, void* context) { static_cast<std::vector<std::string>*>(context)->push_back(name); },
      &names);
  return names;
}

std::string readBack(const std::string& path, std::size_t capacity = 64) {
  char bytes[64];
  std::size_t count = 99;
  if (!os::readWholeFile(path.c_str(), bytes, std::min(capacity, sizeof bytes), &count)) return "(unread)";
  return std::string(bytes, count);
}

TEST(SeamFiles, DurableWritesReplaceWholeFilesForTheOwnerOnly) {
  StateHome state;
  const std::string folder = folderFor(nullptr, state.path);
  const std::string saved = folder + "records.bin";
  ASSERT_NE(folder, "(none)");

  ASSERT_TRUE(os::writeFileDurably(saved.c_str(), "first", 5));
  EXPECT_EQ(readBack(saved), "first");
  EXPECT_EQ(modeOf(saved), 0600u);
  const std::string longer("second\0with a NUL", 17);
  ASSERT_TRUE(os::writeFileDurably(saved.c_str(), longer.data(), longer.size()));
  EXPECT_EQ(readBack(saved), longer);
  ASSERT_TRUE(os::writeFileDurably((folder + "empty").c_str(), nullptr, 0));
  EXPECT_EQ(readBack(folder + "empty"), "");
  EXPECT_EQ(readBack(saved, 17), longer) << "exactly the capacity";
  EXPECT_EQ(readBack(saved, 16), "(unread)") << "one byte over the capacity";

  // Only regular files are listed, in order, and no temporary file is left.
  ASSERT_EQ(mkdir((folder + "sub").c_str(), 0700), 0);
  ASSERT_EQ(symlink(saved.c_str(), (folder + "link").c_str()), 0);
  EXPECT_EQ(filesIn(folder), (std::vector<std::string>{"empty", "records.bin"}));

  // A write that fails half way (the file size limit stands in for a full
  // disk) leaves the old file as it was, and no temporary file.
  pid_t writer = forkChild([&] {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4, 4};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
    return os::writeFileDurably(saved.c_str(), "too long for the limit", 22) ? 1 : 0;
  });
  EXPECT_EQ(exitStatusOf(writer), 0);
  EXPECT_EQ(readBack(saved), longer);
  EXPECT_FALSE(os::writeFileDurably((folder + "sub").c_str(), "x", 1)) << "a folder is not replaced";
  EXPECT_FALSE(os::writeFileDurably((folder + "missing/file").c_str(), "x", 1));
  EXPECT_EQ(filesIn(folder), (std::vector<std::string>{"empty", "records.bin"}));

  EXPECT_TRUE(os::deleteFile(saved.c_str()));
  EXPECT_EQ(readBack(saved), "(unread)");
  EXPECT_FALSE(os::deleteFile(saved.c_str()));
  EXPECT_EQ(readBack(folder + "sub"), "(unread)") << "a folder is not a file";
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
  std::vector<std::string> ports;
  os::posix::listSerialPortsUnder(
      root.path.c_str(),
      [](const char* name, void* context) { static_cast<std::vector<std::string>*>(context)->push_back(name); },
      &ports);
  EXPECT_EQ(ports, (std::vector<std::string>{"/dev/serial/by-id/usb-FTDI_A-if00-port0",
                                             "/dev/serial/by-id/usb-FTDI_B-if00-port0", "/dev/ttyUSB2",
                                             "/dev/ttyUSB10", "/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyS2",
                                             "/dev/ttyS10"}));
}
#endif

}  // namespace
