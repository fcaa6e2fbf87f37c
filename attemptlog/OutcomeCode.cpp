#include "attemptlog/OutcomeCode.h"

namespace qf580 {

// No default: an outcome without a code is a compile error (-Wswitch, with -Werror).
int OutcomeCode(Outcome outcome) {
    switch (outcome) {
        case Outcome::Completed:
            return 0;
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
    return 1;  // only a value cast from outside the enumeration gets here
}

}  // namespace qf580
