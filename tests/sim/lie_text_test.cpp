#include "sim/lie_text.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/sim/wire_bytes.h"

namespace {

using sim::FaultKind;
using sim::ParseLie;

TEST(LieText, KindsCountsAndPlaces) {
    struct Case {
        const char* text;
        FaultKind kind;
        std::uint32_t value;
        int exchange;  // -1: none
        int cmd0, cmd1, selector;
        std::uint32_t skip;
    } cases[] = {
        {"csw-short-refused", FaultKind::kCswShortRefused, 12, -1, -1, -1, -1, 0},
        {"csw-short-refused=8@7", FaultKind::kCswShortRefused, 8, 7, -1, -1, -1, 0},
        {"residue@02-03-05#2", FaultKind::kResidue, 0, -1, 2, 3, 5, 1},
        {"data-short=100@02-02-0b", FaultKind::kDataShortPassed, 100, -1, 2, 2, 11, 0},
        {"csw-for-data@ff-04-00#3", FaultKind::kCswForData, 0, -1, 0xFF, 4, 0, 2},
        {"first-transfer-short=3", FaultKind::kFirstTransferShort, 3, -1, -1, -1, -1, 0},
        // A memory that keeps a byte wrong hits firmware blocks; its count is an offset.
        {"corrupt-write", FaultKind::kWriteCorrupts, 0, -1, 2, 3, 5, 0},
        {"corrupt-write=0@9", FaultKind::kWriteCorrupts, 0, 9, 2, 3, 5, 0},
        {"corrupt-write=70000@02-03-05#3", FaultKind::kWriteCorrupts, 70000, -1, 2, 3, 5, 2},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto fault = ParseLie(c.text, &error);
        ASSERT_TRUE(fault) << c.text << ": " << error;
        EXPECT_EQ(fault->kind, c.kind) << c.text;
        EXPECT_EQ(fault->value, c.value) << c.text;
        EXPECT_EQ(fault->exchange.has_value() ? static_cast<int>(*fault->exchange) : -1, c.exchange)
            << c.text;
        EXPECT_EQ(fault->cmd0, c.cmd0) << c.text;
        EXPECT_EQ(fault->cmd1, c.cmd1) << c.text;
        EXPECT_EQ(fault->selector, c.selector) << c.text;
        EXPECT_EQ(fault->skip, c.skip) << c.text;
    }
}

TEST(LieText, BadTextSaysWhy) {
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"",
         "unknown lie '' (known: csw-short-refused, residue, data-short, csw-for-data, "
         "first-transfer-short, transfer-length-short, data-fails, refused, stale-tag, "
         "csw-fails, vanish, corrupt-write)"},
        {"stale",
         "unknown lie 'stale' (known: csw-short-refused, residue, data-short, "
         "csw-for-data, first-transfer-short, transfer-length-short, data-fails, refused, "
         "stale-tag, csw-fails, vanish, corrupt-write)"},
        {"vanish=2", "vanish takes no count"},
        {"csw-short-refused=13", "'13' is not a valid count for csw-short-refused"},
        {"data-short=0", "'0' is not a valid count for data-short"},
        {"residue=x", "'x' is not a valid count for residue"},
        {"csw-for-data=4", "csw-for-data takes no count"},
        {"corrupt-write=-1", "'-1' is not a valid count for corrupt-write"},
        {"residue@02-03",
         "'02-03' is no place (an exchange number, or CMD0-CMD1-SELECTOR[#N] in "
         "hexadecimal)"},
        {"residue@02-03-100",
         "'02-03-100' is no place (an exchange number, or "
         "CMD0-CMD1-SELECTOR[#N] in hexadecimal)"},
        {"residue@02-03-05#0",
         "'02-03-05#0' is no place (an exchange number, or "
         "CMD0-CMD1-SELECTOR[#N] in hexadecimal)"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(ParseLie(c.text, &error)) << c.text;
        EXPECT_EQ(error, c.error);
    }
}

// Skip lets the first matching commands through: the lie hits the second set of selector 9.
TEST(LieText, PlaceHitsTheNthMatchingCommand) {
    std::string error;
    const auto fault = ParseLie("csw-short-refused@02-03-09#2", &error);
    ASSERT_TRUE(fault) << error;
    sim::FaultPlan plan;
    const wire::CommandBlock cdb = wire::Cdb({0x02, 0x03, 0x09}, 0);
    const int planId = plan.Inject(*fault);
    EXPECT_FALSE(plan.Match(cdb.data()).any);
    EXPECT_TRUE(plan.Match(cdb.data()).Has(FaultKind::kCswShortRefused));
    EXPECT_FALSE(plan.Match(cdb.data()).any);
    EXPECT_EQ(plan.Fired(planId), 1u);
}

}  // namespace
