#include "devlink/scanner_identity.h"

#include <cctype>
#include <cstdint>
#include <cstdio>

#include "devlink/command_set.h"
#include "platform/platform.h"

namespace {

bool g_ownStillImageEvents = false;

bool KeptInKey(unsigned char c) {
    return std::isalnum(c) != 0 || c == '-' || c == '.' || c == '@' || c == '{' || c == '}';
}

std::uint64_t Fnv1a(const std::string& text) {
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3u;
    }
    return hash;
}

}  // namespace

std::string IdentityKey(const std::string& identity) {
    std::string key;
    for (const char c : identity) {
        const auto byte = static_cast<unsigned char>(c);
        if (KeptInKey(byte)) {
            key += c;
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
            key += escaped;
        }
    }
    if (key.size() <= kMaxIdentityKey) return key;
    char hash[20];
    std::snprintf(hash, sizeof hash, "~%016llx", static_cast<unsigned long long>(Fnv1a(identity)));
    return key.substr(0, kMaxIdentityKey - 17) + hash;
}

void SetOwnStillImageEvents(bool on) {
    g_ownStillImageEvents = on;
}

bool OwnStillImageEvents() {
    return g_ownStillImageEvents;
}

std::string StillImageEventName(const char* deviceName) {
    std::string shared = cmdset::kServiceEventTemplate;
    shared.back() = cmdset::kStillImageEventLetter;
    if (!g_ownStillImageEvents) return shared;
    const std::string key = IdentityKey(platform::Io().DeviceIdentity(deviceName));
    return key.empty() ? shared : shared + "." + key;
}
