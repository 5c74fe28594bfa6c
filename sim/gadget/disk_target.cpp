#include "sim/gadget/disk_target.h"

#include <cstddef>
#include <cstring>

#include "devlink/byte_order.h"
#include "platform/device_io.h"
#include "sim/bot_device.h"
#include "sim/device_protocol.h"
#include "sim/gadget/command_log.h"
#include "sim/scanner.h"

namespace gadget {
namespace {

constexpr std::uint8_t kCswPassed = 0;
constexpr std::uint8_t kCswFailed = 1;
constexpr std::uint8_t kCswPhaseError = 2;

constexpr std::uint8_t kScsiGood = 0;
constexpr std::uint8_t kScsiCheckCondition = 2;

// The standard commands a host's storage driver sends.
enum StandardOpcode : std::uint8_t {
    kTestUnitReady = 0x00,
    kRequestSense = 0x03,
    kInquiry = 0x12,
    kModeSense6 = 0x1A,
    kStartStopUnit = 0x1B,
    kPreventAllowRemoval = 0x1E,
    kReadCapacity10 = 0x25,
    kRead10 = 0x28,
    kWrite10 = 0x2A,
    kSynchronizeCache10 = 0x35,
};

constexpr std::uint8_t kSenseKeyIllegalRequest = 0x05;
constexpr std::uint8_t kSenseKeyAbortedCommand = 0x0B;
constexpr std::uint8_t kAscInvalidOpcode = 0x20;
constexpr std::uint8_t kAscLbaOutOfRange = 0x21;
constexpr std::uint8_t kAscInvalidFieldInCdb = 0x24;

constexpr std::uint32_t kInquiryLength = 36;
constexpr std::uint32_t kSenseLength = 18;

std::uint32_t Min(std::uint32_t a, std::uint32_t b) {
    return a < b ? a : b;
}

std::uint16_t GetBE16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

}  // namespace

DiskTarget::DiskTarget(sim::Scanner& scanner, CommandLog* log)
    : scanner_(scanner), log_(log), buffer_(std::make_unique<std::uint8_t[]>(kBulkBufferSize)) {}

BulkStep DiskTarget::Next() {
    switch (state_) {
        case State::kCommand:
        case State::kStalled:
            return BulkStep::Receive(command_, sizeof command_);
        case State::kDataOut:
            return BulkStep::Receive(buffer_.get(), length_);
        case State::kDataIn:
            return BulkStep::Send(buffer_.get(), toSend_);
        case State::kEndIn:
            return BulkStep::Halt(true, false);
        case State::kStatus:
            return BulkStep::Send(csw_, sizeof csw_);
        case State::kStall:
            return BulkStep::Halt(true, true);
    }
    return BulkStep::Receive(command_, sizeof command_);
}

void DiskTarget::Completed(const BulkStep&, bool ok, std::uint32_t moved) {
    switch (state_) {
        case State::kCommand:
            if (ok) TakeCbw(command_, moved);
            return;
        case State::kDataOut:
            // A failed read took nothing: the command sees no data, and refuses a set.
            Execute(ok ? moved : 0);
            return;
        case State::kDataIn:
            state_ = toSend_ < length_ ? State::kEndIn : State::kStatus;
            return;
        case State::kEndIn:
            state_ = State::kStatus;
            return;
        case State::kStatus:
            state_ = State::kCommand;
            return;
        case State::kStall:
            state_ = State::kStalled;
            return;
        case State::kStalled:
            if (ok) state_ = State::kStall;
            return;
    }
}

void DiskTarget::Reset() {
    state_ = State::kCommand;
}

void DiskTarget::TakeCbw(const std::uint8_t* data, std::uint32_t n) {
    const std::uint8_t cbLength = n == sim::kBotCbwLength ? data[sim::kBotCbwCbLengthOffset] : 0;
    if (n != sim::kBotCbwLength || GetLE32(data) != sim::kCbwSignature ||
        data[sim::kBotCbwLunOffset] != 0 || cbLength == 0 || cbLength > sizeof cdb_ ||
        GetLE32(data + sim::kBotCbwLengthOffset) > kBulkBufferSize) {
        state_ = State::kStall;
        return;
    }
    tag_ = GetLE32(data + sim::kBotTagOffset);
    length_ = GetLE32(data + sim::kBotCbwLengthOffset);
    toHost_ = (data[sim::kBotCbwFlagsOffset] & sim::kCbwDataIn) != 0;
    std::memset(cdb_, 0, sizeof cdb_);
    std::memcpy(cdb_, data + sim::kBotCommandBlockOffset, cbLength);
    cdbLength_ = cbLength;
    if (!toHost_ && length_ != 0) {
        state_ = State::kDataOut;
        return;
    }
    Execute(0);
}

void DiskTarget::Execute(std::uint32_t received) {
    const Result r = cdb_[0] == sim::kOpVendor ? Vendor(received) : Standard(received);
    const std::uint32_t moved = Min(r.moved, length_);
    PutLE32(csw_, sim::kCswSignature);
    PutLE32(csw_ + sim::kBotTagOffset, tag_);
    PutLE32(csw_ + sim::kBotCswResidueOffset, length_ - moved);
    csw_[sim::kBotCswStatusOffset] = r.cswStatus;
    toSend_ = moved;
    if (toHost_ && length_ != 0)
        state_ = moved != 0 ? State::kDataIn : State::kEndIn;
    else
        state_ = State::kStatus;
}

DiskTarget::Result DiskTarget::Vendor(std::uint32_t received) {
    platform::ScsiPassThroughRecord record{};
    auto& h = record.sptd;
    h.Length = sizeof(platform::ScsiPassThroughDirect);
    h.CdbLength = cdbLength_;
    h.SenseInfoLength = sizeof record.ucSenseBuf;
    h.SenseInfoOffset = offsetof(platform::ScsiPassThroughRecord, ucSenseBuf);
    h.DataIn = toHost_ ? platform::kScsiIoctlDataIn : platform::kScsiIoctlDataOut;
    h.DataTransferLength = toHost_ ? length_ : received;
    h.DataBuffer = buffer_.get();
    h.TimeOutValue = 30;
    std::memcpy(h.Cdb, cdb_, sizeof h.Cdb);
    std::uint32_t returned = 0;
    const bool ok = scanner_.Disk().Ioctl(platform::kIoctlScsiPassThroughDirect, &record,
                                          sizeof record, &record, sizeof record, &returned);
    // A pass-through request is over when the call returns, answered or not.
    if (log_ != nullptr) log_->Drain(scanner_.Log(), true);
    if (!ok) {
        SetSense(kSenseKeyAbortedCommand, 0);
        return Result{kCswPhaseError, 0};
    }
    if (h.ScsiStatus == kScsiGood) {
        std::memset(sense_, 0, sizeof sense_);
        return Result{kCswPassed, Min(h.DataTransferLength, toHost_ ? length_ : received)};
    }
    if (h.ScsiStatus == kScsiCheckCondition) {
        std::memcpy(sense_, record.ucSenseBuf, sizeof sense_);
    } else {
        SetSense(kSenseKeyAbortedCommand, 0);
    }
    return Result{kCswFailed, 0};
}

DiskTarget::Result DiskTarget::Standard(std::uint32_t received) {
    std::uint8_t* data = buffer_.get();
    Result r;
    const std::uint8_t opcode = cdb_[0];
    switch (opcode) {
        case kTestUnitReady:
        case kPreventAllowRemoval:
        case kStartStopUnit:
        case kSynchronizeCache10:
            r = Data(0, true);
            break;
        case kRequestSense: {
            std::uint8_t sense[kSenseLength];
            std::memcpy(sense, sense_, sizeof sense);
            if (sense[0] == 0) {  // nothing to report: NO SENSE
                std::memset(sense, 0, sizeof sense);
                sense[0] = 0x70;
                sense[7] = kSenseLength - 8;
            }
            std::memset(sense_, 0, sizeof sense_);
            std::memcpy(data, sense, sizeof sense);
            r = Data(Min(kSenseLength, cdb_[4]), true);
            break;
        }
        case kInquiry: {
            if ((cdb_[1] & 0x01) != 0) {  // no vital product data pages
                r = Check(kSenseKeyIllegalRequest, kAscInvalidFieldInCdb);
                break;
            }
            std::memset(data, 0, kInquiryLength);
            data[0] = 0x00;  // direct access block device
            data[1] = 0x80;  // removable medium: the host lists the disk as removable
            data[2] = 0x04;
            data[3] = 0x02;
            data[4] = kInquiryLength - 5;
            std::memcpy(data + 8, "KELVANE ", 8);
            std::memcpy(data + 16, "SCANNER DISK    ", 16);
            const char* version = scanner_.Config().version;
            for (int i = 0; i < 4; ++i) {
                const char c = version[i];
                data[32 + i] = static_cast<std::uint8_t>(c > 0x20 && c < 0x7F ? c : ' ');
            }
            r = Data(Min(kInquiryLength, GetBE16(cdb_ + 3)), true);
            break;
        }
        case kReadCapacity10:
            PutBE32(data, kDiskBlockCount - 1);
            PutBE32(data + 4, kDiskBlockSize);
            r = Data(8, true);
            break;
        case kModeSense6:
            // The header alone: no block descriptors, no pages, not write protected.
            data[0] = 3;
            data[1] = data[2] = data[3] = 0;
            r = Data(Min(4, cdb_[4]), true);
            break;
        case kRead10:
        case kWrite10: {
            const std::uint64_t lba = GetBE32(cdb_ + 2);
            const std::uint32_t blocks = GetBE16(cdb_ + 7);
            if (lba + blocks > kDiskBlockCount) {
                r = Check(kSenseKeyIllegalRequest, kAscLbaOutOfRange);
                break;
            }
            const std::uint32_t bytes = Min(blocks * kDiskBlockSize, length_);
            if (opcode == kRead10) {
                std::memset(data, 0, bytes);
                r = Data(bytes, true);
            } else {
                r = Data(Min(bytes, received), false);  // taken and dropped
            }
            break;
        }
        default:
            r = Check(kSenseKeyIllegalRequest, kAscInvalidOpcode);
            break;
    }
    if (log_ != nullptr) {
        const int status = r.cswStatus == kCswPhaseError ? kNoStatus
                           : r.cswStatus == kCswPassed   ? kScsiGood
                                                         : kScsiCheckCondition;
        log_->Record(cdb_, toHost_, length_, Min(r.moved, length_), status);
    }
    return r;
}

DiskTarget::Result DiskTarget::Data(std::uint32_t count, bool toHost) {
    // A data phase in the other direction than the command's own.
    if (count != 0 && length_ != 0 && toHost != toHost_) return Result{kCswPhaseError, 0};
    std::memset(sense_, 0, sizeof sense_);
    return Result{kCswPassed, count};
}

DiskTarget::Result DiskTarget::Check(std::uint8_t key, std::uint8_t asc) {
    SetSense(key, asc);
    return Result{kCswFailed, 0};
}

void DiskTarget::SetSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    std::memset(sense_, 0, sizeof sense_);
    sense_[0] = 0x70;
    sense_[2] = key;
    sense_[7] = kSenseLength - 8;
    sense_[12] = asc;
    sense_[13] = ascq;
}

}  // namespace gadget
