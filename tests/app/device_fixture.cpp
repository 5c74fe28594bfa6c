#include "tests/app/device_fixture.h"

#include <cstdio>
#include <fstream>

#include "devlink/command_set.h"

namespace apptest {

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (std::uint8_t b : bytes) {
        char item[3];
        std::snprintf(item, sizeof item, "%02X", b);
        text += item;
    }
    return text;
}

std::string AppCall::Text() const {
    std::string text =
        (set ? "set " : "get ") + std::to_string(selector) + " " + std::to_string(length);
    if (set && length == 4 && !data.empty()) text += " " + Hex(data);
    return text;
}

void DeviceTest::SetUp() {
    AppTest::SetUp();
    platform::Install(&io_, &sys_);
}

void DeviceTest::TearDown() {
    AppTest::TearDown();
    EXPECT_EQ(io_.OpenHandleCount(), 0u);
    EXPECT_EQ(io_.CloseErrors(), 0u);
    EXPECT_EQ(io_.UnknownHandleCalls(), 0u);
}

void DeviceTest::Attach(apptest::Attach how) {
    if (how == Attach::kStillImage) {
        io_.AddStillImage(0, &scanner_.StillImage());
    } else {
        io_.AddDrive('C', platform::kDriveFixed);
        io_.AddDrive('E', platform::kDriveRemovable, &scanner_.Disk());
    }
}

std::vector<AppCall> DeviceTest::Calls() const {
    std::vector<AppCall> calls;
    for (const auto& c : scanner_.Log().Commands()) {
        if (!c.IsVendor() || c.CmdByte(0) != cmdset::kDataCommand) continue;
        if (c.CmdByte(1) != cmdset::kGetFirst && c.CmdByte(1) != cmdset::kSet) continue;
        AppCall call;
        call.set = c.CmdByte(1) == cmdset::kSet;
        call.selector = c.CmdByte(2);
        call.length = c.length;
        if (call.set) call.data = c.data;
        calls.push_back(std::move(call));
    }
    return calls;
}

std::vector<std::string> DeviceTest::CallTexts() const {
    std::vector<std::string> texts;
    for (const auto& call : Calls()) texts.push_back(call.Text());
    return texts;
}

std::vector<std::uint8_t> DeviceTest::MakeImage(const std::string& name, std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>((i * 7 + (i >> 8) + 1) & 0xFF);
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(size));
    return bytes;
}

std::string Address(std::uint32_t a) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", a);
    return text;
}

}  // namespace apptest
