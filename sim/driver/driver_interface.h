// What the scanner driver offers besides the still-image device itself: its names, its default
// scanner, and the private I/O controls through which tests read the exchange log and the
// memory image and change the scanner's settings. Shared by the driver and the programs that
// talk to it; plain fixed-width records, the same in the driver host and in every client.
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

constexpr std::uint32_t kMaxMemoryRead = 0x10000;

struct Identity {
    std::uint32_t openId;     // this handle's number, counted from 1 since the driver started
    std::uint32_t processId;  // the process the driver sees behind this handle
};

// How an exchange ended.
enum ExchangeOutcome : std::uint8_t {
    kOutcomeCompleted = 0,  // its CSW was read
    kOutcomeAbandoned = 1,  // the same handle wrote a new CBW before reading the CSW
    kOutcomeClosed = 2,     // the handle was closed before the CSW was read
};

// One Bulk-Only Transport exchange, CBW to CSW, as the device saw it.
struct ExchangeRecord {
    std::uint32_t seq;        // position in the log, from 1
    std::uint32_t startTick;  // the driver's bulk-pipe call counter at the CBW...
    std::uint32_t endTick;    // ...and at the call that ended the exchange
    std::uint32_t openId;
    std::uint32_t processId;
    std::uint8_t cdb[16];
    std::uint8_t deviceToHost;  // 1: data phase device to host
    std::uint8_t status;        // CSW status; 0xFF when none was given
    std::uint8_t outcome;       // ExchangeOutcome
    std::uint8_t headCount;     // valid bytes in head
    std::uint32_t length;       // the CBW's data length
    std::uint32_t moved;        // data bytes moved in the data phase
    std::uint32_t digest;       // FNV-1a (32-bit) of the data bytes moved
    std::uint8_t head[16];      // the first data bytes moved (a whole service reply)
};
static_assert(sizeof(ExchangeRecord) == 68);

constexpr std::uint8_t kNoStatus = 0xFF;

struct LogQuery {
    std::uint32_t fromSeq;  // the first record wanted (older ones that are still kept are skipped)
};

struct LogReply {
    std::uint32_t count;     // records that follow
    std::uint32_t nextSeq;   // sequence number the next record will get
    std::uint32_t firstSeq;  // the oldest record still kept (records before it were overwritten)
    std::uint32_t reserved;
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

}  // namespace scanner_driver
