// The real POSIX seam on pseudo-terminals: the seam opens the slave side as its
// COM port, the test plays the unit on the master side.
#include "platform/os.h"
#include "platform/posix/device_path.h"
#include "termios2_probe.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
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
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes allByteValues() {
  Bytes bytes(256);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
  return bytes;
}

int fdOf(os::HANDLE handle) { return static_cast<int>(reinterpret_cast<std::intptr_t>(handle)); }

// A pseudo-terminal pair whose slave is not open until the seam opens it.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char* name = ptsname(master_);
    if (name != nullptr) slavePath_ = name;
  }
  ~Pty() { closeMaster(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool ok() const { return master_ >= 0 && !slavePath_.empty(); }
  int master() const { return master_; }
  const std::string& slavePath() const { return slavePath_; }
  void closeMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  void writeMaster(const Bytes& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t put = write(master_, bytes.data() + done, bytes.size() - done);
      if (put <= 0) return;
      done += static_cast<std::size_t>(put);
    }
  }

  // What the master receives within `timeoutMs`, up to `count` bytes.
  Bytes readMaster(std::size_t count, int timeoutMs) const {
    Bytes got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < count) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd wait{master_, POLLIN, 0};
      if (poll(&wait, 1, static_cast<int>(left.count())) <= 0) break;
      std::uint8_t buffer[512];
      ssize_t n = read(master_, buffer, std::min(sizeof buffer, count - got.size()));
      if (n <= 0) break;
      got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }

 private:
  int master_ = -1;
  std::string slavePath_;
};

// The port open exactly as the updater opens it.
os::HANDLE openPort(const char* name) {
  return os::CreateFileA(name, os::GENERIC_READ | os::GENERIC_WRITE, 0, nullptr, os::OPEN_EXISTING, 0, nullptr);
}

// The line configuration the updater asks for: 8 data bits, one stop bit, no
// flow control, DTR and RTS inactive.
os::DCB updaterDcb(os::DWORD baud, os::BYTE parity = os::NOPARITY) {
  os::DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = baud;
  dcb.fBinary = 1;
  dcb.fParity = parity == os::NOPARITY ? 0 : 1;
  dcb.fDtrControl = os::DTR_CONTROL_DISABLE;
  dcb.fRtsControl = os::RTS_CONTROL_DISABLE;
  dcb.XonLim = 2;
  dcb.XoffLim = 4;
  dcb.ByteSize = 8;
  dcb.Parity = parity;
  dcb.StopBits = os::ONESTOPBIT;
  dcb.XonChar = 0x13;
  dcb.XoffChar = 0x19;
  return dcb;
}

os::DWORD bytesWaiting(os::HANDLE port) {
  os::DWORD errors = 0;
  os::COMSTAT stat{};
  if (!os::ClearCommError(port, &errors, &stat)) return 0xFFFFFFFFu;
  return stat.cbInQue;
}

