// The JSON writer's output read back by an independent parser: whatever bytes go in, every
// line must parse, and valid UTF-8 must come back unchanged.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli/Json.h"
#include "text/JsonText.h"

namespace qf580::cli {
namespace {

using nlohmann::json;

std::string Decoded(std::string_view text) {
    return json::parse(JsonString(text)).get<std::string>();
}

TEST(JsonString, EscapesAndKeepsWhatItShould) {
    struct Case {
        const char* what;
        std::string in;
        std::string written;
        std::string decoded;
    };
    const std::string replacement = "\xEF\xBF\xBD";
    const std::vector<Case> cases = {
        {"plain", "Sending Header", "\"Sending Header\"", "Sending Header"},
        {"quote and backslash", "a\"b\\c", R"("a\"b\\c")", "a\"b\\c"},
        {"short escapes", "\b\f\n\r\t", R"("\b\f\n\r\t")", "\b\f\n\r\t"},
        {"other controls and DEL", std::string("\x00\x01\x1F\x7F", 4),
         R"("\u0000\u0001\u001f\u007f")", std::string("\x00\x01\x1F\x7F", 4)},
        {"two, three and four bytes", "\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80",
         "\"\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80\"", "\xC3\xA9\xE6\x97\xA5\xF0\x9F\x98\x80"},
        {"line separators", "\xE2\x80\xA8\xE2\x80\xA9", R"("\u2028\u2029")",
         "\xE2\x80\xA8\xE2\x80\xA9"},
        {"lone continuation byte", "a\x80z", R"("a\ufffdz")", "a" + replacement + "z"},
        {"overlong slash", "\xC0\xAF", R"("\ufffd\ufffd")", replacement + replacement},
        {"overlong three bytes", "\xE0\x80\x80", R"("\ufffd\ufffd\ufffd")",
         replacement + replacement + replacement},
        {"surrogate", "\xED\xA0\x80", R"("\ufffd\ufffd\ufffd")",
         replacement + replacement + replacement},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")",
         replacement + replacement + replacement + replacement},
        {"cut at the end", "x\xE6\x97", R"("x\ufffd\ufffd")", "x" + replacement + replacement},
        {"Shift-JIS bytes", "\x83\x65\x83\x58\x83\x67", R"("\ufffde\ufffdX\ufffdg")",
         replacement + "e" + replacement + "X" + replacement + "g"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(JsonString(c.in), c.written);
        EXPECT_EQ(Decoded(c.in), c.decoded);
    }
}

// Every string of one or two bytes: the output parses, holds no raw control character, and
// gives back the input wherever the input was valid UTF-8.
TEST(JsonString, AnyTwoBytesParse) {
    for (int a = 0; a < 256; ++a) {
        for (int b = -1; b < 256; ++b) {
            std::string in(1, static_cast<char>(a));
            if (b >= 0) {
                in += static_cast<char>(b);
            }
            const std::string out = JsonString(in);
            for (const char ch : out) {
                ASSERT_GE(static_cast<unsigned char>(ch), 0x20) << a << " " << b;
            }
            json parsed;
            ASSERT_NO_THROW(parsed = json::parse(out)) << a << " " << b;
            if (out.find("\\ufffd") == std::string::npos) {
                EXPECT_EQ(parsed.get<std::string>(), in) << a << " " << b;
            }
        }
    }
}

// Members keep the order they were added in, times keep three decimals whatever the value,
// and nested values and every type nlohmann-json may hold come out as JSON.
TEST(JsonText, MembersInOrderWithTheirTypes) {
    JsonValue value = EventPrologue("status", "127.0.0.1:8023", 1.25);
    value["negative"] = -5;
    value["big"] = 18446744073709551615u;
    value["whole"] = 2.0;
    value["nan"] = std::nan("");
    value["ok"] = true;
    value["none"] = nullptr;
    value["list"] = JsonValue::array({JsonValue::object({{"disk", 2}}), 3});
    value["name"] = "\x1b\xff";
    const std::string text = JsonText(value);
    EXPECT_EQ(text,
              R"({"schema":1,"event":"status","device":"127.0.0.1:8023","t":1.250,"negative":-5,)"
              R"("big":18446744073709551615,"whole":2.000,"nan":null,"ok":true,)"
              R"("none":null,"list":[{"disk":2},3],"name":"\u001b\ufffd"})");
    const json parsed = json::parse(text);
    EXPECT_EQ(parsed["list"][0]["disk"], 2);
    EXPECT_EQ(parsed["big"].get<std::uint64_t>(), 18446744073709551615u);
    EXPECT_EQ(JsonText(EventPrologue("check", std::nullopt, 0)),
              R"({"schema":1,"event":"check","device":null,"t":0.000})");
    EXPECT_EQ(JsonText(JsonValue::object()), "{}");
    EXPECT_EQ(JsonText(JsonValue::array()), "[]");
}

}  // namespace
}  // namespace qf580::cli
