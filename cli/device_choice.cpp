#include "cli/device_choice.h"

#include <cctype>

namespace cli {
namespace {

constexpr int kStillImageHandleBase = 256;
constexpr int kLastStillImageNumber = 999;

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    std::size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= text.size() || std::toupper(static_cast<unsigned char>(text[i])) !=
                                    std::toupper(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

}  // namespace

std::optional<int> DeviceHandleFromName(const std::string& name) {
    std::string rest = name;
    if (rest.rfind("\\\\.\\", 0) == 0) rest.erase(0, 4);
    if (rest.size() == 2 && rest[1] == ':' && std::isalpha(static_cast<unsigned char>(rest[0]))) {
        return std::toupper(static_cast<unsigned char>(rest[0])) - 'A' + 1;
    }
    if (!StartsWithNoCase(rest, "USBSCAN")) return std::nullopt;
    const std::string digits = rest.substr(7);
    if (digits.empty() || digits.size() > 3) return std::nullopt;
    int n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    if (n > kLastStillImageNumber) return std::nullopt;
    return kStillImageHandleBase + n;
}

std::string DeviceNameOf(int handle) {
    if (handle >= 1 && handle <= 26) return std::string("\\\\.\\") + char('A' + handle - 1) + ':';
    if (handle >= kStillImageHandleBase && handle <= kStillImageHandleBase + kLastStillImageNumber)
        return "\\\\.\\USBSCAN" + std::to_string(handle - kStillImageHandleBase);
    return {};
}

}  // namespace cli
