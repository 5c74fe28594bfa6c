// Freestanding: only <cstdint>/<cstddef> and memcpy/memset (see the header).
#include "sim/firmware_model.h"

#include <cstring>

#include "devlink/byte_order.h"
#include "sim/device_protocol.h"

namespace sim {
namespace {

constexpr std::uint32_t kSenseAllocationOffset = 4;  // of REQUEST SENSE

std::uint32_t Min(std::uint32_t a, std::uint32_t b) {
    return a < b ? a : b;
}

// Copies a fixed reply into the host's buffer, as much as fits.
void Deliver(const std::uint8_t* reply, std::uint32_t replyLength, std::uint8_t* data,
             std::uint32_t capacity, std::uint32_t* produced) {
    const std::uint32_t n = Min(replyLength, capacity);
    if (n != 0) std::memcpy(data, reply, n);
    *produced = n;
}

}  // namespace

void FirmwareModel::Init(std::uint8_t* memory, std::uint32_t memorySize, ModelClock clock) {
    memory_ = memory;
    memorySize_ = memory ? memorySize : 0;
    clock_ = clock;
}

// --- Sense -----------------------------------------------------------------------------------

void FirmwareModel::SetSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    std::memset(sense_, 0, sizeof sense_);
    sense_[0] = 0x70;  // current error, fixed format
    sense_[2] = key;
    sense_[7] = kSenseDataLength - 8;  // additional sense length
    sense_[12] = asc;
    sense_[13] = ascq;
}

void FirmwareModel::SetSenseBytes(const std::uint8_t sense[kSenseDataLength]) {
    std::memcpy(sense_, sense, kSenseDataLength);
}

bool FirmwareModel::Refuse(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    SetSense(key, asc, ascq);
    ++counters_.refused;
    return false;
}

bool FirmwareModel::Pass() {
    std::memset(sense_, 0, sizeof sense_);
    return true;
}

// --- Lock and work ---------------------------------------------------------------------------

bool FirmwareModel::OtherHolds() {
    if (otherLock_ && otherUntil_ != 0 && Now() >= otherUntil_) otherLock_ = false;
    return otherLock_;
}

bool FirmwareModel::Locked() {
    return hostLock_ || OtherHolds();
}

bool FirmwareModel::Busy() {
    return config.neverFinishes || Now() < busyUntil_;
}

void FirmwareModel::HoldLockByOther(std::uint64_t untilMs, bool yieldsToUnlock) {
    otherLock_ = true;
    otherUntil_ = untilMs;
    otherYields_ = yieldsToUnlock;
}

void FirmwareModel::ReleaseLocks() {
    hostLock_ = false;
    otherLock_ = false;
}

void FirmwareModel::StartWork(std::uint32_t ms) {
    busyUntil_ = Now() + ms;
    ++counters_.workStarted;
}

// --- Memory ----------------------------------------------------------------------------------

std::uint8_t FirmwareModel::MemoryAt(std::uint32_t address) const {
    if (address >= memorySize_) return 0;
    return config.patterned ? static_cast<std::uint8_t>(memory_[address] ^ PatternByte(address))
                            : memory_[address];
}

void FirmwareModel::SetMemoryAt(std::uint32_t address, std::uint8_t value) {
    if (address >= memorySize_) return;
    memory_[address] =
        config.patterned ? static_cast<std::uint8_t>(value ^ PatternByte(address)) : value;
}

void FirmwareModel::ReadMemory(std::uint8_t* out, std::uint32_t count) const {
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t a = std::uint64_t{address_} + i;
        out[i] = a < memorySize_ ? MemoryAt(static_cast<std::uint32_t>(a)) : 0;
    }
}

void FirmwareModel::WriteMemory(const std::uint8_t* in, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t a = std::uint64_t{address_} + i;
        if (a >= memorySize_) break;
        SetMemoryAt(static_cast<std::uint32_t>(a), in[i]);
    }
}

// --- Commands --------------------------------------------------------------------------------

