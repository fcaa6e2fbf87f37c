// JSON text for what programs read (the command line's events, the attempt log): one object
// per line. The values are built with nlohmann-json; the text is written here, so that the
// lines stay as they always were: the texts written may hold any bytes (a file name on Linux need
// not be UTF-8), every line must still be valid JSON, and times keep three decimals.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace qf580 {

// Members in the order added.
using JsonValue = nlohmann::ordered_json;

// `text` as a JSON string, quotes included. Valid UTF-8 is kept as it is; control characters,
// quote, backslash, DEL and the two line separators U+2028 and U+2029 are escaped; each byte
// that is not part of a valid UTF-8 sequence becomes U+FFFD.
std::string JsonString(std::string_view text);

// `value` on one line, without a line end: strings as JsonString writes them, floating-point
// numbers fixed with three decimals whatever the locale (null where not finite).
std::string JsonText(const JsonValue& value);

// A SHA-256 digest in hex, or null when it is not known (empty).
JsonValue DigestOrNull(const std::string& hex);

}  // namespace qf580
