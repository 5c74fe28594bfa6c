#include "platform/linux/install_linux.h"

#include <new>
#include <string>

#include "platform/linux/removable_disks.h"
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
    // Only the real disks' letters mean kernel names; another device I/O has letters of its own.
    LinuxSys().SetObjectKey(
        [](const std::string& name) { return DiskObjectKey(name, ListRemovableDisks()); });
    Install(&LinuxIo(), &LinuxSys());
}

void InstallLinuxSystem(DeviceIo& io) {
    Install(&io, &LinuxSys());
}

}  // namespace platform::linux_os
