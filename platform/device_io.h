// Device I/O half of the OS seam: everything the device link asks of the operating system to
// reach a scanner. Each call has the meaning of the Win32 call it is named after; the Win32
// backend makes exactly that call, the simulated backend answers from simulated drives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/types.h"

namespace platform {

// I/O control codes used on scanner handles.
constexpr std::uint32_t kIoctlGetDeviceDescriptor = 0x80002018u;    // still-image driver
constexpr std::uint32_t kIoctlScsiPassThroughDirect = 0x0004D014u;  // storage stack

// The still-image driver's DEVICE_DESCRIPTOR: four little-endian 16-bit words.
struct DeviceDescriptor {
    std::uint16_t usVendorId;
    std::uint16_t usProductId;
    std::uint16_t usBcdDevice;
    std::uint16_t usLanguageId;
};
static_assert(sizeof(DeviceDescriptor) == 8);

// Layout-identical to the platform's SCSI_PASS_THROUGH_DIRECT in the process's own bitness: it
// holds a pointer, so it is 44 bytes in a 32-bit process and 56 in a 64-bit one. The Win32
// backend checks the identity against <ntddscsi.h> at compile time.
struct ScsiPassThroughDirect {
    std::uint16_t Length;
    std::uint8_t ScsiStatus;
    std::uint8_t PathId;
    std::uint8_t TargetId;
    std::uint8_t Lun;
    std::uint8_t CdbLength;
    std::uint8_t SenseInfoLength;
    std::uint8_t DataIn;
    std::uint32_t DataTransferLength;
    std::uint32_t TimeOutValue;
    void* DataBuffer;
    std::uint32_t SenseInfoOffset;
    std::uint8_t Cdb[16];
};

// The record handed to IOCTL_SCSI_PASS_THROUGH_DIRECT: the header, a 32-bit filler and a 32-byte
// sense buffer. Its sense buffer follows the filler directly (offset 48 and size 80 in a 32-bit
// process); code computes sizes and offsets with sizeof/offsetof, never with those figures.
struct ScsiPassThroughRecord {
    ScsiPassThroughDirect sptd;
    std::uint32_t Filler;
    std::uint8_t ucSenseBuf[32];
};

constexpr std::uint8_t kScsiIoctlDataOut = 0;
constexpr std::uint8_t kScsiIoctlDataIn = 1;

// The host's side of Bulk-Only Transport's own recovery on a still-image device's bulk pipes: a
// halted pipe is cleared, and a device out of step is put back to waiting for a command block
// by the class reset (Bulk-Only Mass Storage Reset), after which both pipes are cleared.
enum class PipeStep : std::uint8_t { kClearHaltIn, kClearHaltOut, kMassStorageReset };
enum class PipeStepResult : std::uint8_t {
    kDone,
    kFailed,        // the request was made and did not succeed (e.g. the device has gone)
    kNotAvailable,  // the platform's driver keeps the pipes to itself; nothing was sent
};

class DeviceIo {
  public:
    virtual ~DeviceIo() = default;

    // CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
    // OPEN_EXISTING, 0, nullptr). Returns InvalidHandle() when the device cannot be opened.
    virtual Handle OpenDevice(const char* name) = 0;

    // CloseHandle on a handle returned by OpenDevice. Each handle is closed once.
    virtual bool CloseDevice(Handle h) = 0;

    // DeviceIoControl, synchronous, no OVERLAPPED. `returned` receives the byte count written to
    // `out`. Returns false when the request itself failed.
    virtual bool DeviceIoControl(Handle h, std::uint32_t code, void* in, std::uint32_t inLen,
                                 void* out, std::uint32_t outLen, std::uint32_t* returned) = 0;

    // ReadFile / WriteFile, synchronous, no OVERLAPPED. The count actually moved goes to
    // `done`; a short count is still success.
    virtual bool ReadFile(Handle h, void* buf, std::uint32_t len, std::uint32_t* done) = 0;
    virtual bool WriteFile(Handle h, const void* buf, std::uint32_t len, std::uint32_t* done) = 0;

    // One recovery step on a still-image device handle. Only a backend that carries the bulk
    // transfers itself offers it; one that goes through the platform's still-image driver answers
    // kNotAvailable, so its wire is exactly the transfers the caller asked for.
    virtual PipeStepResult RecoverPipe(Handle h, PipeStep step) = 0;
    // Whether the last ReadFile or WriteFile on `h` that failed met a halted pipe (the device
    // answered with a STALL) rather than a time-out, a vanished device or anything else. False
    // where RecoverPipe is not available.
    virtual bool LastTransferStalled(Handle h) = 0;

    // GetLogicalDriveStringsA: fills `buf` with "C:\\\0D:\\\0...\0" and returns the length
    // without the final terminator; when `bufLen` is too small, fills nothing and returns the
    // length needed including the terminator. 0 on failure.
    virtual std::uint32_t GetLogicalDriveStrings(std::uint32_t bufLen, char* buf) = 0;

    // GetDriveTypeA on a root such as "E:\\"; one of the kDrive* values.
    virtual std::uint32_t GetDriveType(const char* root) = 0;

    // What names the device at `name` ("\\.\USBSCAN<n>", "\\.\<letter>:") for as long as it
    // stays attached: the same text in every process, never the text of another device attached
    // at the same time. Empty when no device is at the name. Per-scanner locks and events are
    // named after it, because the names themselves may lead elsewhere while a job runs (on Linux a
    // still-image number and a letter follow the set of devices attached).
    virtual std::string DeviceIdentity(const char* name) = 0;
};

}  // namespace platform
