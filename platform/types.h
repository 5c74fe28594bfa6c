// Basic OS-level types shared by both halves of the seam. They mirror the Win32 types that the
// device link and the application use, with the same meanings, so the real backend passes them
// through unchanged.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// An operating-system handle (HANDLE). Null means "none" for events and processes;
// InvalidHandle() (all bits set) means "none" for devices, as CreateFileA reports it.
using Handle = void*;

inline Handle InvalidHandle() {
    return reinterpret_cast<Handle>(~std::uintptr_t{0});
}

// Results of WaitForSingleObject.
constexpr std::uint32_t kWaitObject0 = 0;
constexpr std::uint32_t kWaitTimeout = 258;
constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;
// A mutex whose owner ended without releasing it: the wait took it all the same.
constexpr std::uint32_t kWaitAbandoned = 0x80;

// Results of GetDriveTypeA.
constexpr std::uint32_t kDriveUnknown = 0;
constexpr std::uint32_t kDriveNoRootDir = 1;
constexpr std::uint32_t kDriveRemovable = 2;
constexpr std::uint32_t kDriveFixed = 3;
constexpr std::uint32_t kDriveRemote = 4;
constexpr std::uint32_t kDriveCdrom = 5;
constexpr std::uint32_t kDriveRamdisk = 6;

}  // namespace platform
