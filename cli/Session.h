// A station session (qf580-flash --loop): one operator, unit after unit. The set is checked
// once; then cycle after cycle each slot's serial is read, refused if it is not plainly a
// new unit's, and the cycle's units are flashed at once as a run of several devices is,
// retried on a link fault, counted, and the line stopped when failures pile up.
#pragma once

#include <optional>
#include <string>

#include "attemptlog/FlashedBefore.h"
#include "cli/Reporter.h"
#include "cli/Run.h"
#include "cli/SerialRules.h"
#include "cli/TerminalOperator.h"

namespace qf580::cli {

struct SessionOptions {
    int retries = 0;            // more tries of a unit whose transfer ended by a link fault
    int retryDelayMs = 1000;    // between them
    int stopAfterFailures = 3;  // failed units in a row that stop the line; 0: never
    std::optional<int> units;   // the session ends once this many units passed
    bool allowReflash = false;  // a serial flashed before may be flashed again
    bool askOperator = false;   // "Operator: " once, at the start
    bool colour = false;        // PASS and FAIL stand out
    bool bell = false;          // a FAIL rings the terminal's bell
};

// Whether a transfer that ended with `exitCode` may succeed when tried again: a link fault,
// not a fault of the set, which would fail again.
bool LinkFault(int exitCode);

// The record a session keeps without --record: $XDG_STATE_HOME/qf580-flash/attempts.jsonl,
// ~/.local/state/... when that is not set; its folder created as needed. Empty and `why` when
// there is no such place.
std::string StationRecordPath(std::string* why);

// Runs the session of `run`'s devices (the slots) until end of input, --units, a stop, too
// many failures in a row or a changed set; returns its exit code. `run.attemptLogFile` must
// be set: every session is recorded. `wakeFd` becomes readable on a stop (cuts the pause
// between tries short).
int RunSession(RunOptions run, const SessionOptions& session, const SerialRules& rules,
               Reporter& reporter, TerminalOperator& terminal, StopRequest& stop, int wakeFd);

}  // namespace qf580::cli
