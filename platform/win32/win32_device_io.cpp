#include "platform/win32/win32_device_io.h"

#include <cctype>
#include <cstddef>
#include <cstring>
#include <string>

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

// The part of `name` after "\\.\", or null for a name of another form.
const char* DosName(const char* name) {
    return name != nullptr && std::strncmp(name, "\\\\.\\", 4) == 0 ? name + 4 : nullptr;
}

bool DosDeviceExists(const char* dosName) {
    char target[512];
    return ::QueryDosDeviceA(dosName, target, sizeof target) != 0;
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

std::string Win32DeviceIo::DeviceIdentity(const char* name) {
    const char* dos = DosName(name);
    if (dos == nullptr) return {};
    if (::_strnicmp(dos, "USBSCAN", 7) == 0 && dos[7] != '\0') {
        for (const char* p = dos + 7; *p != '\0'; ++p) {
            if (*p < '0' || *p > '9') return {};
        }
        return DosDeviceExists(dos) ? "usbscan-" + std::string(dos + 7) : std::string();
    }
    if (std::strlen(dos) != 2 || dos[1] != ':' || !std::isalpha(static_cast<unsigned char>(dos[0])))
        return {};
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(dos[0])));
    const char root[4] = {letter, ':', '\\', '\0'};
    char volume[64];
    if (::GetVolumeNameForVolumeMountPointA(root, volume, sizeof volume)) {
        // "\\?\Volume{GUID}\": the braces and what they hold.
        const std::string text = volume;
        const std::size_t open = text.find('{');
        const std::size_t close = text.find('}', open == std::string::npos ? 0 : open);
        if (open != std::string::npos && close != std::string::npos)
            return "volume-" + text.substr(open, close - open + 1);
    }
    return DosDeviceExists(dos) ? std::string("drive-") + letter : std::string();
}

}  // namespace platform::win32
