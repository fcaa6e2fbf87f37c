#include "cli/SerialRules.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "text/Escape.h"
#include "text/Utf8.h"

namespace qf580::cli {

SerialRules::SerialRules(const std::optional<std::string>& pattern)
    : regex_(std::make_unique<Compiled>()),
      pattern_(pattern.value_or(kDefaultPattern)),
      custom_(pattern.has_value()) {
    const int error = ::regcomp(&regex_->regex, pattern_.c_str(), REG_EXTENDED);
    if (error != 0) {
        char why[256];
        ::regerror(error, &regex_->regex, why, sizeof why);
        throw std::invalid_argument("--serial-pattern " + EscapeControls(pattern_) + ": " + why);
    }
    regex_->compiled = true;
}

namespace {

bool PlainSerialCharacter(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.' || c == '/';
}

std::string Hex(unsigned char c) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", c);
    return text;
}

}  // namespace

std::string SerialRules::Refusal(std::string& serial) const {
    if (!serial.empty() && serial.back() == '\r') {
        serial.pop_back();
    }
    for (std::size_t i = 0; i < serial.size(); ++i) {
        const auto c = static_cast<unsigned char>(serial[i]);
        if (c < 0x20 || c == 0x7F) {
            return "it holds the control character " + Hex(c) + " at character " +
                   std::to_string(i + 1) + ": check the scanner's suffix and prefix settings";
        }
    }
    if (!IsUtf8(serial)) {
        return "it is not UTF-8 text: check the scanner's keyboard layout";
    }
    // A C1 control in UTF-8 (U+0080 to U+009F) moves a terminal as a C0 one does.
    for (std::size_t i = 0; i + 1 < serial.size(); ++i) {
        if (static_cast<unsigned char>(serial[i]) == 0xC2 &&
            static_cast<unsigned char>(serial[i + 1]) < 0xA0) {
            return "it holds a control character at byte " + std::to_string(i + 1);
        }
    }
    regmatch_t match{};
    // Leftmost-longest: the whole serial matches when the longest match from its start ends
    // at its end. Anchoring by wrapping the pattern in ^( )$ would change what a pattern
    // with unbalanced parentheses means.
    const bool whole = ::regexec(&regex_->regex, serial.c_str(), 1, &match, 0) == 0 &&
                       match.rm_so == 0 && static_cast<std::size_t>(match.rm_eo) == serial.size();
    if (whole) {
        return {};
    }
    std::string why = custom_ ? "it does not match --serial-pattern " + EscapeControls(pattern_)
                              : "a serial is 1 to 64 of A-Z a-z 0-9 - _ . /";
    std::string outside;
    for (std::size_t i = 0; i < serial.size();) {
        const std::size_t length = std::max<std::size_t>(Utf8SequenceLength(serial, i), 1);
        if (!PlainSerialCharacter(static_cast<unsigned char>(serial[i]))) {
            const std::string character = serial.substr(i, length);
            if (outside.find(character) == std::string::npos) {
                outside += character;
            }
        }
        i += length;
    }
    if (!outside.empty()) {
        why += "; it holds \"" + outside +
               "\", which a scanner typing in another keyboard layout gives: check the "
               "scanner's keyboard layout";
    }
    return why;
}

}  // namespace qf580::cli
