#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "PortText.h"

using qf580::ui::StrToInt;

TEST(PortText, Conversion) {
    struct Case {
        std::string text;
        std::optional<std::int32_t> expected;
    };
    const std::optional<std::int32_t> fails;
    const Case cases[] = {
        {"8023", 8023},
        {" 8023", 8023},
        {"   8023", 8023},
        {"08023", 8023},
        {"+8023", 8023},
        {"$1F57", 8023},
        {"$1f57", 8023},
        {"x1F57", 8023},
        {"X1F57", 8023},
        {"0x1F57", 8023},
        {"0X1f57", 8023},
        {"70000", 70000},
        {"0", 0},
        {"-0", 0},
        {"-1", -1},
        {"$FFFFFFFF", -1},
        {"$00000001FF", 0x1FF},
        {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
        {"$80000000", INT32_MIN},
        {"0000000000000000000008023", 8023},
        {"8023 ", fails},
        {"80 23", fails},
        {"2147483648", fails},
        {"-2147483649", fails},
        {"99999999999999999999999999", fails},
        {"$100000000", fails},
        {"0x", fails},
        {"$", fails},
        {"x", fails},
        {"+", fails},
        {"-", fails},
        {"-0x10", fails},
        {"+$10", fails},
        {"", fails},
        {"   ", fails},
        {"\t8023", fails},
        {"8023\n", fails},
        {"１２３", fails},  // full-width digits
        {"12a", fails},
        {"$12g", fails},
        {"0x-1", fails},
        {"--1", fails},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StrToInt(c.text), c.expected) << "'" << c.text << "'";
    }
}
