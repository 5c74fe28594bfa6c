// The scanner's firmware: how it answers each command block of the vendor command set, its
// device-side lock, its busy/finished state and its memory image.
//
// Freestanding: the same code is built into a kernel-mode driver without a C++ runtime, so it
// uses only fixed-width integers and memcpy/memset (no containers, allocation, exceptions or
// RTTI). The host supplies the memory image buffer and the clock.
//
// Commands (bytes 10..12 of the 16-byte vendor block; byte 0 0xC5, byte 1 0x07, bytes 6..9 the
// data length most significant byte first, which must equal the exchange's length):
//   FF 02     -> 4 bytes: the tag (config.tag); rejected when config.answersTagQuery is false
//   FF 03..06 -> 16-byte service reply: dwSize 16 at 0, dwResult at 8, little-endian
//                IsLock: lock held (by the host or another holder); IsFinish: not busy;
//                Lock: granted when free; UnLock: 1 when a lock was released
//   02 01 sel -> a get's first transfer: the selector's data, and work starts
//   02 02 sel -> a get's second transfer: the selector's data
//   02 03 sel -> a set: the selector's data is taken, and work starts
// Selectors: get 3 (16 bytes, byte 8 = readiness), get 5 (16, opening), get 6 (4: version,
// 16: closing), get 11 (up to 65536 bytes of memory from the address last set), set 4 (4-byte
// address), set 5 (a block written at the address last set), set 6 (4-byte finishing value),
// set 9 (4 bytes: start calibration). Data commands are refused (NOT READY) while work is under
// way. Anything else is refused (ILLEGAL REQUEST) and leaves its sense data. REQUEST SENSE
// (opcode 0x03) returns and clears the sense data of the last failed command.
//
// Memory: the image is kept as a difference from a fixed pattern (config.patterned), so a
// zero-filled buffer reads as PatternByte(address) until written, which lets read-back tests tell
// addresses apart without filling large images. Bytes past the image read as zero, and writes
// past it are dropped.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/device_protocol.h"

namespace sim {

// Milliseconds from the host's clock.
struct ModelClock {
    std::uint64_t (*now)(void* context) = nullptr;
    void* context = nullptr;
};

constexpr std::uint32_t kSenseDataLength = 18;
constexpr std::uint32_t kSelectorCount = 256;

// Fixed-format sense keys and additional sense codes the model reports.
constexpr std::uint8_t kSenseKeyNotReady = 0x02;
constexpr std::uint8_t kSenseKeyIllegalRequest = 0x05;
constexpr std::uint8_t kSenseKeyAbortedCommand = 0x0B;
constexpr std::uint8_t kAscInvalidOpcode = 0x20;
constexpr std::uint8_t kAscInvalidFieldInCdb = 0x24;
constexpr std::uint8_t kAscNotReady = 0x04;

struct ModelConfig {
    std::uint16_t vendorId = kScannerVendorIds[0];
    std::uint16_t productId = 0x2022;
    std::uint16_t bcdDevice = 0x0100;
    char tag[kTagLength] = {kScannerTag[0], kScannerTag[1], kScannerTag[2], kScannerTag[3]};
    bool answersTagQuery = true;
    char version[kVersionLength] = {'2', '2', '0', '6'};  // unused bytes zero
    std::uint8_t readiness = 0;                           // byte 8 of the get 3 reply
    std::uint32_t workMs = 0;  // busy time after a get's first transfer or a set
    std::uint32_t workMsFor[kSelectorCount] = {};  // nonzero: that selector's busy time instead
    bool neverFinishes = false;                    // IsFinish answers 0 for ever
    bool patterned = true;                         // unwritten memory reads as PatternByte(address)
};

// What the model has seen, for tests and the demo's status.
struct ModelCounters {
    std::uint32_t commands = 0;  // vendor commands executed, refused ones included
    std::uint32_t refused = 0;
    std::uint32_t tagQueries = 0;
    std::uint32_t lockQueries = 0;
    std::uint32_t finishQueries = 0;
    std::uint32_t locksGranted = 0;
    std::uint32_t locksRefused = 0;
    std::uint32_t unlocks = 0;  // UnLock commands that released a lock
    std::uint32_t addressSets = 0;
    std::uint32_t firmwareBlocks = 0;
    std::uint64_t firmwareBytes = 0;
    std::uint32_t finishingValues = 0;
    std::uint32_t lastFinishingValue = 0;
    std::uint32_t calibrations = 0;
    std::uint32_t versionReads = 0;
    std::uint32_t memoryReads = 0;
    std::uint64_t memoryBytesRead = 0;
    std::uint32_t workStarted = 0;
};

class FirmwareModel {
  public:
    // `memory` (may be null with size 0) is zero-filled by the host and outlives the model.
    void Init(std::uint8_t* memory, std::uint32_t memorySize, ModelClock clock);

