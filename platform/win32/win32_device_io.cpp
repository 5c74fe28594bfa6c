#include "platform/win32/win32_device_io.h"

#include <cstddef>

#include "platform/win32/windows_api.h"
// The driver headers need <windows.h> and <winioctl.h> first.
// clang-format off
#include <winioctl.h>
#include <ntddscsi.h>
#include <usbscan.h>
// clang-format on

namespace platform::win32 {
namespace {

// The seam's records and codes travel to the drivers unchanged, so they must be the system's own.
static_assert(kIoctlScsiPassThroughDirect == IOCTL_SCSI_PASS_THROUGH_DIRECT);
static_assert(kIoctlGetDeviceDescriptor == static_cast<DWORD>(IOCTL_GET_DEVICE_DESCRIPTOR));
static_assert(kScsiIoctlDataOut == SCSI_IOCTL_DATA_OUT);
static_assert(kScsiIoctlDataIn == SCSI_IOCTL_DATA_IN);

#define KV_SAME_FIELD(Ours, Theirs, field)                            \
    static_assert(offsetof(Ours, field) == offsetof(Theirs, field) && \
                      sizeof(Ours::field) == sizeof(Theirs::field),   \
                  #Ours "::" #field " does not match " #Theirs)

static_assert(sizeof(ScsiPassThroughDirect) == sizeof(SCSI_PASS_THROUGH_DIRECT));
static_assert(alignof(ScsiPassThroughDirect) == alignof(SCSI_PASS_THROUGH_DIRECT));
KV_SAME_FIELD(ScsiPassThroughDirect, SCSI_PASS_THROUGH_DIRECT, Length);
KV_SAME_FIELD(ScsiPassThroughDirect, SCSI_PASS_THROUGH_DIRECT, ScsiStatus);
KV_SAME_FIELD(ScsiPassThroughDirect, SCSI_PASS_THROUGH_DIRECT, PathId);
KV_SAME_FIELD(ScsiPassThroughDirect, SCSI_PASS_THROUGH_DIRECT, TargetId);
KV_SAME_FIELD(ScsiPassThroughDirect, SCSI_PASS_THROUGH_DIRECT, Lun);
KV_SAME_FIELD(ScsiPassThroughDirect, SCSI_PASS_THROUGH_DIRECT, CdbLength);
KV_SAME_FIELD(ScsiPassThroughDirect, SCSI_PASS_THROUGH_DIRECT, SenseInfoLength);
KV_SAME_FIELD(ScsiPassThroughDirect, SCSI_PASS_THROUGH_DIRECT, DataIn);
KV_SAME_FIELD(ScsiPassThroughDirect, SCSI_PASS_THROUGH_DIRECT, DataTransferLength);
KV_SAME_FIELD(ScsiPassThroughDirect, SCSI_PASS_THROUGH_DIRECT, TimeOutValue);
KV_SAME_FIELD(ScsiPassThroughDirect, SCSI_PASS_THROUGH_DIRECT, DataBuffer);
KV_SAME_FIELD(ScsiPassThroughDirect, SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset);
KV_SAME_FIELD(ScsiPassThroughDirect, SCSI_PASS_THROUGH_DIRECT, Cdb);

static_assert(sizeof(DeviceDescriptor) == sizeof(DEVICE_DESCRIPTOR));
KV_SAME_FIELD(DeviceDescriptor, DEVICE_DESCRIPTOR, usVendorId);
KV_SAME_FIELD(DeviceDescriptor, DEVICE_DESCRIPTOR, usProductId);
KV_SAME_FIELD(DeviceDescriptor, DEVICE_DESCRIPTOR, usBcdDevice);
KV_SAME_FIELD(DeviceDescriptor, DEVICE_DESCRIPTOR, usLanguageId);

#undef KV_SAME_FIELD

// Synchronous calls without OVERLAPPED need a count variable even when the caller wants none.
void Report(std::uint32_t* out, DWORD value) {
    if (out) *out = value;
}

}  // namespace

Handle Win32DeviceIo::OpenDevice(const char* name) {
    return ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
}

bool Win32DeviceIo::CloseDevice(Handle h) {
    return ::CloseHandle(h) != FALSE;
}

bool Win32DeviceIo::DeviceIoControl(Handle h, std::uint32_t code, void* in, std::uint32_t inLen,
                                    void* out, std::uint32_t outLen, std::uint32_t* returned) {
    DWORD count = 0;
    const BOOL ok = ::DeviceIoControl(h, code, in, inLen, out, outLen, &count, nullptr);
    Report(returned, count);
    return ok != FALSE;
}

bool Win32DeviceIo::ReadFile(Handle h, void* buf, std::uint32_t len, std::uint32_t* done) {
    DWORD count = 0;
    const BOOL ok = ::ReadFile(h, buf, len, &count, nullptr);
    Report(done, count);
    return ok != FALSE;
}

bool Win32DeviceIo::WriteFile(Handle h, const void* buf, std::uint32_t len, std::uint32_t* done) {
    DWORD count = 0;
    const BOOL ok = ::WriteFile(h, buf, len, &count, nullptr);
    Report(done, count);
    return ok != FALSE;
}

std::uint32_t Win32DeviceIo::GetLogicalDriveStrings(std::uint32_t bufLen, char* buf) {
    return ::GetLogicalDriveStringsA(bufLen, buf);
}

std::uint32_t Win32DeviceIo::GetDriveType(const char* root) {
    return ::GetDriveTypeA(root);
}

}  // namespace platform::win32