bool FirmwareModel::ExecuteIn(const std::uint8_t* cdb, std::uint32_t length, std::uint8_t* data,
                              std::uint32_t capacity, std::uint32_t* produced) {
    *produced = 0;
    if (capacity > length) capacity = length;
    if (cdb[0] == kOpRequestSense) {
        const std::uint32_t n = Min(Min(cdb[kSenseAllocationOffset], kSenseDataLength), capacity);
        Deliver(sense_, n, data, capacity, produced);
        std::memset(sense_, 0, sizeof sense_);
        return true;
    }
    ++counters_.commands;
    if (cdb[0] != kOpVendor) return Refuse(kSenseKeyIllegalRequest, kAscInvalidOpcode);
    if (cdb[1] != kVendorByte1 || GetBE32(cdb + kVendorLengthOffset) != length)
        return Refuse(kSenseKeyIllegalRequest, kAscInvalidFieldInCdb);

    const std::uint8_t* cmd = cdb + kCmdBytesOffset;
    if (cmd[0] == kFamilyLink) return LinkCommand(cmd[1], length, data, capacity, produced);
    if (cmd[0] == kFamilyData && (cmd[1] == kDataGetFirst || cmd[1] == kDataGetSecond))
        return GetData(cmd[1] == kDataGetFirst, cmd[2], length, data, capacity, produced);
    return Refuse(kSenseKeyIllegalRequest, kAscInvalidFieldInCdb);
}

bool FirmwareModel::ExecuteOut(const std::uint8_t* cdb, std::uint32_t length,
                               const std::uint8_t* data, std::uint32_t available, bool takePart) {
    ++counters_.commands;
    if (cdb[0] != kOpVendor) return Refuse(kSenseKeyIllegalRequest, kAscInvalidOpcode);
    if (cdb[1] != kVendorByte1 || GetBE32(cdb + kVendorLengthOffset) != length)
        return Refuse(kSenseKeyIllegalRequest, kAscInvalidFieldInCdb);
    const std::uint8_t* cmd = cdb + kCmdBytesOffset;
    if (cmd[0] != kFamilyData || cmd[1] != kDataSet)
        return Refuse(kSenseKeyIllegalRequest, kAscInvalidFieldInCdb);
    // The data phase ended early: the command is not carried out on part of its data.
    if (available > length) available = length;
    if (available < length && !takePart) return Refuse(kSenseKeyAbortedCommand, 0);
    return SetData(cmd[2], length, data, available);
}

bool FirmwareModel::LinkCommand(std::uint8_t code, std::uint32_t length, std::uint8_t* data,
                                std::uint32_t capacity, std::uint32_t* produced) {
    if (code == kLinkTagQuery) {
        ++counters_.tagQueries;
        if (!config.answersTagQuery || length != kTagLength)
            return Refuse(kSenseKeyIllegalRequest, kAscInvalidFieldInCdb);
        Deliver(reinterpret_cast<const std::uint8_t*>(config.tag), kTagLength, data, capacity,
                produced);
        return Pass();
    }

    std::uint32_t result = 0;
    switch (code) {
        case kLinkIsLock:
            ++counters_.lockQueries;
            result = Locked() ? 1 : 0;
            break;
        case kLinkIsFinish:
            ++counters_.finishQueries;
            result = Busy() ? 0 : 1;
            break;
        case kLinkLock:
            if (Locked()) {
                ++counters_.locksRefused;
            } else {
                hostLock_ = true;
                ++counters_.locksGranted;
                result = 1;
            }
            break;
        case kLinkUnLock: {
            bool released = hostLock_;
            hostLock_ = false;
            if (OtherHolds() && otherYields_) {
                otherLock_ = false;
                released = true;
            }
            if (released) ++counters_.unlocks;
            result = released ? 1 : 0;
            break;
        }
        default:
            return Refuse(kSenseKeyIllegalRequest, kAscInvalidFieldInCdb);
    }
    if (length != kReplyLength) return Refuse(kSenseKeyIllegalRequest, kAscInvalidFieldInCdb);
    std::uint8_t reply[kReplyLength] = {};
    PutLE32(reply + kServiceSizeOffset, kReplyLength);
    PutLE32(reply + kServiceResultOffset, result);
    Deliver(reply, kReplyLength, data, capacity, produced);
    return Pass();
}

