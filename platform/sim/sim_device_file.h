// What a simulated device file answers once SimDeviceIo has routed a call to it. The simulated
// scanner implements it (a still-image endpoint, a disk endpoint); tests may implement it for
// devices of their own. Calls have the meaning of the Win32 calls on a device handle: byte counts
// through out-parameters, false for a failed request. SimDeviceIo checks handles and vanishing
// before it calls; the counts it passes are never null.
#pragma once

#include <cstdint>

#include "platform/device_io.h"

namespace sim {

class SimDeviceFile {
  public:
    // Whether CreateFile on this device succeeds now (false: e.g. held exclusively elsewhere).
    virtual bool CanOpen() { return true; }
    virtual bool Ioctl(std::uint32_t code, void* in, std::uint32_t inLen, void* out,
                       std::uint32_t outLen, std::uint32_t* returned) = 0;
    virtual bool Read(void* buf, std::uint32_t len, std::uint32_t* done) = 0;
    virtual bool Write(const void* buf, std::uint32_t len, std::uint32_t* done) = 0;
    // Bulk-Only recovery, for device files with bulk pipes (platform::DeviceIo::RecoverPipe).
    virtual platform::PipeStepResult RecoverPipe(platform::PipeStep) {
        return platform::PipeStepResult::kNotAvailable;
    }
    virtual bool LastTransferStalled() { return false; }

  protected:
    ~SimDeviceFile() = default;  // not owned through this interface
};

}  // namespace sim
