// Kernel glue of the scanner driver. Each scanner N (memory image, exchange log, one session per
// open handle) answers through up to three devices:
// - \Device\KelvaneScannerControl<N>, linked as \DosDevices\KelvaneScannerControl<N> (no number
//   for scanner 0), always: the private controls, whichever presentations are on;
// - the still-image device \Device\KelvaneScanner<N>, linked as \DosDevices\USBSCAN<N>, for the
//   first StillImage scanners (the service's value: how many, 1 when absent): Bulk-Only
//   Transport over ReadFile/WriteFile;
// - the removable drive \Device\KelvaneScannerDisk<N>, linked as \DosDevices\X:, where the
//   service's DiskLetter value holds an N-th letter: IOCTL_SCSI_PASS_THROUGH_DIRECT.
// One lock serialises every request of every scanner, so they can share one tick counter.
// Requests complete at once, except the one whose answer a hold fault keeps back until the
// release control: then that caller waits, and nothing else does.
#include <new>

#include "sim/driver/driver_interface.h"
#include "sim/driver/kernel.h"
#include "sim/driver/scanner_core.h"

namespace {

constexpr ULONG kPoolTag = 0x766C4B53;  // "SKlv" in pool dumps
constexpr std::uint32_t kLogCapacity = 8192;
constexpr UCHAR kModelBcdDevice = 0x01;
// The largest data phase the model takes (a firmware block or a memory read).
constexpr std::uint32_t kStagingSize = 0x10000;
constexpr ULONG kIoctlScsiPassThroughDirect = 0x0004D014;

// Wine's mount manager: IOCTL_MOUNTMGR_DEFINE_UNIX_DRIVE and its record as Wine 8.0 has it
// (32 bytes; the older layout in the toolchain's mountmgr.h differs).
constexpr ULONG kIoctlDefineUnixDrive = (0x6Du << 16) | (3u << 14) | (32u << 2);
constexpr ULONG kDriveNoRootDir = 1;
constexpr ULONG kDriveRemovable = 2;
struct UnixDriveRecord {
    ULONG size;
    ULONG type;
    ULONG fsType;
    ULONG serial;
    ULONGLONG unixDev;
    WCHAR letter;
    USHORT mountPointOffset;
    USHORT deviceOffset;
    USHORT labelOffset;
};
static_assert(sizeof(UnixDriveRecord) == 32);

constexpr ACCESS_MASK kProcessVmAccess = 0x0008 | 0x0010 | 0x0020;  // operation, read, write

// A name of the form PREFIX<N>, N a digit (left out for 0 unless `zeroToo`), in storage of its
// own.
struct NumberedName {
    WCHAR buffer[48];
    UNICODE_STRING string;

