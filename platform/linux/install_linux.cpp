#include "platform/linux/install_linux.h"

#include <new>

#include "platform/platform.h"

namespace platform::linux_os {
namespace {

// Built on first use and never destroyed (see the header).
template <class T>
T& Immortal() {
    alignas(T) static unsigned char storage[sizeof(T)];
    static T* object = new (storage) T();
    return *object;
}

}  // namespace

LinuxDeviceIo& LinuxIo() {
    return Immortal<LinuxDeviceIo>();
}

LinuxSystem& LinuxSys() {
    return Immortal<LinuxSystem>();
}

void InstallLinux() {
    Install(&LinuxIo(), &LinuxSys());
}

void InstallLinuxSystem(DeviceIo& io) {
    Install(&io, &LinuxSys());
}

}  // namespace platform::linux_os
