// Kernel glue of the scanner driver: creates \Device\KelvaneScanner0 with the still-image link
// \DosDevices\USBSCAN0, owns the memory image, the exchange log and one session per open handle,
// and hands every request to the scanner core under one lock. Requests complete at once: the
// device never makes a caller wait.
#include <new>

#include "sim/driver/driver_interface.h"
#include "sim/driver/kernel.h"
#include "sim/driver/scanner_core.h"

namespace {

constexpr ULONG kPoolTag = 0x766C4B53;  // "SKlv" in pool dumps
constexpr std::uint32_t kLogCapacity = 8192;
constexpr UCHAR kModelBcdDevice = 0x01;

struct DeviceState {
    FAST_MUTEX lock;
    scanner_driver::ScannerCore core;
    std::uint8_t* memory;
    scanner_driver::ExchangeRecord* log;
};

UNICODE_STRING g_deviceName;
UNICODE_STRING g_linkName;

// The headers turn KeQueryTickCount into a read of a page that the driver host does not map,
// and the host's interrupt time does not advance; the exported tick count does.
using QueryTickCountFn = void(NTAPI*)(PLARGE_INTEGER);
QueryTickCountFn g_queryTickCount = nullptr;
ULONG g_tickIncrement = 0;  // 100 ns units per tick

std::uint64_t NowMs(void*) {
    LARGE_INTEGER ticks;
    g_queryTickCount(&ticks);
    return static_cast<std::uint64_t>(ticks.QuadPart) * g_tickIncrement / 10000;
}

DeviceState* StateOf(PDEVICE_OBJECT device) {
    return static_cast<DeviceState*>(device->DeviceExtension);
}

// Holds the device's lock for one request.
class Locked {
  public:
    explicit Locked(DeviceState* state) : state_(state) { ExAcquireFastMutex(&state_->lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    ~Locked() { ExReleaseFastMutex(&state_->lock); }

  private:
    DeviceState* state_;
};

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

scanner_driver::Session* SessionOf(PIO_STACK_LOCATION stack) {
    return stack->FileObject ? static_cast<scanner_driver::Session*>(stack->FileObject->FsContext)
                             : nullptr;
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->FileObject == nullptr) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(scanner_driver::Session), kPoolTag);
    if (memory == nullptr) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    auto* session = new (memory) scanner_driver::Session();
    DeviceState* state = StateOf(device);
    {
        Locked hold(state);
        // The driver host answers with the process that sent the request.
        state->core.Open(*session, static_cast<std::uint32_t>(
                                       reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId())));
    }
    stack->FileObject->FsContext = session;
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (scanner_driver::Session* session = SessionOf(stack)) {
        DeviceState* state = StateOf(device);
        {
            Locked hold(state);
            state->core.Close(*session);
        }
        stack->FileObject->FsContext = nullptr;
        session->~Session();
        ExFreePoolWithTag(session, kPoolTag);
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT, PIRP irp) {
    return Complete(irp, STATUS_SUCCESS, 0);
}

// Buffered I/O: the data sits in the system buffer, and the count moved goes back as the
// request's information. A call the device cannot serve fails like a stalled pipe.
NTSTATUS DispatchRead(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    scanner_driver::Session* session = SessionOf(stack);
    if (session == nullptr) return Complete(irp, STATUS_INVALID_HANDLE, 0);
    auto* buffer = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    const ULONG length = buffer ? stack->Parameters.Read.Length : 0;
    std::uint32_t given = 0;
    DeviceState* state = StateOf(device);
    Locked hold(state);
    const bool ok = state->core.Read(*session, buffer, length, &given);
    return Complete(irp, ok ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, ok ? given : 0);
}

NTSTATUS DispatchWrite(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    scanner_driver::Session* session = SessionOf(stack);
    if (session == nullptr) return Complete(irp, STATUS_INVALID_HANDLE, 0);
    const auto* buffer = static_cast<const std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    const ULONG length = buffer ? stack->Parameters.Write.Length : 0;
    std::uint32_t taken = 0;
    DeviceState* state = StateOf(device);
    Locked hold(state);
    const bool ok = state->core.Write(*session, buffer, length, &taken);
    return Complete(irp, ok ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, ok ? taken : 0);
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    scanner_driver::Session* session = SessionOf(stack);
    if (session == nullptr) return Complete(irp, STATUS_INVALID_HANDLE, 0);
    // METHOD_BUFFERED: input and output share the system buffer.
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    const ULONG inLen = buffer ? stack->Parameters.DeviceIoControl.InputBufferLength : 0;
    const ULONG outLen = buffer ? stack->Parameters.DeviceIoControl.OutputBufferLength : 0;
    std::uint32_t returned = 0;
    DeviceState* state = StateOf(device);
    Locked hold(state);
    switch (state->core.Control(*session, stack->Parameters.DeviceIoControl.IoControlCode, buffer,
                                inLen, buffer, outLen, &returned)) {
        case scanner_driver::ControlResult::kOk:
            return Complete(irp, STATUS_SUCCESS, returned);
        case scanner_driver::ControlResult::kBadParameter:
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        case scanner_driver::ControlResult::kUnknownCode:
            break;
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS DispatchUnsupported(PDEVICE_OBJECT, PIRP irp) {
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

void FreeState(DeviceState* state) {
    if (state->memory) ExFreePoolWithTag(state->memory, kPoolTag);
    if (state->log) ExFreePoolWithTag(state->log, kPoolTag);
    state->memory = nullptr;
    state->log = nullptr;
    state->~DeviceState();
}

void DriverUnload(PDRIVER_OBJECT driver) {
    IoDeleteSymbolicLink(&g_linkName);
    if (PDEVICE_OBJECT device = driver->DeviceObject) {
        FreeState(StateOf(device));
        IoDeleteDevice(device);
    }
}

// The scanner kelvane-sim.exe carries, so both meet the product with the same device.
void ApplyDefaults(sim::ModelConfig& c) {
    c.vendorId = scanner_driver::kDefaultVendorId;
    c.productId = scanner_driver::kDefaultProductId;
    c.bcdDevice = kModelBcdDevice << 8;
    for (unsigned i = 0; i < sizeof c.version; ++i)
        c.version[i] = scanner_driver::kDefaultVersion[i];
    c.workMs = scanner_driver::kDefaultWorkMs;
    c.patterned = true;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    RtlInitUnicodeString(&g_deviceName, L"\\Device\\KelvaneScanner0");
    RtlInitUnicodeString(&g_linkName, L"\\DosDevices\\USBSCAN0");
    UNICODE_STRING routine;
    RtlInitUnicodeString(&routine, L"KeQueryTickCount");
    g_queryTickCount = reinterpret_cast<QueryTickCountFn>(MmGetSystemRoutineAddress(&routine));
    g_tickIncrement = KeQueryTimeIncrement();
    if (g_queryTickCount == nullptr || g_tickIncrement == 0) return STATUS_PROCEDURE_NOT_FOUND;

    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(DeviceState), &g_deviceName,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    device->Flags |= DO_BUFFERED_IO;

    auto* state = new (device->DeviceExtension) DeviceState();
    ExInitializeFastMutex(&state->lock);
    state->memory = static_cast<std::uint8_t*>(
        ExAllocatePoolWithTag(NonPagedPool, scanner_driver::kDefaultMemorySize, kPoolTag));
    state->log = static_cast<scanner_driver::ExchangeRecord*>(ExAllocatePoolWithTag(
        NonPagedPool, kLogCapacity * sizeof(scanner_driver::ExchangeRecord), kPoolTag));
    if (state->memory == nullptr || state->log == nullptr) {
        FreeState(state);
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The model keeps memory as a difference from its pattern: zero reads as never written.
    RtlZeroMemory(state->memory, scanner_driver::kDefaultMemorySize);
    state->core.Init(state->memory, scanner_driver::kDefaultMemorySize,
                     sim::ModelClock{&NowMs, nullptr}, state->log, kLogCapacity);
    ApplyDefaults(state->core.Model().config);

    status = IoCreateSymbolicLink(&g_linkName, &g_deviceName);
    if (!NT_SUCCESS(status)) {
        FreeState(state);
        IoDeleteDevice(device);
        return status;
    }

    for (auto& fn : driver->MajorFunction) fn = DispatchUnsupported;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->DriverUnload = DriverUnload;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
