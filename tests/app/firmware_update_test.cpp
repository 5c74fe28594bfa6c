// The firmware update against the simulated scanner on both paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim/fault_plan.h"
#include "tests/app/device_fixture.h"

namespace apptest {
namespace {

class FirmwareUpdateTest : public DeviceTest {};

struct Block {
    std::uint32_t address;
    std::uint32_t length;
};

struct LayoutCase {
    const char* name;
    apptest::Attach attach;
    std::uint32_t size;
    std::vector<Block> blocks;  // empty: 4096-byte disk blocks, the last one exact
};

void PrintTo(const LayoutCase& c, std::ostream* os) {
    *os << c.name;
}

class FirmwareLayoutTest : public DeviceTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(FirmwareLayoutTest, SendsTheImageInBlocksFromAddress4000) {
    const LayoutCase& c = GetParam();
    Attach(c.attach);
    std::vector<Block> blocks = c.blocks;
    for (std::uint32_t off = 0; c.blocks.empty() && off < c.size; off += 4096)
        blocks.push_back({0x4000 + off, std::min<std::uint32_t>(4096, c.size - off)});
    const std::vector<std::uint8_t> image = MakeImage("fw.bin", c.size);

    form_.UpdateFirmware("fw.bin");

    Strings expected = {"get 5 16"};
    for (const auto& b : blocks) {
        expected.push_back("set 4 4 " + Address(b.address));
        expected.push_back("set 5 " + std::to_string(b.length));
    }
    expected.push_back("set 6 4 00000001");
    expected.push_back("get 6 16");
    EXPECT_EQ(CallTexts(), expected);

    // Blocks carry the image unchanged, padded with zeros up to their length.
    std::vector<std::uint8_t> sent;
    for (const auto& call : Calls())
        if (call.set && call.selector == 5)
            sent.insert(sent.end(), call.data.begin(), call.data.end());
    std::vector<std::uint8_t> padded = image;
    padded.resize(sent.size(), 0);
    EXPECT_EQ(sent, padded);
    EXPECT_EQ(scanner_.ReadMemory(0x4000, c.size), image);

