// kelvane-cli end to end against the simulated scanner behind emulated devices: libusb and the
// Linux backend carry every exchange to the firmware model through usbfs, or through SG_IO on a
// block device, exactly as they would to real hardware.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/exit_status.h"
#include "cli/digest.h"
#include "cli/json_lines.h"
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

const PathCase kStillImagePath{"StillImage", {true, false, {}}, "USBSCAN0"};
const PathCase kDiskPath{"Disk", {false, true, {}}, "D:"};

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

// Standard error without the progress lines that a run without a terminal writes there.
std::string WithoutProgress(const std::string& err) {
    std::string kept;
    std::size_t at = 0;
    while (at < err.size()) {
        std::size_t end = err.find('\n', at);
        end = end == std::string::npos ? err.size() : end + 1;
        const std::string line = err.substr(at, end - at);
        if (line != "kelvane-cli: connecting\n" && line.find(" bytes)\n") == std::string::npos)
            kept += line;
        at = end;
    }
    return kept;
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
        fs::create_directories(work_);
        static int cases = 0;
        lockNamespace_ = "kv-e2e/" + std::to_string(getpid()) + "." + std::to_string(++cases) + "/";
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
    // Lock names of this case alone, apart from parallel cases and from a real Kelvane; short,
    // as an abstract socket address is.
    std::string LockDir() const { return lockNamespace_; }
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
    std::string lockNamespace_;
    std::unique_ptr<EmulatedScanner> scanner_;
};