// Runs `body` in a child process and returns its exit status, or -1 when it
// did not exit normally (a hang ends with the alarm).
template <typename Body>
int exitStatusOfChild(Body body) {
  pid_t child = fork();
  if (child == 0) {
    alarm(5);
    _exit(body());
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// A pseudo-terminal mapped to a COM name, as KORRIN_COMn would map a real port.
class SeamOnPty : public ::testing::Test {
 protected:
  static constexpr const char* kPortName = "COM3";

  void SetUp() override {
    ASSERT_TRUE(pty_.ok());
    ASSERT_EQ(setenv("KORRIN_COM3", pty_.slavePath().c_str(), 1), 0);
  }
  void TearDown() override { unsetenv("KORRIN_COM3"); }

  Pty pty_;
};

TEST(DevicePath, MapsPortNamesToDevices) {
  struct Case {
    const char* portName;
    const char* variable;  // set for this case only
    const char* value;
    const char* expected;  // null: the name has no device
  };
  const Case cases[] = {
      {"COM1", nullptr, nullptr, "/dev/ttyS0"},
      {"COM4", nullptr, nullptr, "/dev/ttyS3"},
      {"COM10", nullptr, nullptr, "/dev/ttyS9"},
      {"COM255", nullptr, nullptr, "/dev/ttyS254"},
      {"COM2", "KORRIN_COM2", "/dev/pts/7", "/dev/pts/7"},
      {"com3", "KORRIN_COM3", "/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"COM2", "KORRIN_COM2", "", "/dev/ttyS1"},
      {"COM1", "KORRIN_COM2", "/dev/pts/7", "/dev/ttyS0"},
      {"COM1", "KORRIN_COM10", "/dev/pts/7", "/dev/ttyS0"},
      {"/dev/ttyACM0", nullptr, nullptr, "/dev/ttyACM0"},
      {"COM0", nullptr, nullptr, nullptr},
      {"COM01", nullptr, nullptr, nullptr},
      {"COM256", nullptr, nullptr, nullptr},
      {"COM", nullptr, nullptr, nullptr},
      {"COM1x", nullptr, nullptr, nullptr},
      {"LPT1", nullptr, nullptr, nullptr},
      {"ttyS0", nullptr, nullptr, nullptr},
      {"", nullptr, nullptr, nullptr},
  };
  for (const char* name : {"KORRIN_COM1", "KORRIN_COM2", "KORRIN_COM3", "KORRIN_COM10"}) unsetenv(name);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.portName) + (c.variable ? std::string(" with ") + c.variable : std::string()));
    if (c.variable != nullptr) setenv(c.variable, c.value, 1);
    char path[64] = "untouched";
    bool found = os::posix::devicePathFor(c.portName, path, sizeof path);
    if (c.variable != nullptr) unsetenv(c.variable);
    if (c.expected == nullptr) {
      EXPECT_FALSE(found);
    } else {
      EXPECT_TRUE(found);
      EXPECT_STREQ(path, c.expected);
    }
  }
  char tooSmall[10];  // "/dev/ttyS0" needs 11 bytes with its NUL
  EXPECT_FALSE(os::posix::devicePathFor("COM1", tooSmall, sizeof tooSmall));
}

TEST(SeamOpen, NameWithoutDeviceFailsToOpen) {
  unsetenv("KORRIN_COM200");
  for (const char* name : {"COM200", "NUL", "COM1x", "/nonexistent/ttyS0"}) {
    SCOPED_TRACE(name);
    os::HANDLE port = openPort(name);
    EXPECT_EQ(port, os::INVALID_HANDLE_VALUE);
    if (port != os::INVALID_HANDLE_VALUE) os::CloseHandle(port);
  }
}

TEST_F(SeamOnPty, PortIsForOneUserAtATime) {
  os::HANDLE first = openPort(kPortName);
  ASSERT_NE(first, os::INVALID_HANDLE_VALUE);

  EXPECT_EQ(openPort(kPortName), os::INVALID_HANDLE_VALUE) << "second open in the same process";
  EXPECT_EQ(exitStatusOfChild([] { return openPort(kPortName) == os::INVALID_HANDLE_VALUE ? 0 : 1; }), 0)
      << "open by another process";

  EXPECT_TRUE(os::CloseHandle(first));
  os::HANDLE again = openPort(kPortName);
  EXPECT_NE(again, os::INVALID_HANDLE_VALUE) << "the port is free again after closing";
  if (again != os::INVALID_HANDLE_VALUE) os::CloseHandle(again);
}

// A program that does not take the lock is kept out by the terminal's
// exclusive mode, which binds everyone but root.
TEST_F(SeamOnPty, ExclusiveModeKeepsOutProgramsThatDoNotLock) {
  const std::string slave = pty_.slavePath();
  if (geteuid() == 0) {
    ASSERT_EQ(chmod(slave.c_str(), 0666), 0);
  }
  // 0: refused as busy, 1: opened, 2: refused otherwise, 3: could not drop root.
  auto plainOpen = [&slave] {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 3;
    int fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) return 1;
    return errno == EBUSY ? 0 : 2;
  };
  if (exitStatusOfChild(plainOpen) == 3) GTEST_SKIP() << "cannot run a process without root here";

  os::HANDLE port = openPort(kPortName);
  ASSERT_NE(port, os::INVALID_HANDLE_VALUE);
  EXPECT_EQ(exitStatusOfChild(plainOpen), 0) << "while the port is open";
  EXPECT_TRUE(os::CloseHandle(port));
  EXPECT_EQ(exitStatusOfChild(plainOpen), 1) << "after the port is closed";
}

