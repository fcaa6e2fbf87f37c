// The port text conversion against a reference that shares none of its code: the form is
// recognised by character classes, the value comes from the C library's strtoll/strtoull on
// the bare digits, and the range is judged from the number of significant digits. Both must
// accept the same texts with the same value; every accepted value must also come back from
// its own decimal and hexadecimal spellings.
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "ui/PortText.h"

namespace {

bool IsDec(char c) {
    return c >= '0' && c <= '9';
}

bool IsHex(char c) {
    return IsDec(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

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

// Leading zeros dropped, keeping one digit, so strtoll never sees more digits than matter.
std::string Significant(const std::string& digits) {
    const std::size_t first = digits.find_first_not_of('0');
    return first == std::string::npos ? std::string("0") : digits.substr(first);
}

std::optional<std::int32_t> Reference(std::string text) {
    const std::size_t start = text.find_first_not_of(' ');
    if (start == std::string::npos) {
        return std::nullopt;
    }
    text.erase(0, start);

    std::string hexDigits;
    bool hex = true;
    if (text[0] == '$' || text[0] == 'x' || text[0] == 'X') {
        hexDigits = text.substr(1);
    } else if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0) {
        hexDigits = text.substr(2);
    } else {
        hex = false;
    }
    if (hex) {
        if (!AllOf(hexDigits, IsHex)) {
            return std::nullopt;
        }
        const std::string digits = Significant(hexDigits);
        if (digits.size() > 8) {
            return std::nullopt;
        }
        return static_cast<std::int32_t>(
            static_cast<std::uint32_t>(std::strtoull(digits.c_str(), nullptr, 16)));
    }

    bool negative = false;
    if (text[0] == '+' || text[0] == '-') {
        negative = text[0] == '-';
        text.erase(0, 1);
    }
    if (!AllOf(text, IsDec)) {
        return std::nullopt;
    }
    const std::string digits = Significant(text);
    if (digits.size() > 10) {
        return std::nullopt;
    }
    errno = 0;
    const long long magnitude = std::strtoll(digits.c_str(), nullptr, 10);
    const long long value = negative ? -magnitude : magnitude;
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

void Expect(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "port text conversion: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Any byte, NUL included: a text field can hold one and it must simply fail.
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::optional<std::int32_t> got = qf580::ui::StrToInt(text);
    Expect(got == Reference(text), "differs from the reference");
    if (got) {
        char spelled[32];
        std::snprintf(spelled, sizeof spelled, "%" PRId32, *got);
        Expect(qf580::ui::StrToInt(spelled) == got, "decimal spelling does not come back");
        std::snprintf(spelled, sizeof spelled, "$%" PRIX32, static_cast<std::uint32_t>(*got));
        Expect(qf580::ui::StrToInt(spelled) == got, "hexadecimal spelling does not come back");
        std::snprintf(spelled, sizeof spelled, "  0x%08" PRIx32, static_cast<std::uint32_t>(*got));
        Expect(qf580::ui::StrToInt(spelled) == got, "padded hexadecimal does not come back");
    }
    return 0;
}