bool FirmwareModel::GetData(bool first, std::uint8_t selector, std::uint32_t length,
                            std::uint8_t* data, std::uint32_t capacity, std::uint32_t* produced) {
    if (Busy()) return Refuse(kSenseKeyNotReady, kAscNotReady, 0x01);
    std::uint8_t reply[kReplyLength] = {};
    switch (selector) {
        case kGetReadiness:
            if (length != kReplyLength)
                return Refuse(kSenseKeyIllegalRequest, kAscInvalidFieldInCdb);
            reply[kReadinessOffset] = config.readiness;
            Deliver(reply, kReplyLength, data, capacity, produced);
            break;
        case kGetOpen:  // the opening reply holds nothing the host looks at
            if (length != kReplyLength)
                return Refuse(kSenseKeyIllegalRequest, kAscInvalidFieldInCdb);
            Deliver(reply, kReplyLength, data, capacity, produced);
            break;
        case kGetVersion:  // the version, or the closing reply
            if (length == kVersionLength) {
                if (!first) ++counters_.versionReads;
                Deliver(reinterpret_cast<const std::uint8_t*>(config.version), kVersionLength, data,
                        capacity, produced);
            } else if (length == kReplyLength) {
                Deliver(reply, kReplyLength, data, capacity, produced);
            } else {
                return Refuse(kSenseKeyIllegalRequest, kAscInvalidFieldInCdb);
            }
            break;
        case kGetMemory:
            if (length > kMaxDataLength)
                return Refuse(kSenseKeyIllegalRequest, kAscInvalidFieldInCdb);
            ReadMemory(data, capacity);
            *produced = capacity;
            if (!first) {
                ++counters_.memoryReads;
                counters_.memoryBytesRead += capacity;
            }
            break;
        default:
            return Refuse(kSenseKeyIllegalRequest, kAscInvalidFieldInCdb);
    }
    if (first) {
        const std::uint32_t ms = config.workMsFor[selector];
        StartWork(ms != 0 ? ms : config.workMs);
    }
    return Pass();
}

bool FirmwareModel::SetData(std::uint8_t selector, std::uint32_t length, const std::uint8_t* data,
                            std::uint32_t available) {
    if (Busy()) return Refuse(kSenseKeyNotReady, kAscNotReady, 0x01);
    // A 4-byte value of which only part arrived: the missing bytes read as zero.
    std::uint8_t value[kValueLength] = {};
    if (available != 0) std::memcpy(value, data, Min(available, kValueLength));
    switch (selector) {
        case kSetAddress:
            if (length != kValueLength)
                return Refuse(kSenseKeyIllegalRequest, kAscInvalidFieldInCdb);
            address_ = GetBE32(value);
            ++counters_.addressSets;
            break;
        case kSetBlock:
            if (length == 0 || length > kMaxDataLength)
                return Refuse(kSenseKeyIllegalRequest, kAscInvalidFieldInCdb);
            WriteMemory(data, available);
            ++counters_.firmwareBlocks;
            counters_.firmwareBytes += available;
            break;
        case kSetFinishing:
            if (length != kValueLength)
                return Refuse(kSenseKeyIllegalRequest, kAscInvalidFieldInCdb);
            counters_.lastFinishingValue = GetBE32(value);
            ++counters_.finishingValues;
            break;
        case kSetCalibration:
            if (length != kValueLength)
                return Refuse(kSenseKeyIllegalRequest, kAscInvalidFieldInCdb);
            ++counters_.calibrations;
            break;
        default:
            return Refuse(kSenseKeyIllegalRequest, kAscInvalidFieldInCdb);
    }
    const std::uint32_t ms = config.workMsFor[selector];
    StartWork(ms != 0 ? ms : config.workMs);
    return Pass();
}

}  // namespace sim
