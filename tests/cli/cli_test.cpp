// The command-line program's own pieces: how a job's end becomes an exit status, the names
// --device takes, and the progress bar.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "app/exit_status.h"
#include "cli/console_view.h"
#include "cli/device_choice.h"
#include "cli/outcome.h"

namespace {

using app::ExitStatus;
using cli::Job;

TEST(Outcome, OnlyTheJobsOwnSuccessTextIsSuccess) {
    const struct {
        Job job;
        const char* status;
        bool versionRead;
        ExitStatus expected;
    } cases[] = {
        {Job::kUpdate, "Update FW Ok.", false, ExitStatus::kOk},
        {Job::kUpdate, "Update FW fail.", false, ExitStatus::kDeviceFailed},
        {Job::kUpdate, "Update FW Data...", false, ExitStatus::kDeviceFailed},
        {Job::kUpdate, "Open file fail.", false, ExitStatus::kBadImage},
        {Job::kUpdate, "Image file is empty.", false, ExitStatus::kBadImage},
        {Job::kUpdate, "Image file too large.", false, ExitStatus::kBadImage},
        {Job::kUpdate, "Allocate memory fail.", false, ExitStatus::kBadImage},
        {Job::kUpdate, "No Device is Existing.", false, ExitStatus::kNoDevice},
        {Job::kUpdate, "Connect to Device Failed!", false, ExitStatus::kNoDevice},
        {Job::kUpdate, "Upload OK!", false, ExitStatus::kDeviceFailed},
        {Job::kRead, "Upload OK!", false, ExitStatus::kOk},
        {Job::kRead, "Upload fail!", false, ExitStatus::kDeviceFailed},
        {Job::kRead, "No Device is Existing", false, ExitStatus::kNoDevice},
        {Job::kRead, "Create file fail!", false, ExitStatus::kOutputFile},
        {Job::kRead, "Write file fail!", false, ExitStatus::kOutputFile},
        {Job::kRead, "Connect to Device Success!", false, ExitStatus::kDeviceFailed},
        {Job::kCalibrate, "Set Calibration Success", false, ExitStatus::kOk},
        {Job::kCalibrate, "Set Calibration fail", false, ExitStatus::kDeviceFailed},
        {Job::kCalibrate, "", false, ExitStatus::kDeviceFailed},
        {Job::kVersion, "", true, ExitStatus::kOk},
        {Job::kVersion, "", false, ExitStatus::kDeviceFailed},
        {Job::kVersion, "No Device is Existing.", false, ExitStatus::kNoDevice},
        {Job::kVersion, "Connect to Device Failed!", true, ExitStatus::kNoDevice},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        EXPECT_EQ(cli::OutcomeOf(c.job, c.status, c.versionRead), c.expected);
    }
}

TEST(DeviceChoice, TakesTheNamesTheListPrints) {
    const struct {
        const char* name;
        int handle;  // 0: refused
    } cases[] = {
        {"\\\\.\\USBSCAN0", 256},
        {"USBSCAN0", 256},
        {"usbscan12", 268},
        {"USBSCAN999", 1255},
        {"\\\\.\\E:", 5},
        {"e:", 5},
        {"Z:", 26},
        {"A:", 1},
        {"USBSCAN1000", 0},
        {"USBSCAN", 0},
        {"USBSCAN-1", 0},
        {"USBSCAN1x", 0},
        {"E", 0},
        {"E:\\", 0},
        {"1:", 0},
        {"", 0},
        {"\\\\.\\", 0},
        {"/dev/sdb", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto handle = cli::DeviceHandleFromName(c.name);
        if (c.handle == 0) {
            EXPECT_FALSE(handle.has_value());
        } else {
            ASSERT_TRUE(handle.has_value());
            EXPECT_EQ(*handle, c.handle);
        }
    }
}

TEST(ProgressBar, FillsInProportionAndStaysInRange) {
    EXPECT_EQ(cli::ConsoleView::BarText(0, 100, 10), "[----------]   0%");
    EXPECT_EQ(cli::ConsoleView::BarText(55, 100, 10), "[#####-----]  55%");
    EXPECT_EQ(cli::ConsoleView::BarText(100, 100, 10), "[##########] 100%");
    EXPECT_EQ(cli::ConsoleView::BarText(300, 100, 10), "[##########] 100%");
    EXPECT_EQ(cli::ConsoleView::BarText(-5, 100, 10), "[----------]   0%");
    EXPECT_EQ(cli::ConsoleView::BarText(5, 0, 10), "[##########] 100%");
    // 16 MiB in 64 KiB steps: no overflow in the arithmetic.
    EXPECT_EQ(cli::ConsoleView::BarText(std::int64_t{1} << 31, std::int64_t{1} << 32, 4),
              "[##--]  50%");
}

// The bar is drawn once per percent and ends its line when the gauge is hidden; statuses are
// echoed once each.
TEST(ProgressBar, DrawsEachPercentOnceAndEndsItsLine) {
    std::FILE* bar = std::tmpfile();
    std::FILE* log = std::tmpfile();
    ASSERT_NE(bar, nullptr);
    ASSERT_NE(log, nullptr);
    {
        cli::ConsoleView view(bar, log);
        view.SetGaugeMax(1000);
        view.SetGaugeVisible(true);
        for (int i = 1; i <= 1000; ++i) {
            view.SetStatus(i % 2 ? "Update FW Start..." : "Update FW Data...");
            view.SetGaugeProgress(i);
        }
        view.SetGaugeVisible(false);
        view.SetStatus("Update FW Ok.");
        EXPECT_EQ(view.Status(), "Update FW Ok.");
    }
    auto text = [](std::FILE* f) {
        std::string s;
        std::rewind(f);
        for (int c; (c = std::fgetc(f)) != EOF;) s.push_back(static_cast<char>(c));
        std::fclose(f);
        return s;
    };
    const std::string barText = text(bar);
    std::size_t draws = 0;
    for (char c : barText) draws += c == '\r';
    // 0% .. 100%, and again after each of the two statuses echoed while the bar was shown (an
    // echo ends the bar's line first, so the two never share a line on the terminal).
    EXPECT_EQ(draws, 103u);
    EXPECT_NE(barText.find("[########################################] 100%"), std::string::npos);
    EXPECT_EQ(barText.back(), '\n');
    EXPECT_EQ(text(log),
              "status: Update FW Start...\nstatus: Update FW Data...\nstatus: Update FW Ok.\n");
}

TEST(ProgressBar, NothingWithoutATerminal) {
    cli::ConsoleView view(nullptr, nullptr);
    view.SetGaugeMax(10);
    view.SetGaugeVisible(true);
    view.SetGaugeProgress(20);
    EXPECT_EQ(view.GaugeProgress(), 10);
    view.SetGaugeVisible(false);
}

}  // namespace
