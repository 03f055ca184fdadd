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
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

using namespace korrin;
using namespace korrin::fuzz;

struct Reading {
  std::string usage;  // the usage error's message; empty when the options are good
  char port = '1';
  unsigned speed = 28800;
};

Reading readOptions(const std::vector<std::string>& arguments) {
  static const unsigned kSpeeds[] = {28800, 14400, 9600, 4800, 2400};
  Reading reading;
  for (const std::string& argument : arguments) {
    if (argument.empty() || argument[0] != '-') continue;
    const char letter = argument.size() > 1 ? argument[1] : 0;
    const char digit = argument.size() > 2 ? argument[2] : 0;
    if (letter == 'c' && digit >= '1' && digit <= '4') {
      reading.port = digit;
    } else if (letter == 's' && digit >= '0' && digit <= '4') {
      reading.speed = kSpeeds[digit - '0'];
    } else {
      reading.usage =
          letter == 'c' ? kBadPortText : letter == 's' ? kBadSpeedText : argument + " :Unrecognized option\n";
      break;
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
  for (std::size_t from = 0; !rest.empty() && from <= rest.size() && arguments.size() < 8;) {
    const std::size_t nul = std::min(rest.find('\0', from), rest.size());
    arguments.push_back(rest.substr(from, nul - from));
    from = nul + 1;
  }

  const Reading reading = readOptions(arguments);
  Run run;
  run.unit.faults.answerLimit = silent ? 0 : 1;
  if (onlyCom1) run.line.ports = {"COM1"};
  const Ending ending = run.go("command line", arguments, carriedPackage());
  // A usage error prints exactly its message. A port the PC does not have is
  // refused, and the run ends as with no unit.
  const bool usage = !reading.usage.empty();
  const bool portMissing = onlyCom1 && reading.port != '1';
  KORRIN_FUZZ_CHECK(ending == (usage ? Ending::kUsage : silent || portMissing ? Ending::kNoUnit : Ending::kNoLineSpeed),
                    "a command line to a %s unit ended with %s", silent ? "silent" : "short-lived", endingName(ending));
  const std::string console = run.line.console(), head = banner() + reading.usage;
  KORRIN_FUZZ_CHECK(usage ? console == head + kPrompt : console.compare(0, head.size(), head) == 0,
                    "the console does not begin with the banner%s", usage ? " and the usage message alone" : "");
  if (usage) return 0;
  const std::string port = std::string("COM") + reading.port;
  const sim::Event* opened = nullptr;
  for (const sim::Event& e : run.line.transcript)
    if (!opened && e.kind == sim::Event::Open) opened = &e;
  KORRIN_FUZZ_CHECK(opened && opened->data == (portMissing ? port + " refused" : port),
                    "opened %s, the command line chose %s", opened ? opened->data.c_str() : "nothing", port.c_str());
  char speed[16];
  std::snprintf(speed, sizeof speed, "EB%06u", reading.speed);
  // Sent: nothing through a port that did not open, one 'E' to a unit that
  // never answers, else 'E' and the speed command.
  const std::string wire = run.line.wire();
  KORRIN_FUZZ_CHECK(portMissing ? wire.empty() : silent ? wire == "E" : wire.compare(0, 8, speed) == 0,
                    "sent %s, the command line chose %s", wire.substr(0, 12).c_str(), speed + 1);
  return 0;
}
