// The version query and the calibration against the simulated scanner.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/fault_plan.h"
#include "tests/app/device_fixture.h"

namespace apptest {
namespace {

using Strings = std::vector<std::string>;

const Strings kVersionCalls = {"get 5 16", "get 6 4", "get 6 16"};

class VersionTest : public DeviceTest {
  protected:
    void SetVersion(const char (&bytes)[4]) { std::memcpy(scanner_.Config().version, bytes, 4); }
};

TEST_F(VersionTest, VersionTextEndsAtTheFirstZeroByte) {
    const struct {
        char bytes[4];
        const char* text;
    } cases[] = {
        {{'2', '2', '0', '6'}, "2206"}, {{'A', 'B', '\0', 'D'}, "AB"},
        {{'V', '\0', '\0', '\0'}, "V"}, {{'\0', 'X', 'Y', 'Z'}, ""},
        {{'\0', '\0', '\0', '\0'}, ""},
    };
    Attach(Attach::kStillImage);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        SetVersion(c.bytes);
        ClearWire();
        view_.messages.clear();
        form_.QueryVersion();
        EXPECT_EQ(CallTexts(), kVersionCalls);
        EXPECT_EQ(view_.messages, Strings{std::string("The Verision:") + c.text + "\r\n"});
        EXPECT_EQ(ReadFileText(ResultFile()),
                  std::string("[result]\r\nversion=") + c.text + "\r\n");
    }
    // Once the device is open, the status bar is left alone.
    EXPECT_TRUE(view_.statuses.empty());
    EXPECT_TRUE(view_.LogOf("gauge").empty());
}

TEST_F(VersionTest, FailedVersionReadGivesTheEmptyVersion) {
    Attach(Attach::kDisk);
    // A first query leaves "2206" behind in anything that is not cleared.
    form_.QueryVersion();
    scanner_.Inject(sim::Fault::DataFails().OnCommand(0x02, 0x01, 6).Always());
    view_.messages.clear();
    form_.QueryVersion();
    EXPECT_EQ(view_.messages, Strings{"The Verision:\r\n"});
    EXPECT_EQ(ReadFileText(ResultFile()), "[result]\r\nversion=\r\n");
}

TEST_F(VersionTest, ResultIsWrittenBeforeTheBoxAndTheServiceStartsAfterIt) {
    Attach(Attach::kStillImage);
    std::string fileAtMessage;
    std::size_t commandsAtMessage = 0;
    view_.onShowMessage = [&] {
        fileAtMessage = ReadFileText(ResultFile());
        commandsAtMessage = Commands().size();
    };
    form_.Button6Click();
    EXPECT_EQ(fileAtMessage, "[result]\r\nversion=2206\r\n");
    EXPECT_EQ(commandsAtMessage, 1u);  // the stop only
    EXPECT_EQ(Commands().size(), 2u);
    EXPECT_EQ(sys_.StdoutText(), "Connect to Device Success!\r\n");
    EXPECT_EQ(view_.scroll, 2);
}

TEST_F(VersionTest, CheckModeShowsNoBoxButWritesTheFile) {
    Attach(Attach::kStillImage);
    form_.CheckMode = true;
    form_.QueryVersion();
    EXPECT_TRUE(view_.messages.empty());
    EXPECT_EQ(ReadFileText(ResultFile()), "[result]\r\nversion=2206\r\n");
}

TEST_F(VersionTest, NoDeviceOrNoConnectionLeavesTheFileAlone) {
    WriteFileText(ResultFile(), "[result]\r\nversion=OLD\r\n");
    form_.QueryVersion();
    scanner_.Config().vendorId = 0x1234;
    Attach(Attach::kStillImage);
    form_.QueryVersion();
    EXPECT_EQ(view_.statuses, (Strings{"No Device is Existing.", "Connect to Device Failed!"}));
    EXPECT_TRUE(view_.messages.empty());
    EXPECT_EQ(ReadFileText(ResultFile()), "[result]\r\nversion=OLD\r\n");
    EXPECT_TRUE(sys_.StdoutText().empty());
}

TEST_F(VersionTest, UnwritableResultEndsTheQueryBeforeTheBox) {
    Attach(Attach::kStillImage);
    sys_.SetModuleFileName((ProgDir() / "gone" / "kelvane.exe").string());
    view_.scroll = 0;
    app::RunHandler(view_, [&] { form_.Button6Click(); });
    EXPECT_TRUE(view_.messages.empty());
    ASSERT_EQ(view_.errors.size(), 1u);
    EXPECT_EQ(view_.errors[0].rfind("Unable to write to ", 0), 0u);
    EXPECT_EQ(Commands(), (Strings{"net stop stisvc", "net start stisvc"}));
    EXPECT_EQ(view_.scroll, 0);  // not moved when the frame passes an error on
    EXPECT_EQ(view_.edit2, "2097152");
}

class CalibrationTest : public DeviceTest {};

TEST_F(CalibrationTest, ThreeCallsThenSuccess) {
    for (auto attach : {Attach::kStillImage, Attach::kDisk}) {
        Attach(attach);
        ClearWire();
        form_.SetCalibration();
        EXPECT_EQ(CallTexts(), (Strings{"get 5 16", "set 9 4 00000000", "get 6 16"}));
        EXPECT_EQ(view_.LastStatus(), "Set Calibration Success");
        io_.RemoveStillImage(0);
    }
    EXPECT_EQ(scanner_.Counters().calibrations, 2u);
    EXPECT_EQ(sys_.StdoutText(), "Connect to Device Success!\r\nConnect to Device Success!\r\n");
    EXPECT_TRUE(view_.LogOf("gauge").empty());
}

TEST_F(CalibrationTest, AFailedCallIsReported) {
    const struct {
        std::uint8_t cmd1;
        std::uint8_t selector;
        Strings calls;
    } cases[] = {
        {0x01, 5, {"get 5 16", "get 6 16"}},  // no calibration after a failed opening call
        {0x03, 9, {"get 5 16", "set 9 4", "get 6 16"}},
        {0x01, 6, {"get 5 16", "set 9 4 00000000", "get 6 16"}},
    };
    Attach(Attach::kStillImage);
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.selector));
        scanner_.ClearFaults();
        scanner_.Inject(sim::Fault::DataFails().OnCommand(0x02, c.cmd1, c.selector).Always());
        ClearWire();
        form_.SetCalibration();
        Strings calls = CallTexts();
        calls.erase(std::unique(calls.begin(), calls.end()), calls.end());
        EXPECT_EQ(calls, c.calls);
        EXPECT_EQ(view_.LastStatus(), "Set Calibration fail");
    }
}

TEST_F(CalibrationTest, NoDevice) {
    form_.Button5Click();
    EXPECT_EQ(view_.statuses, Strings{"No Device is Existing."});
    EXPECT_EQ(Commands(), (Strings{"net stop stisvc", "net start stisvc"}));
}

}  // namespace
}  // namespace apptest
