#include <cstdlib>

#include "cli/backend.h"
#include "platform/linux/install_linux.h"

namespace cli {

void InstallBackends(bool verbose) {
    platform::linux_os::LinuxSys().SetDebugOutput(verbose);
#ifdef KV_TEST_LOCK_NAMESPACE_HOOK
    // The end-to-end tests' build only: each case keeps its events and frame lock to itself, so
    // cases run side by side. A product build has no such switch.
    if (const char* ns = std::getenv("KV_E2E_LOCK_NAMESPACE"); ns != nullptr && ns[0] != '\0')
        platform::linux_os::LinuxSys().SetLockNamespace(ns);
#endif
    platform::linux_os::InstallLinux();
}

std::string DescribeDevice(const std::string& name) {
    return platform::linux_os::LinuxIo().DescribeDevice(name.c_str());
}

bool HasStillImageService() {
    return false;
}

void PrepareForm(app::TForm1&) {}

}  // namespace cli
