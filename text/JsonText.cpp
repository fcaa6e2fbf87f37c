#include "text/JsonText.h"

#include <charconv>
#include <cmath>

#include "text/Utf8.h"

namespace qf580 {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Valid JSON, but kept out of the text as raw bytes: DEL, and line separators inside a line
// confuse readers that split on them. U+FFFD is written escaped so that a name that was not
// UTF-8 shows as such in the raw line.
std::string_view EscapeOf(std::string_view text, std::size_t i, std::size_t& length) {
    static constexpr std::pair<std::string_view, std::string_view> kEscapes[] = {
        {"\x7F", "\\u007f"},
        {"\xE2\x80\xA8", "\\u2028"},
        {"\xE2\x80\xA9", "\\u2029"},
        {kReplacement, "\\ufffd"},
    };
    for (const auto& [raw, escaped] : kEscapes) {
        if (text.substr(i, raw.size()) == raw) {
            length = raw.size();
            return escaped;
        }
    }
    return {};
}

void Write(const JsonValue& value, std::string& out) {
    switch (value.type()) {
        case JsonValue::value_t::object: {
            out += '{';
            bool first = true;
            for (auto member = value.begin(); member != value.end(); ++member) {
                if (!first) {
                    out += ',';
                }
                first = false;
                out += JsonString(member.key());
                out += ':';
                Write(*member, out);
            }
            out += '}';
            return;
        }
        case JsonValue::value_t::array: {
            out += '[';
            bool first = true;
            for (const JsonValue& element : value) {
                if (!first) {
                    out += ',';
                }
                first = false;
                Write(element, out);
            }
            out += ']';
            return;
        }
        case JsonValue::value_t::string:
            out += JsonString(value.get_ref<const std::string&>());
            return;
        case JsonValue::value_t::number_float: {
            const double number = value.get<double>();
            char buffer[64];
            const auto [end, error] =
                std::to_chars(buffer, buffer + sizeof buffer, number, std::chars_format::fixed, 3);
            // JSON has no infinities and no NaN.
            out += std::isfinite(number) && error == std::errc() ? std::string_view(buffer, end)
                                                                 : std::string_view("null");
            return;
        }
        default:
            out += value.dump();
    }
}

}  // namespace

std::string JsonString(std::string_view text) {
    // nlohmann-json takes only valid UTF-8; each byte that is not gets its own U+FFFD, as
    // these lines have always had it.
    std::string valid;
    valid.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = Utf8SequenceLength(text, i);
        if (length == 0) {
            valid += kReplacement;
            ++i;
        } else {
            valid += text.substr(i, length);
            i += length;
        }
    }
    const std::string dumped = JsonValue(std::move(valid)).dump(-1, ' ', false);
    std::string out;
    out.reserve(dumped.size());
    for (std::size_t i = 0; i < dumped.size();) {
        std::size_t length = 0;
        if (const std::string_view escaped = EscapeOf(dumped, i, length); !escaped.empty()) {
            out += escaped;
            i += length;
        } else {
            out += dumped[i++];
        }
    }
    return out;
}

std::string JsonText(const JsonValue& value) {
    std::string out;
    Write(value, out);
    return out;
}

JsonValue DigestOrNull(const std::string& hex) {
    return hex.empty() ? JsonValue(nullptr) : JsonValue(hex);
}

}  // namespace qf580