TEST_P(CliOnEmulatedDevice, UpdatesReadsBackQueriesTheVersionAndCalibrates) {
    // Three still-image blocks and a rounded short one; on the disk path 4 KiB blocks.
    const std::vector<std::uint8_t> image = RandomBytes(3 * 65536 + 5000, 14);
    WriteFile(work_ / "image.bin", image);

    CliResult r = Run({"update", "image.bin"});
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_NE(r.out.find("Update FW Ok.\nVerify OK: the device's memory from 0x00004000 holds "
                         "the image's 201608 bytes.\n"),
              std::string::npos)
        << Describe(r);
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

// Two programs on one device at once: an update and version queries beside it. Each must finish
// its own job, and no data command may reach the device inside the other program's service.
// (Two jobs that both set the device's address, such as an update and a read-back, need more
// than the service: a lock around the whole job.)
TEST_P(CliOnEmulatedDevice, TwoProgramsShareTheDeviceWithoutMixingTheirServices) {
    const std::vector<std::uint8_t> image = RandomBytes(4 * 65536, 27);
    WriteFile(work_ / "image.bin", image);

    CliProcess update({"update", "image.bin"}, work_.string(), LockDir(), "update");
    CliProcess version1({"version"}, work_.string(), LockDir(), "version1");
    const CliResult versioned1 = version1.Wait();
    CliProcess version2({"version", "--result", "result2.ini"}, work_.string(), LockDir(),
                        "version2");
    const CliResult versioned2 = version2.Wait();
    const CliResult updated = update.Wait();

    EXPECT_EQ(updated.exitCode, 0) << Describe(updated);
    EXPECT_EQ(versioned1.exitCode, 0) << Describe(versioned1);
    EXPECT_NE(versioned1.out.find("2206\n"), std::string::npos) << Describe(versioned1);
    EXPECT_EQ(versioned2.exitCode, 0) << Describe(versioned2);
    EXPECT_EQ(Memory(kFirmwareBase, static_cast<std::uint32_t>(image.size())), image);
    EXPECT_EQ(Counters().lastFinishingValue, 1u);
    EXPECT_EQ(scanner_->MixedServices(), 0u);
    // Connections are told apart by umockdev's client record, which the second version query
    // may reuse once the first has ended; the update was connected beside both.
    EXPECT_GE(scanner_->Connections(), 2u);
}

// A program killed while it holds the service: the kernel frees its event's name at once, and the
// next program takes the service over (breaking the device-side lock the dead one left, after
// the protocol's wait for a stale lock).
TEST_P(CliOnEmulatedDevice, AKilledHoldersLockIsFreed) {
    const std::vector<std::uint8_t> image = RandomBytes(2u << 20, 31);
    WriteFile(work_ / "image.bin", image);
    // The disk's event is kept under its kernel name, whatever letter it has.
    const std::string event =
        GetParam().layout.stillImage ? "ZAMOUSB_EVENT_u" : "ZAMOUSB_EVENT_sdb";
    platform::linux_os::LinuxSystem probe(LockDir());
    const platform::Handle name = probe.OpenEvent(event.c_str());
    ASSERT_NE(name, nullptr);

    CliProcess holder({"update", "image.bin"}, work_.string(), LockDir(), "holder");
    // Wait (bounded) until the holder is inside a service with the device locked: seen as the
    // process its event's name is bound to.
    const std::string holderPid = "process " + std::to_string(holder.Pid()) + " ";
    bool held = false;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!held && std::chrono::steady_clock::now() < limit) {
        bool locked = false;
        scanner_->WithScanner([&](sim::Scanner& s) { locked = s.Model().LockedByHost(); });
        held = locked && probe.MutexOwner(name).rfind(holderPid, 0) == 0;
        if (!held) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(held) << "the holder never held the service";
    holder.Kill();

    EXPECT_EQ(probe.WaitForSingleObject(name, 0), platform::kWaitObject0)
        << "the dead holder's event is still held";
    probe.SetEvent(name);

    // The next program waits out the dead holder's device-side lock: about a thousand polls,
    // each an exchange with the device, which a loaded machine can stretch far. The bound is
    // only the limit at which the case fails.
    const CliResult r = RunCli({"version"}, work_.string(), LockDir(), std::chrono::seconds(480));
    EXPECT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_NE(r.out.find("2206\n"), std::string::npos) << Describe(r);
}

TEST_P(CliOnEmulatedDevice, AFrameLockHeldElsewhereEndsALimitedWaitWithStatus8) {
    // The scanner's frame lock is named after the identity that `list` prints (fourth column).
    const CliResult listed = Run({"list"});
    ASSERT_EQ(listed.exitCode, 0) << Describe(listed);
    std::vector<std::string> columns;
    for (std::size_t at = 0, tab = 0; tab != std::string::npos; at = tab + 1) {
        tab = listed.out.find_first_of("\t\n", at);
        columns.push_back(listed.out.substr(at, tab - at));
        if (tab != std::string::npos && listed.out[tab] == '\n') break;
    }
    ASSERT_EQ(columns.size(), 5u) << Describe(listed);
    EXPECT_EQ(columns[4], "free");
    platform::linux_os::LinuxSystem other(LockDir());
    const platform::Handle frame =
        other.CreateMutex(("Global\\Kelvane.CommandFrame." + columns[3]).c_str());
    ASSERT_EQ(other.WaitForSingleObject(frame, 0), platform::kWaitObject0);
    const CliResult busy = Run({"list"});
    EXPECT_NE(busy.out.find("\tin use by process " + std::to_string(getpid())), std::string::npos)
        << Describe(busy);
    const CliResult r = Run({"--lock-timeout", "1", "version"});
    EXPECT_EQ(r.exitCode, app::ToInt(app::ExitStatus::kLockUnavailable)) << Describe(r);
    EXPECT_NE(
        r.err.find("held the command frame lock for 1 s (process " + std::to_string(getpid())),
        std::string::npos)
        << Describe(r);
    EXPECT_EQ(r.out.find("Connect to Device"), std::string::npos) << Describe(r);
    EXPECT_TRUE(other.ReleaseMutex(frame));
}

// A device that lies: each case is a fault of the firmware model on one command of a job, and the
// job must end with a failure status and its failure text, never with success.
struct LieCase {
    const char* name;
    std::vector<std::string> args;
    sim::Fault fault;
    ExitStatus expected;
    bool stillImageOnly = false;
    bool diskOnly = false;
};

std::vector<LieCase> Lies() {
    using sim::Fault;
    constexpr std::uint8_t kData = 0x02, kSet = 0x03, kGetFirst = 0x01, kGetSecond = 0x02;
    return {
        {"BlockRefusedWithSense",
         {"update", "image.bin"},
         Fault::Status(1, 0x05, 0x24).OnCommand(kData, kSet, 5),
         ExitStatus::kDeviceFailed},
        {"BlockRefusedWithEmptySense",
         {"update", "image.bin"},
         Fault::Status(1, 0x00, 0x00).OnCommand(kData, kSet, 5),
         ExitStatus::kDeviceFailed},
        {"FinishingValueCutShort",
         {"update", "image.bin"},
         Fault::DataShort(2).OnCommand(kData, kSet, 6),
         ExitStatus::kDeviceFailed},
        {"MemoryReadRefused",
         {"read", "0x4000", "70000", "back.bin"},
         Fault::Status(1, 0x02, 0x04).OnCommand(kData, kGetFirst, 11),
         ExitStatus::kDeviceFailed},
        {"VersionWithStaleTag",
         {"version"},
         Fault::StaleTag().OnCommand(kData, kGetSecond, 6),
         ExitStatus::kDeviceFailed,
         true},
        {"VersionStatusWrapperLost",
         {"version"},
         Fault::CswReadFails().OnCommand(kData, kGetSecond, 6),
         ExitStatus::kDeviceFailed,
         true},
        {"CalibrationRefused",
         {"calibrate"},
         Fault::Status(1, 0x05, 0x24).OnCommand(kData, kSet, 9),
         ExitStatus::kDeviceFailed},
        {"CalibrationScsiBusy",
         {"calibrate"},
         Fault::ScsiStatus(0x08).OnCommand(kData, kSet, 9),
         ExitStatus::kDeviceFailed,
         false,
         true},
        {"VersionRequestFails",
         {"version"},
         Fault::IoctlFails().OnCommand(kData, kGetSecond, 6),
         ExitStatus::kDeviceFailed,
         false,
         true},
        {"DeviceVanishesDuringUpdate",
         {"update", "image.bin"},
         Fault::Vanish().OnCommand(kData, kSet, 5),
         ExitStatus::kDeviceFailed},
        // The device claims more than it did: a status wrapper cut before its status byte, a
        // residue or a short data phase under good status, a status wrapper where data were due.
        {"BlockRefusedStatusWrapperCut",
         {"update", "image.bin"},
         Fault::CswShortRefused(12).OnCommand(kData, kSet, 5),
         ExitStatus::kDeviceFailed,
         true},
        {"BlockHalfTakenWithResidue",
         {"update", "image.bin"},
         Fault::Residue(2048).OnCommand(kData, kSet, 5),
         ExitStatus::kDeviceFailed,
         true},
        {"BlockHalfTakenUnderGoodStatus",
         {"update", "image.bin"},
         Fault::DataShortPassed(2048).OnCommand(kData, kSet, 5),
         ExitStatus::kDeviceFailed,
         true},
        {"MemoryReadHalfDelivered",
         {"read", "0x4000", "70000", "back.bin"},
         Fault::DataShortPassed(32768).OnCommand(kData, kGetSecond, 11),
         ExitStatus::kDeviceFailed,
         true},
        {"MemoryReadAnsweredWithStatus",
         {"read", "0x4000", "70000", "back.bin"},
         Fault::CswForData().OnCommand(kData, kGetSecond, 11),
         ExitStatus::kDeviceFailed,
         true},
        {"DiskBlockHalfMoved",
         {"update", "image.bin"},
         Fault::TransferLengthShort(2048).OnCommand(kData, kSet, 5),
         ExitStatus::kDeviceFailed,
         false,
         true},
        {"DiskMemoryReadHalfMoved",
         {"read", "0x4000", "70000", "back.bin"},
         Fault::TransferLengthShort(32768).OnCommand(kData, kGetSecond, 11),
         ExitStatus::kDeviceFailed,
         false,
         true},
    };
}

TEST_P(CliOnEmulatedDevice, LiesGiveFailureStatuses) {
    WriteFile(work_ / "image.bin", RandomBytes(70000, 5));
    const bool stillImage = GetParam().layout.stillImage;
    int ran = 0;
    for (const LieCase& lie : Lies()) {
        if ((lie.stillImageOnly && !stillImage) || (lie.diskOnly && stillImage)) continue;
        SCOPED_TRACE(lie.name);
        ++ran;
        scanner_->WithScanner([&](sim::Scanner& s) {
            s.ClearFaults();
            s.Replug();
            s.Model().ReleaseLocks();
            s.Inject(lie.fault);
        });
        fs::remove(work_ / "back.bin");
        const CliResult r = Run(lie.args);
        EXPECT_EQ(r.exitCode, app::ToInt(lie.expected)) << Describe(r);
        EXPECT_EQ(r.out.find(" Ok."), std::string::npos) << Describe(r);
        EXPECT_FALSE(fs::exists(work_ / "back.bin"));
    }
    EXPECT_GE(ran, 10);
}

// The update is read back and compared with its image unless --no-verify says not to: a device
// that passes every block but keeps a byte wrong ends with status 9 and the byte named. A failed
// update says what it left on the device.
TEST_P(CliOnEmulatedDevice, VerifyFindsAWrongByteAndAFailedUpdateSaysWhatItLeft) {
    using sim::Fault;
    const std::vector<std::uint8_t> image = RandomBytes(65536 + 5000, 9);
    WriteFile(work_ / "image.bin", image);
    const bool stillImage = GetParam().layout.stillImage;
    // The second block's sixth byte: still-image blocks are 64 KiB, disk blocks 4 KiB.
    const std::uint32_t spoilt = kFirmwareBase + (stillImage ? 65536u : 4096u) + 5;
    char mismatch[256];
    std::snprintf(mismatch, sizeof mismatch,
                  "kelvane-cli: verify mismatch: the device's memory differs from the image at "
                  "0x%08X (expected 0x%02X, found 0x%02X); 1 byte differs, within 0x%08X-0x%08X\n",
                  spoilt, image[spoilt - kFirmwareBase],
                  static_cast<std::uint8_t>(~image[spoilt - kFirmwareBase]), spoilt, spoilt);
    const std::string blocks = stillImage ? "2" : "18";
    const struct {
        const char* name;
        std::vector<std::string> args;
        Fault fault;
        ExitStatus expected;
        std::string said;  // on standard error
    } cases[] = {
        {"mismatch",
         {"update", "image.bin"},
         Fault::WriteCorrupts(5).Skip(1),
         ExitStatus::kVerifyMismatch,
         mismatch},
        {"no verify",
         {"update", "--no-verify", "image.bin"},
         Fault::WriteCorrupts(5).Skip(1),
         ExitStatus::kOk,
         ""},
        {"opening refused",
         {"update", "image.bin"},
         Fault::Status(1, 0x05, 0x24).OnCommand(0x02, 0x01, 5),
         ExitStatus::kDeviceFailed,
         "kelvane-cli: Update FW fail.\nkelvane-cli: no block was sent: the device is "
         "unchanged\n"},
        {"second block refused",
         {"update", "image.bin"},
         Fault::Status(1, 0x05, 0x24).OnCommand(0x02, 0x03, 5).Skip(1),
         ExitStatus::kDeviceFailed,
         "kelvane-cli: Update FW fail.\nkelvane-cli: block 0 of " + blocks +
             " was accepted; block 1 failed: the device may hold a partial image; update "
             "again\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scanner_->WithScanner([&](sim::Scanner& s) {
            s.ClearFaults();
            s.Replug();
            s.Model().ReleaseLocks();
            s.Inject(c.fault);
        });
        const CliResult r = Run(c.args);
        EXPECT_EQ(r.exitCode, app::ToInt(c.expected)) << Describe(r);
        EXPECT_EQ(WithoutProgress(r.err), c.said) << Describe(r);
        if (c.expected == ExitStatus::kOk) {
            EXPECT_EQ(r.out.find("Verify OK"), std::string::npos) << Describe(r);
            // The device did keep the byte wrong: only a verify would have told.
            EXPECT_NE(Memory(spoilt, 1)[0], image[spoilt - kFirmwareBase]);
        }
    }
}

