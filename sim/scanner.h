// One simulated scanner: the firmware model with its memory image, and the two ways a host
// reaches it, a still-image endpoint (descriptor request and Bulk-Only Transport on the bulk
// pipes) and a disk endpoint (SCSI pass-through). Both endpoints drive the same model, so a
// scanner attached both ways is one device. Fault injection and the wire log live here, around
// the freestanding core.
//
// Time comes from platform::Sys().TickCount(), so the scanner runs on the simulated clock in
// tests and on the real clock in the Windows demo build.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/sim/sim_device_file.h"
#include "sim/bot_device.h"
#include "sim/fault_plan.h"
#include "sim/firmware_model.h"
#include "sim/wire_log.h"

namespace sim {

class Scanner;

// The still-image endpoint (\\.\USBSCAN<n>): IOCTL_GET_DEVICE_DESCRIPTOR and the bulk pipes.
class StillImageEndpoint final : public SimDeviceFile {
  public:
    explicit StillImageEndpoint(Scanner& scanner) : scanner_(scanner) {}
    bool CanOpen() override;
    bool Ioctl(std::uint32_t code, void* in, std::uint32_t inLen, void* out, std::uint32_t outLen,
               std::uint32_t* returned) override;
    bool Read(void* buf, std::uint32_t len, std::uint32_t* done) override;
    bool Write(const void* buf, std::uint32_t len, std::uint32_t* done) override;
    platform::PipeStepResult RecoverPipe(platform::PipeStep step) override;
    bool LastTransferStalled() override;

  private:
    bool WriteCbw(const std::uint8_t* data, std::uint32_t len, std::uint32_t* done);
    bool ReadCsw(std::uint8_t* buf, std::uint32_t len, std::uint32_t* done);
    void RefuseDataPhase();
    bool CurrentIsServiceCommand() const;
    bool CurrentIsGetFirst() const;

    Scanner& scanner_;
    ActiveFaults active_;       // faults of the exchange under way
    ActiveFaults senseFaults_;  // for the REQUEST SENSE after the last vendor command
    bool currentIsSense_ = false;
    std::uint32_t residueLie_ = 0;  // the residue a kResidue lie reports
    int logIndex_ = -1;
};

// The disk endpoint (\\.\<letter>:): IOCTL_SCSI_PASS_THROUGH_DIRECT only. A malformed record
// (wrong Length, SenseInfoOffset, buffer sizes, CDB length, direction, or a missing data buffer)
// fails the request and is counted, which catches host bugs.
class DiskEndpoint final : public SimDeviceFile {
  public:
    explicit DiskEndpoint(Scanner& scanner) : scanner_(scanner) {}
    bool CanOpen() override;
    bool Ioctl(std::uint32_t code, void* in, std::uint32_t inLen, void* out, std::uint32_t outLen,
               std::uint32_t* returned) override;
    bool Read(void*, std::uint32_t, std::uint32_t*) override { return false; }
    bool Write(const void*, std::uint32_t, std::uint32_t*) override { return false; }
    std::uint32_t MalformedRecords() const { return malformed_; }

  private:
    Scanner& scanner_;
    std::uint32_t malformed_ = 0;
};

class Scanner {
  public:
    static constexpr std::uint32_t kDefaultMemorySize = 32u << 20;  // 32 MiB

    explicit Scanner(const ModelConfig& config = {}, std::uint32_t memorySize = kDefaultMemorySize);
    Scanner(const Scanner&) = delete;
    Scanner& operator=(const Scanner&) = delete;

    // Live configuration (tag, version, readiness, vendor/product ID, work time, ...).
    ModelConfig& Config() { return model_.config; }
    FirmwareModel& Model() { return model_; }
    const ModelCounters& Counters() const { return model_.Counters(); }

    SimDeviceFile& StillImage() { return stillImage_; }
    SimDeviceFile& Disk() { return disk_; }
    std::uint32_t MalformedDiskRecords() const { return disk_.MalformedRecords(); }

    // Memory image as the device holds it.
    std::vector<std::uint8_t> ReadMemory(std::uint32_t address, std::uint32_t count) const;
    void WriteMemory(std::uint32_t address, const std::vector<std::uint8_t>& bytes);
    std::uint32_t MemorySize() const { return model_.MemorySize(); }
    // The memory as the model keeps it, MemorySize() bytes: zero wherever the memory is as a
    // fresh scanner's (see firmware_model.h), so a scanner's state is what is nonzero here.
    const std::uint8_t* KeptMemory() const { return memory_.get(); }
    std::uint8_t* KeptMemory() { return memory_.get(); }

    // --- Faults and conditions -------------------------------------------------------------
    int Inject(const Fault& fault) { return plan_.Inject(fault); }
    std::uint32_t Fired(int faultId) const { return plan_.Fired(faultId); }
    void ClearFaults() { plan_.Clear(); }
    // Unplugged: every I/O fails and the device cannot be opened, on both endpoints.
    void Unplug() { unplugged_ = true; }
    void Replug() { unplugged_ = false; }
    bool Unplugged() const { return unplugged_; }
    void SetOpenable(bool openable) { openable_ = openable; }
    void SetDescriptorFails(bool fails) { descriptorFails_ = fails; }
    // Another program holds the device-side lock: for ever, or until `releaseAtMs` on the clock.
    // With `yieldsToUnlock` the host's UnLock breaks it (a dead holder); otherwise it stays.
    void HoldLockByOther(bool yieldsToUnlock = true) { model_.HoldLockByOther(0, yieldsToUnlock); }
    void HoldLockByOtherUntil(std::uint64_t releaseAtMs, bool yieldsToUnlock = true) {
        model_.HoldLockByOther(releaseAtMs, yieldsToUnlock);
    }
    void SetNeverFinishes(bool never) { model_.config.neverFinishes = never; }
    // A real device's conduct after a fault on the still-image path (see bot_device.h): a
    // refused data phase stalls, halts and a pending CSW stay until the host recovers. Off, the
    // device takes a new CBW whatever happened before.
    void SetRealConduct(bool on) { bot_.SetRealConduct(on); }
    // The device side of the host's recovery requests, for presentations that carry them
    // themselves (a gadget's own endpoint halt stands for the pipe's once set).
    bool PipeHalted(bool in) const { return bot_.Halted(in); }
    void ClearHalt(bool in) { bot_.ClearHalt(in); }
    void ResetRecovery() { bot_.ResetRecovery(); }

    // --- Wire log and transport observations ------------------------------------------------
    WireLog& Log() { return log_; }
    const WireLog& Log() const { return log_; }
    // Bulk-pipe calls the device could not make sense of (stalls), and exchanges dropped
    // because the host started a new one. Both stay 0 with a correct host and no faults.
    std::uint32_t ProtocolErrors() const { return bot_.ProtocolErrors(); }
    std::uint32_t AbandonedExchanges() const { return bot_.AbandonedExchanges(); }
    const BotDevice& Bot() const { return bot_; }

  private:
    friend class StillImageEndpoint;
    friend class DiskEndpoint;

    struct FreeDeleter {
        void operator()(std::uint8_t* p) const;
    };

    // Numbers a vendor command and returns its faults; unplugs on kVanish.
    ActiveFaults MatchFaults(const std::uint8_t* cdb);

    std::unique_ptr<std::uint8_t, FreeDeleter> memory_;
    FirmwareModel model_;
    BotDevice bot_;
    FaultPlan plan_;
    WireLog log_;
    StillImageEndpoint stillImage_{*this};
    DiskEndpoint disk_{*this};
    bool unplugged_ = false;
    bool openable_ = true;
    bool descriptorFails_ = false;
};

}  // namespace sim