    void Make(const wchar_t* prefix, std::uint32_t n, bool zeroToo) {
        USHORT i = 0;
        for (; prefix[i] != L'\0' && i + 2u < sizeof buffer / sizeof buffer[0]; ++i)
            buffer[i] = prefix[i];
        if (n != 0 || zeroToo) buffer[i++] = static_cast<WCHAR>(L'0' + n);
        buffer[i] = L'\0';
        RtlInitUnicodeString(&string, buffer);
    }
};

// One scanner: its model and log, and its devices and links.
struct DeviceState {
    scanner_driver::ScannerCore core;
    std::uint8_t* memory;
    scanner_driver::ExchangeRecord* log;
    std::uint8_t* staging;
    PDEVICE_OBJECT devices[3];
    NumberedName controlLink;
    bool controlLinked;
    NumberedName stillImageLink;
    bool stillImageLinked;
    WCHAR diskLinkBuffer[16];
    UNICODE_STRING diskLink;
    WCHAR diskLetter;  // 0: no disk presentation
    bool diskLinked;
    PIRP held;  // the request a hold fault keeps waiting, its answer already in place
};

// What each device object carries: which presentation of which scanner it is.
struct DeviceExtension {
    scanner_driver::Presentation presentation;
    DeviceState* scanner;
};

FAST_MUTEX g_lock;
std::uint32_t g_ticks = 0;  // every scanner's calls, counted under g_lock
DeviceState* g_scanners[scanner_driver::kMaxScanners] = {};

// What the host side met last on the disk path, for the status control: how the caller's
// process was opened and how its memory was last read and written.
NTSTATUS g_lastOpenStatus = STATUS_SUCCESS;
NTSTATUS g_lastReadStatus = STATUS_SUCCESS;
NTSTATUS g_lastWriteStatus = STATUS_SUCCESS;

// The headers turn KeQueryTickCount into a read of a page that the driver host does not map,
// and the host's interrupt time does not advance; the exported tick count does.
using QueryTickCountFn = void(NTAPI*)(PLARGE_INTEGER);
QueryTickCountFn g_queryTickCount = nullptr;
ULONG g_tickIncrement = 0;  // 100 ns units per tick

// The caller's memory is moved with ntdll's NtReadVirtualMemory/NtWriteVirtualMemory, found at
// run time: the kernel exports neither, and importing ntdll would make Wine load the driver as a
// plain DLL.
using VirtualMemoryFn = NTSTATUS(NTAPI*)(HANDLE, PVOID, PVOID, SIZE_T, PSIZE_T);
VirtualMemoryFn g_readVirtualMemory = nullptr;
VirtualMemoryFn g_writeVirtualMemory = nullptr;

std::uint64_t NowMs(void*) {
    LARGE_INTEGER ticks;
    g_queryTickCount(&ticks);
    return static_cast<std::uint64_t>(ticks.QuadPart) * g_tickIncrement / 10000;
}

void* SystemRoutine(const wchar_t* name) {
    UNICODE_STRING routine;
    RtlInitUnicodeString(&routine, name);
    return MmGetSystemRoutineAddress(&routine);
}

// The parts of a PE image's export directory that a lookup by name needs.
struct ExportDirectory {
    ULONG characteristics;
    ULONG timeDateStamp;
    USHORT majorVersion;
    USHORT minorVersion;
    ULONG name;
    ULONG base;
    ULONG numberOfFunctions;
    ULONG numberOfNames;
    ULONG addressOfFunctions;
    ULONG addressOfNames;
    ULONG addressOfNameOrdinals;
};

bool SameAscii(const char* a, const char* b, bool ignoreCase) {
    for (;; ++a, ++b) {
        char x = *a, y = *b;
        if (ignoreCase) {
            if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
            if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        }
        if (x != y) return false;
        if (x == '\0') return true;
    }
}

// ntdll's export `name`. The kernel forwards its export NlsAnsiCodePage to ntdll's variable, so
// that address lies inside ntdll and gives its image base; the export directory is walked from
// there.
void* NtdllExport(const char* name) {
    using PcToFileHeaderFn = PVOID(NTAPI*)(PVOID, PVOID*);
    using DirectoryEntryFn = PVOID(NTAPI*)(PVOID, BOOLEAN, USHORT, PULONG);
    auto pcToFileHeader = reinterpret_cast<PcToFileHeaderFn>(SystemRoutine(L"RtlPcToFileHeader"));
    auto directoryEntry =
        reinterpret_cast<DirectoryEntryFn>(SystemRoutine(L"RtlImageDirectoryEntryToData"));
    void* insideNtdll = SystemRoutine(L"NlsAnsiCodePage");
    if (pcToFileHeader == nullptr || directoryEntry == nullptr || insideNtdll == nullptr)
        return nullptr;
    PVOID base = nullptr;
    if (pcToFileHeader(insideNtdll, &base) == nullptr || !base) return nullptr;
    ULONG size = 0;
    constexpr USHORT kExportDirectoryEntry = 0;
    auto* dir = static_cast<const ExportDirectory*>(
        directoryEntry(base, TRUE, kExportDirectoryEntry, &size));
    if (dir == nullptr || size < sizeof *dir) return nullptr;
    const auto* image = static_cast<const std::uint8_t*>(base);
    if (!SameAscii(reinterpret_cast<const char*>(image + dir->name), "ntdll.dll", true))
        return nullptr;
    const auto* names = reinterpret_cast<const ULONG*>(image + dir->addressOfNames);
    const auto* ordinals = reinterpret_cast<const USHORT*>(image + dir->addressOfNameOrdinals);
    const auto* functions = reinterpret_cast<const ULONG*>(image + dir->addressOfFunctions);
    for (ULONG i = 0; i < dir->numberOfNames; ++i) {
        if (!SameAscii(reinterpret_cast<const char*>(image + names[i]), name, false)) continue;
        if (ordinals[i] >= dir->numberOfFunctions) return nullptr;
        return const_cast<std::uint8_t*>(image + functions[ordinals[i]]);
    }
    return nullptr;
}

// A handle on the process that sent the request under way (the driver host runs each request on
// a thread that answers PsGetCurrentProcessId with the caller's id), open for moving memory.
class CallerProcess {
  public:
    CallerProcess() {
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        CLIENT_ID id{};
        id.UniqueProcess = PsGetCurrentProcessId();
        g_lastOpenStatus = ZwOpenProcess(&h_, kProcessVmAccess, &attributes, &id);
        if (!NT_SUCCESS(g_lastOpenStatus)) h_ = nullptr;
    }
    CallerProcess(const CallerProcess&) = delete;
    CallerProcess& operator=(const CallerProcess&) = delete;
    ~CallerProcess() {
        if (h_) ZwClose(h_);
    }