// With --json standard output holds JSON lines only, from a start line to a result line; the job
// log gets one line for the job, with the image's digest and the versions around the update.
TEST_P(CliOnEmulatedDevice, JsonLinesAndTheJobLogTellTheMismatch) {
    using json = nlohmann::ordered_json;
    const std::vector<std::uint8_t> image = RandomBytes(65536 + 5000, 31);
    WriteFile(work_ / "image.bin", image);
    scanner_->WithScanner([&](sim::Scanner& s) { s.Inject(sim::Fault::WriteCorrupts(5).Skip(1)); });
    const CliResult r = Run({"--json", "--log", "job.log", "update", "image.bin"});
    EXPECT_EQ(r.exitCode, app::ToInt(ExitStatus::kVerifyMismatch)) << Describe(r);
    std::vector<json> lines;
    std::istringstream out(r.out);
    for (std::string line; std::getline(out, line);) lines.push_back(json::parse(line));
    ASSERT_GE(lines.size(), 3u) << Describe(r);
    EXPECT_EQ(lines.front()["type"], "start");
    EXPECT_EQ(lines.front()["version"], cli::kSchemaVersion);
    std::set<std::string> phases;
    for (const json& line : lines)
        if (line["type"] == "progress") phases.insert(line["phase"].get<std::string>());
    EXPECT_EQ(phases, (std::set<std::string>{"connecting", "writing", "verifying"}));
    const json& result = lines.back();
    EXPECT_EQ(result["type"], "result");
    EXPECT_EQ(result["status"], 9);
    EXPECT_EQ(result["outcome"]["verify"]["differing"], 1);
    EXPECT_EQ(result["outcome"]["version_before"], "2206");
    EXPECT_EQ(r.err, "") << Describe(r);

    std::ifstream log(work_ / "job.log");
    std::string only;
    ASSERT_TRUE(std::getline(log, only));
    const json record = json::parse(only);
    EXPECT_EQ(record["status"], 9);
    EXPECT_EQ(record["command"], "update");
    EXPECT_EQ(record["image"]["size"], image.size());
    EXPECT_EQ(record["image"]["sha256"], *cli::Sha256Hex(image.data(), image.size()));
    EXPECT_EQ(record["version_before"], "2206");
    EXPECT_EQ(record["version_after"], "2206");
    EXPECT_EQ(record["device"]["presentation"],
              GetParam().layout.stillImage ? "still-image" : "disk");
    std::string more;
    EXPECT_FALSE(std::getline(log, more));
}

