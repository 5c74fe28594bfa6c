#include "app/win32/gauge_model.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using app::win32::GaugeModel;

struct ProgressCase {
    std::int64_t max;
    std::int64_t progress;
    std::int64_t kept;
    int percent;
};

class GaugeProgress : public testing::TestWithParam<ProgressCase> {};

TEST_P(GaugeProgress, KeepsProgressInRangeAndRoundsThePercentDown) {
    const ProgressCase& c = GetParam();
    GaugeModel gauge;
    gauge.SetMax(c.max);
    gauge.SetProgress(c.progress);
    EXPECT_EQ(gauge.Progress(), c.kept);
    EXPECT_EQ(gauge.Percent(), c.percent);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GaugeProgress,
    testing::Values(ProgressCase{100, 0, 0, 0}, ProgressCase{100, 50, 50, 50},
                    ProgressCase{3, 1, 1, 33}, ProgressCase{3, 2, 2, 66},
                    // Almost done is not done: 100% only when full.
                    ProgressCase{2097152, 2097151, 2097151, 99},
                    ProgressCase{65537, 65537, 65537, 100},
                    // A rounded-up last block overshoots: the gauge stops at its maximum.
                    ProgressCase{65537, 69632, 65537, 100}, ProgressCase{100, -5, 0, 0},
                    // Ranges far beyond 32 bits must not overflow the percentage.
                    ProgressCase{INT64_MAX, INT64_MAX / 2, INT64_MAX / 2, 49},
                    ProgressCase{INT64_MAX, INT64_MAX - 1, INT64_MAX - 1, 99},
                    ProgressCase{INT64_MAX, INT64_MAX, INT64_MAX, 100}));

TEST(GaugeModelTest, IgnoresAMaximumOfZeroOrBelow) {
    GaugeModel gauge;
    gauge.SetMax(400);
    gauge.SetProgress(100);
    gauge.SetMax(0);
    gauge.SetMax(-1);
    EXPECT_EQ(gauge.Max(), 400);
    EXPECT_EQ(gauge.Progress(), 100);
    EXPECT_EQ(gauge.Percent(), 25);
}

TEST(GaugeModelTest, LoweringTheMaximumBringsTheProgressBack) {
    GaugeModel gauge;
    gauge.SetMax(1000);
    gauge.SetProgress(800);
    gauge.SetMax(500);
    EXPECT_EQ(gauge.Progress(), 500);
    EXPECT_EQ(gauge.Percent(), 100);
}

TEST(GaugeModelTest, ReportsWhetherTheProgressChanged) {
    GaugeModel gauge;  // maximum 100 until set
    EXPECT_TRUE(gauge.SetProgress(10));
    EXPECT_FALSE(gauge.SetProgress(10));
    EXPECT_TRUE(gauge.SetProgress(1000));
    // Already at the maximum: a further overshoot changes nothing, so no redraw is needed.
    EXPECT_FALSE(gauge.SetProgress(2000));
}

TEST(GaugeModelTest, FilledWidthFollowsTheProgress) {
    GaugeModel gauge;
    gauge.SetMax(4096);
    EXPECT_EQ(gauge.FilledWidth(335), 0);
    gauge.SetProgress(2048);
    EXPECT_EQ(gauge.FilledWidth(335), 167);
    gauge.SetProgress(4095);
    EXPECT_EQ(gauge.FilledWidth(335), 334);
    gauge.SetProgress(4096);
    EXPECT_EQ(gauge.FilledWidth(335), 335);
    EXPECT_EQ(gauge.FilledWidth(0), 0);
    EXPECT_EQ(gauge.FilledWidth(-3), 0);
}

TEST(GaugeModelTest, FormatsTheWholePercentFollowedByPercentSign) {
    GaugeModel gauge;
    char text[16];
    ASSERT_EQ(gauge.FormatPercent(text, sizeof text), 2);
    EXPECT_EQ(std::string(text), "0%");
    gauge.SetMax(8);
    gauge.SetProgress(8);
    ASSERT_EQ(gauge.FormatPercent(text, sizeof text), 4);
    EXPECT_EQ(std::string(text), "100%");
}

}  // namespace