    scanner_driver::CallerMemory Memory() {
        scanner_driver::CallerMemory m;
        m.read = &Read;
        m.write = &Write;
        m.context = this;
        return m;
    }

  private:
    static bool Read(void* context, std::uint64_t address, void* to, std::uint32_t length) {
        auto* self = static_cast<CallerProcess*>(context);
        if (self->h_ == nullptr || g_readVirtualMemory == nullptr) return false;
        SIZE_T done = 0;
        g_lastReadStatus =
            g_readVirtualMemory(self->h_, reinterpret_cast<PVOID>(address), to, length, &done);
        return NT_SUCCESS(g_lastReadStatus) && done == length;
    }
    static bool Write(void* context, std::uint64_t address, const void* from,
                      std::uint32_t length) {
        auto* self = static_cast<CallerProcess*>(context);
        if (self->h_ == nullptr || g_writeVirtualMemory == nullptr) return false;
        SIZE_T done = 0;
        g_lastWriteStatus = g_writeVirtualMemory(self->h_, reinterpret_cast<PVOID>(address),
                                                 const_cast<void*>(from), length, &done);
        return NT_SUCCESS(g_lastWriteStatus) && done == length;
    }

    HANDLE h_ = nullptr;
};

scanner_driver::Presentation PresentationOf(PDEVICE_OBJECT device) {
    return static_cast<DeviceExtension*>(device->DeviceExtension)->presentation;
}

DeviceState* ScannerOf(PDEVICE_OBJECT device) {
    return static_cast<DeviceExtension*>(device->DeviceExtension)->scanner;
}

// Holds the scanners' lock for one request.
class Locked {
  public:
    Locked() { ExAcquireFastMutex(&g_lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    ~Locked() { ExReleaseFastMutex(&g_lock); }
};

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The held request's caller went away: it is answered as cancelled, unless the release took it
// first (then the release answers it).
void CancelHeld(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    bool ours = false;
    {
        Locked hold;
        DeviceState* scanner = ScannerOf(device);
        ours = scanner->held == irp;
        if (ours) scanner->held = nullptr;
    }
    if (ours) Complete(irp, STATUS_CANCELLED, 0);
}

// Answers the request, or, when the core asked for it and the scanner holds no other, keeps it
// waiting with its answer in place until ReleaseHeld.
NTSTATUS AnswerOrHold(PDEVICE_OBJECT device, PIRP irp, NTSTATUS status, ULONG_PTR information,
                      bool hold) {
    DeviceState* scanner = ScannerOf(device);
    {
        Locked locked;
        hold = hold && NT_SUCCESS(status) && scanner->held == nullptr;
        if (hold) {
            irp->IoStatus.Status = status;
            irp->IoStatus.Information = information;
            IoMarkIrpPending(irp);
            scanner->held = irp;
            IoSetCancelRoutine(irp, CancelHeld);
        }
    }
    if (!hold) return Complete(irp, status, information);
    // Cancelled before its cancel routine was in place: nobody else will answer it.
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        bool ours = false;
        {
            Locked locked;
            ours = scanner->held == irp;
            if (ours) scanner->held = nullptr;
        }
        if (ours) Complete(irp, STATUS_CANCELLED, 0);
    }
    return STATUS_PENDING;
}

// Answers the request held on `scanner`, if any; returns how many were answered.
std::uint32_t ReleaseHeld(DeviceState* scanner) {
    PIRP irp = nullptr;
    {
        Locked hold;
        irp = scanner->held;
        scanner->held = nullptr;
    }
    if (irp == nullptr) return 0;
    // Taken from the scanner, so a cancel routine running now leaves it to us.
    IoSetCancelRoutine(irp, nullptr);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return 1;
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
    {
        Locked hold;
        // The driver host answers with the process that sent the request.
        ScannerOf(device)->core.Open(
            *session,
            static_cast<std::uint32_t>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId())),
            PresentationOf(device));
    }
    stack->FileObject->FsContext = session;
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (scanner_driver::Session* session = SessionOf(stack)) {
        {
            Locked hold;
            ScannerOf(device)->core.Close(*session);
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
    bool ok = false, held = false;
    {
        Locked hold;
        scanner_driver::ScannerCore& core = ScannerOf(device)->core;
        ok = core.Read(*session, buffer, length, &given);
        held = core.TakeHold();
    }
    return AnswerOrHold(device, irp, ok ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, ok ? given : 0,
                        held);
}

NTSTATUS DispatchWrite(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    scanner_driver::Session* session = SessionOf(stack);
    if (session == nullptr) return Complete(irp, STATUS_INVALID_HANDLE, 0);
    const auto* buffer = static_cast<const std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    const ULONG length = buffer ? stack->Parameters.Write.Length : 0;
    std::uint32_t taken = 0;
    Locked hold;
    const bool ok = ScannerOf(device)->core.Write(*session, buffer, length, &taken);
    return Complete(irp, ok ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, ok ? taken : 0);
}

// The host's side of the status: whether ntdll's routines were found, and what opening the
// caller's process and moving its memory answered last.
void AddHostStatus(const DeviceState& scanner, void* buffer, std::uint32_t returned) {
    if (returned < sizeof(scanner_driver::DriverStatus)) return;
    auto* st = static_cast<scanner_driver::DriverStatus*>(buffer);
    st->heldRequests = scanner.held ? 1u : 0u;
    st->callerMemoryRoutines = (g_readVirtualMemory ? 1u : 0u) | (g_writeVirtualMemory ? 2u : 0u);
    st->lastProcessOpen = static_cast<std::uint32_t>(g_lastOpenStatus);
    st->lastMemoryRead = static_cast<std::uint32_t>(g_lastReadStatus);
    st->lastMemoryWrite = static_cast<std::uint32_t>(g_lastWriteStatus);
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    scanner_driver::Session* session = SessionOf(stack);
    if (session == nullptr) return Complete(irp, STATUS_INVALID_HANDLE, 0);
    // METHOD_BUFFERED: input and output share the system buffer.
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    const ULONG inLen = buffer ? stack->Parameters.DeviceIoControl.InputBufferLength : 0;
    const ULONG outLen = buffer ? stack->Parameters.DeviceIoControl.OutputBufferLength : 0;
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    std::uint32_t returned = 0;
    scanner_driver::ControlResult result;
    bool held = false;
    if (code == kIoctlScsiPassThroughDirect) {
        // Opened before taking the lock: the caller's process is the same for the whole request.
        CallerProcess caller;
        Locked hold;
        scanner_driver::ScannerCore& core = ScannerOf(device)->core;
        result = core.PassThrough(*session, buffer, inLen, outLen, &returned, caller.Memory());
        held = core.TakeHold();
    } else if (code == scanner_driver::kIoctlReleaseHold &&
               PresentationOf(device) == scanner_driver::Presentation::kControl) {
        const std::uint32_t released = ReleaseHeld(ScannerOf(device));
        if (outLen >= sizeof released) {
            RtlCopyMemory(buffer, &released, sizeof released);
            returned = sizeof released;
        }
        result = scanner_driver::ControlResult::kOk;
    } else {
        Locked hold;
        result = ScannerOf(device)->core.Control(*session, code, buffer, inLen, buffer, outLen,
                                                 &returned);
        if (code == scanner_driver::kIoctlStatus && result == scanner_driver::ControlResult::kOk)
            AddHostStatus(*ScannerOf(device), buffer, returned);
    }
    switch (result) {
        case scanner_driver::ControlResult::kOk:
            return AnswerOrHold(device, irp, STATUS_SUCCESS, returned, held);
        case scanner_driver::ControlResult::kBadParameter:
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        case scanner_driver::ControlResult::kUnreachable:
            return Complete(irp, STATUS_ACCESS_VIOLATION, 0);
        case scanner_driver::ControlResult::kUnknownCode:
            break;
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS DispatchUnsupported(PDEVICE_OBJECT, PIRP irp) {
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

// --- Settings from the service's registry key ------------------------------------------------

class RegistryKey {
  public:
    explicit RegistryKey(PUNICODE_STRING path) {
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                   nullptr, nullptr);
        if (!NT_SUCCESS(ZwOpenKey(&h_, KEY_READ, &attributes))) h_ = nullptr;
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() {
        if (h_) ZwClose(h_);
    }

    // The value's type and data (up to 16 bytes); false when it is absent.
    bool Query(const wchar_t* name, ULONG* type, std::uint8_t data[16], ULONG* length) const {
        if (h_ == nullptr) return false;
        UNICODE_STRING valueName;
        RtlInitUnicodeString(&valueName, name);
        union {
            KEY_VALUE_PARTIAL_INFORMATION info;
            std::uint8_t bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 16];
        } reply;
        ULONG size = 0;
        if (!NT_SUCCESS(ZwQueryValueKey(h_, &valueName, KeyValuePartialInformation, &reply,
                                        sizeof reply, &size)))
            return false;
        *type = reply.info.Type;
        *length = reply.info.DataLength < 16 ? reply.info.DataLength : 16;
        RtlCopyMemory(data, reply.info.Data, *length);
        return true;
    }

  private:
    HANDLE h_ = nullptr;
};

// What the service's key asks for: StillImage (REG_DWORD, how many scanners present a
// still-image device; 1 when absent, 0 none) and DiskLetter (REG_SZ, one drive letter per scanner
// that presents a removable drive, in scanner order; absent or empty: none). Letters that are no
// drive letter, or that repeat, end the list; so does the scanner limit.
struct Presentations {
    std::uint32_t stillImages = 1;
    WCHAR diskLetters[scanner_driver::kMaxScanners] = {};
    std::uint32_t disks = 0;

    std::uint32_t Scanners() const {
        const std::uint32_t n = stillImages > disks ? stillImages : disks;
        return n == 0 ? 1 : n;  // the controls are always there
    }
};

Presentations ReadPresentations(PUNICODE_STRING registryPath) {
    Presentations p;
    RegistryKey key(registryPath);
    ULONG type = 0, length = 0;
    std::uint8_t data[16];
    if (key.Query(L"StillImage", &type, data, &length) && type == REG_DWORD && length == 4) {
        const std::uint32_t n = data[0] | (data[1] << 8) | (data[2] << 16) |
                                (static_cast<std::uint32_t>(data[3]) << 24);
        p.stillImages = n < scanner_driver::kMaxScanners ? n : scanner_driver::kMaxScanners;
    }
    if (key.Query(L"DiskLetter", &type, data, &length) && type == REG_SZ) {
        for (ULONG at = 0; at + 1 < length && p.disks < scanner_driver::kMaxScanners; at += 2) {
            WCHAR letter = static_cast<WCHAR>(data[at] | (data[at + 1] << 8));
            if (letter >= L'a' && letter <= L'z') letter = static_cast<WCHAR>(letter - L'a' + L'A');
            if (letter < L'C' || letter > L'Z') break;
            bool repeated = false;
            for (std::uint32_t k = 0; k < p.disks; ++k) repeated |= p.diskLetters[k] == letter;
            if (repeated) break;
            p.diskLetters[p.disks++] = letter;
        }
    }
    return p;
}

// --- The drive letter ------------------------------------------------------------------------

// Defines `letter` in Wine's mount manager as `type` with no mount point: DRIVE_REMOVABLE makes
// GetDriveType answer removable, DRIVE_NO_ROOT_DIR removes the drive again.
NTSTATUS DefineDrive(WCHAR letter, ULONG type) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\??\\MountPointManager");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE manager = nullptr;
    IO_STATUS_BLOCK io;
    NTSTATUS status = ZwCreateFile(&manager, GENERIC_READ | GENERIC_WRITE, &attributes, &io,
                                   nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                   FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(status)) return status;
    UnixDriveRecord record{};
    record.size = sizeof record;
    record.type = type;
    record.letter = letter;
    status = ZwDeviceIoControlFile(manager, nullptr, nullptr, nullptr, &io, kIoctlDefineUnixDrive,
                                   &record, sizeof record, nullptr, 0);
    ZwClose(manager);
    return status;
}

// The mount manager links the letter to a volume of its own; the letter must reach our device.
NTSTATUS LinkDisk(DeviceState& scanner, PUNICODE_STRING deviceName) {
    NTSTATUS status = DefineDrive(scanner.diskLetter, kDriveRemovable);
    if (!NT_SUCCESS(status)) return status;
    IoDeleteSymbolicLink(&scanner.diskLink);
    status = IoCreateSymbolicLink(&scanner.diskLink, deviceName);
    if (!NT_SUCCESS(status)) {
        DefineDrive(scanner.diskLetter, kDriveNoRootDir);
        return status;
    }
    scanner.diskLinked = true;
    return STATUS_SUCCESS;
}

// --- Start and unload ------------------------------------------------------------------------

void RemoveScanner(DeviceState*& scanner) {
    if (scanner == nullptr) return;
    // Its caller is answered: nothing may wait on a scanner that goes.
    ReleaseHeld(scanner);
    if (scanner->diskLinked) {
        IoDeleteSymbolicLink(&scanner->diskLink);
        DefineDrive(scanner->diskLetter, kDriveNoRootDir);
    }
    if (scanner->stillImageLinked) IoDeleteSymbolicLink(&scanner->stillImageLink.string);
    if (scanner->controlLinked) IoDeleteSymbolicLink(&scanner->controlLink.string);
    for (PDEVICE_OBJECT device : scanner->devices)
        if (device) IoDeleteDevice(device);
    if (scanner->memory) ExFreePoolWithTag(scanner->memory, kPoolTag);
    if (scanner->log) ExFreePoolWithTag(scanner->log, kPoolTag);
    if (scanner->staging) ExFreePoolWithTag(scanner->staging, kPoolTag);
    scanner->~DeviceState();
    ExFreePoolWithTag(scanner, kPoolTag);
    scanner = nullptr;
}

void RemoveAll() {
    for (DeviceState*& scanner : g_scanners) RemoveScanner(scanner);
}

void DriverUnload(PDRIVER_OBJECT) {
    RemoveAll();
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

NTSTATUS CreateScanner(DeviceState** made) {
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(DeviceState), kPoolTag);
    if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto* scanner = new (memory) DeviceState();
    *made = scanner;
    scanner->memory = static_cast<std::uint8_t*>(
        ExAllocatePoolWithTag(NonPagedPool, scanner_driver::kDefaultMemorySize, kPoolTag));
    scanner->log = static_cast<scanner_driver::ExchangeRecord*>(ExAllocatePoolWithTag(
        NonPagedPool, kLogCapacity * sizeof(scanner_driver::ExchangeRecord), kPoolTag));
    scanner->staging =
        static_cast<std::uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, kStagingSize, kPoolTag));
    if (scanner->memory == nullptr || scanner->log == nullptr || scanner->staging == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    // The model keeps memory as a difference from its pattern: zero reads as never written.
    RtlZeroMemory(scanner->memory, scanner_driver::kDefaultMemorySize);
    scanner->core.Init(scanner->memory, scanner_driver::kDefaultMemorySize,
                       sim::ModelClock{&NowMs, nullptr}, scanner->log, kLogCapacity);
    scanner->core.InitStaging(scanner->staging, kStagingSize);
    scanner->core.ShareTicks(&g_ticks);
    ApplyDefaults(scanner->core.Model().config);
    return STATUS_SUCCESS;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, DeviceState& scanner, int slot, const wchar_t* prefix,
                   std::uint32_t n, scanner_driver::Presentation presentation,
                   NumberedName* deviceName) {
    // The controls of scanner 0 keep the name they always had.
    deviceName->Make(prefix, n, presentation != scanner_driver::Presentation::kControl);
    PDEVICE_OBJECT device = nullptr;
    const NTSTATUS status = IoCreateDevice(driver, sizeof(DeviceExtension), &deviceName->string,
                                           FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    device->Flags |= DO_BUFFERED_IO;
    auto* extension = static_cast<DeviceExtension*>(device->DeviceExtension);
    extension->presentation = presentation;
    extension->scanner = &scanner;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    scanner.devices[slot] = device;
    return STATUS_SUCCESS;
}

// Scanner `n` with the presentations asked for it.
NTSTATUS StartScanner(PDRIVER_OBJECT driver, std::uint32_t n, const Presentations& asked) {
    NTSTATUS status = CreateScanner(&g_scanners[n]);
    if (!NT_SUCCESS(status)) return status;
    DeviceState& scanner = *g_scanners[n];

    NumberedName controlName, stillImageName, diskName;
    status = AddDevice(driver, scanner, 0, L"\\Device\\KelvaneScannerControl", n,
                       scanner_driver::Presentation::kControl, &controlName);
    if (!NT_SUCCESS(status)) return status;
    scanner.controlLink.Make(L"\\DosDevices\\KelvaneScannerControl", n, false);
    status = IoCreateSymbolicLink(&scanner.controlLink.string, &controlName.string);
    if (!NT_SUCCESS(status)) return status;
    scanner.controlLinked = true;

    if (n < asked.stillImages) {
        status = AddDevice(driver, scanner, 1, L"\\Device\\KelvaneScanner", n,
                           scanner_driver::Presentation::kStillImage, &stillImageName);
        if (!NT_SUCCESS(status)) return status;
        scanner.stillImageLink.Make(L"\\DosDevices\\USBSCAN", n, true);
        status = IoCreateSymbolicLink(&scanner.stillImageLink.string, &stillImageName.string);
        if (!NT_SUCCESS(status)) return status;
        scanner.stillImageLinked = true;
    }

    if (n < asked.disks) {
        status = AddDevice(driver, scanner, 2, L"\\Device\\KelvaneScannerDisk", n,
                           scanner_driver::Presentation::kDisk, &diskName);
        if (!NT_SUCCESS(status)) return status;
        scanner.diskLetter = asked.diskLetters[n];
        const wchar_t link[] = L"\\DosDevices\\K:";
        for (unsigned i = 0; i < sizeof link / sizeof link[0]; ++i)
            scanner.diskLinkBuffer[i] = link[i];
        scanner.diskLinkBuffer[12] = scanner.diskLetter;
        RtlInitUnicodeString(&scanner.diskLink, scanner.diskLinkBuffer);
        status = LinkDisk(scanner, &diskName.string);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Start(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    const Presentations asked = ReadPresentations(registryPath);
    for (std::uint32_t n = 0; n < asked.Scanners(); ++n) {
        const NTSTATUS status = StartScanner(driver, n, asked);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    ExInitializeFastMutex(&g_lock);
    g_queryTickCount = reinterpret_cast<QueryTickCountFn>(SystemRoutine(L"KeQueryTickCount"));
    g_tickIncrement = KeQueryTimeIncrement();
    if (g_queryTickCount == nullptr || g_tickIncrement == 0) return STATUS_PROCEDURE_NOT_FOUND;
    g_readVirtualMemory = reinterpret_cast<VirtualMemoryFn>(NtdllExport("NtReadVirtualMemory"));
    g_writeVirtualMemory = reinterpret_cast<VirtualMemoryFn>(NtdllExport("NtWriteVirtualMemory"));

    for (auto& fn : driver->MajorFunction) fn = DispatchUnsupported;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->DriverUnload = DriverUnload;

    const NTSTATUS status = Start(driver, registryPath);
    if (!NT_SUCCESS(status)) RemoveAll();
    return status;
}
