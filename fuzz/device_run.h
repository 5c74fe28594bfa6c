// One fuzz run against a scripted scanner: a fresh simulated world with the device attached as
// still-image device 0 or as removable drive E:, the process-wide link state put back to its
// start (so a crash reproduces from its input alone), and the checks every run ends with.
#pragma once

#include <cstdint>
#include <cstring>

#include "devlink/bot.h"
#include "devlink/zamo_usb.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/scripted_device.h"
#include "sim/world.h"

namespace fuzz {

class DeviceRun {
  public:
    // Each decision of the input may hold the host back by one wait period at most (the longest
    // is the five-second finish check while another program holds the event), so a run's virtual
    // time is bounded by the input it consumed plus a fixed allowance.
    static constexpr std::uint64_t kMsPerDecision = 6'000;
    static constexpr std::uint64_t kAllowanceMs = 120'000;

    DeviceRun(FuzzInput& input, Scope scope, bool disk)
        : input_(input), device_(input, scope), disk_(disk) {
        std::memset(&g_BOTState, 0, sizeof g_BOTState);
        ResetDeviceTable();
        // Trace lines would only pile up in memory.
        world_.sys.CaptureDebugOutput(false);
        world_.io.AddDrive('C', platform::kDriveFixed);
        if (disk) {
            world_.io.AddDrive('E', platform::kDriveRemovable, &device_);
        } else {
            world_.io.AddStillImage(0, &device_);
        }
        start_ = world_.sys.Now();
    }
    DeviceRun(const DeviceRun&) = delete;
    DeviceRun& operator=(const DeviceRun&) = delete;

    ~DeviceRun() {
        ResetDeviceTable();
        // Every device and event handle was closed once; no call used a closed handle.
        FUZZ_CHECK(world_.io.OpenHandleCount() == 0);
        FUZZ_CHECK(world_.io.CloseErrors() == 0);
        FUZZ_CHECK(world_.io.UnknownHandleCalls() == 0);
        FUZZ_CHECK(world_.sys.OpenHandleCount() == 0);
        FUZZ_CHECK(world_.sys.CloseErrors() == 0);
        FUZZ_CHECK(world_.sys.DeadlockedWaits() == 0);
    }

    int Handle() const { return disk_ ? 'E' - 64 : kStillImageHandleBase; }
    bool Disk() const { return disk_; }
    CZamoUSB& Slot() const { return SlotForHandle(Handle()); }
    const char* EventName() const { return disk_ ? "ZAMOUSB_EVENT_E" : "ZAMOUSB_EVENT_u"; }
    sim::World& World() { return world_; }
    ScriptedDevice& Device() { return device_; }

    void CheckTimeBound(std::uint64_t extraMs = 0) {
        const std::uint64_t elapsed = world_.sys.Now() - start_;
        FUZZ_CHECK(elapsed <= (input_.Consumed() + 1) * kMsPerDecision + kAllowanceMs + extraMs);
    }
    // The host never leaves the service event taken when a data command has returned.
    void CheckEventLeftSignalled() {
        if (Slot().m_hService.valid()) FUZZ_CHECK(world_.sys.EventSignalled(EventName()));
    }

  private:
    FuzzInput& input_;
    sim::World world_;
    ScriptedDevice device_;
    bool disk_;
    std::uint64_t start_ = 0;
};

// A data length: the sizes the protocol uses most, its limit and one past it, or any other.
inline std::uint32_t PickLength(FuzzInput& in) {
    const std::uint8_t b = in.Byte(1);
    switch (b % 8) {
        case 0:
            return 4;
        case 1:
            return 16;
        case 2:
            return 0;
        case 3:
            return 0x10000;
        case 4:
            return 0x10001;
        case 5:
            return 18;
        case 6:
            return 1u + in.U16(0);
        default:
            return 1u + (b >> 3);
    }
}

}  // namespace fuzz
