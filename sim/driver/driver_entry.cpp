// Entry point and dispatch routines of the scanner driver: a still-image device reached as
// "\\.\USBSCAN0" whose bulk pipes are served by buffered ReadFile/WriteFile.
#include "sim/driver/kernel.h"

namespace {

constexpr ULONG kIoctlGetDeviceDescriptor = 0x80002018u;

constexpr USHORT kVendorId = 0x04F9;
constexpr USHORT kProductId = 0x0001;

UNICODE_STRING g_deviceName;
UNICODE_STRING g_linkName;

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS DispatchCreateClose(PDEVICE_OBJECT, PIRP irp) {
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG outLen = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    if (code == kIoctlGetDeviceDescriptor) {
        if (outLen < 8 || buffer == nullptr) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        const USHORT words[4] = {kVendorId, kProductId, 0x0100, 0x0409};
        for (int i = 0; i < 4; ++i) {
            buffer[2 * i] = static_cast<UCHAR>(words[i] & 0xFF);
            buffer[2 * i + 1] = static_cast<UCHAR>(words[i] >> 8);
        }
        return Complete(irp, STATUS_SUCCESS, 8);
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS DispatchUnsupported(PDEVICE_OBJECT, PIRP irp) {
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

void DriverUnload(PDRIVER_OBJECT driver) {
    IoDeleteSymbolicLink(&g_linkName);
    if (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    RtlInitUnicodeString(&g_deviceName, L"\\Device\\KelvaneScanner0");
    RtlInitUnicodeString(&g_linkName, L"\\DosDevices\\USBSCAN0");

    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status =
        IoCreateDevice(driver, 0, &g_deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    device->Flags |= DO_BUFFERED_IO;

    status = IoCreateSymbolicLink(&g_linkName, &g_deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }

    for (auto& fn : driver->MajorFunction) fn = DispatchUnsupported;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->DriverUnload = DriverUnload;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
