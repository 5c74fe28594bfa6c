// kelvane-cli-sim: the scanner that kelvane-sim.exe carries (still-image device 0, version
// "1.23", a 32 MiB patterned memory), behind the real system of the build.
#include "app/win32/sim_scanner_setup.h"
#include "cli/backend.h"
#ifdef _WIN32
#include "platform/win32/install_win32.h"
#include "platform/win32/win32_system.h"
#else
#include "platform/linux/install_linux.h"
#endif

namespace cli {

void InstallBackends(bool verbose) {
#ifdef _WIN32
    static_cast<platform::win32::Win32System&>(platform::win32::Win32Sys())
        .CopyDebugOutputToStderr(verbose);
    platform::win32::InstallWin32System(app::win32::SimulatedScannerIo());
#else
    platform::linux_os::LinuxSys().SetDebugOutput(verbose);
    platform::linux_os::InstallLinuxSystem(app::win32::SimulatedScannerIo());
#endif
}

std::string DescribeDevice(const std::string&) {
    return "simulated";
}

bool HasStillImageService() {
#ifdef _WIN32
    return true;
#else
    return false;
#endif
}

}  // namespace cli
