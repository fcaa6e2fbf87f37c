// The one reading of UTF-8 in the project: file names on Linux are bytes, and what shows them
// (a disk name cut at its last character, a JSON string) has to tell whether they are text.
#pragma once

#include <cstddef>
#include <string_view>

namespace qf580 {

// The length of the well-formed UTF-8 sequence that starts at text[i], or 0 if none does
// there: no stray continuation bytes, no cut sequences, no overlong forms, no surrogates,
// nothing above U+10FFFF.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i);

bool IsUtf8(std::string_view text);

}  // namespace qf580
