// Device I/O on the real Windows API: each call is the Win32 call it is named after, with the
// arguments the seam documents. Stateless, so one instance serves the whole process from static
// initialisation until exit.
#pragma once

#include <string>

#include "platform/device_io.h"

namespace platform::win32 {

class Win32DeviceIo final : public DeviceIo {
  public:
    constexpr Win32DeviceIo() = default;

    Handle OpenDevice(const char* name) override;
    bool CloseDevice(Handle h) override;
    bool DeviceIoControl(Handle h, std::uint32_t code, void* in, std::uint32_t inLen, void* out,
                         std::uint32_t outLen, std::uint32_t* returned) override;
    bool ReadFile(Handle h, void* buf, std::uint32_t len, std::uint32_t* done) override;
    bool WriteFile(Handle h, const void* buf, std::uint32_t len, std::uint32_t* done) override;
    // The still-image driver owns the bulk pipes and offers no halt or reset request among the
    // calls this program makes; a scanner left out of step is replugged by the user.
    PipeStepResult RecoverPipe(Handle, PipeStep) override { return PipeStepResult::kNotAvailable; }
    bool LastTransferStalled(Handle) override { return false; }
    std::uint32_t GetLogicalDriveStrings(std::uint32_t bufLen, char* buf) override;
    std::uint32_t GetDriveType(const char* root) override;
    // A still-image device: its number ("usbscan-0"), which the still-image driver gives when the
    // device arrives and gives to no other while it stays. A disk: its volume's name
    // ("volume-{...}"), which stays even if the letter is changed while the disk is attached;
    // "drive-E" where the system names no volume.
    std::string DeviceIdentity(const char* name) override;
};

}  // namespace platform::win32
