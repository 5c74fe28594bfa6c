// Jobs tell how they ended as a value: every end's window text and exit status, and what real
// updates against the simulated scanner record (the failed call, the blocks confirmed, the
// verify's findings, the warnings).
#include "app/job_outcome.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "sim/fault_plan.h"
#include "tests/app/device_fixture.h"

namespace apptest {
namespace {

using app::ExitStatus;
using app::JobCall;
using app::JobEnd;
using app::JobKind;
using app::JobWarning;

// The window's texts are those it always showed; the statuses are the table's.
TEST(JobOutcomeMapping, EveryEndHasItsTextAndStatus) {
    const struct {
        JobKind job;
        JobEnd end;
        const char* text;  // null: the status is left as it was
        ExitStatus status;
    } cases[] = {
        {JobKind::kUpdate, JobEnd::kDone, "Update FW Ok.", ExitStatus::kOk},
        {JobKind::kUpdate, JobEnd::kNoDevice, "No Device is Existing.", ExitStatus::kNoDevice},
        {JobKind::kUpdate, JobEnd::kConnectFailed, "Connect to Device Failed!",
         ExitStatus::kNoDevice},
        {JobKind::kUpdate, JobEnd::kImageUnreadable, "Open file fail.", ExitStatus::kBadImage},
        {JobKind::kUpdate, JobEnd::kImageEmpty, "Image file is empty.", ExitStatus::kBadImage},
        {JobKind::kUpdate, JobEnd::kImageTooLarge, "Image file too large.", ExitStatus::kBadImage},
        {JobKind::kUpdate, JobEnd::kNoMemory, "Allocate memory fail.", ExitStatus::kBadImage},
        {JobKind::kUpdate, JobEnd::kCallFailed, "Update FW fail.", ExitStatus::kDeviceFailed},
        // A job cut short before its end is never a success.
        {JobKind::kUpdate, JobEnd::kUnfinished, nullptr, ExitStatus::kDeviceFailed},
        {JobKind::kUpdate, JobEnd::kVerifyMismatch, "Update FW Ok.", ExitStatus::kVerifyMismatch},
        {JobKind::kUpdate, JobEnd::kVerifyReadFailed, "Update FW Ok.", ExitStatus::kDeviceFailed},
        // A backup that failed sent no block, and the window never makes one.
        {JobKind::kUpdate, JobEnd::kBackupFileFailed, nullptr, ExitStatus::kOutputFile},
        {JobKind::kUpdate, JobEnd::kBackupReadFailed, nullptr, ExitStatus::kDeviceFailed},
        {JobKind::kUpdate, JobEnd::kBackupWriteFailed, nullptr, ExitStatus::kOutputFile},
        {JobKind::kRead, JobEnd::kDone, "Upload OK!", ExitStatus::kOk},
        {JobKind::kRead, JobEnd::kNoDevice, "No Device is Existing", ExitStatus::kNoDevice},
        {JobKind::kRead, JobEnd::kConnectFailed, "Connect to Device Failed!",
         ExitStatus::kNoDevice},
        {JobKind::kRead, JobEnd::kBadLength, nullptr, ExitStatus::kUsage},
        {JobKind::kRead, JobEnd::kCallFailed, "Upload fail!", ExitStatus::kDeviceFailed},
        {JobKind::kRead, JobEnd::kNoMemory, nullptr, ExitStatus::kDeviceFailed},
        {JobKind::kRead, JobEnd::kFileCreateFailed, "Create file fail!", ExitStatus::kOutputFile},
        {JobKind::kRead, JobEnd::kFileWriteFailed, "Write file fail!", ExitStatus::kOutputFile},
        {JobKind::kRead, JobEnd::kFileReplaceFailed, "Write file fail!", ExitStatus::kOutputFile},
        {JobKind::kCalibrate, JobEnd::kDone, "Set Calibration Success", ExitStatus::kOk},
        {JobKind::kCalibrate, JobEnd::kCallFailed, "Set Calibration fail",
         ExitStatus::kDeviceFailed},
        {JobKind::kCalibrate, JobEnd::kUnfinished, nullptr, ExitStatus::kDeviceFailed},
        {JobKind::kVersion, JobEnd::kDone, nullptr, ExitStatus::kOk},
        {JobKind::kVersion, JobEnd::kCallFailed, nullptr, ExitStatus::kDeviceFailed},
        {JobKind::kVersion, JobEnd::kNoDevice, "No Device is Existing.", ExitStatus::kNoDevice},
        {JobKind::kVersion, JobEnd::kResultFileFailed, nullptr, ExitStatus::kResultFile},
    };
    std::set<ExitStatus> seen;
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.end));
        const char* text = app::StatusText(c.job, c.end);
        EXPECT_EQ(text == nullptr ? std::string("(none)") : text,
                  c.text == nullptr ? std::string("(none)") : c.text);
        app::JobOutcome outcome;
        outcome.job = c.job;
        outcome.end = c.end;
        outcome.verify.readEnd = JobEnd::kCallFailed;
        EXPECT_EQ(app::ExitStatusOf(outcome), c.status);
        seen.insert(c.status);
    }
    // Missing rights (5) and the frame lock (8) are the frame's statuses, never a job's.
    for (int n = 0; n <= app::ToInt(ExitStatus::kVerifyMismatch); ++n) {
        const auto status = static_cast<ExitStatus>(n);
        if (status == ExitStatus::kNoRights || status == ExitStatus::kLockUnavailable) continue;
        EXPECT_EQ(seen.count(status), 1u) << n;
    }
    EXPECT_STREQ(app::ExitStatusName(ExitStatus::kVerifyMismatch), "verify mismatch");
}

