// The code of each outcome of a transfer: the record's `exit_code`, whichever host wrote the
// line, and qf580-flash's exit status for that device.
#pragma once

#include "transfer/Outcome.h"

namespace qf580 {

// 0 for a completed transfer; codes from 10 up for the others, so that they never meet the
// shell's own meanings of 1, 2 and 126 to 165. 1 for a value outside the enumeration.
int OutcomeCode(Outcome outcome);

}  // namespace qf580
