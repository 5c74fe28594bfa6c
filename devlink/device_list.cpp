#include "devlink/device_list.h"

#include <cstdio>
#include <cstring>

#include "devlink/command_set.h"
#include "devlink/pass_through.h"
#include "platform/handles.h"
#include "platform/platform.h"

namespace {

constexpr std::uint32_t kProbeTimeOutSeconds = 2;

bool AcceptedVendor(std::uint16_t vendorId) {
    for (std::uint16_t accepted : cmdset::kAcceptedVendorIds) {
        if (vendorId == accepted) return true;
    }
    return false;
}

// The drive roots, asking again with the size the system names when the first buffer is short.
std::string DriveRoots() {
    std::string list(128, '\0');
    for (int attempt = 0; attempt < 4; ++attempt) {
        const std::uint32_t length = platform::Io().GetLogicalDriveStrings(
            static_cast<std::uint32_t>(list.size()), list.data());
        if (length == 0) return {};
        if (length < list.size()) {
            list.resize(length + 1);
            return list;
        }
        list.assign(length + 1, '\0');
    }
    return {};
}

bool AnswersVendorTag(platform::Handle h) {
    std::uint8_t reply[4] = {};
    const tPacket query{cmdset::kOpCodeVendor,
                        kDirectionIn,
                        reply,
                        cmdset::kTagLength,
                        0,
                        {cmdset::kLinkCommand, cmdset::kTagQuery, 0, 0, 0, 0}};
    platform::ScsiPassThroughRecord record;
    FillPassThroughRecord(record, query, kProbeTimeOutSeconds);
    return SendPassThrough(h, record) &&
           std::memcmp(reply, cmdset::kVendorTag, sizeof cmdset::kVendorTag) == 0;
}

}  // namespace

std::vector<ListedDevice> ListDevices() {
    std::vector<ListedDevice> found;
    for (int n = 0; n < cmdset::kStillImageCount; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, cmdset::kStillImageNameFormat, n);
        platform::DeviceHandle device(platform::Io().OpenDevice(name));
        if (!device.valid()) continue;
        platform::DeviceDescriptor descriptor{};
        std::uint32_t returned = 0;
        if (!platform::Io().DeviceIoControl(device.get(), platform::kIoctlGetDeviceDescriptor,
                                            &descriptor, sizeof descriptor, &descriptor,
                                            sizeof descriptor, &returned)) {
            continue;
        }
        found.push_back(ListedDevice{256 + n, name, true, descriptor.usVendorId,
                                     descriptor.usProductId, AcceptedVendor(descriptor.usVendorId),
                                     platform::Io().DeviceIdentity(name)});
    }

    const std::string roots = DriveRoots();
    for (std::size_t i = 0; i < roots.size() && roots[i] != '\0';) {
        const char* root = roots.c_str() + i;
        i += std::strlen(root) + 1;
        const char letter = root[0];
        if (letter < 'B' || letter > 'Z') continue;
        if (platform::Io().GetDriveType(root) != platform::kDriveRemovable) continue;
        char name[16];
        std::snprintf(name, sizeof name, cmdset::kVolumeNameFormat, letter);
        platform::DeviceHandle device(platform::Io().OpenDevice(name));
        if (!device.valid() || !AnswersVendorTag(device.get())) continue;
        found.push_back(ListedDevice{letter - 'A' + 1, name, false, 0, 0, true,
                                     platform::Io().DeviceIdentity(name)});
    }
    return found;
}
