// The one way a message for a person reaches the terminal outside the status lines: usage
// errors (the parser's own included), notices and refusals. Each is one line, with every control
// character of what it quotes escaped here, whoever made the text: a crafted path or option
// value must not move the cursor, clear the screen or fake a line of its own.
#pragma once

#include <string>
#include <string_view>

namespace qf580::cli {

// `text` as it may be shown: one line, its control characters escaped.
std::string ForPerson(std::string_view text);

// `text` as ForPerson gives it, and a line end, on standard error at once: for what is said
// before the run's reporter exists.
void SayError(std::string_view text);

// A usage error as the parser says it: the message, then where help is found.
std::string UsageError(std::string_view message);

}  // namespace qf580::cli
