// The simulated DeviceIo backend: a layout of drives and still-image devices, each optionally
// backed by a SimDeviceFile, reached through the names "\\.\USBSCAN<n>" and "\\.\<letter>:".
//
// - Drives: a letter with a drive type (platform::kDrive*), optionally a device file behind its
//   volume, and whether the volume can be opened. Absent letters are kDriveNoRootDir and are not
//   listed. A drive without a device file cannot be opened as a volume.
// - Still-image devices: a number with a device file, openable or not.
// - Handles: each successful open gives a new value (never reused). CloseDevice of an unknown or
//   closed handle returns false and is counted (CloseErrors()).
// - Vanishing: a device file can vanish at once or after a number of I/O calls (DeviceIoControl,
//   ReadFile, WriteFile on any of its handles). Then every I/O on its handles fails and new opens
//   fail; closing its handles still works.
//
// - Pipe recovery: off unless SetPipeRecovery(true), so that by default the backend answers as
//   the Win32 one does (not available, never a stall); on, it reaches the device file's own.
//
// Uses no clock, so it also serves the Windows demo build with the real System. Not thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/device_io.h"
#include "platform/sim/sim_device_file.h"

namespace sim {

class SimDeviceIo final : public platform::DeviceIo {
  public:
    // --- platform::DeviceIo ----------------------------------------------------------------
    platform::Handle OpenDevice(const char* name) override;
    bool CloseDevice(platform::Handle h) override;
    bool DeviceIoControl(platform::Handle h, std::uint32_t code, void* in, std::uint32_t inLen,
                         void* out, std::uint32_t outLen, std::uint32_t* returned) override;
    bool ReadFile(platform::Handle h, void* buf, std::uint32_t len, std::uint32_t* done) override;
    bool WriteFile(platform::Handle h, const void* buf, std::uint32_t len,
                   std::uint32_t* done) override;
    platform::PipeStepResult RecoverPipe(platform::Handle h, platform::PipeStep step) override;
    bool LastTransferStalled(platform::Handle h) override;
    std::uint32_t GetLogicalDriveStrings(std::uint32_t bufLen, char* buf) override;
    std::uint32_t GetDriveType(const char* root) override;
    // The identity set for the device file at `name`; without one, a text made of the name
    // ("sim-usbscan-0", "sim-drive-E"). Empty when no file is there or it has vanished.
    std::string DeviceIdentity(const char* name) override;

    // --- Layout ------------------------------------------------------------------------------
    // Adds or replaces drive `letter` (A..Z, either case).
    void AddDrive(char letter, std::uint32_t driveType, SimDeviceFile* file = nullptr,
                  bool openable = true);
    void RemoveDrive(char letter);
    // Adds or replaces still-image device `n` (0..999).
    void AddStillImage(int n, SimDeviceFile* file, bool openable = true);
    void RemoveStillImage(int n);
    void SetOpenable(SimDeviceFile* file, bool openable);
    // What DeviceIdentity gives for every name that leads to `file` (both presentations of one
    // scanner may share it).
    void SetIdentity(SimDeviceFile* file, std::string identity) {
        identities_[file] = std::move(identity);
    }
    // Whether the platform lets the program recover the bulk pipes itself (as on Linux).
    void SetPipeRecovery(bool available) { pipeRecovery_ = available; }

    // --- Vanishing ---------------------------------------------------------------------------
    void Vanish(SimDeviceFile* file);
    // The file vanishes once `ioCalls` more I/O calls on it have been made (0: at once).
    void VanishAfter(SimDeviceFile* file, std::uint32_t ioCalls);
    bool Vanished(SimDeviceFile* file) const;

    // --- Observations ------------------------------------------------------------------------
    std::size_t OpenHandleCount() const { return handles_.size(); }
    std::uint32_t CloseErrors() const { return closeErrors_; }
    // Calls made with a handle that this backend never gave out or that was closed.
    std::uint32_t UnknownHandleCalls() const { return unknownHandleCalls_; }
    // Every name passed to OpenDevice, in order, opened or not.
    const std::vector<std::string>& OpenAttempts() const { return openAttempts_; }
    // The names that were opened successfully, in order.
    const std::vector<std::string>& Opened() const { return opened_; }
    // Whether any open of the volume of `letter` was attempted.
    bool VolumeOpenAttempted(char letter) const;
    void ClearLogs();

  private:
    struct Slot {
        SimDeviceFile* file = nullptr;
        bool openable = true;
    };
    struct Drive {
        std::uint32_t type = platform::kDriveNoRootDir;
        Slot slot;
    };
    struct FileState {
        bool vanished = false;
        bool countdown = false;
        std::uint32_t callsLeft = 0;
    };

    SimDeviceFile* FileFor(platform::Handle h);
    // Counts one I/O call on `file`; false when the file has vanished.
    bool Present(SimDeviceFile* file);
    bool Openable(const Slot& slot);

    std::map<char, Drive> drives_;
    std::map<int, Slot> stillImages_;
    std::map<SimDeviceFile*, FileState> files_;
    std::map<SimDeviceFile*, std::string> identities_;
    std::map<std::uintptr_t, SimDeviceFile*> handles_;
    std::uintptr_t nextHandle_ = 0x5000;
    bool pipeRecovery_ = false;
    std::uint32_t closeErrors_ = 0;
    std::uint32_t unknownHandleCalls_ = 0;
    std::vector<std::string> openAttempts_;
    std::vector<std::string> opened_;
};

}  // namespace sim
