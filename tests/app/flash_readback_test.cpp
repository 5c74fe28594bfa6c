// The flash read-back against the simulated scanner.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/handles.h"
#include "platform/sim/sim_system.h"
#include "sim/fault_plan.h"
#include "tests/app/device_fixture.h"

namespace apptest {
namespace {

std::vector<std::uint8_t> FileBytes(const char* name) {
    const std::string text = ReadFileText(name);
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

class FlashReadbackTest : public DeviceTest {};

struct RangeCase {
    const char* name;
    apptest::Attach attach;
    const char* edit1;
    const char* edit2;
    std::uint32_t start;
    std::uint32_t length;
};

void PrintTo(const RangeCase& c, std::ostream* os) {
    *os << c.name;
}

class FlashRangeTest : public DeviceTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(FlashRangeTest, ReadsTheRangeInChunksIntoFlashBin) {
    const RangeCase& c = GetParam();
    Attach(c.attach);
    WriteFileText("flash.bin", std::string(300000, 'X'));  // replaced whole by a complete read
    view_.edit1 = c.edit1;
    view_.edit2 = c.edit2;

    form_.ReadFlash();

    Strings expected;
    std::size_t chunks = 0;
    for (std::uint32_t off = 0; off < c.length; off += 65536, ++chunks) {
        if (off == 0) expected.push_back("get 3 16");  // readiness check, before the first only
        expected.push_back("get 5 16");
        expected.push_back("set 4 4 " + Address(c.start + off));
        expected.push_back("get 11 " +
                           std::to_string(std::min<std::uint32_t>(65536, c.length - off)));
        expected.push_back("get 6 16");
    }
    EXPECT_EQ(CallTexts(), expected);
    EXPECT_EQ(FileBytes("flash.bin"), scanner_.ReadMemory(c.start, c.length));

    Strings statuses = {"Connect to Device Success!"};
    statuses.insert(statuses.end(), chunks, "Upload data....");
    statuses.push_back("Upload OK!");
    EXPECT_EQ(view_.statuses, statuses);
    EXPECT_TRUE(sys_.StdoutText().empty());
    if (c.length != 0) {
        EXPECT_EQ(view_.gaugeMax, c.length);
        ASSERT_GE(view_.progressHistory.size(), 2u);
        EXPECT_EQ(view_.progressHistory[view_.progressHistory.size() - 2], c.length);
    }
    EXPECT_FALSE(view_.gaugeVisible);
    EXPECT_EQ(view_.gaugeProgress, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, FlashRangeTest,
    ::testing::Values(RangeCase{"Empty", Attach::kStillImage, "0", "0", 0, 0},
                      RangeCase{"OneChunk", Attach::kStillImage, "0", "65536", 0, 65536},
                      RangeCase{"Past64K", Attach::kStillImage, "$10000", "65537", 0x10000, 65537},
                      RangeCase{"DiskPast64K", Attach::kDisk, "65536", "65537", 0x10000, 65537},
                      RangeCase{"HexStart", Attach::kDisk, "  0x4000", "+100", 0x4000, 100},
                      RangeCase{"TwoMiB", Attach::kStillImage, "0", "2097152", 0, 2097152},
                      RangeCase{"EndsAtTheTop", Attach::kStillImage, "0xFFFEFFFF", "65537",
                                0xFFFEFFFF, 65537},
                      RangeCase{"EmptyAtTheTop", Attach::kDisk, "$FFFFFFFF", "0", 0xFFFFFFFF, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FlashReadbackTest, ReadinessByteEightMakesOneHundredMillisecondPause) {
    Attach(Attach::kStillImage);
    view_.edit2 = "131072";
    form_.ReadFlash();  // the first run also sets up the link's service event

    const auto t0 = sys_.Now();
    form_.ReadFlash();
    const auto plain = sys_.Now() - t0;

    scanner_.Config().readiness = 1;
    ClearWire();
    const auto t1 = sys_.Now();
    form_.ReadFlash();
    EXPECT_EQ(sys_.Now() - t1, plain + 100);
    const Strings calls = CallTexts();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "get 3 16"), 1);
}

struct FailingCall {
    const char* name;
    std::uint8_t cmd1;
    std::uint8_t selector;
};

void PrintTo(const FailingCall& c, std::ostream* os) {
    *os << c.name;
}

class FlashFailureTest : public DeviceTest, public ::testing::WithParamInterface<FailingCall> {};

TEST_P(FlashFailureTest, FailedReadWritesNothingAndKeepsAnOldFile) {
    const FailingCall& c = GetParam();
    Attach(Attach::kStillImage);
    view_.edit2 = "131072";
    scanner_.Inject(sim::Fault::DataFails().OnCommand(0x02, c.cmd1, c.selector).Always());

    form_.ReadFlash();
    EXPECT_EQ(view_.LastStatus(), "Upload fail!");
    EXPECT_FALSE(std::filesystem::exists("flash.bin"));  // the file this run made is gone
    EXPECT_FALSE(view_.gaugeVisible);
    // Nothing after the failed call but its retries.
    Strings calls = CallTexts();
    calls.erase(std::unique(calls.begin(), calls.end()), calls.end());
    ASSERT_FALSE(calls.empty());
    const std::string failed =
        (c.cmd1 == 0x03 ? "set " : "get ") + std::to_string(c.selector) + " ";
    EXPECT_EQ(calls.back().rfind(failed, 0), 0u) << calls.back();
    // Only the first chunk was tried.
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "get 11 65536"),
              c.selector == 6 || c.selector == 11 ? 1 : 0);

    WriteFileText("flash.bin", "OLD CONTENT");
    form_.ReadFlash();
    EXPECT_EQ(view_.LastStatus(), "Upload fail!");
    EXPECT_EQ(ReadFileText("flash.bin"), "OLD CONTENT");
}

INSTANTIATE_TEST_SUITE_P(Calls, FlashFailureTest,
                         ::testing::Values(FailingCall{"Readiness", 0x01, 3},
                                           FailingCall{"Opening", 0x01, 5},
                                           FailingCall{"Address", 0x03, 4},
                                           FailingCall{"Memory", 0x01, 11},
                                           FailingCall{"Closing", 0x01, 6}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FlashReadbackTest, FieldsAreCheckedBeforeAnyDeviceOrFileWork) {
    Attach(Attach::kStillImage);
    const struct {
        const char* edit1;
        const char* edit2;
        const char* error;
    } cases[] = {
        {"4000 ", "2097152", "'4000 ' is not a valid integer value."},
        {"", "2097152", "'' is not a valid integer value."},
        {"x", "y", "'x' is not a valid integer value."},  // the address comes first
        {"0", "2 MiB", "'2 MiB' is not a valid integer value."},
        {"0", "2147483648", "'2147483648' is not a valid integer value."},
        {"0", "-1", "'-1' is not a valid length."},
        {"0", "$FFFFFFFF", "'$FFFFFFFF' is not a valid length."},
        {"0", "-2147483648", "'-2147483648' is not a valid length."},
        // Ranges that would run past the top of the address space and wrap to 0.
        {"0xFFFF0000", "0x20000", "'0x20000' is not a valid length."},
        {"$FFFFFFFF", "2", "'2' is not a valid length."},
        {"-1", "2", "'2' is not a valid length."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.edit1) + " / " + c.edit2);
        view_.edit1 = c.edit1;
        view_.edit2 = c.edit2;
        view_.errors.clear();
        app::RunHandler(view_, [&] { form_.ReadFlash(); });
        EXPECT_EQ(view_.errors, Strings{c.error});
    }
    EXPECT_TRUE(io_.OpenAttempts().empty());
    EXPECT_TRUE(view_.statuses.empty());
    EXPECT_FALSE(std::filesystem::exists("flash.bin"));
}

TEST_F(FlashReadbackTest, DeviceAndFileFailures) {
    // No device: its own text, without a full stop, and no file.
    form_.ReadFlash();
    EXPECT_EQ(view_.statuses, Strings{"No Device is Existing"});
    EXPECT_FALSE(std::filesystem::exists("flash.bin"));

    scanner_.Config().vendorId = 0x1234;
    Attach(Attach::kStillImage);
    form_.ReadFlash();
    EXPECT_EQ(view_.LastStatus(), "Connect to Device Failed!");
    EXPECT_FALSE(std::filesystem::exists("flash.bin"));

    scanner_.Config().vendorId = 0x04F9;
    std::filesystem::create_directory("flash.bin");
    ClearWire();
    form_.ReadFlash();
    EXPECT_EQ(view_.statuses.back(), "Create file fail!");
    EXPECT_EQ(view_.statuses[view_.statuses.size() - 2], "Connect to Device Success!");
    EXPECT_TRUE(CallTexts().empty());
    EXPECT_TRUE(view_.LogOf("gauge").empty());
    EXPECT_TRUE(sys_.StdoutText().empty());
}

TEST_F(FlashReadbackTest, EmptyRangeEmptiesAnOldFile) {
    Attach(Attach::kStillImage);
    WriteFileText("flash.bin", "OLD CONTENT");
    view_.edit2 = "0";
    form_.ReadFlash();
    EXPECT_EQ(view_.LastStatus(), "Upload OK!");
    EXPECT_EQ(ReadFileText("flash.bin"), "");
    EXPECT_TRUE(CallTexts().empty());
}

// The names in the current folder, sorted: a temporary file left behind shows up here.
Strings FolderEntries() {
    Strings names;
    for (const auto& entry : std::filesystem::directory_iterator("."))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(FlashReadbackTest, ReadOnlyFlashBinFailsBeforeTheRead) {
    Attach(Attach::kStillImage);
    WriteFileText("flash.bin", "OLD CONTENT");
    std::filesystem::permissions("flash.bin", std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::remove);
    form_.ReadFlash();
    EXPECT_EQ(view_.LastStatus(), "Create file fail!");
    EXPECT_TRUE(CallTexts().empty());
    EXPECT_EQ(ReadFileText("flash.bin"), "OLD CONTENT");
    EXPECT_EQ(FolderEntries(), Strings{"flash.bin"});
    std::filesystem::permissions("flash.bin", std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
}

TEST_F(FlashReadbackTest, CompleteReadReplacesFlashBinAndLeavesNoOtherFile) {
    Attach(Attach::kStillImage);
    view_.edit2 = "70000";
    for (const bool hadOldFile : {false, true}) {
        SCOPED_TRACE(hadOldFile ? "old file" : "no old file");
        if (hadOldFile) WriteFileText("flash.bin", std::string(100000, 'X'));
        form_.ReadFlash();
        EXPECT_EQ(view_.LastStatus(), "Upload OK!");
        EXPECT_EQ(FileBytes("flash.bin"), scanner_.ReadMemory(0, 70000));
        EXPECT_EQ(FolderEntries(), Strings{"flash.bin"});
    }
}

struct WriteFault {
    const char* name;
    sim::SimSystem::FileFaults faults;
    // Another program has flash.bin open (sharing writes but not deletion), so it cannot be
    // replaced.
    bool holdFlashBin;
};

void PrintTo(const WriteFault& c, std::ostream* os) {
    *os << c.name;
}

class FlashWriteFailureTest : public DeviceTest,
                              public ::testing::WithParamInterface<WriteFault> {};

TEST_P(FlashWriteFailureTest, ShowsWriteFileFailAndKeepsFlashBinAsItWas) {
    const WriteFault& c = GetParam();
    Attach(Attach::kStillImage);
    view_.edit2 = "131072";
    for (const bool hadOldFile : {false, true}) {
        SCOPED_TRACE(hadOldFile ? "old file" : "no old file");
        if (c.holdFlashBin && !hadOldFile) continue;
        if (hadOldFile) WriteFileText("flash.bin", "OLD CONTENT");
        platform::FileHandle other;
        if (c.holdFlashBin)
            other.reset(sys_.CreateFile("flash.bin", platform::kGenericRead,
                                        platform::kFileShareRead, platform::kOpenExisting));
        sys_.SetFileFaults(c.faults);
        view_.statuses.clear();
        form_.ReadFlash();
        sys_.SetFileFaults({});
        other.reset();

        EXPECT_EQ(view_.LastStatus(), "Write file fail!");
        EXPECT_TRUE(view_.LogOf("status:Upload OK!").empty());
        EXPECT_EQ(std::count(view_.statuses.begin(), view_.statuses.end(), "Upload data...."),
                  2);  // the whole range was read first
        if (hadOldFile) {
            EXPECT_EQ(ReadFileText("flash.bin"), "OLD CONTENT");
            EXPECT_EQ(FolderEntries(), Strings{"flash.bin"});
        } else {
            EXPECT_EQ(FolderEntries(), Strings{});
        }
        EXPECT_FALSE(view_.gaugeVisible);
    }
}

sim::SimSystem::FileFaults Faults(void (*set)(sim::SimSystem::FileFaults&)) {
    sim::SimSystem::FileFaults f;
    set(f);
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FlashWriteFailureTest,
    ::testing::Values(
        WriteFault{"WriteFails", Faults([](auto& f) { f.failWrites = true; }), false},
        // The disk takes part of the dump and reports success for that part, then is full.
        WriteFault{"DiskFillsUp", Faults([](auto& f) { f.diskSpace = 100000; }), false},
        WriteFault{"DiskAlreadyFull", Faults([](auto& f) { f.diskSpace = 0; }), false},
        WriteFault{"FlushFails", Faults([](auto& f) { f.failFlush = true; }), false},
        WriteFault{"NoTemporaryName", Faults([](auto& f) { f.failTempName = true; }), false},
        WriteFault{"ReplaceFails", Faults([](auto& f) { f.failMove = true; }), false},
        WriteFault{"FlashBinHeldOpen", {}, true}),
    [](const auto& info) { return std::string(info.param.name); });

// The move is the commit point: a folder sync that fails after it still means a new flash.bin.
TEST_F(FlashReadbackTest, AFolderSyncThatFailsAfterTheReplaceStillSaysUploadOk) {
    Attach(Attach::kStillImage);
    WriteFileText("flash.bin", "OLD CONTENT");
    view_.edit2 = "70000";
    sys_.SetFileFaults({.failFolderSync = true});
    form_.ReadFlash();
    EXPECT_EQ(view_.LastStatus(), "Upload OK!");
    EXPECT_EQ(FileBytes("flash.bin"), scanner_.ReadMemory(0, 70000));
    EXPECT_EQ(FolderEntries(), Strings{"flash.bin"});
    const auto& lines = sys_.DebugLines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("could not be synced") != std::string::npos;
    }));
}

// The temporary file is written through the handle that created it: a link that another program
// puts at its name meanwhile is neither written through nor moved into flash.bin's place.
TEST_F(FlashReadbackTest, ALinkSwappedInForTheTemporaryFileIsNeitherWrittenNorMoved) {
    Attach(Attach::kStillImage);
    WriteFileText("flash.bin", "OLD CONTENT");
    WriteFileText("victim", "VICTIM");
    bool planted = false;
    sim::SimSystem::FileFaults faults;
    faults.afterTempFile = [&](const std::string& temp) {
        std::error_code ec;
        std::filesystem::remove(temp, ec);
        std::filesystem::create_symlink(std::filesystem::absolute("victim"), temp, ec);
        planted = !ec;
    };
    sys_.SetFileFaults(faults);
    view_.edit2 = "1000";
    form_.ReadFlash();
    sys_.SetFileFaults({});
    if (!planted) GTEST_SKIP() << "no symbolic links here";
    EXPECT_EQ(view_.LastStatus(), "Write file fail!");
    EXPECT_EQ(ReadFileText("victim"), "VICTIM");
    EXPECT_EQ(ReadFileText("flash.bin"), "OLD CONTENT");
    EXPECT_FALSE(std::filesystem::is_symlink("flash.bin"));
}

#ifndef _WIN32
TEST_F(FlashReadbackTest, AReplacedFlashBinKeepsItsMode) {
    Attach(Attach::kStillImage);
    WriteFileText("flash.bin", "OLD CONTENT");
    namespace fs = std::filesystem;
    const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions("flash.bin", mode);
    view_.edit2 = "1000";
    form_.ReadFlash();
    EXPECT_EQ(view_.LastStatus(), "Upload OK!");
    EXPECT_EQ(fs::status("flash.bin").permissions(), mode);
}
#endif

}  // namespace
}  // namespace apptest
