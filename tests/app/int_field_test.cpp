#include "app/int_field.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "app/unit1.h"

namespace {

struct Accepted {
    const char* text;
    std::int32_t value;
};

TEST(ParseInt32, AcceptsDecimalAndHexadecimalForms) {
    const Accepted cases[] = {
        {"0", 0},
        {"2097152", 2097152},
        {"   42", 42},
        {"\t7", 7},
        {"+15", 15},
        {"-15", -15},
        {"-0", 0},
        {"000000000000123", 123},
        {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
        {"$4000", 16384},
        {"x4000", 16384},
        {"X4000", 16384},
        {"0x4000", 16384},
        {"0X4000", 16384},
        {"  $ff", 255},
        {"$aBcD", 0xABCD},
        {"$7FFFFFFF", 2147483647},
        {"$80000000", INT32_MIN},
        {"$FFFFFFFF", -1},
        {"0xffffffff", -1},
        {"$000000000001", 1},  // leading zeros do not count as significant digits
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto value = app::ParseInt32(c.text);
        ASSERT_TRUE(value.has_value());
        EXPECT_EQ(*value, c.value);
    }
}

TEST(ParseInt32, RefusesEverythingElse) {
    const char* const cases[] = {
        "",           "   ",
        "4000 ",  // trailing blank
        "4000\t",     "12a",        "a12",         "-",
        "+",          "$",          "x",           "0x",
        "-$10",  // no sign with hexadecimal
        "+$10",       "-0x10",      "$-1",         "$ 10",
        "- 1",        "2147483648", "-2147483649", "99999999999999999999999",
        "$100000000", "$FFFFFFFFF", "0x1FFFFFFFF", "1.5",
        "1e3",        "$G",         "0b101",       "\xff",
    };
    for (const char* text : cases) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(app::ParseInt32(text).has_value());
    }
}

TEST(ParseInt32, StopsAtEmbeddedZeroByte) {
    EXPECT_FALSE(app::ParseInt32(std::string("12\0"
                                             "3",
                                             4))
                     .has_value());
}

TEST(FieldToInt, ErrorNamesTheWholeTextAndTakesTheFullStopFromTheErrorBox) {
    try {
        app::FieldToInt(" 4000 ");
        FAIL() << "no error";
    } catch (const app::Error& e) {
        EXPECT_STREQ(e.what(), "' 4000 ' is not a valid integer value");
        EXPECT_EQ(app::WithFullStop(e.what()), "' 4000 ' is not a valid integer value.");
    }
    EXPECT_EQ(app::FieldToInt("$10"), 16);
}

TEST(WithFullStop, AddsAStopOnlyAfterCharactersAboveTheFullStop) {
    const struct {
        const char* text;
        const char* shown;
    } cases[] = {
        {"", ""},
        {"abc", "abc."},
        {"Unable to write to C:\\x\\result2.ini", "Unable to write to C:\\x\\result2.ini."},
        {"value 7", "value 7."},
        {"done.", "done."},
        {"what?", "what?."},  // '?' is above '.'
        {"stop!", "stop!"},   // '!' is below '.'
        {"dash-", "dash-"},   // '-' is below '.'
        {"slash/", "slash/."},
        {"trailing ", "trailing "},
        {"crlf\r\n", "crlf\r\n"},
        {"high\xe9", "high\xe9."},  // single-byte text above 127 counts as above
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(app::WithFullStop(c.text), c.shown);
    }
}

}  // namespace
