// The outcome texts of a transfer and the exit code the command-line host gives for each.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace qf580::cli {

struct OutcomeCode {
    std::string_view text;
    int code;
};

inline constexpr int kExitCompleted = 0;
// Something ended the program that is not one of the worker's outcomes.
inline constexpr int kExitInternal = 1;
inline constexpr int kExitUsage = 2;
// A second Ctrl+C: the program leaves at once, without waiting for the transfer's end.
inline constexpr int kExitForced = 130;

// Codes from 10 up, so that they never meet the shell's own meanings of 1, 2 and 126 to 165.
inline constexpr std::array<OutcomeCode, 12> kOutcomeCodes = {{
    {"Transfer completed", kExitCompleted},
    {"Aborted according to instruction received", 10},
    {"Invalid ROM Type", 11},
    {"Cannot open port", 12},
    {"Communication setup failure", 13},
    {"Couldn't receive QUILLMAR character string", 14},
    {"Heder size communication failure", 15},
    {"Incorrect input file", 16},
    {"Header transfer error", 17},
    {"No END record", 18},
    {"Incorrect Check Sum", 19},
    {"Aborted due to communication error", 20},
}};

// The exit code for a transfer's last status text; kExitInternal for a text that is no outcome.
int ExitCodeFor(std::string_view outcome);

// The table of exit codes as --help shows it.
std::string ExitCodeTable();

}  // namespace qf580::cli
