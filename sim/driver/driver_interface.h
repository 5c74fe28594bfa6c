// What the scanner driver offers besides the devices themselves: its names, its default
// scanner, and the private I/O controls through which tests read the exchange log and the
// memory image, change the scanner's settings and make it lie. Shared by the driver and the
// programs that talk to it; plain fixed-width records, the same in the driver host and in every
// client.
#pragma once

#include <cstdint>

namespace scanner_driver {

// The scanner the driver starts with: the one kelvane-sim.exe carries (still-image device 0,
// an accepted vendor ID, version "1.23", 32 MiB of patterned memory, a few milliseconds of work
// after each data command).
constexpr std::uint16_t kDefaultVendorId = 0x04F9;
constexpr std::uint16_t kDefaultProductId = 0x2022;
constexpr char kDefaultVersion[4] = {'1', '.', '2', '3'};
constexpr std::uint32_t kDefaultMemorySize = 32u << 20;
constexpr std::uint32_t kDefaultWorkMs = 5;

// The name that always reaches the driver's controls, whichever presentations are on (the
// still-image device "\\.\USBSCAN0", the removable drive "\\.\K:", or both).
constexpr const char* kControlDeviceName = "\\\\.\\KelvaneScannerControl";

// The driver can serve several scanners, each with a memory, a device-side lock and a log of its
// own, so that programs on different devices really run side by side. Scanner N presents the
// still-image device "\\.\USBSCAN<N>" and the N-th drive letter it was given; its controls
// answer at kControlDeviceName with N appended (nothing appended for scanner 0). All scanners
// count ticks on one counter, so the records of two scanners' logs can be ordered in time.
constexpr std::uint32_t kMaxScanners = 4;

// CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS).
constexpr std::uint32_t PrivateIoctl(std::uint32_t function) {
    return (0x22u << 16) | (function << 2);
}

// Out: Identity. Who the caller is to the driver.
constexpr std::uint32_t kIoctlIdentity = PrivateIoctl(0x900);
// In: LogQuery. Out: LogReply followed by up to LogReply::count ExchangeRecords.
constexpr std::uint32_t kIoctlReadLog = PrivateIoctl(0x901);
// In: MemoryQuery. Out: the bytes as the device holds them (at most kMaxMemoryRead).
constexpr std::uint32_t kIoctlReadMemory = PrivateIoctl(0x902);
// Out: DriverStatus.
constexpr std::uint32_t kIoctlStatus = PrivateIoctl(0x903);
// In: Settings. Changes the scanner's settings; fields are taken as the mask says.
constexpr std::uint32_t kIoctlSetSettings = PrivateIoctl(0x904);
// Forgets the exchanges logged so far (the sequence numbers keep counting).
constexpr std::uint32_t kIoctlClearLog = PrivateIoctl(0x905);
// In: FaultTable. Replaces the faults the scanner is to commit (count 0: an honest scanner).
constexpr std::uint32_t kIoctlSetFaults = PrivateIoctl(0x906);
// Out (optional): a uint32_t, the requests released. Answers the request that a kFaultHold left
// waiting, if any.
constexpr std::uint32_t kIoctlReleaseHold = PrivateIoctl(0x907);

constexpr std::uint32_t kMaxMemoryRead = 0x10000;

struct Identity {
    std::uint32_t openId;     // this handle's number, counted from 1 since the driver started
    std::uint32_t processId;  // the process the driver sees behind this handle
};

// How an exchange ended.
enum ExchangeOutcome : std::uint8_t {
    kOutcomeCompleted = 0,    // its CSW was read
    kOutcomeAbandoned = 1,    // the same handle wrote a new CBW before reading the CSW
    kOutcomeClosed = 2,       // the handle was closed before the CSW was read
    kOutcomeUnreachable = 3,  // disk: the caller's data buffer could not be reached
};

// Which presentation an exchange came through.
enum ExchangePath : std::uint8_t {
    kPathStillImage = 0,  // Bulk-Only Transport on the still-image device
    kPathDisk = 1,        // IOCTL_SCSI_PASS_THROUGH_DIRECT on the removable drive
};

// One exchange as the device saw it: on the still-image path a Bulk-Only Transport exchange, CBW
// to CSW; on the disk path one pass-through record.
struct ExchangeRecord {
    std::uint32_t seq;        // position in the log, from 1
    std::uint32_t startTick;  // the driver's call counter (shared by its scanners) at the CBW...
    std::uint32_t endTick;    // ...and at the call that ended the exchange
    std::uint32_t openId;
    std::uint32_t processId;
    std::uint8_t cdb[16];
    std::uint8_t deviceToHost;     // 1: data phase device to host
    std::uint8_t status;           // CSW status, or the SCSI status on the disk path; 0xFF: none
    std::uint8_t outcome;          // ExchangeOutcome
    std::uint8_t headCount;        // valid bytes in head
    std::uint32_t length;          // the CBW's data length
    std::uint32_t moved;           // data bytes moved in the data phase
    std::uint32_t digest;          // FNV-1a (32-bit) of the data bytes moved
    std::uint8_t head[16];         // the first data bytes moved (a whole service reply)
    std::uint8_t path;             // ExchangePath
    std::uint8_t fault;            // the FaultKind committed in this exchange (kFaultNone: none)
    std::uint8_t cswLength;        // still-image: CSW bytes handed out (0 when none was read)
    std::uint8_t senseLength;      // valid bytes in sense
    std::uint32_t timeoutSeconds;  // disk: the record's TimeOutValue
    std::uint32_t reported;        // still-image: the CSW's residue; disk: the DataTransferLength
                                   // written back
    std::uint8_t sense[18];        // the sense data of a failed command, as the device kept it
    std::uint8_t reserved[2];
};
static_assert(sizeof(ExchangeRecord) == 100);

constexpr std::uint8_t kNoStatus = 0xFF;

struct LogQuery {
    std::uint32_t fromSeq;  // the first record wanted (older ones that are still kept are skipped)
};

struct LogReply {
    std::uint32_t count;     // records that follow
    std::uint32_t nextSeq;   // sequence number the next record will get
    std::uint32_t firstSeq;  // the oldest record still kept (records before it were overwritten)
    std::uint32_t tick;      // the driver's call counter now: later exchanges start after it
};

struct MemoryQuery {
    std::uint32_t address;
    std::uint32_t length;
};

struct DriverStatus {
    std::uint32_t memorySize;
    std::uint32_t openHandles;
    std::uint32_t exchanges;       // exchanges logged since the start
    std::uint32_t protocolErrors;  // bulk-pipe calls the device could not make sense of
    std::uint32_t locked;          // the device-side lock is held
    std::uint32_t busy;            // work under way
    std::uint32_t address;         // the address last set
    std::uint32_t firmwareBlocks;
    std::uint64_t firmwareBytes;
    std::uint32_t finishingValues;
    std::uint32_t lastFinishingValue;
    std::uint32_t calibrations;
    std::uint32_t versionReads;
    std::uint32_t memoryReads;
    std::uint32_t locksGranted;
    std::uint32_t locksRefused;
    std::uint32_t unlocks;
    std::uint32_t stillImageOpens;  // handles opened through each presentation since the start
    std::uint32_t diskOpens;
    std::uint32_t malformedRecords;  // pass-through records refused for their layout
    std::uint32_t
        unreachableBuffers;  // pass-through records whose data buffer could not be reached
    std::uint32_t faultsCommitted;
    // The driver host's side of the disk path: bit 0 and 1 set when ntdll's NtReadVirtualMemory
    // and NtWriteVirtualMemory were found; the NTSTATUS of the last caller-process open and of
    // the last read and write of a caller's data buffer.
    std::uint32_t callerMemoryRoutines;
    std::uint32_t lastProcessOpen;
    std::uint32_t lastMemoryRead;
    std::uint32_t lastMemoryWrite;
    std::uint32_t heldRequests;  // requests a kFaultHold keeps waiting now (0 or 1)
};

enum SettingsMask : std::uint32_t {
    kSetVendorId = 1u << 0,
    kSetProductId = 1u << 1,
    kSetVersion = 1u << 2,
    kSetWorkMs = 1u << 3,
    kSetNeverFinishes = 1u << 4,
    kSetReadiness = 1u << 5,
    kSetAnswersTagQuery = 1u << 6,
};

struct Settings {
    std::uint32_t mask;  // SettingsMask bits of the fields to take
    std::uint16_t vendorId;
    std::uint16_t productId;
    char version[4];  // unused bytes zero
    std::uint32_t workMs;
    std::uint8_t neverFinishes;
    std::uint8_t readiness;
    std::uint8_t answersTagQuery;
    std::uint8_t reserved;
};

// The faults the scanner commits on purpose, so that tests see what the tool makes of a device
// that fails or lies. Each entry fires once, at the Nth exchange whose vendor command (bytes
// 10..12 of the command block) matches; refused and lying exchanges are logged with their kind.
enum FaultKind : std::uint8_t {
    kFaultNone = 0,
    // The command is refused (CSW status 1, or CHECK CONDITION on the disk path) with the entry's
    // sense data; its data phase moves nothing.
    kFaultRefuse = 1,
    // Refused as above, but the CSW is cut to `value` bytes (1 to 12), so the status byte never
    // arrives. On the disk path, a plain refusal.
    kFaultRefuseShortCsw = 2,
    // The data phase moves only `value` bytes (0: half of the length asked) and the command
    // still reports success: CSW status 0 with the residue set, or SCSI status 0 with the smaller
    // DataTransferLength written back. The bytes of a firmware block that did arrive are written.
    kFaultShortData = 3,
    // The firmware block (02 03 05) is carried out and passed, but its byte at offset `value`
    // keeps a wrong value in memory (every bit flipped): only a read-back can tell. An offset
    // past the block spoils nothing; other commands are not touched.
    kFaultCorruptWrite = 4,
    // The exchange is carried out and logged as usual, but its answer is held back (the disk
    // path's record, the still-image path's CSW read): its caller waits until kIoctlReleaseHold,
    // so a test can keep a job inside its work for as long as it needs. One request per scanner
    // is held at a time; a second is answered at once.
    kFaultHold = 5,
};

constexpr std::uint32_t kMaxFaults = 8;

struct FaultEntry {
    std::uint8_t kind;         // FaultKind
    std::uint8_t command[3];   // bytes 10..12 of the vendor command block, e.g. 02 03 05
    std::uint32_t occurrence;  // fires at this matching exchange, counted from 1
    std::uint32_t value;
    std::uint8_t senseKey;  // the refusal's sense data (fixed format)
    std::uint8_t asc;
    std::uint8_t ascq;
    std::uint8_t reserved;
};

struct FaultTable {
    std::uint32_t count;  // entries in use
    FaultEntry entries[kMaxFaults];
};

}  // namespace scanner_driver
