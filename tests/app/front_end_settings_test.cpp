// The settings through which a front end other than the window (the command-line program)
// steers the form logic: the read-back file's name, the version's result file and message, the
// device used, and the frame's service command lines.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "sim/fault_plan.h"
#include "tests/app/device_fixture.h"

namespace apptest {
namespace {

namespace fs = std::filesystem;

class FrontEndSettingsTest : public DeviceTest {};

TEST_F(FrontEndSettingsTest, ReadBackGoesToTheNamedFileOnly) {
    Attach(Attach::kStillImage);
    form_.DumpFileName = "dump-range.bin";
    view_.edit1 = "0x4000";
    view_.edit2 = "100";
    form_.Button4Click();
    EXPECT_EQ(view_.statuses.back(), "Upload OK!");
    EXPECT_EQ(fs::file_size(WorkDir() / "dump-range.bin"), 100u);
    EXPECT_FALSE(fs::exists(WorkDir() / "flash.bin"));
}

TEST_F(FrontEndSettingsTest, VersionGoesWhereItIsToldAndIsRecorded) {
    Attach(Attach::kDisk);
    const fs::path elsewhere = WorkDir() / "answer.ini";
    struct Case {
        const char* name;
        bool write;
        bool show;
        std::string path;
        bool inElsewhere, besideProgram, message;
    } cases[] = {
        {"defaults", true, true, "", false, true, true},
        {"named file", true, true, elsewhere.string(), true, false, true},
        {"no file, no box", false, false, "", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(elsewhere);
        fs::remove(ResultFile());
        view_.messages.clear();
        form_.WriteVersionResult = c.write;
        form_.ShowVersionMessage = c.show;
        form_.ResultFilePath = c.path;
        form_.Button6Click();
        EXPECT_EQ(fs::exists(elsewhere), c.inElsewhere);
        EXPECT_EQ(fs::exists(ResultFile()), c.besideProgram);
        if (c.inElsewhere) {
            EXPECT_EQ(ReadFileText(elsewhere), "[result]\r\nversion=2206\r\n");
        }
        EXPECT_EQ(view_.messages.size(), c.message ? 1u : 0u);
        ASSERT_TRUE(form_.LastVersion.has_value());
        EXPECT_EQ(*form_.LastVersion, "2206");
    }
}

TEST_F(FrontEndSettingsTest, AFailedVersionReadRecordsNoVersion) {
    Attach(Attach::kStillImage);
    form_.QueryVersion();
    ASSERT_TRUE(form_.LastVersion.has_value());
    scanner_.Inject(sim::Fault::Status(1, 0x05, 0x24).OnCommand(0x02, 0x02, 6).Always());
    form_.QueryVersion();
    EXPECT_FALSE(form_.LastVersion.has_value());
}

TEST_F(FrontEndSettingsTest, AChosenDeviceIsUsedWithoutSearching) {
    Attach(Attach::kDisk);     // E:, handle 5
    form_.ChosenDevice = 256;  // still-image device 0: not attached
    form_.Button5Click();
    EXPECT_EQ(view_.statuses.back(), "Connect to Device Failed!");
    form_.ChosenDevice = 5;
    form_.Button5Click();
    EXPECT_EQ(view_.statuses.back(), "Set Calibration Success");
    form_.ChosenDevice = 0;  // back to the first device found
    form_.Button5Click();
    EXPECT_EQ(view_.statuses.back(), "Set Calibration Success");
}

TEST_F(FrontEndSettingsTest, EmptyServiceLinesRunNothing) {
    Attach(Attach::kStillImage);
    form_.ServiceStopLine.clear();
    form_.ServiceStartLine.clear();
    form_.Button5Click();
    form_.FormCreate("kelvane.exe CHECKFW");
    EXPECT_TRUE(Commands().empty());
    EXPECT_EQ(view_.statuses.front(), "Set Calibration Success");

    form_.ServiceStopLine = "net stop other";
    form_.ServiceStartLine = "net start other";
    form_.Button5Click();
    EXPECT_EQ(Commands(), (Strings{"net stop other", "net start other"}));
}

}  // namespace
}  // namespace apptest