TEST_F(SeamOnPty, EverySpeedOfTheLadderTakesEffect) {
  os::HANDLE port = openPort(kPortName);
  ASSERT_NE(port, os::INVALID_HANDLE_VALUE);
  // The ladder from the top, then a speed no B* constant or table has.
  for (os::DWORD baud : {28800u, 14400u, 9600u, 4800u, 2400u, 1000u, 28800u}) {
    SCOPED_TRACE(baud);
    os::DCB dcb = updaterDcb(baud);
    ASSERT_TRUE(os::SetCommState(port, &dcb));
    KernelLineSpeed speed{};
    ASSERT_TRUE(readKernelLineSpeed(fdOf(port), &speed));
    EXPECT_EQ(speed.output, baud);
    EXPECT_EQ(speed.input, baud);
  }
  os::CloseHandle(port);
}

TEST_F(SeamOnPty, LineIsRaw8N1WhateverItWasBefore) {
  os::HANDLE port = openPort(kPortName);
  ASSERT_NE(port, os::INVALID_HANDLE_VALUE);
  int fd = fdOf(port);

  // Leave the terminal cooked, with flow control and two stop bits.
  termios cooked{};
  ASSERT_EQ(tcgetattr(fd, &cooked), 0);
  cooked.c_iflag |= IXON | IXOFF | ICRNL | ISTRIP;
  cooked.c_oflag |= OPOST | ONLCR;
  cooked.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
  cooked.c_cflag |= CSTOPB | CRTSCTS;
  cooked.c_cflag &= ~CLOCAL;
  cooked.c_cc[VMIN] = 0;
  cooked.c_cc[VTIME] = 5;
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &cooked), 0);

  os::DCB dcb = updaterDcb(9600);
  ASSERT_TRUE(os::SetCommState(port, &dcb));
  termios line{};
  ASSERT_EQ(tcgetattr(fd, &line), 0);
  EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(line.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK), 0u);
  EXPECT_EQ(line.c_oflag & OPOST, 0u);
  EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(line.c_cc[VMIN], 1);
  EXPECT_EQ(line.c_cc[VTIME], 0);
  os::CloseHandle(port);
}

// SetCommState either configures the line as asked or fails; it never leaves
// a line that works otherwise than the DCB says.
TEST_F(SeamOnPty, SettingsThatDoNotTakeAreRefused) {
  struct Case {
    const char* what;
    void (*change)(os::DCB&);
    bool accepted;
  };
  const Case cases[] = {
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
  os::HANDLE port = openPort(kPortName);
  ASSERT_NE(port, os::INVALID_HANDLE_VALUE);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    os::DCB dcb = updaterDcb(9600);
    c.change(dcb);
    EXPECT_EQ(os::SetCommState(port, &dcb) != 0, c.accepted);
  }
  os::CloseHandle(port);
}

TEST_F(SeamOnPty, BytesWrittenArriveUnchanged) {
  os::HANDLE port = openPort(kPortName);
  ASSERT_NE(port, os::INVALID_HANDLE_VALUE);
  os::DCB dcb = updaterDcb(28800);
  ASSERT_TRUE(os::SetCommState(port, &dcb));

  // Line ends, XON/XOFF, Ctrl-C and 0xFF among them: nothing is translated,
  // swallowed or doubled. Half go one byte per call, as data bytes do.
  Bytes sent = allByteValues();
  for (std::size_t i = 0; i < 128; ++i) {
    os::DWORD written = 0;
    ASSERT_TRUE(os::WriteFile(port, &sent[i], 1, &written, nullptr));
    ASSERT_EQ(written, 1u);
  }
  os::DWORD written = 0;
  ASSERT_TRUE(os::WriteFile(port, sent.data() + 128, 128, &written, nullptr));
  EXPECT_EQ(written, 128u);

  EXPECT_EQ(pty_.readMaster(sent.size() + 1, 200), sent);
  os::CloseHandle(port);
}

