#include <cstdio>
#include <string>

#include "app/frame_guards.h"
#include "devlink/command_set.h"
#include "devlink/scanner_identity.h"
#include "devlink/zamo_usb.h"
#include "platform/handles.h"
#include "platform/platform.h"

namespace app {

std::string FrameLockName(const std::string& identity) {
    const std::string key = IdentityKey(identity);
    return key.empty() ? std::string(kFrameLockName) : std::string(kFrameLockName) + "." + key;
}

std::string DeviceIdentityOf(int hDevice) {
    char name[32];
    if (hDevice >= kStillImageHandleBase) {
        std::snprintf(name, sizeof name, cmdset::kStillImageNameFormat,
                      hDevice - kStillImageHandleBase);
    } else if (hDevice >= 1 && hDevice <= 26) {
        std::snprintf(name, sizeof name, cmdset::kVolumeNameFormat,
                      static_cast<char>('@' + hDevice));
    } else {
        return {};
    }
    return platform::Io().DeviceIdentity(name);
}

std::string JobSlotName(int n) {
    return "Global\\Kelvane.Job." + std::to_string(n);
}

ScannerUse ProbeScannerUse(const std::string& identity, std::string* holder) {
    platform::System& sys = platform::Sys();
    if (holder) holder->clear();
    const platform::SystemHandle lock(sys.CreateMutex(FrameLockName(identity).c_str()));
    if (!lock.valid()) return ScannerUse::kUnknown;
    switch (sys.WaitForSingleObject(lock.get(), 0)) {
        case platform::kWaitObject0:
        case platform::kWaitAbandoned:  // its holder ended: nobody holds it now
            sys.ReleaseMutex(lock.get());
            return ScannerUse::kFree;
        case platform::kWaitTimeout:
            if (holder) *holder = sys.MutexOwner(lock.get());
            return ScannerUse::kHeld;
        default:
            return ScannerUse::kUnknown;
    }
}

}  // namespace app
