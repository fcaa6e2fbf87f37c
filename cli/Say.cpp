#include "cli/Say.h"

#include <cstdio>

#include "text/Escape.h"

namespace qf580::cli {

std::string ForPerson(std::string_view text) {
    return EscapeControls(text);
}

void SayError(std::string_view text) {
    const std::string line = ForPerson(text) + "\n";
    std::fputs(line.c_str(), stderr);
}

std::string UsageError(std::string_view message) {
    return ForPerson(message) + "\nRun with --help for more information.\n";
}

}  // namespace qf580::cli