    ModelConfig config;

    // Runs a command whose data goes to the host: at most `capacity` bytes are written to `data`
    // (the count goes to `produced`); `length` is the exchange's declared data length. False
    // when the command failed; its sense data is then set.
    bool ExecuteIn(const std::uint8_t* cdb, std::uint32_t length, std::uint8_t* data,
                   std::uint32_t capacity, std::uint32_t* produced);
    // Runs a command whose data comes from the host: `available` bytes arrived in `data`. A set
    // whose data arrived short is refused, unless `takePart` (a device that lies): then it is
    // carried out on what arrived, missing bytes of a 4-byte value read as zero.
    bool ExecuteOut(const std::uint8_t* cdb, std::uint32_t length, const std::uint8_t* data,
                    std::uint32_t available, bool takePart = false);

    // Sense data of the last failed command (fixed format, 18 bytes); all zero after a success.
    const std::uint8_t* Sense() const { return sense_; }
    void SetSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq);
    void SetSenseBytes(const std::uint8_t sense[kSenseDataLength]);

    // Lock and work state.
    bool Busy();
    bool Locked();
    bool LockedByHost() const { return hostLock_; }
    // Another holder owns the lock until `untilMs` (0: for ever). With `yieldsToUnlock` an UnLock
    // command takes it away (a dead holder's lock broken by the host); otherwise it stays.
    void HoldLockByOther(std::uint64_t untilMs, bool yieldsToUnlock);
    void ReleaseLocks();
    // Starts a busy period of `ms` from now.
    void StartWork(std::uint32_t ms);

    std::uint32_t Address() const { return address_; }
    std::uint32_t MemorySize() const { return memorySize_; }
    // The byte at `address` as the device holds it (0 past the end).
    std::uint8_t MemoryAt(std::uint32_t address) const;
    void SetMemoryAt(std::uint32_t address, std::uint8_t value);
    const ModelCounters& Counters() const { return counters_; }

    static std::uint8_t PatternByte(std::uint32_t address) {
        return static_cast<std::uint8_t>(address ^ (address >> 8) ^ (address >> 16) ^
                                         (address >> 24) ^ 0x5A);
    }

  private:
    std::uint64_t Now() const { return clock_.now ? clock_.now(clock_.context) : 0; }
    bool Refuse(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq = 0);
    bool Pass();
    bool LinkCommand(std::uint8_t code, std::uint32_t length, std::uint8_t* data,
                     std::uint32_t capacity, std::uint32_t* produced);
    bool GetData(bool first, std::uint8_t selector, std::uint32_t length, std::uint8_t* data,
                 std::uint32_t capacity, std::uint32_t* produced);
    bool SetData(std::uint8_t selector, std::uint32_t length, const std::uint8_t* data,
                 std::uint32_t available);
    void ReadMemory(std::uint8_t* out, std::uint32_t count) const;
    void WriteMemory(const std::uint8_t* in, std::uint32_t count);
    bool OtherHolds();

    std::uint8_t* memory_ = nullptr;
    std::uint32_t memorySize_ = 0;
    ModelClock clock_;
    std::uint8_t sense_[kSenseDataLength] = {};
    std::uint32_t address_ = 0;
    bool hostLock_ = false;
    bool otherLock_ = false;
    bool otherYields_ = true;
    std::uint64_t otherUntil_ = 0;  // 0: for ever
    std::uint64_t busyUntil_ = 0;
    ModelCounters counters_;
};

}  // namespace sim
