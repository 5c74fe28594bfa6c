#include "cli/backend.h"
#include "platform/win32/install_win32.h"
#include "platform/win32/win32_system.h"

namespace cli {

void InstallBackends(bool verbose) {
    static_cast<platform::win32::Win32System&>(platform::win32::Win32Sys())
        .CopyDebugOutputToStderr(verbose);
    platform::win32::InstallWin32();
}

std::string DescribeDevice(const std::string&) {
    return {};
}

bool HasStillImageService() {
    return true;
}

void PrepareForm(app::TForm1&) {}

}  // namespace cli
