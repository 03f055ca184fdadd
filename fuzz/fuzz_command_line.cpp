// Arbitrary command lines. The input's first byte chooses the unit (silent, or
// one that falls silent after its first reply, so that runs stay short) and
// whether the PC has all four ports or COM1 alone; the rest, split at NUL
// bytes, gives up to eight arguments.
//
// Properties: no crash; every run ends with the prompt and a key, with the
// status its ending gives; the options are read as an independent model of the
// operator's rules reads them (first three characters count, -c1..-c4 and
// -s0..-s4, the last occurrence wins, the first bad argument ends the reading,
// arguments not starting with '-' are ignored); a usage error prints exactly its
// message, sends nothing and opens no port; otherwise the port opened and the
// first speed command on the wire are the ones the model chose (a port the PC
// does not have is refused, and the run ends as with no unit).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

using namespace korrin;
using namespace korrin::fuzz;

constexpr std::size_t kMaxArguments = 8;

struct Reading {
  enum Kind { kRun, kBadPort, kBadSpeed, kUnknown } kind = kRun;
  char port = '1';
  unsigned speed = 28800;
  std::string badArgument;
};

Reading readOptions(const std::vector<std::string>& arguments) {
  static const unsigned kSpeeds[] = {28800, 14400, 9600, 4800, 2400};
  Reading reading;
  for (const std::string& argument : arguments) {
    if (argument.empty() || argument[0] != '-') continue;
    const unsigned char letter = argument.size() > 1 ? static_cast<unsigned char>(argument[1]) : 0;
    const unsigned char digit = argument.size() > 2 ? static_cast<unsigned char>(argument[2]) : 0;
    if (letter == 'c') {
      if (digit < '1' || digit > '4') {
        reading.kind = Reading::kBadPort;
        return reading;
      }
      reading.port = static_cast<char>(digit);
    } else if (letter == 's') {
      if (digit < '0' || digit > '4') {
        reading.kind = Reading::kBadSpeed;
        return reading;
      }
      reading.speed = kSpeeds[digit - '0'];
    } else {
      reading.kind = Reading::kUnknown;
      reading.badArgument = argument;
      return reading;
    }
  }
  return reading;
}

std::string banner() {
  const std::string stars(40, '*');
  char revision[16];
  std::snprintf(revision, sizeof revision, "%06x", carriedPackage().packageRevision);
  const char* model = carriedPackage().packageIsPro ? "KorrinPro" : "Korrin   ";
  return "\n" + stars + "\n* " + model + " firmware update utility    *\n" + stars + "\n" +
         "\nUpdater for firmware version " + revision + "\n\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input(data, size);
  const std::uint8_t setting = input.byte();
  const bool silent = (setting & 1) == 0;
  const bool onlyCom1 = (setting & 2) != 0;
  const std::string rest = input.bytes(input.left());
  std::vector<std::string> arguments;
  for (std::size_t from = 0; from <= rest.size() && arguments.size() < kMaxArguments;) {
    std::size_t nul = rest.find('\0', from);
    if (nul == std::string::npos) nul = rest.size();
    arguments.push_back(rest.substr(from, nul - from));
    from = nul + 1;
  }
  if (rest.empty()) arguments.clear();

  const Reading reading = readOptions(arguments);
  sim::UnitModel unit;
  unit.faults.answerLimit = silent ? 0 : 1;
  sim::VirtualLine line{unit};
  if (onlyCom1) line.ports = {"COM1"};
  const int status = runUpdaterWith(arguments, carriedPackage());
  traceRun("command line", line, unit, status);
  const Ending ending = checkRun(line, unit, carriedPackage(), status);

  const std::string console = line.console();
  if (reading.kind != Reading::kRun) {
    const std::string message =
        reading.kind == Reading::kBadPort    ? "Error, usage is -cX to set COM port, where X is 1-4\n"
        : reading.kind == Reading::kBadSpeed ? "Error, usage is -sX to set RS232 port speed, where X is 0(fastest) to 4(slowest)\n"
                                             : reading.badArgument + " :Unrecognized option\n";
    KORRIN_FUZZ_CHECK(ending == Ending::kUsage, "a bad command line ended with %s", endingName(ending));
    KORRIN_FUZZ_CHECK(console == banner() + message + kPrompt, "the usage exit printed other texts");
    KORRIN_FUZZ_CHECK(line.opens == 0 && line.wire().empty(), "a usage error touched the port");
    KORRIN_FUZZ_CHECK(status == 0, "a usage error returned %d", status);
  } else {
    const bool portMissing = onlyCom1 && reading.port != '1';
    KORRIN_FUZZ_CHECK(ending == (silent || portMissing ? Ending::kNoUnit : Ending::kNoLineSpeed),
                      "a good command line to a %s unit ended with %s", silent ? "silent" : "short-lived",
                      endingName(ending));
    KORRIN_FUZZ_CHECK(console.compare(0, banner().size(), banner()) == 0, "the banner is not first");
    const std::string port = std::string("COM") + reading.port;
    const sim::Event* opened = nullptr;
    for (const sim::Event& e : line.transcript) {
      if (e.kind == sim::Event::Open) {
        opened = &e;
        break;
      }
    }
    const std::string expected = portMissing ? port + " refused" : port;
    KORRIN_FUZZ_CHECK(opened && opened->data == expected, "opened %s, the command line chose %s",
                      opened ? opened->data.c_str() : "nothing", port.c_str());
    char speed[16];
    std::snprintf(speed, sizeof speed, "B%06u", reading.speed);
    const std::string wire = line.wire();
    if (portMissing) {
      KORRIN_FUZZ_CHECK(wire.empty(), "bytes sent through a port that did not open");
    } else if (silent) {
      KORRIN_FUZZ_CHECK(wire == "E", "a unit that never answers was sent more than one 'E'");
    } else {
      KORRIN_FUZZ_CHECK(wire.compare(0, 8, std::string("E") + speed) == 0, "the first speed command is not %s",
                        speed);
    }
  }
  showOnViolation(nullptr);
  return 0;
}
