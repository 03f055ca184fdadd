#include "virtual_line.h"

#include <algorithm>
#include <limits>
#include <cstdio>

namespace sim {

VirtualLine* g_line = nullptr;

VirtualLine::VirtualLine(UnitModel& unit) : unit_(unit) { g_line = this; }

VirtualLine::~VirtualLine() {
  if (g_line == this) g_line = nullptr;
}

void VirtualLine::record(Event::Kind kind, std::string data, Ticks end, bool lost) {
  Event event{kind, now, end, std::move(data), pcSpeed, lost};
  transcript.push_back(std::move(event));
}

namespace {

std::string joined(const std::vector<Event>& transcript, Event::Kind kind, bool heardOnly = false) {
  std::string out;
  for (const Event& e : transcript)
    if (e.kind == kind && !(heardOnly && e.lost)) out += e.data;
  return out;
}

}  // namespace

std::string VirtualLine::wire() const { return joined(transcript, Event::ToUnit); }
std::string VirtualLine::heardWire() const { return joined(transcript, Event::ToUnit, true); }
std::string VirtualLine::console() const { return joined(transcript, Event::Console); }
std::string VirtualLine::received() const { return joined(transcript, Event::FromUnit); }

Ticks VirtualLine::consoleTime(const std::string& text) const {
  for (const Event& e : transcript)
    if (e.kind == Event::Console && e.data.find(text) != std::string::npos) return e.at;
  return -1;
}

Ticks VirtualLine::wireTime(const std::string& text) const {
  for (const Event& e : transcript)
    if (e.kind == Event::ToUnit && e.data.find(text) != std::string::npos) return e.at;
  return -1;
}

void VirtualLine::checkKill() {
  if (killed || killAt < 0 || now < killAt) return;
  killed = true;
  open_ = false;
  record(Event::Killed, "", now);
  throw Killed{};
}

void VirtualLine::discardTypedAhead() {
  if (consoleInput) typedAhead.clear();
}

bool VirtualLine::failed(const std::string& call, const std::string& why) {
  failure = call + ": " + why;
  return false;
}

bool VirtualLine::openPort(const char* name, const os::LineSettings& settings) {
  const std::string port = name ? name : "";
  ++opens;
  if (open_ || !ports.count(port) || busyPorts.count(port) || gone()) {
    record(Event::Open, port + " refused", now);
    return false;
  }
  lastSettings = settings;
  if (refuseSettings) {
    record(Event::Open, port + " refused its settings", now);
    return false;
  }
  open_ = true;
  pcSpeed = settings.baud;
  // The unit frames every byte 8N1; in any other framing it hears nothing.
  framed8N1_ = settings.dataBits == 8 && settings.parity == os::Parity::None && settings.stopBits == 1;
  openedAt_ = now;
  failure.clear();
  settle();
  record(Event::Open, port, now);
  return true;
}

void VirtualLine::putOnLine(std::uint8_t byte, Ticks start) {
  const Ticks heardAt = start + (pacePcOutput ? byteTicks(pcSpeed) : 0);
  const bool heard = pcSpeed != 0 && pcSpeed == unit_.speed() && framed8N1_ && !cut(heardAt);
  // Consecutive bytes at one speed make one transcript entry.
  if (!transcript.empty() && transcript.back().kind == Event::ToUnit && transcript.back().end == start &&
      transcript.back().lost == !heard && transcript.back().speed == pcSpeed) {
    transcript.back().data.push_back(static_cast<char>(byte));
    transcript.back().end = heardAt;
  } else {
    transcript.push_back(Event{Event::ToUnit, start, heardAt, std::string(1, static_cast<char>(byte)), pcSpeed, !heard});
  }
  txLineFree_ = heardAt;
  if (heard) schedule(unit_.receive(byte), heardAt);
}

bool VirtualLine::writePort(const void* buffer, std::size_t count) {
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  if (consoleInput && (consoleMode & 0x40u)) quickEditWhileSending = true;
  if (!resourcesHeld()) portUsedUnheld = true;
  for (std::size_t i = 0; i < count; ++i) {
    if (gone()) return deviceGone("WriteFile");
    checkKill();
    if (i == 0 || oneWritePerByte) {
      ++writeCalls;
      now += writeCallTicks;
      sendBuffered(now);
      if (stuck()) return writeStuck(count - i, count);
    }
    if (txBufferBytes == 0) {
      putOnLine(bytes[i], now);
      now = txLineFree_;
    } else {
      // A full buffer takes the byte when the one at its head starts out.
      if (outgoing_.size() >= txBufferBytes) now = std::max(now, std::max(txLineFree_, outgoing_.front().acceptedAt));
      sendBuffered(now);
      outgoing_.push_back({bytes[i], now});
    }
  }
  return true;
}

void VirtualLine::sendBuffered(Ticks until) {
  while (!outgoing_.empty()) {
    const Ticks start = std::max(txLineFree_, outgoing_.front().acceptedAt);
    if (start > until) break;
    putOnLine(outgoing_.front().byte, start);
    outgoing_.pop_front();
  }
}

// The write waits for room that never comes: until its bound, as Windows
// counts a write's time-out (per byte and a constant), or for ever when none is set.
bool VirtualLine::writeStuck(std::size_t left, std::size_t count) {
  const Ticks perByte = static_cast<Ticks>(lastSettings.writeMsPerByte) * kTicksPerMs;
  const Ticks constant = static_cast<Ticks>(lastSettings.writeSlackMs) * kTicksPerMs;
  if (perByte == 0 && constant == 0) {
    hung = true;
    record(Event::Hang, "a write that the adapter never takes", now);
  } else {
    now += perByte * static_cast<Ticks>(left) + constant;
  }
  return failed("WriteFile", std::to_string(left) + " of " + std::to_string(count) +
                                 " bytes not taken within the write time-out");
}

// A driver without a drain of its own: the seam waits out the line time of
// the bytes, which is when the line is free here too.
bool VirtualLine::drainPort() {
  if (gone()) return deviceGone("FlushFileBuffers");
  checkKill();
  sendBuffered(std::numeric_limits<Ticks>::max());
  now = std::max(now, txLineFree_);
  return true;
}

void VirtualLine::schedule(const UnitModel::Reply& reply, Ticks heardAt) {
  if (reply.bytes.empty()) return;
  const std::uint32_t speed = unit_.speed();
  const Ticks perByte = byteTicks(speed);
  Ticks at = std::max(unitTxFree_, heardAt + static_cast<Ticks>(reply.delayMs) * kTicksPerMs);
  Event event{Event::FromUnit, at, at + perByte * static_cast<Ticks>(reply.bytes.size()), reply.bytes, speed, false};
  // Bytes that would arrive once the cable is cut never do.
  std::size_t reaching = reply.bytes.size();
  if (cutAt >= 0) {
    reaching = 0;
    while (reaching < reply.bytes.size() && !cut(at + static_cast<Ticks>(reaching + 1) * perByte)) ++reaching;
  }
  if (reaching > 0) incoming_.push_back({at + perByte, perByte, speed, reply.bytes.substr(0, reaching)});
  unitTxFree_ = at + perByte * static_cast<Ticks>(reply.bytes.size());
  transcript.push_back(std::move(event));
}

std::size_t VirtualLine::Incoming::arrivedBy(Ticks t) const {
  if (t < first) return 0;
  const std::size_t upTo = perByte == 0 ? bytes.size() : static_cast<std::size_t>((t - first) / perByte) + 1;
  return std::min(upTo, bytes.size()) - std::min(head, std::min(upTo, bytes.size()));
}

void VirtualLine::settle() {
  // A closed port hears nothing; an open one only what arrived after it was set
  // up, at its own speed. Everything else is lost or garbage that the driver drops.
  for (Incoming& in : incoming_) {
    if (in.first > now) break;
    const std::size_t arrived = in.arrivedBy(now);
    if (!open_ || in.speed != pcSpeed) {
      in.head += arrived;
    } else {
      in.head += std::min(arrived, in.arrivedBy(openedAt_));
    }
  }
  incoming_.erase(std::remove_if(incoming_.begin(), incoming_.end(),
                                 [](const Incoming& in) { return in.head >= in.bytes.size(); }),
                  incoming_.end());
}

std::size_t VirtualLine::arrivedCount() const {
  std::size_t n = 0;
  for (const Incoming& in : incoming_) {
    if (in.first > now) break;
    n += in.arrivedBy(now);
  }
  return n;
}

bool VirtualLine::readPort(void* buffer, std::uint32_t count, std::uint32_t& got) {
  got = 0;
  if (!resourcesHeld()) portUsedUnheld = true;
  if (gone()) return deviceGone("ReadFile");
  checkKill();
  sendBuffered(now);
  settle();
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::size_t available = arrivedCount();
  if (available < count) {
    // The wait lets whatever the transmit buffer still holds go out, and the
    // unit answer it.
    sendBuffered(std::numeric_limits<Ticks>::max());
    // Wait only for bytes that are on their way at this port's speed.
    std::size_t coming = 0;
    Ticks until = now;
    for (const Incoming& in : incoming_) {
      if (in.speed != pcSpeed) continue;
      const std::size_t left = in.bytes.size() - in.head;
      if (coming + left >= count) {
        until = in.arrival(in.head + (count - coming) - 1);
        coming = count;
        break;
      }
      coming += left;
    }
    if (coming < count) {
      hung = true;
      record(Event::Hang, "a read for " + std::to_string(count) + " bytes that will never come", now);
    } else {
      now = until;
      settle();
      available = arrivedCount();
    }
  }
  const std::size_t take = std::min<std::size_t>(available, count);
  for (std::size_t i = 0; i < take; ++i) {
    Incoming& in = incoming_.front();
    out[i] = static_cast<std::uint8_t>(in.bytes[in.head++]);
    if (in.head == in.bytes.size()) incoming_.pop_front();
  }
  got = static_cast<std::uint32_t>(take);
  return true;
}

bool VirtualLine::bytesWaiting(std::uint32_t& count) {
  count = 0;
  if (!resourcesHeld()) portUsedUnheld = true;
  if (gone()) return deviceGone("ClearCommError");
  checkKill();
  sendBuffered(now);
  settle();
  count = static_cast<std::uint32_t>(arrivedCount());
  return true;
}

void VirtualLine::closePort() {
  if (!open_) return;
  sendBuffered(now);
  // What has not started out by now is lost with the port.
  txCutBytes += outgoing_.size();
  outgoing_.clear();
  open_ = false;
  settle();
  record(Event::Close, "", now);
}

void VirtualLine::sleep(std::uint32_t ms) {
  checkKill();
  now += static_cast<Ticks>(ms) * kTicksPerMs;
  sendBuffered(now);
}

void VirtualLine::writeConsole(const char* text, std::size_t length) {
  if (killed) return;
  record(Event::Console, std::string(text, length), now);
}

int VirtualLine::readKey() {
  if (!typedAhead.empty()) {
    const int key = static_cast<unsigned char>(typedAhead.front());
    typedAhead.erase(0, 1);
    record(Event::Key, std::string(1, static_cast<char>(key)), now);
    return key;
  }
  if (keys.empty() || stopRequested()) {
    record(Event::Key, "", now);
    return -1;
  }
  const int key = static_cast<unsigned char>(keys.front());
  keys.erase(0, 1);
  record(Event::Key, std::string(1, static_cast<char>(key)), now);
  return key;
}

int VirtualLine::keysRead() const {
  return static_cast<int>(std::count_if(transcript.begin(), transcript.end(),
                                        [](const Event& e) { return e.kind == Event::Key; }));
}

void VirtualLine::takeResources() {
  if (killed) return;
  ++resourcesTaken;
  if (consoleInput) {
    savedConsoleMode_ = consoleMode;
    consoleMode &= ~0x40u;  // QuickEdit off
  }
}

void VirtualLine::giveBackResources() {
  if (killed) return;
  ++resourcesGivenBack;
  keysBeforeGivenBack = keysRead();
  if (consoleInput) consoleMode = savedConsoleMode_;
}

}  // namespace sim

