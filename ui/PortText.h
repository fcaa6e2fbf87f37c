// The port text's conversion to an integer, as the operator types it in the settings dialog.
// Qt-free, so it is fuzzed on its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace qf580::ui {

// Leading spaces only; then an optional sign with decimal digits in the signed 32-bit range,
// or one of "$", "x", "X", "0x", "0X" with hexadecimal digits that fit in 32 bits, taken as
// a bit pattern. Leading zeros are allowed; nothing may follow the digits. nullopt for
// anything else.
std::optional<std::int32_t> StrToInt(std::string_view text);

}  // namespace qf580::ui
