#include "cli/Json.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace qf580::cli {

namespace {

// The length of the valid UTF-8 sequence that starts at text[i], or 0 if none does there:
// no overlong forms, no surrogates, nothing beyond U+10FFFF.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) {
            low = 0xA0;
        } else if (lead == 0xED) {
            high = 0x9F;
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F;
        }
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    // The second byte carries the range limits; the others are plain continuation bytes.
    if (byte(i + 1) < low || byte(i + 1) > high) {
        return 0;
    }
    for (std::size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) {
            return 0;
        }
    }
    return length;
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    out.reserve(text.size() + 2);
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            switch (c) {
                case '"':
                    out += "\\\"";
                    break;
                case '\\':
                    out += "\\\\";
                    break;
                case '\b':
                    out += "\\b";
                    break;
                case '\f':
                    out += "\\f";
                    break;
                case '\n':
                    out += "\\n";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                default:
                    if (c < 0x20 || c == 0x7F) {
                        char escaped[8];
                        std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                        out += escaped;
                    } else {
                        out += static_cast<char>(c);
                    }
            }
            ++i;
            continue;
        }
        const std::size_t length = Utf8SequenceLength(text, i);
        if (length == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        const std::string_view sequence = text.substr(i, length);
        // Valid JSON, but a line separator inside a line confuses readers that split on it.
        if (sequence == "\xE2\x80\xA8") {
            out += "\\u2028";
        } else if (sequence == "\xE2\x80\xA9") {
            out += "\\u2029";
        } else {
            out += sequence;
        }
        i += length;
    }
    out += '"';
    return out;
}

std::string DigestJson(const std::string& hex) {
    return hex.empty() ? "null" : JsonString(hex);
}

void JsonObject::Key(std::string_view key) {
    if (text_.size() > 1) {
        text_ += ',';
    }
    text_ += JsonString(key);
    text_ += ':';
}

JsonObject& JsonObject::String(std::string_view key, std::string_view value) {
    Key(key);
    text_ += JsonString(value);
    return *this;
}

JsonObject& JsonObject::Int(std::string_view key, std::int64_t value) {
    Key(key);
    text_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::Unsigned(std::string_view key, std::uint64_t value) {
    Key(key);
    text_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::Number(std::string_view key, double value, int decimals) {
    Key(key);
    if (!std::isfinite(value)) {
        text_ += "null";  // JSON has no infinities and no NaN
        return *this;
    }
    char buffer[64];
    const auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    text_.append(buffer, error == std::errc() ? end : buffer);
    if (error != std::errc()) {
        text_ += "null";
    }
    return *this;
}

JsonObject& JsonObject::Bool(std::string_view key, bool value) {
    Key(key);
    text_ += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::Null(std::string_view key) {
    Key(key);
    text_ += "null";
    return *this;
}

JsonObject& JsonObject::Raw(std::string_view key, std::string_view json) {
    Key(key);
    text_ += json;
    return *this;
}

JsonArray& JsonArray::Raw(std::string_view json) {
    if (text_.size() > 1) {
        text_ += ',';
    }
    text_ += json;
    return *this;
}

}  // namespace qf580::cli
