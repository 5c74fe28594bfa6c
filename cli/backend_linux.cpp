#include "cli/backend.h"
#include "platform/linux/install_linux.h"

namespace cli {

void InstallBackends(bool verbose) {
    platform::linux_os::LinuxSys().SetDebugOutput(verbose);
    platform::linux_os::InstallLinux();
}

std::string DescribeDevice(const std::string& name) {
    return platform::linux_os::LinuxIo().DescribeDevice(name.c_str());
}

bool HasStillImageService() {
    return false;
}

}  // namespace cli
