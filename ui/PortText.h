// The integer conversion the port field goes through. Plain C++ so the fuzz harness can
// exercise it without the GUI toolkit.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace qf580::ui {

// Leading spaces (only the space character) are skipped; then either an optional sign and
// decimal digits within the signed 32-bit range, or one of the prefixes "$", "x", "X",
// "0x", "0X" and hexadecimal digits whose value fits in 32 bits, taken as a bit pattern.
// Leading zeros are allowed in both forms and nothing may follow the digits. Anything else
// gives nullopt.
std::optional<std::int32_t> StrToInt(std::string_view text);

}  // namespace qf580::ui
