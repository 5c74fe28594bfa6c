#include <cstring>

#include "devlink/byte_order.h"
#include "platform/device_io.h"
#include "sim/device_protocol.h"
#include "sim/scanner.h"

namespace sim {
namespace {

constexpr std::uint16_t kLanguageEnglishUs = 0x0409;
constexpr std::uint8_t kStatusFailed = 1;

// A lie's count: `value` (0: half of `len`), at least one byte and at most `len`, so a
// data phase still runs.
std::uint32_t LieCount(std::uint32_t value, std::uint32_t len) {
    if (value == 0) value = len / 2;
    if (value == 0) return len == 0 ? 0 : 1;
    return value < len ? value : len;
}

// The REQUEST SENSE after a vendor command meets that command's sense faults as plain data
// faults of its own data phase.
ActiveFaults SenseFaultsOf(const ActiveFaults& vendor) {
    ActiveFaults sense;
    if (const Fault* f = vendor.Get(FaultKind::kSenseReadFails)) {
        sense.of[static_cast<std::size_t>(FaultKind::kDataFails)] = *f;
        sense.any = true;
    }
    if (const Fault* f = vendor.Get(FaultKind::kSenseReadShort)) {
        Fault data = *f;
        data.kind = FaultKind::kDataShort;
        sense.of[static_cast<std::size_t>(FaultKind::kDataShort)] = data;
        sense.any = true;
    }
    return sense;
}

}  // namespace

bool StillImageEndpoint::CanOpen() {
    return !scanner_.unplugged_ && scanner_.openable_;
}

bool StillImageEndpoint::Ioctl(std::uint32_t code, void*, std::uint32_t, void* out,
                               std::uint32_t outLen, std::uint32_t* returned) {
    *returned = 0;
    if (scanner_.unplugged_ || code != platform::kIoctlGetDeviceDescriptor ||
        scanner_.descriptorFails_ || out == nullptr || outLen < sizeof(platform::DeviceDescriptor))
        return false;
    const ModelConfig& c = scanner_.model_.config;
    const platform::DeviceDescriptor d{c.vendorId, c.productId, c.bcdDevice, kLanguageEnglishUs};
    std::memcpy(out, &d, sizeof d);
    *returned = sizeof d;
    return true;
}

void StillImageEndpoint::RefuseDataPhase() {
    // A data phase the device will not serve: a STALL, and the CSW says the command failed.
    active_.of[static_cast<std::size_t>(FaultKind::kDataFails)].reset();
    scanner_.model_.SetSense(kSenseKeyAbortedCommand, 0, 0);
    scanner_.bot_.RefuseDataPhase(kStatusFailed);
}

platform::PipeStepResult StillImageEndpoint::RecoverPipe(platform::PipeStep step) {
    BotDevice& bot = scanner_.bot_;
    WirePhaseKind kind = WirePhaseKind::kReset;
    if (step == platform::PipeStep::kClearHaltIn) kind = WirePhaseKind::kClearHaltIn;
    if (step == platform::PipeStep::kClearHaltOut) kind = WirePhaseKind::kClearHaltOut;
    const bool ok = !scanner_.unplugged_;
    scanner_.log_.AddPhase(kind, ok, 0, 0, nullptr, 0);
    if (!ok) return platform::PipeStepResult::kFailed;
    if (step == platform::PipeStep::kMassStorageReset) {
        bot.ResetRecovery();
        active_ = ActiveFaults{};
    } else {
        bot.ClearHalt(step == platform::PipeStep::kClearHaltIn);
    }
    return platform::PipeStepResult::kDone;
}

bool StillImageEndpoint::LastTransferStalled() {
    return !scanner_.unplugged_ && scanner_.bot_.LastFailureStalled();
}

bool StillImageEndpoint::CurrentIsServiceCommand() const {
    const std::uint8_t* cdb = scanner_.bot_.CommandBlock();
    const std::uint8_t* cmd = cdb + kCmdBytesOffset;
    return cdb[0] == kOpVendor && cmd[0] == kFamilyLink && cmd[1] >= kLinkIsLock &&
           cmd[1] <= kLinkUnLock;
}

bool StillImageEndpoint::CurrentIsGetFirst() const {
    const std::uint8_t* cdb = scanner_.bot_.CommandBlock();
    const std::uint8_t* cmd = cdb + kCmdBytesOffset;
    return cdb[0] == kOpVendor && cmd[0] == kFamilyData && cmd[1] == kDataGetFirst;
}

bool StillImageEndpoint::Write(const void* buf, std::uint32_t len, std::uint32_t* done) {
    const auto* data = static_cast<const std::uint8_t*>(buf);
    WireLog& log = scanner_.log_;
    BotDevice& bot = scanner_.bot_;
    if (scanner_.unplugged_) return false;

    if (bot.CurrentPhase() != BotDevice::Phase::kDataOut && BotDevice::LooksLikeCbw(data, len))
        return WriteCbw(data, len, done);

    if (bot.CurrentPhase() == BotDevice::Phase::kDataOut && len != 0) {
        if (active_.Has(FaultKind::kDataFails) && bot.RealConduct()) {
            RefuseDataPhase();
            log.AddPhase(WirePhaseKind::kDataOut, false, len, 0, nullptr, 0);
            return false;
        }
        if (active_.Has(FaultKind::kDataFails)) {
            bot.Abort();
            log.AddPhase(WirePhaseKind::kDataOut, false, len, 0, nullptr, 0);
            return false;
        }
        std::uint32_t moved = len;
        if (const Fault* f = active_.Get(FaultKind::kDataShort))
            moved = f->value < len ? f->value : len;
        if (const Fault* f = active_.Get(FaultKind::kDataShortPassed))
            moved = LieCount(f->value, len);
        // A residue lie: every byte is taken, the last ones are dropped.
        std::uint32_t dropped = 0;
        if (const Fault* f = active_.Get(FaultKind::kResidue)) {
            dropped = LieCount(f->value, moved) < moved ? LieCount(f->value, moved) : moved - 1;
            moved -= dropped;
            residueLie_ = dropped;
        }
        const std::uint32_t blocksBefore = scanner_.model_.Counters().firmwareBlocks;
        const bool ok = bot.Write(data, moved, done);
        SpoilWrittenByte(active_, scanner_.model_, blocksBefore, moved);
        log.AddPhase(WirePhaseKind::kDataOut, ok, len, *done, nullptr, 0);
        log.AddData(logIndex_, data, *done);
        if (ok) *done += dropped;
        return ok;
    }

    const bool ok = bot.Write(data, len, done);
    log.AddPhase(len == 0 ? WirePhaseKind::kDataOut : WirePhaseKind::kStray, ok, len, *done, data,
                 len);
    return ok;
}

bool StillImageEndpoint::WriteCbw(const std::uint8_t* data, std::uint32_t len,
                                  std::uint32_t* done) {
    WireLog& log = scanner_.log_;
    BotDevice& bot = scanner_.bot_;
    const std::uint8_t* cdb = data + kBotCommandBlockOffset;

    currentIsSense_ = cdb[0] == kOpRequestSense;
    if (cdb[0] == kOpVendor) {
        active_ = scanner_.MatchFaults(cdb);
        senseFaults_ = SenseFaultsOf(active_);
    } else if (currentIsSense_) {
        active_ = senseFaults_;
        senseFaults_ = ActiveFaults{};
    } else {
        active_ = ActiveFaults{};
    }
    logIndex_ = log.BeginCommand(WirePath::kStillImage, cdb, data[kBotCbwFlagsOffset] == kCbwDataIn,
                                 GetLE32(data + kBotCbwLengthOffset));

    if (scanner_.unplugged_ || active_.Has(FaultKind::kCbwWriteFails)) {
        bot.Abort();
        log.AddPhase(WirePhaseKind::kCbw, false, len, 0, data, len);
        return false;
    }
    if (const Fault* f = active_.Get(FaultKind::kCbwWriteShort)) {
        // Only part of the wrapper arrives: the device sees no valid CBW.
        bot.Abort();
        *done = f->value < len ? f->value : len;
        log.AddPhase(WirePhaseKind::kCbw, true, len, *done, data, *done);
        return true;
    }
    if (const Fault* f = active_.Get(FaultKind::kStatus)) {
        scanner_.model_.SetSenseBytes(f->sense.data());
        bot.ForceNextStatus(static_cast<std::uint8_t>(f->value));
    } else if (active_.Has(FaultKind::kCswShortRefused)) {
        scanner_.model_.SetSense(kSenseKeyAbortedCommand, 0, 0);
        bot.ForceNextStatus(kStatusFailed);
    }
    if (active_.Has(FaultKind::kResidue) || active_.Has(FaultKind::kDataShortPassed))
        bot.TakePartialData();
    residueLie_ = 0;
    const bool ok = bot.Write(data, len, done);
    if (!ok) bot.Abort();
    log.AddPhase(WirePhaseKind::kCbw, ok, len, *done, data, len);
    return ok;
}

bool StillImageEndpoint::Read(void* buf, std::uint32_t len, std::uint32_t* done) {
    auto* data = static_cast<std::uint8_t*>(buf);
    WireLog& log = scanner_.log_;
    BotDevice& bot = scanner_.bot_;
    if (scanner_.unplugged_) return false;

    if (len == 0) {  // a zero-length data phase: nothing moves
        log.AddPhase(WirePhaseKind::kDataIn, true, 0, 0, nullptr, 0);
        return true;
    }
    if (bot.CurrentPhase() == BotDevice::Phase::kDataIn) {
        if (active_.Has(FaultKind::kDataFails) && bot.RealConduct()) {
            RefuseDataPhase();
            log.AddPhase(WirePhaseKind::kDataIn, false, len, 0, nullptr, 0);
            return false;
        }
        if (active_.Has(FaultKind::kDataFails)) {
            bot.Abort();
            log.AddPhase(WirePhaseKind::kDataIn, false, len, 0, nullptr, 0);
            return false;
        }
        if (active_.Has(FaultKind::kCswForData)) {
            bot.SkipDataIn();
            std::uint8_t csw[kBotCswLength];
            bot.BuildCsw(csw);
            *done = len < kBotCswLength ? len : kBotCswLength;
            std::memcpy(data, csw, *done);
            log.AddPhase(WirePhaseKind::kDataIn, true, len, *done, nullptr, 0);
            return true;
        }
        std::uint32_t capacity = len;
        if (const Fault* f = active_.Get(FaultKind::kDataShort))
            capacity = f->value < len ? f->value : len;
        if (const Fault* f = active_.Get(FaultKind::kDataShortPassed))
            capacity = LieCount(f->value, len);
        if (const Fault* f = active_.Get(FaultKind::kFirstTransferShort);
            f != nullptr && CurrentIsGetFirst())
            capacity = LieCount(f->value, len);
        const bool ok = bot.Read(data, capacity, done);
        // A residue lie: the last bytes delivered are not the command's data.
        if (const Fault* f = active_.Get(FaultKind::kResidue); ok && f != nullptr) {
            residueLie_ = LieCount(f->value, *done);
            for (std::uint32_t i = *done - residueLie_; i < *done; ++i) data[i] ^= 0xFF;
        }
        if (const Fault* f = active_.Get(FaultKind::kServiceReplySize);
            ok && f != nullptr && CurrentIsServiceCommand() && *done >= 4)
            PutLE32(data, f->value);
        log.AddPhase(WirePhaseKind::kDataIn, ok, len, *done, nullptr, 0);
        log.AddData(logIndex_, data, *done);
        return ok;
    }
    if (bot.CurrentPhase() == BotDevice::Phase::kStatus) return ReadCsw(data, len, done);

    const bool ok = bot.Read(data, len, done);
    log.AddPhase(WirePhaseKind::kStray, ok, len, *done, nullptr, 0);
    return ok;
}

bool StillImageEndpoint::ReadCsw(std::uint8_t* buf, std::uint32_t len, std::uint32_t* done) {
    WireLog& log = scanner_.log_;
    BotDevice& bot = scanner_.bot_;
    if (active_.Has(FaultKind::kCswReadFails) && bot.RealConduct()) {
        // The wrapper stays pending behind the stall: the fault is spent.
        active_.of[static_cast<std::size_t>(FaultKind::kCswReadFails)].reset();
        bot.StallStatusPhase();
        log.AddPhase(WirePhaseKind::kCsw, false, len, 0, nullptr, 0);
        return false;
    }
    if (active_.Has(FaultKind::kCswReadFails)) {
        bot.Abort();
        log.AddPhase(WirePhaseKind::kCsw, false, len, 0, nullptr, 0);
        return false;
    }
    std::uint8_t csw[kBotCswLength];
    std::uint32_t n = 0;
    bot.Read(csw, kBotCswLength, &n);
    if (active_.Has(FaultKind::kStaleTag)) {
        const std::uint32_t older =
            bot.PreviousTag() != bot.Tag() ? bot.PreviousTag() : bot.Tag() - 1;
        PutLE32(csw + kBotTagOffset, older);
    }
    if (const Fault* f = active_.Get(FaultKind::kBadCswSignature)) PutLE32(csw, f->value);
    if (active_.Has(FaultKind::kResidue)) PutLE32(csw + kBotCswResidueOffset, residueLie_);
    std::uint32_t deliver = len < kBotCswLength ? len : kBotCswLength;
    if (const Fault* f = active_.Get(FaultKind::kCswReadShort))
        deliver = f->value < deliver ? f->value : deliver;
    if (const Fault* f = active_.Get(FaultKind::kCswShortRefused))
        deliver = LieCount(f->value, deliver - 1);
    std::memcpy(buf, csw, deliver);
    *done = deliver;
    log.AddPhase(WirePhaseKind::kCsw, true, len, deliver, csw, deliver);
    log.SetStatus(logIndex_, csw[kBotCswStatusOffset]);
    return true;
}

}  // namespace sim