TEST_F(SeamOnPty, WaitingBytesAreCountedAndReadExactly) {
  os::HANDLE port = openPort(kPortName);
  ASSERT_NE(port, os::INVALID_HANDLE_VALUE);
  os::DCB dcb = updaterDcb(28800);
  ASSERT_TRUE(os::SetCommState(port, &dcb));
  EXPECT_EQ(bytesWaiting(port), 0u);

  Bytes reply = allByteValues();
  pty_.writeMaster(reply);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (bytesWaiting(port) < reply.size() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(bytesWaiting(port), reply.size());

  Bytes first(100, 0xAA);
  os::DWORD read = 0;
  ASSERT_TRUE(os::ReadFile(port, first.data(), 100, &read, nullptr));
  EXPECT_EQ(read, 100u);
  EXPECT_EQ(first, Bytes(reply.begin(), reply.begin() + 100));
  EXPECT_EQ(bytesWaiting(port), 156u) << "what was not asked for stays queued";

  Bytes rest(156, 0xAA);
  ASSERT_TRUE(os::ReadFile(port, rest.data(), 156, &read, nullptr));
  EXPECT_EQ(read, 156u);
  EXPECT_EQ(rest, Bytes(reply.begin() + 100, reply.end()));
  EXPECT_EQ(bytesWaiting(port), 0u);
  os::CloseHandle(port);
}

TEST_F(SeamOnPty, ReadWaitsUntilTheWholeCountHasArrived) {
  os::HANDLE port = openPort(kPortName);
  ASSERT_NE(port, os::INVALID_HANDLE_VALUE);
  os::DCB dcb = updaterDcb(9600);
  ASSERT_TRUE(os::SetCommState(port, &dcb));

  std::thread unit([this] {
    pty_.writeMaster({'C', 'S', '='});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pty_.writeMaster({'0', '0', '1', '2', 'f'});
  });
  char reply[9] = {};
  os::DWORD read = 0;
  EXPECT_TRUE(os::ReadFile(port, reply, 8, &read, nullptr));
  unit.join();
  EXPECT_EQ(read, 8u);
  EXPECT_STREQ(reply, "CS=0012f");
  os::CloseHandle(port);
}

// A read for bytes that will never come must end when the device goes away,
// not wait or spin: the far end closes (EIO), or the line is hung up (reads
// return 0, as on an unplugged USB adapter).
TEST(SeamRead, EndsWhenTheDeviceGoesAway) {
  struct Case {
    const char* what;
    bool (*goAway)(Pty& pty, os::HANDLE port);
    bool bytesBeforeKept;
  };
  const Case cases[] = {
      {"far end closed", [](Pty& pty, os::HANDLE) { pty.closeMaster(); return true; }, true},
      {"line hung up", [](Pty&, os::HANDLE port) { return ioctl(fdOf(port), TIOCVHANGUP) == 0; }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Pty pty;
    ASSERT_TRUE(pty.ok());
    ASSERT_EQ(setenv("KORRIN_COM3", pty.slavePath().c_str(), 1), 0);
    os::HANDLE port = openPort("COM3");
    unsetenv("KORRIN_COM3");
    ASSERT_NE(port, os::INVALID_HANDLE_VALUE);
    os::DCB dcb = updaterDcb(9600);
    ASSERT_TRUE(os::SetCommState(port, &dcb));

    int master = pty.master();
    pid_t child = fork();
    if (child == 0) {
      close(master);  // only the parent's master keeps the line up
      alarm(5);
      char buffer[4];
      os::DWORD read = 99;
      os::BOOL ok = os::ReadFile(port, buffer, sizeof buffer, &read, nullptr);
      _exit(ok ? 1 : read > 2 ? 2 : read == 2 ? 0 : 3);
    }
    ASSERT_GT(child, 0);
    pty.writeMaster({'O', 'k'});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!c.goAway(pty, port)) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
      os::CloseHandle(port);
      GTEST_SKIP() << "cannot hang up a terminal here";
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ReadFile kept waiting on a line that is gone";
    int result = WEXITSTATUS(status);
    EXPECT_NE(result, 1) << "reported success";
    EXPECT_NE(result, 2) << "reported more bytes than arrived";
    if (c.bytesBeforeKept) {
      EXPECT_EQ(result, 0) << "lost the bytes that came before";
    }
    os::CloseHandle(port);
  }
}

void onAlarm(int) {}

TEST(SeamSleep, LastsTheFullTimeThroughSignals) {
  struct sigaction handler {};
  handler.sa_handler = onAlarm;  // no SA_RESTART: nanosleep returns early with EINTR
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGALRM, &handler, &previous), 0);
  itimerval every5ms{{0, 5000}, {0, 5000}};
  ASSERT_EQ(setitimer(ITIMER_REAL, &every5ms, nullptr), 0);

  auto start = std::chrono::steady_clock::now();
  os::Sleep(60);
  auto elapsed = std::chrono::steady_clock::now() - start;

  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &previous, nullptr);
  EXPECT_GE(elapsed, std::chrono::milliseconds(60));
  EXPECT_LT(elapsed, std::chrono::milliseconds(500));
}

