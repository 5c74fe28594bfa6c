// Installing the Linux backends. They are never destroyed, so they stay usable by static
// destructors (the device table closes its handles at exit).
#pragma once

#include "platform/linux/linux_device_io.h"
#include "platform/linux/linux_system.h"

namespace platform::linux_os {

LinuxDeviceIo& LinuxIo();
LinuxSystem& LinuxSys();

// Installs Linux device I/O and the Linux System.
void InstallLinux();
// Installs the Linux System with another device I/O, which must outlive its installation.
void InstallLinuxSystem(DeviceIo& io);

}  // namespace platform::linux_os