// The OS seam of the test build: everything goes to the installed line.
namespace os {

// The line keeps one port; this names it.
struct Port {};
namespace {
Port virtualPort;
}  // namespace

Port* openPort(const char* name, const LineSettings& settings) {
  return sim::g_line && sim::g_line->openPort(name, settings) ? &virtualPort : nullptr;
}
bool writePort(Port* port, const void* bytes, std::size_t count) {
  return port == &virtualPort && sim::g_line && sim::g_line->isOpen() && sim::g_line->writePort(bytes, count);
}
bool drainPort(Port* port) {
  return port == &virtualPort && sim::g_line && sim::g_line->isOpen() && sim::g_line->drainPort();
}
bool bytesWaiting(Port* port, std::uint32_t& count) {
  count = 0;
  return port == &virtualPort && sim::g_line && sim::g_line->isOpen() && sim::g_line->bytesWaiting(count);
}
bool readPort(Port* port, void* buffer, std::uint32_t count, std::uint32_t& got) {
  got = 0;
  return port == &virtualPort && sim::g_line && sim::g_line->isOpen() && sim::g_line->readPort(buffer, count, got);
}
void closePort(Port* port) {
  if (port == &virtualPort && sim::g_line) sim::g_line->closePort();
}
const char* portFailure(const Port*) { return sim::g_line ? sim::g_line->failure.c_str() : ""; }
void sleepMs(std::uint32_t ms) {
  if (sim::g_line) sim::g_line->sleep(ms);
}
void takeRunResources() {
  if (sim::g_line) sim::g_line->takeResources();
}
void giveBackRunResources() {
  if (sim::g_line) sim::g_line->giveBackResources();
}
bool stopRequested() { return sim::g_line && sim::g_line->resourcesTaken > 0 && sim::g_line->stopRequested(); }
void showProgress(const char* title) {
  if (sim::g_line && !sim::g_line->killed && sim::g_line->resourcesHeld())
    sim::g_line->titles.emplace_back(sim::g_line->now, title);
}
void writeConsole(const char* text, std::size_t length) {
  if (sim::g_line) {
    sim::g_line->writeConsole(text, length);
  } else {
    std::fwrite(text, 1, length, stdout);
  }
}
int readKey() { return sim::g_line ? sim::g_line->readKey() : -1; }
void discardTypedAhead() {
  if (sim::g_line) sim::g_line->discardTypedAhead();
}
void listSerialPorts(void (*each)(const char* name, void* context), void* context) {
  if (!sim::g_line) return;
  for (const std::string& port : sim::g_line->ports) each(port.c_str(), context);
}
const char* portNamingHelp() { return sim::VirtualLine::kPortNamingHelp; }
bool userDataFolder(char* path, std::size_t size) {
  if (!sim::g_line || sim::g_line->noUserFolder) return false;
  const std::string folder = sim::VirtualLine::kUserFolder;
  if (folder.size() + 1 > size) return false;
  std::snprintf(path, size, "%s", folder.c_str());
  return true;
}
void listFiles(const char* folder, void (*each)(const char* name, void* context), void* context) {
  if (!sim::g_line) return;
  const std::string prefix = folder;
  // Copied first: the callback may delete files.
  std::vector<std::string> names;
  for (const auto& file : sim::g_line->files)
    if (file.first.rfind(prefix, 0) == 0 && file.first.find('/', prefix.size()) == std::string::npos)
      names.push_back(file.first.substr(prefix.size()));
  for (const std::string& name : names) each(name.c_str(), context);
}
bool writeFileDurably(const char* path, const void* bytes, std::size_t count) {
  if (!sim::g_line || sim::g_line->diskFull) return false;
  sim::g_line->now += sim::g_line->durableWriteTicks;
  ++sim::g_line->durableWrites;
  const auto* from = static_cast<const std::uint8_t*>(bytes);
  sim::g_line->files[path] = std::vector<std::uint8_t>(from, from + count);
  sim::g_line->transcript.push_back({sim::Event::Saved, sim::g_line->now, sim::g_line->now, path});
  return true;
}
FileClaim claimFileDurably(const char* path, const void* bytes, std::size_t count) {
  if (!sim::g_line) return FileClaim::Failed;
  if (sim::g_line->files.count(path) != 0) return FileClaim::Taken;
  return writeFileDurably(path, bytes, count) ? FileClaim::Claimed : FileClaim::Failed;
}
bool readWholeFile(const char* path, void* bytes, std::size_t capacity, std::size_t* count) {
  if (!sim::g_line) return false;
  const auto found = sim::g_line->files.find(path);
  if (found == sim::g_line->files.end() || found->second.size() > capacity) return false;
  std::copy(found->second.begin(), found->second.end(), static_cast<std::uint8_t*>(bytes));
  if (count) *count = found->second.size();
  return true;
}
bool deleteFile(const char* path) { return sim::g_line && sim::g_line->files.erase(path) > 0; }

}  // namespace os
