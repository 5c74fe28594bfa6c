// Installing the Win32 backends. The product runs both halves on Win32; the demo build pairs the
// real System with the simulated scanner's device I/O.
#pragma once

#include "platform/device_io.h"
#include "platform/system.h"

namespace platform::win32 {

// The process-wide Win32 backends. They are never destroyed, so they stay usable by static
// destructors (the device table closes its handles at exit).
DeviceIo& Win32Io();
System& Win32Sys();

// Installs Win32 device I/O and the Win32 System.
void InstallWin32();

// Installs the Win32 System with another device I/O, which must outlive its installation.
void InstallWin32System(DeviceIo& io);

}  // namespace platform::win32
