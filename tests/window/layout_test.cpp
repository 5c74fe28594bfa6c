#include "app/win32/layout.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

using namespace app::win32;

TEST(LayoutTest, TabStopsAreCreatedInTabOrder) {
    // The dialog keyboard handling follows the creation order, so the table must list the tab
    // stops 0, 1, 2, ... first and the rest after them.
    int expected = 0;
    bool pastTabStops = false;
    for (const ControlSpec& c : kControls) {
        if (c.tabOrder < 0) {
            pastTabStops = true;
            continue;
        }
        EXPECT_FALSE(pastTabStops) << c.name << " is a tab stop after a control that is not";
        // The order has a gap at 6; what matters is that it only ever increases.
        EXPECT_GE(c.tabOrder, expected) << c.name;
        expected = c.tabOrder + 1;
    }
}

TEST(LayoutTest, IdentifiersAreUniqueAndNeverTheDialogKeyCommands) {
    std::set<int> seen;
    for (const ControlSpec& c : kControls) {
        EXPECT_TRUE(seen.insert(c.id).second) << c.name;
        // 1 and 2 are what Enter and Escape send: "Ok" and "Cancel" must not share them.
        EXPECT_GT(c.id, 2) << c.name;
        EXPECT_EQ(IndexOf(c.id).value_or(kControls.size()),
                  static_cast<std::size_t>(&c - kControls.data()));
    }
}

TEST(LayoutTest, EveryControlLiesInsideTheClientArea) {
    for (const ControlSpec& c : kControls) {
        EXPECT_GE(c.left, 0) << c.name;
        EXPECT_GE(c.top, 0) << c.name;
        EXPECT_LE(c.left + c.width, kClientWidth) << c.name;
        EXPECT_LE(c.top + c.height, kClientHeight) << c.name;
    }
    int panels = 0;
    for (int width : kStatusPanelWidths) panels += width;
    EXPECT_LE(panels, kClientWidth);
}

TEST(LayoutTest, InitialTexts) {
    const auto text = [](ControlId id) { return std::string(kControls[*IndexOf(id)].text); };
    EXPECT_EQ(text(kIdButton3), "UpdateFW");
    EXPECT_EQ(text(kIdButton5), "DoCalibration");
    EXPECT_EQ(text(kIdButton6), "Get Version");
    EXPECT_EQ(text(kIdButton4), "Read Flash");
    EXPECT_EQ(text(kIdButton1), "Ok");
    EXPECT_EQ(text(kIdButton2), "Cancel");
    EXPECT_EQ(text(kIdLabel1), "Address");
    EXPECT_EQ(text(kIdEdit1), "0");
    EXPECT_EQ(text(kIdEdit2), "2097152");
}

struct ScaleCase {
    int value;
    int dpi;
    int scaled;
};

TEST(LayoutTest, ScalesLikeMulDivRoundingHalvesAwayFromZero) {
    const ScaleCase cases[] = {
        {464, 96, 464}, {464, 120, 580}, {229, 144, 344},  // 343.5 rounds up
        {75, 144, 113}, {25, 192, 50},   {11, 120, 14},    // 13.75
        {0, 144, 0},    {-11, 144, -17},                   // -16.5 rounds away from zero
    };
    for (const ScaleCase& c : cases) {
        EXPECT_EQ(Scale(c.value, c.dpi), c.scaled) << c.value << " at " << c.dpi;
    }
}

}  // namespace
