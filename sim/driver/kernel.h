// The kernel headers of the toolchain, tamed for C++: everything the driver needs from the kernel
// comes in through here, so the quirks of these headers are dealt with in one place.
#pragma once

// The kernel headers define these two themselves; keep the compiler intrinsics header from
// defining them a second time.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

// clang-format off
extern "C" {
#include <ntddk.h>
}
// clang-format on

// On x64 the headers read these from the kernel's shared page at a fixed address, which the
// driver host does not map; the exported functions give the same values.
#undef KeQueryInterruptTime
#undef KeQueryTickCount
#undef KeQuerySystemTime