class UpdateOutcomeTest : public DeviceTest {};

// How far a failed update got: the call that failed, the blocks the device confirmed, and
// whether any block was sent at all.
TEST_F(UpdateOutcomeTest, AFailedUpdateSaysWhereItStopped) {
    const struct {
        const char* name;
        sim::Fault fault;
        JobCall call;
        std::uint32_t confirmed;
        bool blockSent;
    } cases[] = {
        {"opening", sim::Fault::DataFails().OnCommand(0x02, 0x01, 5), JobCall::kOpening, 0, false},
        {"first address", sim::Fault::DataFails().OnCommand(0x02, 0x03, 4), JobCall::kAddress, 0,
         false},
        {"first block", sim::Fault::DataFails().OnCommand(0x02, 0x03, 5), JobCall::kBlock, 0, true},
        {"second address", sim::Fault::DataFails().OnCommand(0x02, 0x03, 4).Skip(1),
         JobCall::kAddress, 1, true},
        {"second block", sim::Fault::Status(1, 0x05, 0x24).OnCommand(0x02, 0x03, 5).Skip(1),
         JobCall::kBlock, 1, true},
        {"finishing", sim::Fault::DataFails().OnCommand(0x02, 0x03, 6), JobCall::kFinishing, 2,
         true},
    };
    Attach(Attach::kStillImage);
    MakeImage("fw.bin", 131072);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scanner_.ClearFaults();
        scanner_.Inject(c.fault);
        form_.UpdateFirmware("fw.bin");
        const app::JobOutcome& o = form_.LastOutcome();
        EXPECT_EQ(o.end, JobEnd::kCallFailed);
        EXPECT_EQ(o.failedCall, c.call);
        EXPECT_EQ(o.blocksConfirmed, c.confirmed);
        EXPECT_EQ(o.blockCount, 2u);
        EXPECT_EQ(o.blockSent, c.blockSent);
        EXPECT_EQ(o.bytesMoved, 65536u * c.confirmed);
        EXPECT_EQ(view_.LastStatus(), "Update FW fail.");
    }
}

TEST_F(UpdateOutcomeTest, AGoodUpdateIsReadBackWithTheReadBacksCallsAndMatches) {
    Attach(Attach::kStillImage);
    MakeImage("fw.bin", 70000);
    form_.VerifyAfterUpdate = true;
    form_.UpdateFirmware("fw.bin");
    const app::JobOutcome& o = form_.LastOutcome();
    EXPECT_EQ(o.end, JobEnd::kDone);
    EXPECT_TRUE(o.verify.ran);
    EXPECT_EQ(o.verify.differing, 0u);
    EXPECT_EQ(o.verify.bytesRead, 70000u);
    EXPECT_TRUE(o.warnings.empty());
    // The update as always, through its closing exchange; then the read-back's own sequence.
    const Strings expected = {
        "get 5 16",   "set 4 4 00004000", "set 5 65536",  "set 4 4 00014000",
        "set 5 8192", "set 6 4 00000001", "get 6 16",     "get 3 16",
        "get 5 16",   "set 4 4 00004000", "get 11 65536", "get 6 16",
        "get 5 16",   "set 4 4 00014000", "get 11 4464",  "get 6 16",
    };
    EXPECT_EQ(CallTexts(), expected);
    // The window's texts are the update's own.
    EXPECT_EQ(view_.LastStatus(), "Update FW Ok.");
    EXPECT_TRUE(view_.LogOf("status:Upload data....").empty());
    EXPECT_FALSE(view_.gaugeVisible);
}

