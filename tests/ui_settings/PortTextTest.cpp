#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "ui/PortText.h"

using qf580::ui::StrToInt;

namespace {

struct Case {
    std::string text;
    std::optional<std::int32_t> expected;
};

const std::optional<std::int32_t> fails;

}  // namespace

TEST(PortText, AcceptedForms) {
    const Case cases[] = {
        {"8023", 8023},
        {" 8023", 8023},
        {"   8023", 8023},
        {"08023", 8023},
        {"+8023", 8023},
        {" -8023", -8023},
        {"$1F57", 8023},
        {"$1f57", 8023},
        {" $1F57", 8023},
        {"x1F57", 8023},
        {"X1F57", 8023},
        {"0x1F57", 8023},
        {"0X1f57", 8023},
        {"70000", 70000},
        {"0", 0},
        {"-0", 0},
        {"+0", 0},
        {"$0", 0},
        {"0x0", 0},
        {"-1", -1},
        {"$FFFFFFFF", -1},
        {"0xffffffff", -1},
        {"$00000001FF", 0x1FF},
        {"$000000000000FFFFFFFF", -1},
        {"2147483647", INT32_MAX},
        {"+2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-02147483648", INT32_MIN},
        {"$7FFFFFFF", INT32_MAX},
        {"$80000000", INT32_MIN},
        {"0000000000000000000008023", 8023},
        {std::string(10000, '0') + "1", 1},
        {"$" + std::string(10000, '0') + "1", 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StrToInt(c.text), c.expected) << "'" << c.text.substr(0, 40) << "'";
    }
}

TEST(PortText, RejectedTexts) {
    const Case cases[] = {
        {"", fails},
        {"   ", fails},
        {"8023 ", fails},
        {"80 23", fails},
        {"\t8023", fails},
        {"8023\n", fails},
        {std::string("80\0"
                     "23",
                     5),
         fails},
        {"2147483648", fails},
        {"-2147483649", fails},
        {"4294967295", fails},  // decimal is signed; only hex takes the whole bit pattern
        {"99999999999999999999999999", fails},
        {std::string(10000, '9'), fails},
        {"-" + std::string(10000, '9'), fails},
        {"$100000000", fails},
        {"$" + std::string(10000, 'F'), fails},
        {"0x", fails},
        {"0X", fails},
        {"$", fails},
        {"x", fails},
        {"+", fails},
        {"-", fails},
        {"- 1", fails},
        {"-0x10", fails},
        {"+$10", fails},
        {"-$1", fails},
        {"00x1F", fails},
        {"0x 1F", fails},
        {"$ 1F", fails},
        {"0x-1", fails},
        {"--1", fails},
        {"1e3", fails},
        {"12a", fails},
        {"$12g", fails},
        {"0b101", fails},
        {"\xEF\xBC\x91\xEF\xBC\x92", fails},  // full-width digits
        {"\xC2\xA0"
         "8023",
         fails},  // a no-break space is not a blank here
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StrToInt(c.text), c.expected) << "'" << c.text.substr(0, 40) << "'";
    }
}
