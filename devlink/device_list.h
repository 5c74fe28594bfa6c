// Every device the link can reach, for a front end that lists them. EnumDevices stops at the
// first still-image device; this looks at all of them and at every removable drive.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ListedDevice {
    int handle = 0;    // as ZamoUSB_FindDevice reports it: 256 + n, or 1..26 for A..Z
    std::string name;  // the device name opened ("\\.\USBSCAN0", "\\.\E:")
    bool stillImage = false;
    std::uint16_t vendorId = 0;  // still-image devices: from the descriptor request
    std::uint16_t productId = 0;
    bool acceptedVendor = false;  // disks: always true (they answered the vendor tag)
    std::string identity;         // platform::DeviceIo::DeviceIdentity of the name
};

// Still-image devices that answer the descriptor request (any vendor, in number order), then
// removable drives other than A: that answer the tag query with the vendor tag (in drive-list
// order). Opens each device once and closes it again.
std::vector<ListedDevice> ListDevices();