// The device passes every block but keeps bytes wrong: the verify names the first, counts them
// and gives their range. A wrong byte in the padding of a rounded block is no part of the image.
TEST_F(UpdateOutcomeTest, AMemoryThatKeepsBytesWrongIsAMismatch) {
    const struct {
        const char* name;
        apptest::Attach attach;
        std::uint32_t size;
        std::vector<sim::Fault> faults;
        std::uint64_t differing;
        std::uint32_t first, last;
    } cases[] = {
        {"second still-image block",
         Attach::kStillImage,
         131072,
         {sim::Fault::WriteCorrupts(5).Skip(1)},
         1,
         0x14005,
         0x14005},
        {"two disk blocks",
         Attach::kDisk,
         20000,
         {sim::Fault::WriteCorrupts(100).Skip(2), sim::Fault::WriteCorrupts(0)},
         2,
         0x4000,
         0x6064},
        {"padding only", Attach::kStillImage, 5000, {sim::Fault::WriteCorrupts(6000)}, 0, 0, 0},
    };
    Attach(Attach::kStillImage);
    Attach(Attach::kDisk);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        form_.ChosenDevice = c.attach == Attach::kDisk ? 5 : 256;  // E: or still-image 0
        scanner_.ClearFaults();
        const std::vector<std::uint8_t> image = MakeImage("fw.bin", c.size);
        for (const sim::Fault& f : c.faults) scanner_.Inject(f);
        form_.VerifyAfterUpdate = true;
        form_.UpdateFirmware("fw.bin");
        const app::JobOutcome& o = form_.LastOutcome();
        EXPECT_EQ(view_.LastStatus(), "Update FW Ok.");
        ASSERT_TRUE(o.verify.ran);
        EXPECT_EQ(o.verify.differing, c.differing);
        if (c.differing == 0) {
            EXPECT_EQ(o.end, JobEnd::kDone);
            continue;
        }
        EXPECT_EQ(o.end, JobEnd::kVerifyMismatch);
        EXPECT_EQ(app::ExitStatusOf(o), ExitStatus::kVerifyMismatch);
        EXPECT_EQ(o.verify.firstAddress, c.first);
        EXPECT_EQ(o.verify.lastAddress, c.last);
        const std::uint8_t want = image[c.first - 0x4000];
        EXPECT_EQ(o.verify.expected, want);
        EXPECT_EQ(o.verify.found, static_cast<std::uint8_t>(~want));
        EXPECT_EQ(scanner_.ReadMemory(c.first, 1)[0], o.verify.found);
    }
}

TEST_F(UpdateOutcomeTest, AVerifyWhoseReadFailsEndsAsTheReadBackWould) {
    Attach(Attach::kStillImage);
    MakeImage("fw.bin", 70000);
    scanner_.Inject(sim::Fault::DataFails().OnCommand(0x02, 0x02, 11).Always());
    form_.VerifyAfterUpdate = true;
    form_.UpdateFirmware("fw.bin");
    const app::JobOutcome& o = form_.LastOutcome();
    EXPECT_EQ(o.end, JobEnd::kVerifyReadFailed);
    EXPECT_EQ(o.verify.readEnd, JobEnd::kCallFailed);
    EXPECT_EQ(o.verify.readFailedCall, JobCall::kMemory);
    EXPECT_EQ(o.verify.bytesRead, 0u);
    EXPECT_EQ(app::ExitStatusOf(o), ExitStatus::kDeviceFailed);
    EXPECT_EQ(view_.LastStatus(), "Update FW Ok.");
}