    EXPECT_EQ(view_.LastStatus(), "Update FW Ok.");
    EXPECT_EQ(view_.LogOf("status:Update FW Start...").size(), blocks.size());
    EXPECT_EQ(view_.LogOf("status:Update FW Data...").size(), blocks.size());
    EXPECT_EQ(sys_.StdoutText(), "Connect to Device Success!\r\n");
    // Full just before it is hidden, also after a rounded last block.
    ASSERT_GE(view_.progressHistory.size(), 2u);
    EXPECT_EQ(view_.progressHistory[view_.progressHistory.size() - 2], c.size);
    EXPECT_EQ(view_.gaugeMax, c.size);
    EXPECT_EQ(view_.gaugeProgress, 0);
    EXPECT_FALSE(view_.gaugeVisible);
}

INSTANTIATE_TEST_SUITE_P(
    Images, FirmwareLayoutTest,
    ::testing::Values(
        LayoutCase{"Still100", Attach::kStillImage, 100, {{0x4000, 4096}}},
        LayoutCase{"Still4096", Attach::kStillImage, 4096, {{0x4000, 4096}}},
        LayoutCase{"Still65537", Attach::kStillImage, 65537, {{0x4000, 65536}, {0x14000, 4096}}},
        LayoutCase{"Still69633", Attach::kStillImage, 69633, {{0x4000, 65536}, {0x14000, 8192}}},
        LayoutCase{"Still131072", Attach::kStillImage, 131072, {{0x4000, 65536}, {0x14000, 65536}}},
        LayoutCase{"Disk100", Attach::kDisk, 100, {{0x4000, 100}}},
        LayoutCase{"Disk65537", Attach::kDisk, 65537, {}},
        LayoutCase{"Disk131072", Attach::kDisk, 131072, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FirmwareUpdateTest, EndsWithoutADevice) {
    MakeImage("fw.bin", 100);
    form_.UpdateFirmware("fw.bin");
    EXPECT_EQ(view_.statuses, Strings{"No Device is Existing."});
    EXPECT_TRUE(sys_.StdoutText().empty());
    EXPECT_TRUE(view_.LogOf("gauge").empty());
}

TEST_F(FirmwareUpdateTest, ConnectionRefusedForAForeignVendor) {
    scanner_.Config().vendorId = 0x1234;
    Attach(Attach::kStillImage);
    MakeImage("fw.bin", 100);
    form_.UpdateFirmware("fw.bin");
    EXPECT_EQ(view_.statuses, Strings{"Connect to Device Failed!"});
    EXPECT_TRUE(Calls().empty());
    EXPECT_TRUE(sys_.StdoutText().empty());
}

TEST_F(FirmwareUpdateTest, UnusableImageFilesSendOnlyTheClosingExchange) {
    Attach(Attach::kStillImage);
    MakeImage("empty.bin", 0);
    // Longer than the 254 characters the path may hold: never cut into another file's name.
    const std::string longDir(200, 'd');
    std::error_code ec;
    std::filesystem::create_directories(longDir, ec);
    const std::string longPath = longDir + "/" + std::string(54, 'f');  // 255 characters
    MakeImage(longPath.substr(0, 254), 100);
    MakeImage(longPath, 100);
    std::filesystem::create_directory("folder.bin");

    const struct {
        std::string path;
        const char* status;
    } cases[] = {
        {"missing.bin", "Open file fail."}, {"", "Open file fail."},
        {longPath, "Open file fail."},      {"empty.bin", "Image file is empty."},
        {"folder.bin", "Open file fail."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        ClearWire();
        view_.statuses.clear();
        form_.UpdateFirmware(c.path.c_str());
        EXPECT_EQ(view_.statuses, Strings{c.status});
        EXPECT_EQ(CallTexts(), Strings{"get 6 16"});
    }
    form_.UpdateFirmware(nullptr);
    EXPECT_EQ(view_.LastStatus(), "Open file fail.");
    EXPECT_FALSE(view_.gaugeVisible);
}

// An image that another program changes while it loads would go out torn.
TEST_F(FirmwareUpdateTest, AnImageThatChangesWhileItLoadsIsRefused) {
    Attach(Attach::kStillImage);
    const struct {
        const char* name;
        void (*change)(const std::string& path);
    } cases[] = {
        {"grows",
         [](const std::string& path) {
             std::ofstream(path, std::ios::binary | std::ios::app) << "MORE";
         }},
        {"rewritten in place",
         [](const std::string& path) {
             const auto written = std::filesystem::last_write_time(path);
             std::fstream(path, std::ios::binary | std::ios::in | std::ios::out) << "XXXX";
             std::filesystem::last_write_time(path, written + std::chrono::hours(1));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MakeImage("fw.bin", 70000);
        sim::SimSystem::FileFaults faults;
        faults.afterRead = c.change;
        sys_.SetFileFaults(faults);
        ClearWire();
        view_.statuses.clear();
        form_.UpdateFirmware("fw.bin");
        sys_.SetFileFaults({});
        EXPECT_EQ(view_.statuses, Strings{"Open file fail."});
        EXPECT_EQ(CallTexts(), Strings{"get 6 16"});
    }
}

TEST_F(FirmwareUpdateTest, ReadOnlyImageIsSentAndLeftAsItWas) {
    Attach(Attach::kDisk);
    const std::vector<std::uint8_t> image = MakeImage("fw.bin", 5000);
    std::filesystem::permissions("fw.bin", std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::remove);
    form_.UpdateFirmware("fw.bin");
    EXPECT_EQ(view_.LastStatus(), "Update FW Ok.");
    EXPECT_EQ(scanner_.ReadMemory(0x4000, 5000), image);
    const std::string kept = ReadFileText("fw.bin");
    EXPECT_EQ(std::vector<std::uint8_t>(kept.begin(), kept.end()), image);
    std::filesystem::permissions("fw.bin", std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
}

#ifndef _WIN32
TEST_F(FirmwareUpdateTest, ImageOfTwoGibibytesIsRefused) {
    Attach(Attach::kStillImage);
    MakeImage("huge.bin", 0);
    std::filesystem::resize_file("huge.bin", std::uintmax_t{1} << 31);  // sparse
    form_.UpdateFirmware("huge.bin");
    EXPECT_EQ(view_.statuses, Strings{"Image file too large."});
    EXPECT_EQ(CallTexts(), Strings{"get 6 16"});
}
#endif

struct FailureCase {
    const char* name;
    std::uint8_t cmd1;
    std::uint8_t selector;
    Strings calls;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class FirmwareFailureTest : public DeviceTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FirmwareFailureTest, StopsAtTheFirstFailedCallAndStillCloses) {
    const FailureCase& c = GetParam();
    Attach(Attach::kStillImage);
    MakeImage("fw.bin", 131072);
    scanner_.Inject(sim::Fault::DataFails().OnCommand(0x02, c.cmd1, c.selector).Always());
    form_.UpdateFirmware("fw.bin");
    // A call the link retries shows up more than once on the wire; what matters is what follows.
    Strings calls = CallTexts();
    calls.erase(std::unique(calls.begin(), calls.end()), calls.end());
    EXPECT_EQ(calls, c.calls);
    EXPECT_EQ(view_.LastStatus(), "Update FW fail.");
    EXPECT_TRUE(view_.LogOf("status:Update FW Ok.").empty());
    EXPECT_FALSE(view_.gaugeVisible);
    EXPECT_EQ(view_.gaugeProgress, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, FirmwareFailureTest,
    ::testing::Values(
        FailureCase{"Opening", 0x01, 5, {"get 5 16", "get 6 16"}},
        FailureCase{"Address", 0x03, 4, {"get 5 16", "set 4 4", "get 6 16"}},
        FailureCase{"Data", 0x03, 5, {"get 5 16", "set 4 4 00004000", "set 5 65536", "get 6 16"}},
        FailureCase{"Finishing",
                    0x03,
                    6,
                    {"get 5 16", "set 4 4 00004000", "set 5 65536", "set 4 4 00014000",
                     "set 5 65536", "set 6 4", "get 6 16"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace apptest