// Standard input replaced for one call, restored afterwards.
class StdinReplaced {
 public:
  explicit StdinReplaced(int fd) : saved_(dup(STDIN_FILENO)) { dup2(fd, STDIN_FILENO); }
  ~StdinReplaced() {
    dup2(saved_, STDIN_FILENO);
    close(saved_);
  }
  StdinReplaced(const StdinReplaced&) = delete;
  StdinReplaced& operator=(const StdinReplaced&) = delete;

 private:
  int saved_;
};

TEST(SeamKey, ScriptedInputGivesOneByteAndEndOfInputCounts) {
  struct Case {
    std::string input;
    int key;
    std::string left;  // what the next reader still finds
  };
  const Case cases[] = {
      {"", -1, ""},
      {"y", 'y', ""},
      {"yn", 'y', "n"},
      {"\n", '\n', ""},
      {"\xff", 0xFF, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("input \"" + c.input + "\"");
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    ASSERT_EQ(write(pipeFds[1], c.input.data(), c.input.size()), static_cast<ssize_t>(c.input.size()));
    close(pipeFds[1]);
    int key = 0;
    std::string left;
    {
      StdinReplaced replaced(pipeFds[0]);
      key = os::readKey();
      char rest[16];
      ssize_t n = read(STDIN_FILENO, rest, sizeof rest);
      if (n > 0) left.assign(rest, static_cast<std::size_t>(n));
    }
    close(pipeFds[0]);
    EXPECT_EQ(key, c.key);
    EXPECT_EQ(left, c.left);
  }
}

TEST(SeamKey, TerminalKeyIsTakenAtOnceWithoutEchoAndTheTerminalRestored) {
  Pty terminal;
  ASSERT_TRUE(terminal.ok());
  int slave = open(terminal.slavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  termios before{};
  ASSERT_EQ(tcgetattr(slave, &before), 0);
  ASSERT_NE(before.c_lflag & ICANON, 0u) << "a new terminal starts line by line";
  ASSERT_NE(before.c_lflag & ECHO, 0u);

  // The operator types once the question is waiting: a key typed while the
  // terminal is still line by line would wait for Enter.
  bool keyWaitedFor = false;
  std::thread operatorAtKeyboard([&] {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    termios now{};
    while (!keyWaitedFor && tcgetattr(slave, &now) == 0 && std::chrono::steady_clock::now() < deadline) {
      keyWaitedFor = (now.c_lflag & ICANON) == 0;
      if (!keyWaitedFor) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Enter as well when the terminal stayed line by line, so the test ends.
    terminal.writeMaster(keyWaitedFor ? Bytes{'k'} : Bytes{'k', '\n'});
  });
  int key = 0;
  {
    StdinReplaced replaced(slave);
    key = os::readKey();
  }
  operatorAtKeyboard.join();

  EXPECT_TRUE(keyWaitedFor) << "the terminal still waited for Enter";
  EXPECT_EQ(key, 'k');
  EXPECT_TRUE(terminal.readMaster(1, 100).empty()) << "the key was echoed";
  termios after{};
  ASSERT_EQ(tcgetattr(slave, &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  close(slave);
}

TEST(SeamConsole, TextIsOutAtOnce) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  int saved = dup(STDOUT_FILENO);
  dup2(pipeFds[1], STDOUT_FILENO);
  const char text[] = "Connected\n.";
  os::writeConsole(text, sizeof text - 1);
  // Read before anything is flushed or closed: a buffered console would have
  // nothing in the pipe yet.
  pollfd ready{pipeFds[0], POLLIN, 0};
  int readable = poll(&ready, 1, 0);
  char got[32] = {};
  ssize_t n = readable > 0 ? read(pipeFds[0], got, sizeof got - 1) : 0;
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(pipeFds[0]);
  close(pipeFds[1]);
  EXPECT_EQ(n, static_cast<ssize_t>(sizeof text - 1));
  EXPECT_STREQ(got, text);
}

}  // namespace
