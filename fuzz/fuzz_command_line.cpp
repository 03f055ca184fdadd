// Arbitrary command lines: the first byte chooses the unit (silent from the
// start or after its first reply, so runs stay short) and whether the PC has
// COM1 alone; the rest, split at NUL bytes, gives up to eight arguments. The
// options must be read as the operator's rules say (three characters count,
// the last of a kind wins, the first bad one ends the reading, arguments
// without '-' are ignored): a usage error prints its message alone and sends
// nothing, else the port opened and the first speed asked are those chosen.
#include <algorithm>

#include "fuzz_support.h"

using namespace korrin;
using namespace korrin::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input input{data, size};
  const std::uint8_t setting = input.byte();
  const bool silent = (setting & 1) == 0, onlyCom1 = (setting & 2) != 0;
  const std::string rest = input.bytes(size);
  std::vector<std::string> arguments;
  for (std::size_t from = 0; !rest.empty() && from <= rest.size() && arguments.size() < 8;) {
    const std::size_t nul = std::min(rest.find('\0', from), rest.size());
    arguments.push_back(rest.substr(from, nul - from));
    from = nul + 1;
  }

  static const char* const kSpeeds[] = {"EB028800", "EB014400", "EB009600", "EB004800", "EB002400"};
  std::string usage, port = "COM1", speed = kSpeeds[0];
  for (const std::string& argument : arguments) {
    const char letter = argument.size() > 1 ? argument[1] : 0, digit = argument.size() > 2 ? argument[2] : 0;
    if (argument.empty() || argument[0] != '-') continue;
    if (letter == 'c' && digit >= '1' && digit <= '4') {
      port.back() = digit;
    } else if (letter == 's' && digit >= '0' && digit <= '4') {
      speed = kSpeeds[digit - '0'];
    } else {
      usage = letter == 'c'   ? "Error, usage is -cX to set COM port, where X is 1-4\n"
              : letter == 's' ? "Error, usage is -sX to set RS232 port speed, where X is 0(fastest) to 4(slowest)\n"
                              : argument + " :Unrecognized option\n";
      break;
    }
  }

  Run run;
  run.unit.faults.answerLimit = silent ? 0 : 1;
  if (onlyCom1) run.line.ports = {"COM1"};
  const Ending ending = run.go(arguments, carriedPackage());
  const bool portMissing = onlyCom1 && port != "COM1";
  const Ending chosen = !usage.empty()          ? Ending::kUsage
                        : silent || portMissing ? Ending::kNoUnit
                                                : Ending::kNoLineSpeed;
  KORRIN_FUZZ_CHECK(ending == chosen, "exit %d, the command line chose %d", static_cast<int>(ending),
                    static_cast<int>(chosen));
  if (!usage.empty()) {
    const std::string tail = "\n\n" + usage + "\nPress a key to exit program";  // right after the banner
    KORRIN_FUZZ_CHECK(run.console.size() > tail.size() &&
                          run.console.compare(run.console.size() - tail.size(), tail.size(), tail) == 0,
                      "the usage message is not \"%s\" alone", usage.c_str());
    return 0;
  }
  const std::string wire = run.line.wire();
  const auto opened = std::find_if(run.line.transcript.begin(), run.line.transcript.end(),
                                   [](const sim::Event& e) { return e.kind == sim::Event::Open; });
  KORRIN_FUZZ_CHECK(opened != run.line.transcript.end() && opened->data == (portMissing ? port + " refused" : port),
                    "opened another port than %s", port.c_str());
  KORRIN_FUZZ_CHECK(portMissing ? wire.empty()
                    : silent    ? wire == "E"
                                : wire.rfind(speed, 0) == 0,
                    "sent %s, the command line chose %s", wire.substr(0, 12).c_str(), speed.c_str() + 1);
  return 0;
}
