// The serial line of the tests, in virtual time: it implements the OS seam
// against a UnitModel. Each byte takes 10 bit times at the speed of the moment;
// bytes sent while the PC and the unit run at different speeds, or in a framing
// other than the unit's 8N1, are lost; a pause advances the clock. A full update,
// minutes on a real line, runs in milliseconds with exact timing, and the
// transcript records every byte each way and every console text with its time.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/os.h"
#include "unit_model.h"

namespace sim {

using Ticks = std::int64_t;
// 14.4 MHz: every speed of the ladder and every millisecond is a whole number of ticks.
constexpr Ticks kTicksPerSecond = 14'400'000;
constexpr Ticks kTicksPerMs = kTicksPerSecond / 1000;
inline Ticks byteTicks(std::uint32_t baud) { return baud == 0 ? 0 : 10 * kTicksPerSecond / baud; }
inline double toMs(Ticks ticks) { return static_cast<double>(ticks) / kTicksPerMs; }

struct Event {
  enum Kind { ToUnit, FromUnit, Console, Key, Open, Close, Hang, Killed, Saved /* a file written durably */ };
  Kind kind;
  Ticks at;            // when it began
  Ticks end;           // when its last byte was on the line (== at for the others)
  std::string data;
  std::uint32_t speed = 0;
  bool lost = false;   // bytes that the other side could not hear
};

// Thrown by the seam when the updater is killed (killAt); the test catches it.
struct Killed {};

class VirtualLine {
 public:
  // Installs itself as the OS seam until destroyed.
  explicit VirtualLine(UnitModel& unit);
  ~VirtualLine();
  VirtualLine(const VirtualLine&) = delete;
  VirtualLine& operator=(const VirtualLine&) = delete;

  // Conditions of the run.
  bool pacePcOutput = true;  // false: the PC's bytes reach the unit at once, as on a pty
  std::set<std::string> ports{"COM1", "COM2", "COM3", "COM4"};
  std::set<std::string> busyPorts;  // held by another program
  bool refuseSettings = false;  // the driver refuses the line settings
  std::string keys;  // what the operator will press, in order; after that, input has ended
  std::string typedAhead;     // keys already waiting before the next prompt, read before `keys`
  bool consoleInput = false;  // input is a console (typed-ahead keys can be discarded), not a script
  // That console's input mode: QuickEdit (0x40) on, which lets a click freeze
  // the program's console writes. The run's resources turn it off while held.
  std::uint32_t consoleMode = 0x0067;
  bool quickEditWhileSending = false;  // a write to the port while QuickEdit was on
  Ticks stopAt = -1;          // from this time on the operator has asked to stop (Ctrl-C)
  Ticks vanishAt = -1;        // from this time on the serial device is gone (adapter pulled)
  Ticks cutAt = -1;           // from this time on nothing crosses the cable either way
  Ticks killAt = -1;          // the updater dies here (power cut, killed): the seam throws Killed
  // The PC's per-user files, by path; copied from one run's line to the next.
  std::map<std::string, std::vector<std::uint8_t>> files;
  bool diskFull = false;      // durable writes fail
  Ticks durableWriteTicks = 0;  // what each durable write (or claim) takes: a slow disk's flushes
  int durableWrites = 0;         // durable writes and claims that reached the disk
  bool noUserFolder = false;  // the system gives no per-user folder
  // A USB adapter's transmit buffer: a write returns once the bytes fit in it,
  // and they leave at line speed; a drain waits until they have left,
  // and a close throws away what has not. 0: none, a write returns when
  // they are out, as on a UART.
  std::size_t txBufferBytes = 0;
  // What each write call costs before its bytes start: a USB adapter's transfer.
  Ticks writeCallTicks = 0;
  // The OS gets every byte in a write call of its own, however the updater
  // hands them over: how the updater wrote before it gathered an exchange.
  bool oneWritePerByte = false;
  Ticks stuckAt = -1;  // from this time on the adapter takes no bytes (a stuck driver)
  static constexpr const char* kUserFolder = "/home/operator/.local/state/korrin/";
  // The simulated PC's own way of numbering a port, shown after E4.
  static constexpr const char* kPortNamingHelp = "Give the unit's port a number from 1 to 4, then run korrin-update -c1\n";

