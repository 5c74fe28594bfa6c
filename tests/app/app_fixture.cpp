#include "tests/app/app_fixture.h"

#include <random>
#include <string>

#include "devlink/zamo_usb.h"

namespace apptest {

std::string ReadFileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

void AppTest::SetUp() {
    previousDir_ = std::filesystem::current_path();
    // A folder of our own under the temporary folder (portable: the suite also runs as a Windows
    // program).
    std::random_device seed;
    for (int attempt = 0; attempt < 100 && root_.empty(); ++attempt) {
        const auto candidate =
            std::filesystem::temp_directory_path() / ("kvapp-" + std::to_string(seed()));
        if (std::filesystem::create_directory(candidate)) root_ = candidate;
    }
    ASSERT_FALSE(root_.empty());
    progDir_ = root_ / "prog";
    workDir_ = root_ / "work";
    std::filesystem::create_directories(progDir_);
    std::filesystem::create_directories(workDir_);
    std::filesystem::current_path(workDir_);
    sys_.SetModuleFileName((progDir_ / "kelvane.exe").string());
    platform::Install(nullptr, &sys_);
}

void AppTest::TearDown() {
    ResetDeviceTable();
    // Every process, thread and event handle was closed, and none twice.
    EXPECT_EQ(sys_.OpenHandleCount(), 0u);
    EXPECT_EQ(sys_.CloseErrors(), 0u);
    platform::Install(nullptr, nullptr);
    std::error_code ec;
    if (!previousDir_.empty()) std::filesystem::current_path(previousDir_, ec);
    if (!root_.empty()) std::filesystem::remove_all(root_, ec);
}

}  // namespace apptest
