// One whole job (a firmware update or a flash read-back) run by the form logic against a
// simulated scanner on the virtual clock, on either path, with what the sweep needs to judge it:
// the exchange count of a healthy run, the statuses shown, the device's memory and "flash.bin".
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/unit1.h"
#include "platform/sim/sim_device_file.h"
#include "sim/world.h"
#include "tests/app/recording_view.h"

namespace sweep {

enum class Job { kFirmwareUpdate, kReadBack };
enum class Path { kStillImage, kDisk };

const char* JobName(Job job);
const char* PathName(Path path);

// Forwards to a scanner endpoint and can cut the wire: from a chosen I/O call on, every call
// fails and the device cannot be opened, as when it is pulled out mid-exchange.
class CuttableWire final : public sim::SimDeviceFile {
  public:
    explicit CuttableWire(sim::SimDeviceFile& inner) : inner_(inner) {}
    bool CanOpen() override { return !Cut() && inner_.CanOpen(); }
    bool Ioctl(std::uint32_t code, void* in, std::uint32_t inLen, void* out, std::uint32_t outLen,
               std::uint32_t* returned) override;
    bool Read(void* buf, std::uint32_t len, std::uint32_t* done) override;
    bool Write(const void* buf, std::uint32_t len, std::uint32_t* done) override;
    // Recovery requests are no I/O calls of the job's own: they pass uncounted, and fail once cut.
    platform::PipeStepResult RecoverPipe(platform::PipeStep step) override {
        return Cut() ? platform::PipeStepResult::kFailed : inner_.RecoverPipe(step);
    }
    bool LastTransferStalled() override { return !Cut() && inner_.LastTransferStalled(); }

    // Cuts at the I/O call numbered `call` from now (0: the next one).
    void CutAt(std::uint64_t call) { cutAt_ = calls_ + call; }
    void Restore() { cutAt_.reset(); }
    std::uint64_t Calls() const { return calls_; }

  private:
    bool Cut() const { return cutAt_ && calls_ >= *cutAt_; }
    // Counts one call; false when the wire is cut.
    bool Pass();

    sim::SimDeviceFile& inner_;
    std::uint64_t calls_ = 0;
    std::optional<std::uint64_t> cutAt_;
};

struct Outcome {
    std::vector<std::string> statuses;
    std::uint64_t elapsedMs = 0;
    bool reportedSuccess = false;
    // The device took the image whole (memory at 0x4000 and the finishing value), or
    // "flash.bin" equals the device's memory range: what a success must mean. An update that
    // did not claim success is not examined and counts as not done.
    bool jobDone = false;
    // "flash.bin" kept what it held before the job (or is still absent).
    bool dumpUnchanged = false;
    bool eventLeftSignalled = false;
    bool lockLeftHeld = false;
};

// A world with one scanner attached by `path`, a form with a recording view, and the job's
// inputs. The current folder must be a scratch folder (flash.bin and the image land there).
class JobRunner {
  public:
    // Each job moves whole chunks or blocks and a short last one. The simulated device serves
    // memory byte by byte, so a 64 KiB chunk is the costly part of a case: the read-back and the
    // still-image update keep to one whole chunk or block (the disk update, with 4 KiB blocks,
    // has two) plus the short last one.
    static constexpr std::uint32_t kReadStart = 0x1000;
    static constexpr std::uint32_t kReadLength = 65536 + 777;
    static constexpr std::uint32_t kStillImageImageSize = 65536 + 5000;
    static constexpr std::uint32_t kDiskImageSize = 2 * 4096 + 1000;
    // The device is busy this long after each transfer, so the finish polls run too.
    static constexpr std::uint32_t kWorkMs = 15;

    // A short job moves only this many bytes, in one short block or chunk.
    static constexpr std::uint32_t kShortJobBytes = 300;

    JobRunner(Job job, Path path, bool shortJob = false);
    ~JobRunner();
    JobRunner(const JobRunner&) = delete;
    JobRunner& operator=(const JobRunner&) = delete;

    sim::Scanner& Scanner() { return *scanner_; }
    CuttableWire& Wire() { return *wire_; }
    sim::World& World() { return world_; }

    // Runs the job once; `variant` changes the image (update) so a later run must write anew,
    // and decides whether an older flash.bin exists (read-back).
    Outcome Run(int variant);
    // The device is plugged in again: faults cleared, the wire whole, no exchange under way.
    void Replug();
    // Vendor command blocks the device has seen (the numbering fault triggers use).
    std::size_t VendorExchangesLogged() const;
    // Drops the device table's handles and checks that none leaked or was closed twice.
    void CheckHandles();

  private:
    std::string EventName() const;

    std::uint32_t ImageSize() const;
    std::uint32_t ReadLength() const;

    Job job_;
    Path path_;
    bool short_;
    sim::World world_;
    sim::Scanner* scanner_ = nullptr;
    std::unique_ptr<CuttableWire> wire_;
    std::optional<std::vector<std::uint8_t>> expectedDump_;
    apptest::RecordingView view_;
    app::TForm1 form_{view_};
};

}  // namespace sweep