  // What happened.
  Ticks now = 0;
  std::vector<Event> transcript;
  bool hung = false;  // a read asked for bytes that will never come
  bool killed = false;
  std::size_t txCutBytes = 0;  // bytes still in the transmit buffer when the port was closed
  long writeCalls = 0;         // write calls that reached the port
  // The run's resources (the fine tick, the stop requests, QuickEdit off, the
  // PC kept awake, the window's title): taken and given back how often, and
  // the keys read (end of input included) when they were last given back.
  int resourcesTaken = 0, resourcesGivenBack = 0;
  int keysBeforeGivenBack = -1;
  bool resourcesHeld() const { return resourcesTaken > resourcesGivenBack; }
  // The window's titles the run showed, in order, each with its time; the
  // title is the console's own again once the resources are given back.
  std::vector<std::pair<Ticks, std::string>> titles;
  // The port used while the resources were not held: the PC free to sleep
  // while the updater works with the unit.
  bool portUsedUnheld = false;
  os::LineSettings lastSettings{};
  std::uint32_t pcSpeed = 0;
  int opens = 0;

  std::string wire() const;      // every byte the PC sent, heard or not
  std::string heardWire() const; // the bytes the unit heard
  std::string console() const;   // every console text
  std::string received() const;  // every byte the unit sent
  double nowMs() const { return toMs(now); }
  // Time of the first console text containing `text`, or -1.
  Ticks consoleTime(const std::string& text) const;
  // Time at which the first PC text containing `text` started going out, or -1.
  Ticks wireTime(const std::string& text) const;

  // The seam, called through os::. Failures give Windows' texts, as the
  // Win32 seam words them.
  bool openPort(const char* name, const os::LineSettings& settings);
  bool writePort(const void* bytes, std::size_t count);
  bool drainPort();
  bool bytesWaiting(std::uint32_t& count);
  bool readPort(void* buffer, std::uint32_t count, std::uint32_t& got);
  void closePort();
  std::string failure;  // of the last failed port call
  void sleep(std::uint32_t ms);
  void takeResources();
  void giveBackResources();
  void writeConsole(const char* text, std::size_t length);
  int readKey();
  bool isOpen() const { return open_; }
  bool gone() const { return vanishAt >= 0 && now >= vanishAt; }
  bool cut(Ticks at) const { return cutAt >= 0 && at >= cutAt; }
  bool stuck() const { return stuckAt >= 0 && now >= stuckAt; }
  // A USB adapter: a buffer of `bufferBytes` and `perWriteCall` for every write.
  void useUsbAdapter(std::size_t bufferBytes, Ticks perWriteCall = kTicksPerMs) {
    txBufferBytes = bufferBytes;
    writeCallTicks = perWriteCall;
  }
  bool stopRequested() const { return stopAt >= 0 && now >= stopAt; }
  void discardTypedAhead();
  int keysRead() const;
  // Throws Killed once the clock has passed killAt; afterwards every call is a no-op.
  void checkKill();

 private:
  // One reply on its way: byte i arrives at first + i * perByte. Kept whole
  // rather than byte by byte: a unit answering a damaged length sends megabytes.
  struct Incoming {
    Ticks first;
    Ticks perByte;
    std::uint32_t speed;
    std::string bytes;
    std::size_t head = 0;  // bytes before it are read or dropped
    Ticks arrival(std::size_t i) const { return first + static_cast<Ticks>(i) * perByte; }
    std::size_t arrivedBy(Ticks t) const;  // bytes from head that have arrived by t
  };
  void record(Event::Kind kind, std::string data, Ticks end, bool lost = false);
  void schedule(const UnitModel::Reply& reply, Ticks heardAt);
  void settle();  // bytes that arrived at the wrong speed or while closed are gone
  std::size_t arrivedCount() const;
  void putOnLine(std::uint8_t byte, Ticks start);  // the byte leaves the PC at `start`
  void sendBuffered(Ticks until);                  // what the buffer has sent by `until`
  bool writeStuck(std::size_t left, std::size_t count);
  bool failed(const std::string& call, const std::string& why);
  bool deviceGone(const char* call) { return failed(call, "The device is not connected. 1167"); }

  UnitModel& unit_;
  bool open_ = false;
  bool framed8N1_ = true;  // the port's framing, as its settings set it
  std::uint32_t savedConsoleMode_ = 0;
  Ticks openedAt_ = 0;
  Ticks unitTxFree_ = 0;
  std::deque<Incoming> incoming_;
  struct Outgoing {
    std::uint8_t byte;
    Ticks acceptedAt;
  };
  std::deque<Outgoing> outgoing_;  // in the transmit buffer, not yet on the line
  Ticks txLineFree_ = 0;           // when the line has sent the last byte started
};

// The line the OS seam of the tests talks to: the last one made, while it lives.
extern VirtualLine* g_line;

}  // namespace sim
