// kelvane-cli end to end against the simulated scanner behind emulated devices: libusb and the
// Linux backend carry every exchange to the firmware model through usbfs, or through SG_IO on a
// block device, exactly as they would to real hardware.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/exit_status.h"
#include "platform/linux/linux_system.h"
#include "platform/platform.h"
#include "sim/fault_plan.h"
#include "tests/linux/cli_process.h"
#include "tests/linux/emulated_scanner.h"

namespace linuxe2e {
namespace {

namespace fs = std::filesystem;
using app::ExitStatus;

constexpr std::uint32_t kMemorySize = 8u << 20;
constexpr std::uint32_t kFirmwareBase = 0x4000;

struct PathCase {
    const char* name;
    EmulatedLayout layout;
    const char* device;  // as --device takes it
};

const PathCase kStillImagePath{"StillImage", {true, false}, "USBSCAN0"};
const PathCase kDiskPath{"Disk", {false, true}, "D:"};

std::vector<std::uint8_t> RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<std::uint8_t> bytes(n);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(gen());
    return bytes;
}

void WriteFile(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Describe(const CliResult& r) {
    return "exit " + std::to_string(r.exitCode) + (r.ended ? "" : " (killed at the bound)") +
           "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

class CliOnEmulatedDevice : public ::testing::TestWithParam<PathCase> {
  protected:
    void SetUp() override {
        // The scanner's busy times run on this process's real clock.
        platform::Install(nullptr, &system_);
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "." + info->name();
        for (char& c : name) {
            if (c == '/') c = '_';
        }
        work_ = fs::temp_directory_path() / ("kv-linux-e2e-" + std::to_string(getpid())) / name;
        fs::remove_all(work_);
        fs::create_directories(work_ / "locks");
        sim::ModelConfig config;
        config.workMs = 2;
        scanner_ = std::make_unique<EmulatedScanner>(config, kMemorySize, GetParam().layout);
    }

    void TearDown() override {
        scanner_.reset();
        platform::Install(nullptr, nullptr);
        if (!HasFailure()) fs::remove_all(work_);
    }

    CliResult Run(std::vector<std::string> args) { return RunCli(args, work_.string(), LockDir()); }
    std::string LockDir() const { return (work_ / "locks").string(); }
    std::vector<std::uint8_t> Memory(std::uint32_t address, std::uint32_t count) {
        std::vector<std::uint8_t> bytes;
        scanner_->WithScanner([&](sim::Scanner& s) { bytes = s.ReadMemory(address, count); });
        return bytes;
    }
    sim::ModelCounters Counters() {
        sim::ModelCounters c;
        scanner_->WithScanner([&](sim::Scanner& s) { c = s.Counters(); });
        return c;
    }
    void Inject(const sim::Fault& fault) {
        scanner_->WithScanner([&](sim::Scanner& s) { s.Inject(fault); });
    }

    platform::linux_os::LinuxSystem system_;
    fs::path work_;
    std::unique_ptr<EmulatedScanner> scanner_;
};

TEST_P(CliOnEmulatedDevice, UpdatesReadsBackQueriesTheVersionAndCalibrates) {
    // Three still-image blocks and a rounded short one; on the disk path 4 KiB blocks.
    const std::vector<std::uint8_t> image = RandomBytes(3 * 65536 + 5000, 14);
    WriteFile(work_ / "image.bin", image);

    CliResult r = Run({"update", "image.bin"});
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_NE(r.out.find("Update FW Ok."), std::string::npos) << Describe(r);
    EXPECT_EQ(Memory(kFirmwareBase, static_cast<std::uint32_t>(image.size())), image);
    EXPECT_EQ(Counters().lastFinishingValue, 1u);

    r = Run({"read", "0x4000", std::to_string(image.size()), "back.bin"});
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_EQ(ReadFile(work_ / "back.bin"), image);

    r = Run({"version"});
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_NE(r.out.find("2206\n"), std::string::npos) << Describe(r);

    r = Run({"version", "--result", "result2.ini"});
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    const std::vector<std::uint8_t> ini = ReadFile(work_ / "result2.ini");
    EXPECT_EQ(std::string(ini.begin(), ini.end()), "[result]\r\nversion=2206\r\n");

    r = Run({"calibrate"});
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_EQ(Counters().calibrations, 1u);

    r = Run({"--device", GetParam().device, "version"});
    EXPECT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_EQ(scanner_->UnknownRequests(), 0u);
}

TEST_P(CliOnEmulatedDevice, ListsTheDeviceWithItsPath) {
    const CliResult r = Run({"list"});
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    if (GetParam().layout.stillImage) {
        EXPECT_NE(r.out.find("\\\\.\\USBSCAN0\tusb 001:002\tstill-image 04F9:2022"),
                  std::string::npos)
            << Describe(r);
    } else {
        EXPECT_NE(r.out.find("\\\\.\\D:\t/dev/sdb\tdisk"), std::string::npos) << Describe(r);
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, CliOnEmulatedDevice, ::testing::Values(kStillImagePath, kDiskPath),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace linuxe2e
