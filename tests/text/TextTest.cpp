// The one reading of UTF-8, at the edges where a reader that is almost right goes wrong.
#include <gtest/gtest.h>

#include <string_view>

#include "text/Escape.h"
#include "text/Utf8.h"

namespace qf580 {
namespace {

struct Sequence {
    std::string_view bytes;
    std::size_t length;  // of the sequence at the start; 0: none
};

TEST(Utf8, SequenceLengthsAtTheEdgesOfTheEncoding) {
    static constexpr Sequence kCases[] = {
        {"A", 1},
        {"\x7F", 1},
        {"\xC2\x80", 2},          // U+0080, the first two-byte one
        {"\xC1\xBF", 0},          // overlong ASCII
        {"\xC0\x80", 0},          // overlong NUL
        {"\xDF\xBF", 2},          // U+07FF
        {"\xE0\x9F\xBF", 0},      // overlong three-byte form
        {"\xE0\xA0\x80", 3},      // U+0800
        {"\xED\x9F\xBF", 3},      // U+D7FF, just below the surrogates
        {"\xED\xA0\x80", 0},      // U+D800, a surrogate
        {"\xE2\x80\xA8", 3},      // U+2028 is text: escaping it is JSON's business
        {"\xF0\x8F\xBF\xBF", 0},  // overlong four-byte form
        {"\xF4\x8F\xBF\xBF", 4},  // U+10FFFF, the last
        {"\xF4\x90\x80\x80", 0},  // above U+10FFFF
        {"\xF5\x80\x80\x80", 0},  // no such lead byte
        {"\x80", 0},              // a continuation byte alone
        {"\xE2\x82", 0},          // cut short at the end of the text
        {"\xE2\x41\x82", 0},      // cut short by ASCII
        {std::string_view("\0", 1), 1},
    };
    for (const Sequence& c : kCases) {
        SCOPED_TRACE(::testing::PrintToString(std::string(c.bytes)));
        EXPECT_EQ(Utf8SequenceLength(c.bytes, 0), c.length);
    }
    EXPECT_EQ(Utf8SequenceLength("abc", 3), 0u);  // past the end
}

TEST(Utf8, TextIsUtf8OnlyWhenEverySequenceIs) {
    EXPECT_TRUE(IsUtf8(""));
    EXPECT_TRUE(IsUtf8("FW0001 \xE3\x83\x95\xE3\x82\xA1\xE3\x82\xA4\xE3\x83\xAB.q58"));
    EXPECT_FALSE(IsUtf8("FW0001\xFF.q58"));
    EXPECT_FALSE(IsUtf8("\xE3\x83"));
}

TEST(Escape, WhatAPersonSeesOfBytesFromOutside) {
    struct Case {
        std::string_view in, controls, nonAscii;
    };
    static constexpr Case kCases[] = {
        {"plain", "plain", "plain"},
        {"a\x1B[2Jb", "a\\x1b[2Jb", "a\\x1B[2Jb"},
        {"line\r\n", "line\\r\\n", "line\\r\\n"},
        {"\xC2\x9B", "\\u009b", "\\xC2\\x9B"},                // C1 CSI written in UTF-8
        {"\x9B", "\\x9b", "\\x9B"},                           // C1 as a lone byte
        {"\xE3\x83\x95", "\xE3\x83\x95", "\\xE3\\x83\\x95"},  // Japanese: kept for a terminal
        {"\xFF", "\xFF", "\\xFF"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(::testing::PrintToString(std::string(c.in)));
        EXPECT_EQ(EscapeControls(c.in), c.controls);
        EXPECT_EQ(EscapeNonAscii(c.in), c.nonAscii);
    }
}

}  // namespace
}  // namespace qf580
