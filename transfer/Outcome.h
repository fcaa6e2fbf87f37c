// How a transfer ended: one value per outcome, turned into its text where it is shown and into
// an exit code by the command line. Never recovered from a text.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace qf580 {

enum class Outcome {
    Completed,
    Aborted,
    InvalidRomType,
    CannotOpenPort,
    SetupFailure,
    NoIdent,
    HeaderSizeFailure,
    IncorrectInput,
    HeaderError,
    NoEnd,
    BadChecksum,
    CommError,
};

// Every outcome once, in declaration order, for tables that list them all.
inline constexpr std::array<Outcome, 12> kAllOutcomes = {
    Outcome::Completed,    Outcome::Aborted, Outcome::InvalidRomType,    Outcome::CannotOpenPort,
    Outcome::SetupFailure, Outcome::NoIdent, Outcome::HeaderSizeFailure, Outcome::IncorrectInput,
    Outcome::HeaderError,  Outcome::NoEnd,   Outcome::BadChecksum,       Outcome::CommError,
};

// The text the status line shows for an outcome. Operators' notes and line scripts match
// these texts, so they never change, not even the misspelt "Heder".
constexpr std::string_view OutcomeText(Outcome outcome) {
    switch (outcome) {
        case Outcome::Completed:
            return "Transfer completed";
        case Outcome::Aborted:
            return "Aborted according to instruction received";
        case Outcome::InvalidRomType:
            return "Invalid ROM Type";
        case Outcome::CannotOpenPort:
            return "Cannot open port";
        case Outcome::SetupFailure:
            return "Communication setup failure";
        case Outcome::NoIdent:
            return "Couldn't receive QUILLMAR character string";
        case Outcome::HeaderSizeFailure:
            return "Heder size communication failure";
        case Outcome::IncorrectInput:
            return "Incorrect input file";
        case Outcome::HeaderError:
            return "Header transfer error";
        case Outcome::NoEnd:
            return "No END record";
        case Outcome::BadChecksum:
            return "Incorrect Check Sum";
        case Outcome::CommError:
            return "Aborted due to communication error";
    }
    return {};  // only a value cast from outside the enumeration gets here
}

namespace detail {
constexpr bool ListsEveryOutcomeInOrder() {
    for (std::size_t i = 0; i < kAllOutcomes.size(); ++i) {
        if (static_cast<std::size_t>(kAllOutcomes[i]) != i ||
            OutcomeText(kAllOutcomes[i]).empty()) {
            return false;
        }
    }
    return static_cast<std::size_t>(Outcome::CommError) + 1 == kAllOutcomes.size();
}
}  // namespace detail
// A new outcome goes last and into kAllOutcomes, or this fails.
static_assert(detail::ListsEveryOutcomeInOrder());

}  // namespace qf580
