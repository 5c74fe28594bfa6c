// The Linux DeviceIo backend.
//
// - "\\.\USBSCAN<n>": the n-th USB still-image device (see still_image_devices.h), through
//   libusb. The descriptor request answers from the USB device descriptor; ReadFile and WriteFile
//   are bulk transfers on the still-image interface's bulk-in and bulk-out pipes. The interface is
//   claimed for each transfer only, so several programs can keep the device open and take turns
//   as they do on Windows (where the service event and the device-side lock order them); a
//   kernel driver bound to the interface is detached at open and attached again at close.
// - "\\.\<letter>:": the removable SCSI disk of that letter (see removable_disks.h), opened as
//   its block device; the SCSI pass-through record travels as SG_IO.
// - The drive list holds the removable disks' letters, each of type removable.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/device_io.h"

struct libusb_context;

namespace platform::linux_os {

class LinuxDeviceIo final : public DeviceIo {
  public:
    LinuxDeviceIo();
    ~LinuxDeviceIo() override;
    LinuxDeviceIo(const LinuxDeviceIo&) = delete;
    LinuxDeviceIo& operator=(const LinuxDeviceIo&) = delete;

    // --- platform::DeviceIo ----------------------------------------------------------------
    Handle OpenDevice(const char* name) override;
    bool CloseDevice(Handle h) override;
    bool DeviceIoControl(Handle h, std::uint32_t code, void* in, std::uint32_t inLen, void* out,
                         std::uint32_t outLen, std::uint32_t* returned) override;
    bool ReadFile(Handle h, void* buf, std::uint32_t len, std::uint32_t* done) override;
    bool WriteFile(Handle h, const void* buf, std::uint32_t len, std::uint32_t* done) override;
    // Still-image devices: clearing a pipe's halt and the class reset, over libusb. Disks: not
    // available (usb-storage recovers its own pipes).
    PipeStepResult RecoverPipe(Handle h, PipeStep step) override;
    bool LastTransferStalled(Handle h) override;
    std::uint32_t GetLogicalDriveStrings(std::uint32_t bufLen, char* buf) override;
    std::uint32_t GetDriveType(const char* root) override;
    // A still-image device: its bus, port path and device number ("usb-1-4@1.2"); the kernel
    // numbers devices anew at every plug-in and keeps the number while the device stays. A disk:
    // its kernel name ("disk-sdb"), which stays while the disk does (its service event is kept
    // under the same name).
    std::string DeviceIdentity(const char* name) override;

    // Where a device name leads on this machine ("usb 001:004" for a still-image device, the
    // block device node for a drive); empty when the name leads nowhere.
    std::string DescribeDevice(const char* name);

    struct OpenDeviceBase;

  private:
    libusb_context* Context();

    libusb_context* context_ = nullptr;
    bool contextTried_ = false;
    std::map<Handle, std::unique_ptr<OpenDeviceBase>> open_;
};

}  // namespace platform::linux_os
