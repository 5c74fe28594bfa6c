// What differs between the builds of the command-line program: which backends it installs.
// kelvane-cli uses the real devices of its system (libusb and SG_IO on Linux, the Win32 calls on
// Windows); kelvane-cli-sim the built-in simulated scanner with the real system.
#pragma once

#include <string>

namespace app {
class TForm1;
}

namespace cli {

// Installs the backends. `verbose`: the device link's trace lines go to standard error.
void InstallBackends(bool verbose);

// Where a device name leads on this machine (for `list`); empty when the backend cannot say.
std::string DescribeDevice(const std::string& name);

// Whether the system has a still-image service that the command frame must stop and start again
// ("net stop stisvc", "net start stisvc"). Linux has none, so its frame runs nothing.
bool HasStillImageService();

// What the build adds to a job's form before it runs (kelvane-cli-sim: keeping the simulated
// scanners' memory in their state file); nothing for the real devices.
void PrepareForm(app::TForm1& form);

}  // namespace cli
