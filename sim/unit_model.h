// A faithful model of a Korrin unit in update mode: its memory, its address and
// length registers, its command parser and replies, its line speed, and the
// faults the tests inject. It knows nothing of time: a host (the virtual-time
// line, or the pty host) feeds it bytes and paces what it sends back.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace sim {

enum class ReplyFault {
  Lose,       // nothing is sent
  CutShort,   // only the first half of the reply
  Garble,     // every character replaced by one that is not hexadecimal
  Delay,      // sent `delayMs` late
  LowerCase,  // hexadecimal digits in lower case
  Unpadded,   // "CS=" without leading zeros
  WithNul,    // a NUL byte after the first character
  Extra,      // the reply followed by "xx"
};

// Applies `kind` to the replies to `command` (one of 'E' 'G' 'H' 'C' 'M'),
// counted from 0 per command letter, from `first` on, `count` of them.
struct ReplyFaultRule {
  char command = 'E';
  std::uint32_t first = 0;
  std::uint32_t count = 1;
  ReplyFault kind = ReplyFault::Lose;
  std::uint32_t delayMs = 0;
};

// One byte of the line damaged: the byte with this index (from 0, counted from
// the start of the run) of the stream the unit hears (`ToUnit`) or of every
// reply byte it sends (`FromUnit`), with one bit flipped or lost on the way.
struct LineError {
  enum Direction { ToUnit, FromUnit };
  enum Kind { FlipBit, Lose };
  Direction direction = ToUnit;
  std::uint64_t index = 0;
  Kind kind = FlipBit;
  int bit = 0;  // 0..7, for FlipBit
};

struct UnitFaults {
  // Above this speed the unit still hears the PC but its replies do not get through.
  std::uint32_t maxAnswerSpeed = 1000000;
  // After this many replies the unit falls silent for good (negative: never).
  int answerLimit = -1;
  bool neverHOk = false;  // 'H' answered with "HNo"
  std::vector<ReplyFaultRule> replies;
  // Block address -> how many more times a 'D' block there is stored corrupted.
  std::map<std::uint32_t, std::uint32_t> corruptWrites;
  // Block address -> how many more times an 'M' block there is sent corrupted.
  std::map<std::uint32_t, std::uint32_t> corruptReads;
  // Block address -> which data transfer of that block (counted from 0, 'D'
  // or 'M') arrives damaged: 1 damages the first repeat.
  std::map<std::uint32_t, std::uint32_t> damagedTransfer;
  // Block address -> how late (ms) the checksum reply that follows the block's
  // first data transfer comes.
  std::map<std::uint32_t, std::uint32_t> lateChecksum;
  // The unit stores each 'D' byte as it arrives, so a block cut short is
  // stored in part; otherwise it stores a block once all its bytes are in.
  bool storesDataAsItArrives = false;
  // Line noise: each 'D' or 'M' block is corrupted with this probability (per mille).
  std::uint32_t noisePerMille = 0;
  std::uint32_t noiseSeed = 1;
  // A lossy line: each reply to a 'C' at an address in [lossFrom, lossTo)
  // after a `lossAfter` data command ('D' or 'M') is lost with this
  // probability (per mille).
  std::uint32_t checksumLossPerMille = 0;
  std::uint32_t lossFrom = 0, lossTo = 0;
  char lossAfter = 'D';
  // Single bytes damaged on the line, either way (after every rule above).
  std::vector<LineError> lineErrors;
  // Last word on every reply (after the rules above): may rewrite its bytes and delay.
  std::function<void(char command, std::string& reply, std::uint32_t& delayMs)> replyHook;
};

// What a byte was to the unit: for a byte it heard, the command its parser
// took it for and which part of that command; for a byte it sent, the command
// whose reply it belongs to.
struct ByteRole {
  enum Part : char { Letter, Parameter, Data, Text, LineFeed, Ignored, Reply };
  char command = 0;  // 0 for an ignored byte
  Part part = Ignored;
};

// What the unit went through, for the verdict of a run.
struct UnitLog {
  std::string commands;  // every command letter taken, in order ('D' data bytes excluded)
  std::vector<std::pair<std::uint32_t, std::uint32_t>> writes;  // (address, length) of each 'D' block
  std::vector<std::string> displayTexts;                        // 'J' texts without the line feed
  bool flashed = false;
  std::string flashCode;            // the four digits after 'F'
  std::vector<std::uint8_t> flashedMemory;  // the memory when the flash command came
  bool exited = false;              // 'X' received
  std::uint32_t bytesAfterExit = 0;
  std::uint32_t bytesAfterFlash = 0;
  std::uint32_t replies = 0;
  // With UnitModel::recordRoles: every byte heard, and every reply byte sent, in order.
  std::vector<ByteRole> heardRoles, sentRoles;
};

class UnitModel {
 public:
  static constexpr std::uint32_t kMemorySize = 0x80000;
  static constexpr std::uint32_t kStartSpeed = 9600;

  UnitModel();

  // Set-up.
  std::vector<std::uint8_t>& memory() { return memory_; }
  const std::vector<std::uint8_t>& memory() const { return memory_; }
  UnitFaults faults;
  bool recordRoles = false;  // keep the role of every byte in the log (costs memory)

  // The line.
  std::uint32_t speed() const { return speed_; }
  // False while the unit's replies cannot reach the PC (above maxAnswerSpeed).
  bool heard() const { return speed_ <= faults.maxAnswerSpeed; }

  struct Reply {
    std::string bytes;  // empty: nothing sent
    std::uint32_t delayMs = 0;
  };
  // One byte from the PC; returns what the unit sends back because of it.
  Reply receive(std::uint8_t byte);

  // The operator puts the unit back into update mode after a run that ended
  // anyhow: it listens at 9600 baud again, with nothing half-received; its
  // memory and the log of what it went through stay.
  void reenterUpdateMode();

  const UnitLog& log() const { return log_; }
  std::uint32_t addressRegister() const { return address_; }
  std::uint32_t lengthRegister() const { return length_; }

 private:
  Reply take(std::uint8_t byte);
  void note(char command, ByteRole::Part part);
  void damageReply(std::string& text);
  Reply reply(char command, std::string text);
  Reply execute(char command);
  std::uint32_t rangeSum() const;
  bool noiseHits();
  static bool chance(std::uint32_t& state, std::uint32_t seed, std::uint32_t perMille);

  std::vector<std::uint8_t> memory_;
  std::uint32_t speed_ = kStartSpeed;
  std::uint32_t address_ = 0;
  std::uint32_t length_ = 0;
  char command_ = 0;          // command being collected, 0 when idle
  std::string parameter_;     // its parameter so far
  std::vector<std::uint8_t> data_;  // 'D' bytes so far
  std::map<char, std::uint32_t> replyCount_;
  std::map<std::uint32_t, std::uint32_t> transfers_;  // data transfers per block address
  bool firstTransferUnchecked_ = false;  // the last data transfer was its block's first, no 'C' since
  std::uint32_t extraDelayMs_ = 0;
  bool damagedNow();
  std::uint32_t noiseState_ = 0;
  std::uint32_t lossState_ = 0;
  char lastData_ = 0;  // 'D' or 'M': the last data command taken
  std::uint64_t heardCount_ = 0, sentCount_ = 0;  // bytes of this run each way, for lineErrors
  UnitLog log_;
};

}  // namespace sim
