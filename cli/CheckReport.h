// The set check as the operator reads it and as a program reads it.
#pragma once

#include <optional>
#include <string>

#include "text/JsonText.h"
#include "transfer/SetCheck.h"

namespace qf580::cli {

// Lines for a person: the set's summary (ROM type, passes, records and bytes per pass, which
// disk holds what); for a faulty set, then the fault's place and, last, the outcome text.
std::string CheckText(const std::string& file, const SetCheckResult& result);

// The fault alone, on one line: "disk 1 (/path/FW0001.q58), byte 1234: record 4 of pass 2:
// ..."; empty for a sound set.
std::string FaultText(const SetCheckResult& result);

// One JSON object, the "check" event: `t` is the time since the program started.
// A sound set whose digest is not `expectSha256` (lower-case hex), the released set's.
bool WrongSet(const SetCheckResult& result, const std::optional<std::string>& expectSha256);

// The check event. A set refused for its digest says so: no outcome, exit code 21, and both
// digests.
JsonValue CheckJson(const std::string& file, const SetCheckResult& result, double t,
                    const std::optional<std::string>& expectSha256 = std::nullopt);

}  // namespace qf580::cli
