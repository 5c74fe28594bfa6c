// The unattended start-up modes with the simulated scanner attached.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/app/device_fixture.h"

namespace apptest {
namespace {

using Strings = std::vector<std::string>;

class StartupDeviceTest : public DeviceTest {};

TEST_F(StartupDeviceTest, CheckModeLeavesTheVersionAndEnds) {
    Attach(Attach::kStillImage);
    WriteFileText(ResultFile(), "[result]\r\nversion=OLD1\r\n[keep]\r\nk=v\r\n");
    form_.FormCreate("\"C:\\Program Files\\Kelvane\\kelvane.exe\" CHECKFW ignored");
    EXPECT_EQ(ReadFileText(ResultFile()), "[result]\r\nversion=2206\r\n[keep]\r\nk=v\r\n");
    EXPECT_TRUE(view_.messages.empty());
    EXPECT_TRUE(form_.CheckMode);
    EXPECT_EQ(Commands(), (Strings{"net stop stisvc", "net start stisvc"}));
    EXPECT_EQ(CallTexts(), (Strings{"get 5 16", "get 6 4", "get 6 16"}));
    EXPECT_EQ(view_.endRequests, 1);
}

TEST_F(StartupDeviceTest, AnyOtherFirstArgumentIsAnImageForAnUnattendedUpdate) {
    Attach(Attach::kStillImage);
    std::filesystem::create_directory("fw dir");
    const struct {
        const char* line;
        const char* file;  // what the update must read
    } cases[] = {
        {"kelvane.exe checkfw", "checkfw"},
        {"kelvane.exe \"fw dir/a b.bin\" CHECKFW", "fw dir/a b.bin"},
        {"kelvane.exe fw\" dir/a b\".bin", "fw dir/a b.bin"},
    };
    std::size_t size = 1000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const std::vector<std::uint8_t> image = MakeImage(c.file, ++size);
        view_.statuses.clear();
        form_.FormCreate(c.line);
        EXPECT_FALSE(form_.CheckMode);
        EXPECT_EQ(view_.LastStatus(), "Update FW Ok.");
        EXPECT_EQ(scanner_.ReadMemory(0x4000, static_cast<std::uint32_t>(size)), image);
    }
    EXPECT_FALSE(std::filesystem::exists(ResultFile()));
    EXPECT_EQ(view_.endRequests, 3);
    EXPECT_EQ(Commands().size(), 6u);
}

TEST_F(StartupDeviceTest, UnquotedPathWithASpaceIsCutAtTheSpace) {
    Attach(Attach::kStillImage);
    std::filesystem::create_directory("fw dir");
    MakeImage("fw dir/a.bin", 100);
    form_.FormCreate("kelvane.exe fw dir/a.bin");
    EXPECT_EQ(view_.statuses, Strings{"Open file fail."});
    EXPECT_EQ(view_.endRequests, 1);
}

}  // namespace
}  // namespace apptest