// Warnings leave the window's text and the job's end as they are.
TEST_F(UpdateOutcomeTest, AFailedClosingAndARefusedReleaseAreWarnings) {
    const struct {
        const char* name;
        sim::Fault fault;
        JobWarning warning;
    } cases[] = {
        {"closing", sim::Fault::DataFails().OnCommand(0x02, 0x01, 6), JobWarning::kClosingFailed},
        {"release", sim::Fault::ServiceReplySize(8).OnCommand(0xFF, 0x06),
         JobWarning::kReleaseRefused},
    };
    Attach(Attach::kStillImage);
    MakeImage("fw.bin", 5000);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scanner_.ClearFaults();
        scanner_.Inject(c.fault);
        form_.UpdateFirmware("fw.bin");
        const app::JobOutcome& o = form_.LastOutcome();
        EXPECT_EQ(o.end, JobEnd::kDone);
        EXPECT_EQ(app::ExitStatusOf(o), ExitStatus::kOk);
        EXPECT_EQ(o.warnings, std::vector<JobWarning>{c.warning});
        EXPECT_EQ(view_.LastStatus(), "Update FW Ok.");
    }
    EXPECT_EQ(form_.LastOutcome().releasesRefused, 1u);
}

// The backup reads the rounded range the blocks will cover before the first of them; `update`
// of the backup then puts the memory back as it was. A backup whose read fails sends no block
// and leaves an earlier backup file as it was.
TEST_F(UpdateOutcomeTest, TheBackupSavesTheRangeFirstAndRestoresIt) {
    Attach(Attach::kStillImage);
    const std::vector<std::uint8_t> before = scanner_.ReadMemory(0x4000, 73728);
    const std::vector<std::uint8_t> image = MakeImage("fw.bin", 70000);
    form_.BackupFileName = "backup.bin";
    form_.UpdateFirmware("fw.bin");
    const app::JobOutcome& o = form_.LastOutcome();
    EXPECT_EQ(o.end, JobEnd::kDone);
    EXPECT_TRUE(o.backup.written);
    EXPECT_EQ(o.backup.length, 73728u);  // 70,000 padded to 4 KiB, as the last block is
    const Strings calls = CallTexts();
    ASSERT_GE(calls.size(), 12u);
    const Strings first(calls.begin(), calls.begin() + 12);
    EXPECT_EQ(first, (Strings{"get 3 16", "get 5 16", "set 4 4 00004000", "get 11 65536",
                              "get 6 16", "get 5 16", "set 4 4 00014000", "get 11 8192", "get 6 16",
                              "get 5 16", "set 4 4 00004000", "set 5 65536"}));
    const std::string saved = ReadFileText(WorkDir() / "backup.bin");
    EXPECT_EQ(std::vector<std::uint8_t>(saved.begin(), saved.end()), before);
    EXPECT_EQ(scanner_.ReadMemory(0x4000, 70000), image);

    form_.BackupFileName.clear();
    form_.UpdateFirmware("backup.bin");
    EXPECT_EQ(form_.LastOutcome().end, JobEnd::kDone);
    EXPECT_EQ(scanner_.ReadMemory(0x4000, 73728), before);

    const auto blocks = [&] {
        const Strings all = CallTexts();
        return std::count_if(all.begin(), all.end(),
                             [](const std::string& c) { return c.rfind("set 5", 0) == 0; });
    };
    const auto blocksBefore = blocks();
    WriteFileText(WorkDir() / "backup.bin", "earlier");
    scanner_.Inject(sim::Fault::DataFails().OnCommand(0x02, 0x02, 11));
    form_.BackupFileName = "backup.bin";
    form_.UpdateFirmware("fw.bin");
    const app::JobOutcome& failed = form_.LastOutcome();
    EXPECT_EQ(failed.end, JobEnd::kBackupReadFailed);
    EXPECT_EQ(failed.failedCall, JobCall::kMemory);
    EXPECT_FALSE(failed.blockSent);
    EXPECT_EQ(app::ExitStatusOf(failed), ExitStatus::kDeviceFailed);
    EXPECT_EQ(blocks(), blocksBefore);
    EXPECT_EQ(ReadFileText(WorkDir() / "backup.bin"), "earlier");
    EXPECT_EQ(scanner_.ReadMemory(0x4000, 73728), before);
}

}  // namespace
}  // namespace apptest