// A kernel driver bound to the still-image interface is taken off for the program's work and
// bound again when the program lets the device go; without one, nothing is detached.
TEST_P(CliOnEmulatedDevice, ABoundKernelDriverIsGivenBackAfterwards) {
    if (!GetParam().layout.stillImage) GTEST_SKIP() << "still-image interfaces only";
    CliResult r = Run({"version"});
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    EXPECT_EQ(scanner_->Driver().detaches, 0u);
    EXPECT_EQ(scanner_->Driver().attaches, 0u);

    EmulatedLayout layout = GetParam().layout;
    layout.boundDriver = "usb-storage";
    scanner_.reset();
    scanner_ = std::make_unique<EmulatedScanner>(sim::ModelConfig{}, kMemorySize, layout);
    r = Run({"calibrate"});
    ASSERT_EQ(r.exitCode, 0) << Describe(r);
    const DriverEvents driver = scanner_->Driver();
    EXPECT_GE(driver.detaches, 1u);
    EXPECT_EQ(driver.attaches, driver.detaches);
    EXPECT_TRUE(driver.bound);
}

// Files the job cannot have: each gives its own status, and nothing is left behind.
TEST_P(CliOnEmulatedDevice, FilesThatCannotBeHadGiveTheirStatuses) {
    fs::create_directories(work_ / "a-folder");
    WriteFile(work_ / "empty.bin", {});
    WriteFile(work_ / "image.bin", RandomBytes(5000, 3));
    // What another user could plant at a job log's name: a link (never followed) and a FIFO
    // (never waited on).
    fs::create_symlink(work_ / "target.log", work_ / "link.log");
    ASSERT_EQ(::mkfifo((work_ / "fifo.log").c_str(), 0666), 0);
    const struct {
        const char* name;
        std::vector<std::string> args;
        ExitStatus expected;
    } cases[] = {
        {"image missing", {"update", "missing.bin"}, ExitStatus::kBadImage},
        {"image empty", {"update", "empty.bin"}, ExitStatus::kBadImage},
        {"image a folder", {"update", "a-folder"}, ExitStatus::kBadImage},
        {"read-back into a folder", {"read", "0", "16", "a-folder"}, ExitStatus::kOutputFile},
        {"read-back into a missing folder",
         {"read", "0", "16", "none/x.bin"},
         ExitStatus::kOutputFile},
        {"result into a folder", {"version", "--result", "a-folder"}, ExitStatus::kResultFile},
        {"job log a folder", {"--log", "a-folder", "update", "image.bin"}, ExitStatus::kOutputFile},
        {"job log a planted link",
         {"--log", "link.log", "update", "image.bin"},
         ExitStatus::kOutputFile},
        {"job log a FIFO", {"--log", "fifo.log", "update", "image.bin"}, ExitStatus::kOutputFile},
        {"backup into a folder",
         {"update", "--backup", "a-folder", "image.bin"},
         ExitStatus::kOutputFile},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const CliResult r = Run(c.args);
        EXPECT_EQ(r.exitCode, app::ToInt(c.expected)) << Describe(r);
    }
    EXPECT_EQ(Counters().firmwareBlocks, 0u);
    EXPECT_FALSE(fs::exists(work_ / "none"));
    EXPECT_FALSE(fs::exists(work_ / "target.log"));
    EXPECT_TRUE(fs::is_directory(work_ / "a-folder"));
    EXPECT_TRUE(fs::is_empty(work_ / "a-folder"));
}

