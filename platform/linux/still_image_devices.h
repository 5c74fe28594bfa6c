// The USB still-image devices of this machine, through libusb: every device with an interface of
// the still-image class (6) in its active configuration, in the order of bus number and device
// address, so the n-th of them stands for "\\.\USBSCAN<n>" the same way in every process while
// nothing is plugged in or out.
#pragma once

#include <cstdint>
#include <vector>

struct libusb_context;
struct libusb_device;

namespace platform::linux_os {

struct StillImageDevice {
    libusb_device* device = nullptr;  // referenced by the list that holds it
    std::uint8_t bus = 0;
    std::uint8_t address = 0;
    int interfaceNumber = -1;
    std::uint8_t bulkIn = 0;  // endpoint addresses of the interface's bulk pipes
    std::uint8_t bulkOut = 0;
};

// libusb's device list with the still-image devices picked out; the devices stay referenced
// while the list lives.
class StillImageList {
  public:
    explicit StillImageList(libusb_context* context);
    ~StillImageList();
    StillImageList(const StillImageList&) = delete;
    StillImageList& operator=(const StillImageList&) = delete;

    const std::vector<StillImageDevice>& Devices() const { return devices_; }

  private:
    libusb_device** all_ = nullptr;
    std::vector<StillImageDevice> devices_;
};

}  // namespace platform::linux_os
