// Puts a scanner endpoint behind the wire model: each phase advances the simulated system's
// virtual clock by its modeled cost before the device sees it, so the device's busy periods and
// the host's polls run against wire time. The clock counts whole milliseconds; the remainder is
// carried, never lost. Also measures the CPU time spent inside the simulated device, so the
// host's own CPU cost can be told apart.
#pragma once

#include <cstdint>

#include "bench/wire_model.h"
#include "platform/sim/sim_device_file.h"
#include "platform/sim/sim_system.h"

namespace bench {

// CPU time of the calling thread, in nanoseconds.
std::uint64_t ThreadCpuNs();

class TimedWire final : public sim::SimDeviceFile {
  public:
    TimedWire(sim::SimDeviceFile& inner, sim::SimSystem& sys, const WireModel& model)
        : inner_(inner), sys_(sys), model_(model) {}

    bool CanOpen() override { return inner_.CanOpen(); }
    bool Ioctl(std::uint32_t code, void* in, std::uint32_t inLen, void* out, std::uint32_t outLen,
               std::uint32_t* returned) override;
    bool Read(void* buf, std::uint32_t len, std::uint32_t* done) override;
    bool Write(const void* buf, std::uint32_t len, std::uint32_t* done) override;

    // Command blocks carried (command wrappers and pass-through requests).
    std::uint64_t Exchanges() const { return exchanges_; }
    // Modeled time that has not yet reached the millisecond clock.
    std::uint64_t CarriedNs() const { return carriedNs_; }
    // CPU time spent inside the simulated device (timer calls included).
    std::uint64_t DeviceNs() const { return deviceNs_; }
    // Timed device calls: each adds one reading of the thread's CPU clock pair to the figures.
    std::uint64_t DeviceCalls() const { return deviceCalls_; }
    void ResetCounters() { exchanges_ = deviceNs_ = deviceCalls_ = 0; }

  private:
    void Spend(std::uint64_t ns);

    sim::SimDeviceFile& inner_;
    sim::SimSystem& sys_;
    WireModel model_;
    std::uint64_t carriedNs_ = 0;
    std::uint64_t exchanges_ = 0;
    std::uint64_t deviceNs_ = 0;
    std::uint64_t deviceCalls_ = 0;
};

}  // namespace bench
