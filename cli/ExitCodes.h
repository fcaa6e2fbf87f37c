// The exit code the command-line host gives for each outcome of a transfer.
#pragma once

#include <string>

#include "transfer/Outcome.h"

namespace qf580::cli {

inline constexpr int kExitCompleted = 0;
// Something ended the program that is not one of the worker's outcomes.
inline constexpr int kExitInternal = 1;
inline constexpr int kExitUsage = 2;
// Every device completed, but what the program wrote could not be written whole (a reader
// that went away, a full disk, the --record file): the record of the run is incomplete.
inline constexpr int kExitOutput = 3;
// A station session (--loop) ended by end of input, --units or a stop between cycles, and
// some of its units failed.
inline constexpr int kExitSomeFailed = 4;
// --expect-sha256 named another set than the one given: no device was contacted.
inline constexpr int kExitWrongSet = 21;
// A station session stopped the line after --stop-after-failures failed units in a row.
inline constexpr int kExitFailuresInARow = 22;
// The set on the disk is no longer the one the session checked: nothing of it was sent.
inline constexpr int kExitSetChanged = 23;
// A second Ctrl+C: the program leaves at once, without waiting for the transfer's end.
inline constexpr int kExitForced = 130;

// Codes from 10 up, so that they never meet the shell's own meanings of 1, 2 and 126 to 165.
int ExitCodeFor(Outcome outcome);

// The table of exit codes as --help shows it.
std::string ExitCodeTable();

}  // namespace qf580::cli
