// The port text conversion against a reference built from the C library's strtoll/strtoull,
// which shares none of its code: both must accept the same texts with the same value.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "PortText.h"

namespace {

bool AllOf(const std::string& s, bool (*pred)(char)) {
    if (s.empty()) {
        return false;
    }
    for (const char c : s) {
        if (!pred(c)) {
            return false;
        }
    }
    return true;
}

bool IsDec(char c) {
    return c >= '0' && c <= '9';
}
bool IsHex(char c) {
    return IsDec(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::optional<std::int32_t> Reference(std::string text) {
    const std::size_t start = text.find_first_not_of(' ');
    if (start == std::string::npos) {
        return std::nullopt;
    }
    text.erase(0, start);
    std::string digits;
    int base = 10;
    if (text[0] == '$' || text[0] == 'x' || text[0] == 'X') {
        digits = text.substr(1);
        base = 16;
    } else if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0) {
        digits = text.substr(2);
        base = 16;
    } else {
        digits = text;
    }
    if (base == 16) {
        if (!AllOf(digits, IsHex)) {
            return std::nullopt;
        }
        const std::size_t nonZero = digits.find_first_not_of('0');
        if (nonZero != std::string::npos && digits.size() - nonZero > 8) {
            return std::nullopt;
        }
        return static_cast<std::int32_t>(
            static_cast<std::uint32_t>(std::strtoull(digits.c_str(), nullptr, 16)));
    }
    std::string body = digits;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
        body.erase(0, 1);
    }
    if (!AllOf(body, IsDec)) {
        return std::nullopt;
    }
    errno = 0;
    const long long v = std::strtoll(digits.c_str(), nullptr, 10);
    if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (text.find('\0') != std::string::npos) {
        return 0;  // a text field never holds one; strtoll would stop there
    }
    if (qf580::ui::StrToInt(text) != Reference(text)) {
        std::abort();
    }
    return 0;
}
