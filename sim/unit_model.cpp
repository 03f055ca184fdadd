#include "unit_model.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace sim {

namespace {

// Parameter length of each command that carries one; 'J' runs to its line feed.
int parameterLength(char command) {
  switch (command) {
    case 'A': case 'L': case 'B': return 6;
    case 'F': return 4;
    case 'V': return 1;
    default: return 0;
  }
}

// A parameter counts only in its one form: every character a digit of `base`
// (hexadecimal in either case). A real unit's parser has no room for spaces,
// signs or "0x"; what does not parse leaves the register as it was.
bool parseDigits(const std::string& text, int base, std::uint32_t& value) {
  std::uint32_t parsed = 0;
  for (const char c : text) {
    const bool decimal = c >= '0' && c <= '9';
    const bool hex = (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    if (!decimal && !(base == 16 && hex)) return false;
    parsed = parsed * base + (decimal ? c - '0' : (c | 0x20) - 'a' + 10);
  }
  value = parsed;
  return !text.empty();
}

// The flash command's fixed code. A lone 'F' on the line (a 'D' or 'G' one bit
// away, a damaged letter, an 'F' in display text read as a command) then takes
// four more bytes that are almost never exactly these: without the code, any
// such 'F' would start flashing whatever half-written images the unit holds.
constexpr const char* kFlashCode = "5382";

void appendHexPair(std::string& text, std::uint8_t byte) {
  static const char kDigits[] = "0123456789ABCDEF";
  text.push_back(kDigits[byte >> 4]);
  text.push_back(kDigits[byte & 0x0F]);
}

}  // namespace

UnitModel::UnitModel() : memory_(kMemorySize, 0) {}

UnitModel::Reply UnitModel::receive(std::uint8_t byte) {
  const std::uint64_t index = heardCount_++;
  for (const LineError& error : faults.lineErrors) {
    if (error.direction != LineError::ToUnit || error.index != index) continue;
    if (error.kind == LineError::Lose) return {};
    byte ^= static_cast<std::uint8_t>(1u << (error.bit & 7));
  }
  return take(byte);
}

void UnitModel::note(char command, ByteRole::Part part) {
  if (recordRoles) log_.heardRoles.push_back({command, part});
}

UnitModel::Reply UnitModel::take(std::uint8_t byte) {
  // Out of update mode the unit no longer listens; count what still arrives.
  if (log_.exited) {
    ++log_.bytesAfterExit;
    note(0, ByteRole::Ignored);
    return {};
  }
  if (log_.flashed) {
    ++log_.bytesAfterFlash;
    note(0, ByteRole::Ignored);
    return {};
  }

  if (command_ == 'D') {
    note('D', ByteRole::Data);
    data_.push_back(byte);
    const std::size_t at = address_ + data_.size() - 1;
    if (faults.storesDataAsItArrives && at < kMemorySize) memory_[at] = byte;
    if (data_.size() < length_) return {};
    std::uint32_t faultsLeft = 0;
    auto planned = faults.corruptWrites.find(address_);
    if (planned != faults.corruptWrites.end() && planned->second > 0) {
      --planned->second;
      faultsLeft = 1;
    }
    if ((damagedNow() || faultsLeft || noiseHits()) && !data_.empty()) data_[0] ^= 0x01;
    for (std::size_t i = 0; i < data_.size() && address_ + i < kMemorySize; ++i) memory_[address_ + i] = data_[i];
    log_.writes.emplace_back(address_, length_);
    command_ = 0;
    data_.clear();
    return {};
  }

  if (command_ != 0) {
    if (command_ == 'J') {
      note('J', byte == '\n' ? ByteRole::LineFeed : ByteRole::Text);
      if (byte == '\n') {
        log_.displayTexts.push_back(parameter_);
        command_ = 0;
        parameter_.clear();
      } else {
        parameter_.push_back(static_cast<char>(byte));
      }
      return {};
    }
    note(command_, ByteRole::Parameter);
    parameter_.push_back(static_cast<char>(byte));
    if (static_cast<int>(parameter_.size()) < parameterLength(command_)) return {};
    const char finished = command_;
    command_ = 0;
    Reply out = execute(finished);
    parameter_.clear();
    return out;
  }

  const char letter = static_cast<char>(byte);
  switch (letter) {
    case 'A': case 'L': case 'B': case 'F': case 'V': case 'J':
      note(letter, ByteRole::Letter);
      log_.commands.push_back(letter);
      command_ = letter;
      parameter_.clear();
      return {};
    case 'D':
      note(letter, ByteRole::Letter);
      log_.commands.push_back(letter);
      lastData_ = 'D';
      if (length_ > 0) {
        command_ = 'D';
        data_.clear();
      }
      return {};
    case 'E': case 'G': case 'H': case 'C': case 'M': case 'K': case 'T': case 'X':
      note(letter, ByteRole::Letter);
      log_.commands.push_back(letter);
      return execute(letter);
    default:
      note(0, ByteRole::Ignored);
      return {};  // a byte that starts no command: line noise, ignored
  }
}

UnitModel::Reply UnitModel::execute(char command) {
  std::uint32_t value = 0;
  switch (command) {
    case 'E': return reply('E', "Ok");
    case 'G': return reply('G', "GOk");
    case 'H': return reply('H', faults.neverHOk ? "HNo" : "HOk");
    case 'A':
      if (parseDigits(parameter_, 16, value)) address_ = value;
      return {};
    case 'L':
      if (parseDigits(parameter_, 16, value)) length_ = value;
      return {};
    case 'B':
      if (parseDigits(parameter_, 10, value) && value > 0) speed_ = value;
      return {};
    case 'C': {
      auto late = faults.lateChecksum.find(address_);
      if (firstTransferUnchecked_ && late != faults.lateChecksum.end()) extraDelayMs_ = late->second;
      firstTransferUnchecked_ = false;
      const bool lost = address_ >= faults.lossFrom && address_ < faults.lossTo && lastData_ == faults.lossAfter &&
                        chance(lossState_, faults.noiseSeed + 1, faults.checksumLossPerMille);
      char text[16];
      std::snprintf(text, sizeof text, "CS=%08X", rangeSum());
      Reply out = reply('C', text);
      if (lost) out.bytes.clear();
      return out;
    }
    case 'M': {
      lastData_ = 'M';
      std::string text;
      text.reserve(2 * length_);
      bool corrupt = false;
      auto planned = faults.corruptReads.find(address_);
      if (planned != faults.corruptReads.end() && planned->second > 0) {
        --planned->second;
        corrupt = true;
      }
      corrupt = damagedNow() || noiseHits() || corrupt;
      // There is nothing to read past the end of the memory: a range that runs
      // past it (a length damaged on the line) is sent up to its end, as 'C' sums it.
      for (std::uint32_t i = 0; i < length_ && address_ + i < kMemorySize; ++i) {
        std::uint8_t byte = memory_[address_ + i];
        if (i == 0 && corrupt) byte ^= 0x01;
        appendHexPair(text, byte);
      }
      return reply('M', text);
    }
    case 'F':
      if (parameter_ != kFlashCode) return {};
      log_.flashed = true;
      log_.flashCode = parameter_;
      log_.flashedMemory = memory_;
      return {};
    case 'X':
      log_.exited = true;
      return {};
    default:  // 'K', 'T', "V0": steps of the update mode that send nothing back
      return {};
  }
}

UnitModel::Reply UnitModel::reply(char command, std::string text) {
  const std::uint32_t index = replyCount_[command]++;
  const std::uint32_t extraDelayMs = extraDelayMs_;
  extraDelayMs_ = 0;
  if (!heard()) return {};
  if (faults.answerLimit >= 0 && log_.replies >= static_cast<std::uint32_t>(faults.answerLimit)) return {};
  ++log_.replies;
  Reply out;
  out.delayMs = extraDelayMs;
  for (const ReplyFaultRule& rule : faults.replies) {
    if (rule.command != command || index < rule.first || index - rule.first >= rule.count) continue;
    switch (rule.kind) {
      case ReplyFault::Lose: text.clear(); break;
      case ReplyFault::CutShort: text.resize(text.size() / 2); break;
      case ReplyFault::Garble:
        for (char& c : text) c = 'Q';
        break;
      case ReplyFault::Delay: out.delayMs += rule.delayMs; break;
      case ReplyFault::LowerCase:
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (text.rfind("cs=", 0) == 0) text.replace(0, 3, "CS=");
        break;
      case ReplyFault::Unpadded:
        if (text.rfind("CS=", 0) == 0) {
          const std::size_t digits = text.find_first_not_of('0', 3);
          text.erase(3, (digits == std::string::npos ? text.size() - 1 : digits) - 3);
        }
        break;
      case ReplyFault::WithNul:
        if (!text.empty()) text.insert(1, 1, '\0');
        break;
      case ReplyFault::Extra: text += "xx"; break;
    }
  }
  if (faults.replyHook) faults.replyHook(command, text, out.delayMs);
  if (recordRoles) log_.sentRoles.insert(log_.sentRoles.end(), text.size(), ByteRole{command, ByteRole::Reply});
  damageReply(text);
  out.bytes = std::move(text);
  return out;
}

void UnitModel::damageReply(std::string& text) {
  const std::uint64_t first = sentCount_;
  sentCount_ += text.size();
  const bool hit = std::any_of(faults.lineErrors.begin(), faults.lineErrors.end(), [&](const LineError& error) {
    return error.direction == LineError::FromUnit && error.index >= first && error.index < sentCount_;
  });
  if (!hit) return;
  std::string damaged;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char byte = text[i];
    bool lost = false;
    for (const LineError& error : faults.lineErrors) {
      if (error.direction != LineError::FromUnit || error.index != first + i) continue;
      if (error.kind == LineError::Lose) {
        lost = true;
      } else {
        byte = static_cast<char>(byte ^ (1 << (error.bit & 7)));
      }
    }
    if (!lost) damaged.push_back(byte);
  }
  text = std::move(damaged);
}

bool UnitModel::damagedNow() {
  const std::uint32_t transfer = transfers_[address_]++;
  firstTransferUnchecked_ = transfer == 0;
  const auto planned = faults.damagedTransfer.find(address_);
  return planned != faults.damagedTransfer.end() && planned->second == transfer;
}

void UnitModel::reenterUpdateMode() {
  speed_ = kStartSpeed;
  command_ = 0;
  parameter_.clear();
  data_.clear();
  log_.exited = false;
  heardCount_ = sentCount_ = 0;  // a new run: line errors count from its start
}

std::uint32_t UnitModel::rangeSum() const {
  std::uint32_t sum = 0;
  for (std::uint32_t i = 0; i < length_ && address_ + i < kMemorySize; ++i) sum += memory_[address_ + i];
  return sum;
}

bool UnitModel::noiseHits() { return chance(noiseState_, faults.noiseSeed, faults.noisePerMille); }

bool UnitModel::chance(std::uint32_t& state, std::uint32_t seed, std::uint32_t perMille) {
  if (perMille == 0) return false;
  if (state == 0) state = seed | 1u;
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state % 1000 < perMille;
}

}  // namespace sim
