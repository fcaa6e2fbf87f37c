// JSON text for the command line's machine-readable output: one object per line. Only
// writing is needed; the texts written may hold any bytes (a file name on Linux need not be
// UTF-8), and every line must still be valid JSON.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qf580::cli {

// `text` as a JSON string, quotes included. Valid UTF-8 is kept as it is; control characters,
// quote, backslash, DEL and the two line separators U+2028 and U+2029 are escaped; each byte
// that is not part of a valid UTF-8 sequence becomes U+FFFD.
std::string JsonString(std::string_view text);

// A SHA-256 digest in hex as a JSON string, or null when it is not known (empty).
std::string DigestJson(const std::string& hex);

// Builds one object, members in the order added.
class JsonObject {
  public:
    JsonObject& String(std::string_view key, std::string_view value);
    JsonObject& Int(std::string_view key, std::int64_t value);
    JsonObject& Unsigned(std::string_view key, std::uint64_t value);
    // Fixed-point with `decimals` places, independent of the locale.
    JsonObject& Number(std::string_view key, double value, int decimals = 3);
    JsonObject& Bool(std::string_view key, bool value);
    JsonObject& Null(std::string_view key);
    // A value that is JSON text already (an object or array built beforehand).
    JsonObject& Raw(std::string_view key, std::string_view json);

    std::string Text() const { return text_ + "}"; }

  private:
    void Key(std::string_view key);
    std::string text_ = "{";
};

// Builds one array of values that are JSON text already.
class JsonArray {
  public:
    JsonArray& Raw(std::string_view json);
    std::string Text() const { return text_ + "]"; }

  private:
    std::string text_ = "[";
};

}  // namespace qf580::cli
