// Which backends the process runs on. A program installs its backends once at start (the product:
// Win32 for both; the demo: the simulated scanner for device I/O); tests install simulated ones.
// Until something is installed, a null backend answers every call with failure, so code that
// runs before installation (or after a test removed its backends) does nothing harmful.
#pragma once

#include "platform/device_io.h"
#include "platform/system.h"

namespace platform {

DeviceIo& Io();
System& Sys();

// Installs the backends; a null pointer puts the null backend back. The objects must outlive
// their installation.
void Install(DeviceIo* io, System* sys);

}  // namespace platform
