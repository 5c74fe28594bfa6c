#include "platform/win32/install_win32.h"

#include "platform/platform.h"
#include "platform/win32/win32_device_io.h"
#include "platform/win32/win32_system.h"

namespace platform::win32 {
namespace {

// Storage whose destructor never runs the object's: the backends must outlive every static
// destructor that may still close a handle through them.
template <class T>
union Immortal {
    constexpr Immortal() : object() {}
    ~Immortal() {}
    T object;
};

constinit Immortal<Win32DeviceIo> g_io;
constinit Immortal<Win32System> g_sys;

}  // namespace

DeviceIo& Win32Io() {
    return g_io.object;
}
System& Win32Sys() {
    return g_sys.object;
}

void InstallWin32() {
    Install(&g_io.object, &g_sys.object);
}

void InstallWin32System(DeviceIo& io) {
    Install(&io, &g_sys.object);
}

}  // namespace platform::win32
