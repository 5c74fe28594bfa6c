// The --device option: a device as the program lists it, "\\.\USBSCAN<n>" or "\\.\<letter>:",
// the leading "\\.\" optional and the letter in either case.
#pragma once

#include <optional>
#include <string>

namespace cli {

// The device handle the name stands for (256 + n, or 1..26 for A..Z); nullopt for anything else.
std::optional<int> DeviceHandleFromName(const std::string& name);

}  // namespace cli
