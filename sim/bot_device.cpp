// Freestanding: only <cstdint>/<cstddef> and memcpy/memset (see firmware_model.h).
#include "sim/bot_device.h"

#include <cstring>

#include "devlink/byte_order.h"
#include "sim/device_protocol.h"

namespace sim {
namespace {

constexpr std::uint8_t kStatusPassed = 0;
constexpr std::uint8_t kStatusFailed = 1;

}  // namespace

bool BotDevice::LooksLikeCbw(const std::uint8_t* data, std::uint32_t len) {
    return data != nullptr && len == kBotCbwLength && GetLE32(data) == kCbwSignature;
}

bool BotDevice::TakeCbw(const std::uint8_t* data) {
    const std::uint8_t flags = data[kBotCbwFlagsOffset];
    if ((flags != kCbwDataIn && flags != kCbwDataOut) || data[kBotCbwLunOffset] != 0 ||
        data[kBotCbwCbLengthOffset] != kVendorBlockLength)
        return false;
    if (phase_ != Phase::kCommand) ++abandoned_;
    std::memcpy(cbw_, data, kBotCbwLength);
    previousTag_ = tag_;
    tag_ = GetLE32(cbw_ + kBotTagOffset);
    length_ = GetLE32(cbw_ + kBotCbwLengthOffset);
    deviceToHost_ = flags == kCbwDataIn;
    forced_ = forcePending_;
    forcePending_ = false;
    takePartial_ = takePartialPending_;
    takePartialPending_ = false;
    residue_ = length_;
    status_ = kStatusPassed;
    return true;
}

void BotDevice::RunWithoutData() {
    bool passed;
    if (deviceToHost_) {
        std::uint32_t produced = 0;
        passed = model_->ExecuteIn(CommandBlock(), 0, nullptr, 0, &produced);
    } else {
        passed = model_->ExecuteOut(CommandBlock(), 0, nullptr, 0);
    }
    status_ = passed ? kStatusPassed : kStatusFailed;
}

void BotDevice::RefuseDataPhase(std::uint8_t status) {
    Halt(deviceToHost_);
    status_ = status;
    residue_ = length_;
    phase_ = Phase::kStatus;
}

bool BotDevice::Write(const std::uint8_t* data, std::uint32_t len, std::uint32_t* taken) {
    *taken = 0;
    if (len == 0) return true;
    if (realConduct_ && haltedOut_) return Fail(true);

    if (phase_ == Phase::kDataOut) {
        const std::uint32_t n = len < length_ ? len : length_;
        if (forced_ && realConduct_) {
            RefuseDataPhase(forcedStatus_);
            return false;
        }
        if (forced_) {
            status_ = forcedStatus_;
        } else {
            status_ = model_->ExecuteOut(CommandBlock(), length_, data, n, takePartial_)
                          ? kStatusPassed
                          : kStatusFailed;
        }
        residue_ = length_ - n;
        *taken = n;
        phase_ = Phase::kStatus;
        return true;
    }

    if (realConduct_ && phase_ != Phase::kCommand) {
        ++protocolErrors_;
        return Fail(false);
    }
    if (!LooksLikeCbw(data, len) || !TakeCbw(data)) {
        ++protocolErrors_;
        phase_ = Phase::kCommand;
        lastStalled_ = true;
        if (realConduct_) {
            Halt(false);
            Halt(true);
        }
        return false;
    }
    *taken = kBotCbwLength;
    if (length_ != 0) {
        phase_ = deviceToHost_ ? Phase::kDataIn : Phase::kDataOut;
        return true;
    }
    if (forced_) {
        status_ = forcedStatus_;
    } else {
        RunWithoutData();
    }
    phase_ = Phase::kStatus;
    return true;
}

bool BotDevice::Read(std::uint8_t* buf, std::uint32_t len, std::uint32_t* given) {
    *given = 0;
    if (len == 0) return true;
    if (realConduct_ && haltedIn_) return Fail(true);

    if (phase_ == Phase::kDataIn) {
        const std::uint32_t capacity = len < length_ ? len : length_;
        std::uint32_t produced = 0;
        if (forced_ && realConduct_) {
            RefuseDataPhase(forcedStatus_);
            return false;
        }
        if (forced_) {
            status_ = forcedStatus_;
        } else {
            status_ = model_->ExecuteIn(CommandBlock(), length_, buf, capacity, &produced)
                          ? kStatusPassed
                          : kStatusFailed;
        }
        residue_ = length_ - produced;
        *given = produced;
        phase_ = Phase::kStatus;
        return true;
    }

    if (phase_ == Phase::kStatus) {
        std::uint8_t csw[kBotCswLength];
        BuildCsw(csw);
        const std::uint32_t n = len < kBotCswLength ? len : kBotCswLength;
        std::memcpy(buf, csw, n);
        *given = n;
        phase_ = Phase::kCommand;
        return true;
    }

    ++protocolErrors_;
    if (realConduct_) return Fail(false);  // nothing is due: the host waits in vain
    phase_ = Phase::kCommand;
    return Fail(true);
}

void BotDevice::BuildCsw(std::uint8_t csw[kBotCswLength]) const {
    PutLE32(csw, kCswSignature);
    PutLE32(csw + kBotTagOffset, tag_);
    PutLE32(csw + kBotCswResidueOffset, residue_);
    csw[kBotCswStatusOffset] = status_;
}

}  // namespace sim