// A range whose end lies past 0xFFFFFFFF would wrap to address 0: refused as the command line's
// fault before the device is asked anything.
TEST_P(CliOnEmulatedDevice, ARangePastTheAddressSpaceIsRefusedBeforeAnyDeviceWork) {
    const CliResult r = Run({"read", "0xFFFF0000", "0x20000"});
    EXPECT_EQ(r.exitCode, app::ToInt(ExitStatus::kUsage)) << Describe(r);
    EXPECT_NE(r.err.find("'0x20000' is not a valid length."), std::string::npos) << Describe(r);
    const sim::ModelCounters counters = Counters();
    EXPECT_EQ(counters.commands, 0u);
    EXPECT_EQ(counters.tagQueries, 0u);
    EXPECT_FALSE(fs::exists(work_ / "flash.bin"));
}

// Devices that are not what they claim: no device to work with.
TEST_P(CliOnEmulatedDevice, AnUnknownVendorOrTagIsNoDevice) {
    sim::ModelConfig config;
    config.vendorId = 0x1234;
    std::memcpy(config.tag, "ZAMX", 4);
    scanner_.reset();
    scanner_ = std::make_unique<EmulatedScanner>(config, kMemorySize, GetParam().layout);
    const CliResult r = Run({"version"});
    EXPECT_EQ(r.exitCode, app::ToInt(ExitStatus::kNoDevice)) << Describe(r);
}

