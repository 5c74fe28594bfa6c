#include "platform/linux/still_image_devices.h"

#include <libusb.h>

#include <algorithm>

namespace platform::linux_os {
namespace {

constexpr std::uint8_t kStillImageClass = 6;

// The config descriptor, freed when it goes.
struct ConfigDescriptor {
    libusb_config_descriptor* config = nullptr;
    ~ConfigDescriptor() {
        if (config) libusb_free_config_descriptor(config);
    }
};

// Fills the interface and its bulk pipes; false when the device has no still-image interface
// with a bulk pipe each way.
bool FindStillImageInterface(libusb_device* device, StillImageDevice& out) {
    ConfigDescriptor holder;
    if (libusb_get_active_config_descriptor(device, &holder.config) != 0 &&
        libusb_get_config_descriptor(device, 0, &holder.config) != 0) {
        return false;
    }
    for (int i = 0; i < holder.config->bNumInterfaces; ++i) {
        const libusb_interface& itf = holder.config->interface[i];
        for (int a = 0; a < itf.num_altsetting; ++a) {
            const libusb_interface_descriptor& alt = itf.altsetting[a];
            if (alt.bInterfaceClass != kStillImageClass) continue;
            std::uint8_t in = 0;
            std::uint8_t outEp = 0;
            for (int e = 0; e < alt.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& ep = alt.endpoint[e];
                if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK)
                    continue;
                if ((ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0) {
                    if (in == 0) in = ep.bEndpointAddress;
                } else if (outEp == 0) {
                    outEp = ep.bEndpointAddress;
                }
            }
            if (in == 0 || outEp == 0) continue;
            out.interfaceNumber = alt.bInterfaceNumber;
            out.bulkIn = in;
            out.bulkOut = outEp;
            return true;
        }
    }
    return false;
}

}  // namespace

StillImageList::StillImageList(libusb_context* context) {
    if (context == nullptr) return;
    const ssize_t count = libusb_get_device_list(context, &all_);
    if (count < 0) {
        all_ = nullptr;
        return;
    }
    for (ssize_t i = 0; i < count; ++i) {
        StillImageDevice found;
        found.device = all_[i];
        found.bus = libusb_get_bus_number(all_[i]);
        found.address = libusb_get_device_address(all_[i]);
        if (FindStillImageInterface(all_[i], found)) devices_.push_back(found);
    }
    std::sort(devices_.begin(), devices_.end(), [](const auto& a, const auto& b) {
        return a.bus != b.bus ? a.bus < b.bus : a.address < b.address;
    });
}

StillImageList::~StillImageList() {
    if (all_) libusb_free_device_list(all_, 1);
}

}  // namespace platform::linux_os
