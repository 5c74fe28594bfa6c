#include "tests/sweep/sweep_job.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "devlink/bot.h"
#include "devlink/zamo_usb.h"

namespace sweep {
namespace {

constexpr const char* kImageName = "fw.bin";
constexpr const char* kDumpName = "flash.bin";
constexpr std::uint32_t kFirmwareBase = 0x4000;
constexpr std::uint32_t kMemorySize = 256u << 10;  // room for either job's range

std::vector<std::uint8_t> ImageBytes(std::uint32_t size, int variant) {
    std::vector<std::uint8_t> bytes(size);
    for (std::uint32_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>((i * 7 + (i >> 8) + 1 + variant * 31) & 0xFF);
    return bytes;
}

std::optional<std::vector<std::uint8_t>> FileBytes(const char* name) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(name, ec);
    if (ec) return std::nullopt;
    std::ifstream in(name, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
    if (in.gcount() != static_cast<std::streamsize>(size)) return std::nullopt;
    return bytes;
}

void WriteBytes(const char* name, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

const char* JobName(Job job) {
    return job == Job::kFirmwareUpdate ? "FirmwareUpdate" : "ReadBack";
}

const char* PathName(Path path) {
    return path == Path::kStillImage ? "StillImage" : "Disk";
}

// --- CuttableWire ----------------------------------------------------------------------------

bool CuttableWire::Pass() {
    const bool cut = Cut();
    ++calls_;
    return !cut;
}

bool CuttableWire::Ioctl(std::uint32_t code, void* in, std::uint32_t inLen, void* out,
                         std::uint32_t outLen, std::uint32_t* returned) {
    *returned = 0;
    return Pass() && inner_.Ioctl(code, in, inLen, out, outLen, returned);
}

bool CuttableWire::Read(void* buf, std::uint32_t len, std::uint32_t* done) {
    *done = 0;
    return Pass() && inner_.Read(buf, len, done);
}

bool CuttableWire::Write(const void* buf, std::uint32_t len, std::uint32_t* done) {
    *done = 0;
    return Pass() && inner_.Write(buf, len, done);
}

// --- JobRunner -------------------------------------------------------------------------------

JobRunner::JobRunner(Job job, Path path, bool shortJob) : job_(job), path_(path), short_(shortJob) {
    // The link's process-wide state starts afresh, so every case numbers its exchanges alike.
    std::memset(&g_BOTState, 0, sizeof g_BOTState);
    ResetDeviceTable();
    sim::ModelConfig config;
    config.workMs = kWorkMs;
    scanner_ = &world_.AddScanner(config, kMemorySize);
    world_.sys.CaptureDebugOutput(false);
    if (path == Path::kStillImage) {
        wire_ = std::make_unique<CuttableWire>(scanner_->StillImage());
        world_.io.AddStillImage(0, wire_.get());
    } else {
        wire_ = std::make_unique<CuttableWire>(scanner_->Disk());
        world_.io.AddDrive('C', platform::kDriveFixed);
        world_.io.AddDrive('E', platform::kDriveRemovable, wire_.get());
    }
}

JobRunner::~JobRunner() {
    ResetDeviceTable();
}

std::uint32_t JobRunner::ImageSize() const {
    if (short_) return kShortJobBytes;
    return path_ == Path::kStillImage ? kStillImageImageSize : kDiskImageSize;
}

std::uint32_t JobRunner::ReadLength() const {
    return short_ ? kShortJobBytes : kReadLength;
}

std::string JobRunner::EventName() const {
    return sim::World::ServiceEventName(path_ == Path::kStillImage ? 'u' : 'E');
}

void JobRunner::Replug() {
    wire_->Restore();
    scanner_->ClearFaults();
    scanner_->Replug();
    if (path_ != Path::kStillImage) return;
    // A device plugged in again starts with no exchange under way (the bus reset ends it). The
    // simulated scanner has no reset of its own, so it is walked back to its command phase
    // through its pipes: a pending data-out phase gets one byte, which the device refuses as too
    // short, so nothing is written.
    sim::SimDeviceFile& pipes = scanner_->StillImage();
    std::uint8_t scratch[16] = {};
    std::uint32_t done = 0;
    for (int step = 0; step < 3; ++step) {
        switch (scanner_->Bot().CurrentPhase()) {
            case sim::BotDevice::Phase::kCommand:
                return;
            case sim::BotDevice::Phase::kDataOut:
                pipes.Write(scratch, 1, &done);
                break;
            case sim::BotDevice::Phase::kDataIn:
                pipes.Read(scratch, 1, &done);
                break;
            case sim::BotDevice::Phase::kStatus:
                pipes.Read(scratch, sizeof scratch, &done);
                break;
        }
    }
}

std::size_t JobRunner::VendorExchangesLogged() const {
    const auto& commands = scanner_->Log().Commands();
    return static_cast<std::size_t>(std::count_if(commands.begin(), commands.end(),
                                                  [](const auto& c) { return c.IsVendor(); }));
}

void JobRunner::CheckHandles() {
    ResetDeviceTable();
    EXPECT_EQ(world_.io.OpenHandleCount(), 0u);
    EXPECT_EQ(world_.io.CloseErrors(), 0u);
    EXPECT_EQ(world_.io.UnknownHandleCalls(), 0u);
    EXPECT_EQ(world_.sys.OpenHandleCount(), 0u);
    EXPECT_EQ(world_.sys.CloseErrors(), 0u);
    EXPECT_EQ(world_.sys.DeadlockedWaits(), 0u);
}

Outcome JobRunner::Run(int variant) {
    Outcome outcome;
    view_.statuses.clear();
    const std::uint64_t t0 = world_.sys.Now();

    if (job_ == Job::kFirmwareUpdate) {
        const std::uint32_t size = ImageSize();
        const std::vector<std::uint8_t> image = ImageBytes(size, variant);
        WriteBytes(kImageName, image);
        const std::uint32_t finishingBefore = scanner_->Counters().finishingValues;

        form_.UpdateFirmware(kImageName);

        outcome.reportedSuccess = std::find(view_.statuses.begin(), view_.statuses.end(),
                                            "Update FW Ok.") != view_.statuses.end();
        // Reading the memory back is the costly part of a case, and only a claimed success
        // needs it.
        outcome.jobDone = outcome.reportedSuccess &&
                          scanner_->Counters().finishingValues > finishingBefore &&
                          scanner_->Counters().lastFinishingValue == 1 &&
                          scanner_->ReadMemory(kFirmwareBase, size) == image;
        outcome.dumpUnchanged = true;
    } else {
        // Half the runs find an older dump in place, half find none.
        const bool olderDump = variant % 2 == 1;
        const std::vector<std::uint8_t> older = {'O', 'L', 'D', ' ', 'D', 'U', 'M', 'P'};
        std::filesystem::remove(kDumpName);
        if (olderDump) WriteBytes(kDumpName, older);
        view_.edit1 = std::to_string(kReadStart);
        view_.edit2 = std::to_string(ReadLength());

        form_.ReadFlash();

        outcome.reportedSuccess = std::find(view_.statuses.begin(), view_.statuses.end(),
                                            "Upload OK!") != view_.statuses.end();
        const std::optional<std::vector<std::uint8_t>> dump = FileBytes(kDumpName);
        // Nothing a read-back sends writes the memory, so the range is read from the device
        // once per runner.
        if (!expectedDump_) expectedDump_ = scanner_->ReadMemory(kReadStart, ReadLength());
        outcome.jobDone = dump && *dump == *expectedDump_;
        outcome.dumpUnchanged = olderDump ? (dump && *dump == older) : !dump.has_value();
    }

    outcome.statuses = view_.statuses;
    outcome.elapsedMs = world_.sys.Now() - t0;
    const std::string event = EventName();
    outcome.eventLeftSignalled = !world_.sys.EventExists(event) || world_.sys.EventSignalled(event);
    outcome.lockLeftHeld = scanner_->Model().LockedByHost();
    return outcome;
}

}  // namespace sweep
