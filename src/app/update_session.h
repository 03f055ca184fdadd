// The state of one run, alive until the program ends.
#pragma once

#include "config/config_record.h"
#include "config/unit_assessment.h"
#include "protocol/link.h"

namespace korrin {

struct UpdateSession {
  Link link;           // the port, its name, the speeds, the reply buffer
  UnitAssessment unit;  // decided once identification lets the update go ahead
  ConfigImage configImage;
  // The records written back this run, which the unit must hold at the flash.
  ConfigImage writtenRecords;
  bool recordsWritten = false;
  ConfigAreaAsWritten configAsWritten;  // what those records leave from 0x4000
};

}  // namespace korrin
