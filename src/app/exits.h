// The one way out of the program: the exit's own steps (messages, and 'X' with
// the port closed once the unit has been talked to), the prompt, one key, the status.
#pragma once

#include "app/exit_label.h"
#include "config/config_transfer.h"
#include "package/identify.h"
#include "protocol/block_transfer.h"
#include "protocol/link.h"
#include "protocol/link_startup.h"

namespace korrin {

// Returns the process exit status: 1 after a model mismatch, a refusal or the
// normal end, 0 otherwise. `link` may be null before the port exists; `detail`
// fills the unrecognized-option message.
int finishRun(ExitLabel label, Link* link, const char* detail = nullptr);

// The exit each layer's end comes to; kNone: the run goes on.
ExitLabel exitOf(LinkStart end);
ExitLabel exitOf(IdentifyEnd end);
ExitLabel exitOf(ConfigEnd end);
ExitLabel exitOf(const TransferResult& result);

}  // namespace korrin
