#include "cli/ExitCodes.h"

#include <cstdio>
#include <string_view>

#include "attemptlog/OutcomeCode.h"

namespace qf580::cli {

int ExitCodeFor(Outcome outcome) {
    return OutcomeCode(outcome);
}

std::string ExitCodeTable() {
    std::string table = "Exit codes:\n";
    auto line = [&table](int code, std::string_view meaning) {
        char number[16];
        std::snprintf(number, sizeof number, "  %3d  ", code);
        table += number;
        table += meaning;
        table += '\n';
    };
    for (const Outcome outcome : kAllOutcomes) {
        line(ExitCodeFor(outcome), OutcomeText(outcome));
    }
    line(kExitWrongSet, "the set's SHA-256 is not the one --expect-sha256 gives");
    line(kExitInternal, "internal error (no outcome reached)");
    line(kExitUsage, "usage error");
    line(kExitOutput, "every device completed, but output or record is incomplete");
    line(kExitForced, "second Ctrl+C: left without waiting for the transfer to end");
    // After the rows scripts already read, so that those stay as they were.
    line(kExitSomeFailed, "--loop: the session ended, and some of its units failed");
    line(kExitFailuresInARow, "--loop: the line stopped, too many failures in a row");
    line(kExitSetChanged, "--loop: the set on the disk changed; none of it sent");
    return table;
}

}  // namespace qf580::cli
