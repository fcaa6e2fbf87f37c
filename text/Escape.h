// Texts that come from outside (paths, names, what a device or the system says) as they may
// be put before a person on a terminal: a crafted file name must not move the cursor, clear
// the screen or fake a line of its own.
#pragma once

#include <string>
#include <string_view>

namespace qf580 {

// `text` with its control characters escaped: "\n", "\r", "\t" and "\xHH" for the other C0
// controls and DEL, "\u0080" to "\u009f" for the C1 controls written in UTF-8, and "\xHH" for
// a byte from 0x80 to 0x9F outside a valid UTF-8 sequence, which some terminals take as a C1
// control. Everything else, other bytes that are not UTF-8 included, is kept as it is.
std::string EscapeControls(std::string_view text);

// Bytes shown to a person: printable ASCII as it is, anything else as \r, \n or \xHH.
std::string EscapeNonAscii(std::string_view bytes);

}  // namespace qf580
