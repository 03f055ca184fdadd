// The state of one run, alive until the program ends.
#pragma once

#include <cstdint>

#include "config/config_record.h"
#include "package/firmware_package.h"
#include "protocol/link.h"

namespace korrin {

struct UpdateSession {
  Link link;                                    // the port, its name, the speeds, the reply buffer
  std::uint32_t matchedIndex = kUnitTableRows;  // the unit's row; 0 once an unknown unit is accepted
  bool unitIdentified = false;
  ConfigMode configMode = ConfigMode::None;
  ConfigImage configImage;
};

}  // namespace korrin
