// The state of one run, alive until the program ends.
#pragma once

#include "config/config_record.h"
#include "config/config_transfer.h"
#include "config/unit_assessment.h"
#include "protocol/link.h"

namespace korrin {

struct UpdateSession {
  Link link;           // the port, its name, the speeds, the reply buffer
  UnitAssessment unit;  // decided once identification lets the update go ahead
  ConfigImage configImage;  // the configuration area as read
  ConfigOutcome config;     // the records due on the unit, and the copies to settle once they are seen there
  ConfigAreaAsWritten configAsWritten;  // what those records leave up to the software
};

}  // namespace korrin
