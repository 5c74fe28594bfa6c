// kelvane-cli-sim: the scanners of cli/sim_scanners.h (by default the one that kelvane-sim.exe
// carries: still-image device 0, version "1.23", a 32 MiB patterned memory), behind the real
// system of the build.
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "app/exit_status.h"
#include "app/unit1.h"
#include "app/win32/sim_scanner_setup.h"
#include "cli/backend.h"
#include "cli/sim_scanners.h"
#ifdef _WIN32
#include "platform/win32/install_win32.h"
#include "platform/win32/win32_system.h"
#else
#include "platform/linux/install_linux.h"
#endif

namespace cli {
namespace {

SimLayout g_layout;

// Built on first use and never destroyed: the device table closes its handles through the
// layout from a static destructor at exit.
SimScanners& Scanners() {
    alignas(SimScanners) static unsigned char storage[sizeof(SimScanners)];
    static SimScanners* const instance =
        new (storage) SimScanners(g_layout, app::win32::kSimMemorySize);
    return *instance;
}

}  // namespace

void InstallBackends(bool verbose) {
    std::string error;
    const std::optional<SimLayout> layout =
        ParseSimLayout(std::getenv("KV_SIM_SCANNERS"), std::getenv("KV_SIM_PRESENTATION"),
                       std::getenv("KV_SIM_STATE"), &error);
    if (!layout) {
        std::fprintf(stderr, "kelvane-cli: %s\n", error.c_str());
        std::exit(app::ToInt(app::ExitStatus::kUsage));
    }
    g_layout = *layout;
#ifdef _WIN32
    static_cast<platform::win32::Win32System&>(platform::win32::Win32Sys())
        .CopyDebugOutputToStderr(verbose);
    platform::win32::InstallWin32System(Scanners().Io());
#else
    platform::linux_os::LinuxSys().SetDebugOutput(verbose);
    platform::linux_os::InstallLinuxSystem(Scanners().Io());
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

void PrepareForm(app::TForm1& form) {
    if (g_layout.stateFile.empty()) return;
    // Read after the scanner's frame lock is taken and written before it is given back, so a
    // job never works on memory that another run's job on the same scanner has changed since.
    form.ScannerTaken = [](int handle) {
        const int index = Scanners().IndexOf(handle);
        if (index >= 0) LoadScannerState(g_layout.stateFile, index, Scanners().Scanner(index));
    };
    form.ScannerDone = [](int handle) {
        const int index = Scanners().IndexOf(handle);
        if (index >= 0) SaveScannerState(g_layout.stateFile, index, Scanners().Scanner(index));
    };
}

}  // namespace cli
