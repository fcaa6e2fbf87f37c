#include "ui/PortText.h"

namespace qf580::ui {

namespace {

// std::isdigit and friends depend on the locale and take int; the field's rule is ASCII.
int DecimalDigit(char c) {
    return c >= '0' && c <= '9' ? c - '0' : -1;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<std::int32_t> Hexadecimal(std::string_view digits) {
    if (digits.empty()) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (char c : digits) {
        const int digit = HexDigit(c);
        // Checking the top nibble before shifting keeps any number of leading zeros valid
        // and rejects the first digit that would push a set bit out of 32.
        if (digit < 0 || (value >> 28) != 0) {
            return std::nullopt;
        }
        value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    return static_cast<std::int32_t>(value);
}

std::optional<std::int32_t> Decimal(std::string_view digits, bool negative) {
    if (digits.empty()) {
        return std::nullopt;
    }
    // The magnitude of -2147483648 is one more than that of the largest positive value.
    const std::int64_t limit = negative ? 2147483648LL : 2147483647LL;
    std::int64_t value = 0;
    for (char c : digits) {
        const int digit = DecimalDigit(c);
        if (digit < 0) {
            return std::nullopt;
        }
        value = value * 10 + digit;
        // Stopping at the first excess keeps the accumulator far from its own limits
        // however long the text is.
        if (value > limit) {
            return std::nullopt;
        }
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

}  // namespace

std::optional<std::int32_t> StrToInt(std::string_view text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    text.remove_prefix(first);

    if (text.front() == '$' || text.front() == 'x' || text.front() == 'X') {
        return Hexadecimal(text.substr(1));
    }
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        return Hexadecimal(text.substr(2));
    }
    if (text.front() == '-' || text.front() == '+') {
        return Decimal(text.substr(1), text.front() == '-');
    }
    return Decimal(text, false);
}

}  // namespace qf580::ui
