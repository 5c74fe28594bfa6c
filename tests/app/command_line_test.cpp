#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Words = std::vector<std::string>;

TEST(SplitArguments, SeparatorsAndQuotes) {
    const struct {
        const char* line;
        Words words;
    } cases[] = {
        {"", {}},
        {"   \t ", {}},
        {"kelvane.exe", {"kelvane.exe"}},
        {"kelvane.exe CHECKFW", {"kelvane.exe", "CHECKFW"}},
        {"  kelvane.exe \t CHECKFW  more  ", {"kelvane.exe", "CHECKFW", "more"}},
        {"k\x01"
         "a\x1f"
         "b\nc\rd",
         {"k", "a", "b", "c", "d"}},
        {"\"C:\\Program Files\\k.exe\" \"C:\\fw dir\\image.bin\" x",
         {"C:\\Program Files\\k.exe", "C:\\fw dir\\image.bin", "x"}},
        {"k C:\\fw dir\\image.bin", {"k", "C:\\fw", "dir\\image.bin"}},
        {"k a\"b c\"d", {"k", "ab cd"}},
        {"k \"unclosed tail  ", {"k", "unclosed tail  "}},
        {"k \"\" next", {"k", "next"}},  // an empty word is no argument
        {"k \"\"\"\"", {"k"}},
        {"k \"a\tb\"", {"k", "a\tb"}},
        {"k caf\xe9 \xa0x", {"k", "caf\xe9", "\xa0x"}},  // bytes above 127 are no separators
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(app::SplitArguments(c.line), c.words);
    }
}

TEST(SplitArguments, EmbeddedZeroByteSeparates) {
    EXPECT_EQ(app::SplitArguments(std::string("k\0x", 3)), (Words{"k", "x"}));
}

TEST(FirstArgument, OnlyTheWordAfterTheProgramName) {
    EXPECT_EQ(app::FirstArgument(""), std::nullopt);
    EXPECT_EQ(app::FirstArgument("kelvane.exe"), std::nullopt);
    EXPECT_EQ(app::FirstArgument("kelvane.exe   "), std::nullopt);
    EXPECT_EQ(app::FirstArgument("kelvane.exe \"\""), std::nullopt);
    EXPECT_EQ(app::FirstArgument("kelvane.exe CHECKFW extra args"), "CHECKFW");
    EXPECT_EQ(app::FirstArgument("\"C:\\a b\\kelvane.exe\" \"D:\\fw 2\\img.bin\""),
              "D:\\fw 2\\img.bin");
}

}  // namespace
