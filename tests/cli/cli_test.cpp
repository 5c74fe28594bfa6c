// The command-line program's own pieces: how a job's end becomes an exit status and what is said
// about it, the names --device takes, and the progress bar.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "app/exit_status.h"
#include "cli/console_view.h"
#include "cli/device_choice.h"
#include "cli/report.h"

namespace {

using app::ExitStatus;
using app::JobEnd;

// Only a job that did its work ends with status 0: whatever else it ended at, never.
TEST(Outcome, OnlyADoneJobIsSuccess) {
    for (const auto job : {app::JobKind::kUpdate, app::JobKind::kRead, app::JobKind::kVersion,
                           app::JobKind::kCalibrate}) {
        for (int e = 0; e <= static_cast<int>(JobEnd::kBackupWriteFailed); ++e) {
            app::JobOutcome outcome;
            outcome.job = job;
            outcome.end = static_cast<JobEnd>(e);
            outcome.verify.readEnd = JobEnd::kDone;  // even a read-back that says so
            SCOPED_TRACE(std::to_string(static_cast<int>(job)) + "/" + std::to_string(e));
            EXPECT_EQ(app::ExitStatusOf(outcome) == ExitStatus::kOk, outcome.end == JobEnd::kDone);
        }
    }
}

app::JobOutcome FailedUpdate(app::JobCall call, std::uint32_t confirmed, bool sent,
                             std::uint32_t blocks = 4) {
    app::JobOutcome o;
    o.end = JobEnd::kCallFailed;
    o.failedCall = call;
    o.blocksConfirmed = confirmed;
    o.blockSent = sent;
    o.blockCount = blocks;
    return o;
}

TEST(Report, AFailedUpdateSaysWhatStateItLeft) {
    const struct {
        app::JobOutcome outcome;
        const char* text;
    } cases[] = {
        {FailedUpdate(app::JobCall::kOpening, 0, false),
         "no block was sent: the device is unchanged"},
        {FailedUpdate(app::JobCall::kAddress, 0, false),
         "no block was sent: the device is unchanged"},
        // A refused block may have left bytes behind: never "unchanged".
        {FailedUpdate(app::JobCall::kBlock, 0, true),
         "no block of 4 was accepted; block 0 failed: the device may hold a partial image; "
         "update again"},
        {FailedUpdate(app::JobCall::kBlock, 1, true),
         "block 0 of 4 was accepted; block 1 failed: the device may hold a partial image; "
         "update again"},
        {FailedUpdate(app::JobCall::kAddress, 3, true),
         "blocks 0-2 of 4 were accepted; block 3 failed: the device may hold a partial image; "
         "update again"},
        {FailedUpdate(app::JobCall::kFinishing, 4, true),
         "blocks 0-3 of 4 were accepted; the finishing command failed: the device may hold a "
         "partial image; update again"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cli::UpdateStateText(c.outcome), c.text);
    }
    app::JobOutcome done;
    done.end = JobEnd::kDone;
    EXPECT_EQ(cli::UpdateStateText(done), "");
}

TEST(Report, VerifyFindingsAndWarningsAreExact) {
    app::VerifyDetail v;
    v.ran = true;
    v.firstAddress = 0x14005;
    v.lastAddress = 0x20010;
    v.expected = 0x3C;
    v.found = 0xC3;
    v.differing = 7;
    EXPECT_EQ(cli::MismatchText(v),
              "verify mismatch: the device's memory differs from the image at 0x00014005 "
              "(expected 0x3C, found 0xC3); 7 bytes differ, within 0x00014005-0x00020010");

    app::JobOutcome o;
    o.end = JobEnd::kVerifyReadFailed;
    o.verify.start = 0x4000;
    o.verify.length = 70000;
    o.verify.readEnd = JobEnd::kCallFailed;
    o.verify.readFailedCall = app::JobCall::kMemory;
    o.verify.bytesRead = 65536;
    EXPECT_EQ(cli::FailureText(o),
              "verifying failed: reading back 70000 bytes from 0x00004000 failed at a memory "
              "read after 65536 bytes");

    o.warnings = {app::JobWarning::kClosingFailed, app::JobWarning::kReleaseRefused};
    o.releasesRefused = 2;
    EXPECT_EQ(cli::WarningTexts(o),
              (std::vector<std::string>{
                  "warning: the update's closing exchange failed after \"Update FW Ok.\"",
                  "warning: the device did not release its service lock (2 times); the next job "
                  "may wait for it"}));
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
