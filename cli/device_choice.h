// The --device option: a device as the program lists it, "\\.\USBSCAN<n>" or "\\.\<letter>:",
// the leading "\\.\" optional and the letter in either case.
#pragma once

#include <optional>
#include <string>

namespace cli {

// The device handle the name stands for (256 + n, or 1..26 for A..Z); nullopt for anything else.
std::optional<int> DeviceHandleFromName(const std::string& name);

// The device name of a device handle, as `list` prints it ("\\.\USBSCAN0", "\\.\E:"); empty
// for a handle that names no device.
std::string DeviceNameOf(int handle);

}  // namespace cli
