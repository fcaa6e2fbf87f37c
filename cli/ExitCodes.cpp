#include "cli/ExitCodes.h"

#include <cstdio>
#include <string_view>

namespace qf580::cli {

// No default: an outcome without a code is a compile error (-Wswitch, with -Werror).
int ExitCodeFor(Outcome outcome) {
    switch (outcome) {
        case Outcome::Completed:
            return kExitCompleted;
        case Outcome::Aborted:
            return 10;
        case Outcome::InvalidRomType:
            return 11;
        case Outcome::CannotOpenPort:
            return 12;
        case Outcome::SetupFailure:
            return 13;
        case Outcome::NoIdent:
            return 14;
        case Outcome::HeaderSizeFailure:
            return 15;
        case Outcome::IncorrectInput:
            return 16;
        case Outcome::HeaderError:
            return 17;
        case Outcome::NoEnd:
            return 18;
        case Outcome::BadChecksum:
            return 19;
        case Outcome::CommError:
            return 20;
    }
    return kExitInternal;  // only a value cast from outside the enumeration gets here
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
    line(kExitFailuresInARow, "--loop: the line stopped after too many failed units in a row");
    line(kExitSetChanged, "--loop: the set on the disk changed to another; nothing of it sent");
    return table;
}

}  // namespace qf580::cli
