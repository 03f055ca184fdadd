// The one way out of the program: the exit's own steps (messages, and 'X' with
// the port closed once the unit has been talked to), the prompt, one key, the status.
#pragma once

#include "protocol/exit_label.h"
#include "protocol/link.h"

namespace korrin {

// Returns the process exit status: 1 after a model mismatch, a refusal or the
// normal end, 0 otherwise. `link` may be null before the port exists; `detail`
// fills the unrecognized-option message.
int finishRun(ExitLabel label, Link* link, const char* detail = nullptr);

}  // namespace korrin
