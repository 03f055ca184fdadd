// Every way a run ends, as finishRun (app/exits) shows it; each layer below
// reports its own ends, which app/ turns into these. kNone: carry on with the
// next step. E1 to E10 are the exits
// operators know by number; the labels after them were added since.
#pragma once

namespace korrin {

enum class ExitLabel {
  kNone,
  kBadPortOption,        // E1: -c not followed by 1 to 4
  kBadSpeedOption,       // E2: -s not followed by 0 to 4
  kUnknownOption,        // E3: any other argument starting with '-'
  kNoUnit,               // E4: no "Ok" at 9600 baud, or the port cannot be opened
  kNoLineSpeed,          // E5: no speed of the ladder answers
  kWrongModel,           // E6: the unit's row is of the other model
  kRefused,              // E7: the operator answered a question with no
  kConfigSpeedRefused,   // E8: 14400 baud refused before the configuration
  kReturnSpeedRefused,   // E9: the negotiated speed refused after the configuration
  kFlashed,              // E10: the flash command sent, the normal end
  kBlockFailed,          // a block never confirmed within its bound of attempts
  kStopped,              // the operator asked to stop (Ctrl-C, a signal, the window closed)
  kLineLost,             // the serial device failed: pulled out, gone
};

}  // namespace korrin