INSTANTIATE_TEST_SUITE_P(Paths, CliOnEmulatedDevice, ::testing::Values(kStillImagePath, kDiskPath),
                         [](const auto& info) { return std::string(info.param.name); });

// Words the program cannot work with, and a machine without a scanner.
struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    ExitStatus expected;
};

class CliWithoutDevice : public ::testing::TestWithParam<UsageCase> {};

TEST_P(CliWithoutDevice, EndsWithItsStatus) {
    const fs::path work =
        fs::temp_directory_path() / ("kv-linux-e2e-usage-" + std::to_string(getpid()));
    fs::create_directories(work / "locks");
    WriteFile(work / "image.bin", RandomBytes(100, 1));
    EmulatedScanner none(sim::ModelConfig{}, 0, EmulatedLayout{false, false, {}});
    const CliResult r = RunCli(GetParam().args, work.string(), (work / "locks").string());
    EXPECT_EQ(r.exitCode, app::ToInt(GetParam().expected)) << Describe(r);
    EXPECT_FALSE(fs::exists(work / "flash.bin"));
    fs::remove_all(work);
}

INSTANTIATE_TEST_SUITE_P(
    Words, CliWithoutDevice,
    ::testing::Values(
        UsageCase{"NoCommand", {}, ExitStatus::kUsage},
        UsageCase{"UnknownCommand", {"erase"}, ExitStatus::kUsage},
        UsageCase{"ReadWithoutLength", {"read", "0"}, ExitStatus::kUsage},
        UsageCase{"AddressNoNumber", {"read", "0x4g", "16"}, ExitStatus::kUsage},
        UsageCase{"NegativeLength", {"read", "0", "-5"}, ExitStatus::kUsage},
        UsageCase{"DeviceNoName", {"--device", "USB0", "version"}, ExitStatus::kUsage},
        UsageCase{"NoScanner", {"version"}, ExitStatus::kNoDevice},
        UsageCase{"NoScannerToRead", {"read", "0", "16"}, ExitStatus::kNoDevice},
        UsageCase{"NoScannerToList", {"list"}, ExitStatus::kNoDevice},
        UsageCase{
            "ChosenDeviceMissing", {"--device", "USBSCAN3", "calibrate"}, ExitStatus::kNoDevice},
        UsageCase{"ImageMissing", {"update", "missing.bin"}, ExitStatus::kNoDevice}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace linuxe2e
