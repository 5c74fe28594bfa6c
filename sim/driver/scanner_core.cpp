// Freestanding: only <cstdint> and memcpy/memset (see scanner_core.h).
#include "sim/driver/scanner_core.h"

#include <cstring>

#include "devlink/command_set.h"

namespace scanner_driver {
namespace {

constexpr std::uint32_t kFnvOffset = 2166136261u;
constexpr std::uint32_t kFnvPrime = 16777619u;
constexpr std::uint32_t kIoctlGetDeviceDescriptor = 0x80002018u;
constexpr std::uint16_t kLanguageEnglishUs = 0x0409;
constexpr std::uint32_t kDescriptorLength = 8;
constexpr std::uint32_t kCswStatusOffset = 12;

void PutLittleEndian16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

std::uint32_t Min(std::uint32_t a, std::uint32_t b) {
    return a < b ? a : b;
}

}  // namespace

// --- Exchange log ----------------------------------------------------------------------------

std::uint32_t ExchangeLog::FirstKept() const {
    const std::uint32_t stored = nextSeq_ - 1;
    const std::uint32_t oldestInRing = stored > capacity_ ? stored - capacity_ + 1 : 1;
    return firstKept_ > oldestInRing ? firstKept_ : oldestInRing;
}

void ExchangeLog::Append(const ExchangeRecord& record) {
    const std::uint32_t seq = nextSeq_++;
    if (capacity_ == 0) return;
    ExchangeRecord& slot = storage_[(seq - 1) % capacity_];
    slot = record;
    slot.seq = seq;
}

std::uint32_t ExchangeLog::Read(std::uint32_t fromSeq, ExchangeRecord* out,
                                std::uint32_t max) const {
    std::uint32_t seq = fromSeq > FirstKept() ? fromSeq : FirstKept();
    std::uint32_t n = 0;
    for (; n < max && seq < nextSeq_; ++n, ++seq) out[n] = storage_[(seq - 1) % capacity_];
    return n;
}

// --- Sessions and the bulk pipes -------------------------------------------------------------

void ScannerCore::Init(std::uint8_t* memory, std::uint32_t memorySize, sim::ModelClock clock,
                       ExchangeRecord* logStorage, std::uint32_t logCapacity) {
    model_.Init(memory, memorySize, clock);
    log_.Init(logStorage, logCapacity);
}

void ScannerCore::Open(Session& s, std::uint32_t processId) {
    s.bot_.Init(&model_);
    s.openId_ = nextOpenId_++;
    s.processId_ = processId;
    ++openHandles_;
}

void ScannerCore::Close(Session& s) {
    ++tick_;
    if (s.inExchange_) EndExchange(s, kOutcomeClosed, kNoStatus);
    --openHandles_;
}

void ScannerCore::BeginExchange(Session& s) {
    ExchangeRecord& r = s.current_;
    std::memset(&r, 0, sizeof r);
    r.startTick = tick_;
    r.openId = s.openId_;
    r.processId = s.processId_;
    std::memcpy(r.cdb, s.bot_.CommandBlock(), sizeof r.cdb);
    r.deviceToHost = s.bot_.DeviceToHost() ? 1 : 0;
    r.status = kNoStatus;
    r.length = s.bot_.DataLength();
    r.digest = kFnvOffset;
    s.inExchange_ = true;
}

void ScannerCore::EndExchange(Session& s, ExchangeOutcome outcome, std::uint8_t status) {
    s.current_.endTick = tick_;
    s.current_.outcome = outcome;
    s.current_.status = status;
    log_.Append(s.current_);
    s.inExchange_ = false;
}

void ScannerCore::AddData(Session& s, const std::uint8_t* data, std::uint32_t count) {
    ExchangeRecord& r = s.current_;
    std::uint32_t h = r.digest;
    for (std::uint32_t i = 0; i < count; ++i) h = (h ^ data[i]) * kFnvPrime;
    r.digest = h;
    const std::uint32_t room = sizeof r.head - r.headCount;
    const std::uint32_t n = Min(room, count);
    if (n != 0) std::memcpy(r.head + r.headCount, data, n);
    r.headCount = static_cast<std::uint8_t>(r.headCount + n);
    r.moved += count;
}

void ScannerCore::LeaveSession(Session& s) {
    std::memcpy(s.sense_, model_.Sense(), sizeof s.sense_);
    // A stall drops the exchange under way: the device waits for a new CBW.
    if (s.inExchange_ && s.bot_.CurrentPhase() == sim::BotDevice::Phase::kCommand)
        EndExchange(s, kOutcomeAbandoned, kNoStatus);
}

bool ScannerCore::Write(Session& s, const std::uint8_t* data, std::uint32_t len,
                        std::uint32_t* taken) {
    ++tick_;
    EnterSession(s);
    const bool dataPhase = s.bot_.CurrentPhase() == sim::BotDevice::Phase::kDataOut;
    const bool newCbw = !dataPhase && sim::BotDevice::LooksLikeCbw(data, len);
    if (newCbw && s.inExchange_) EndExchange(s, kOutcomeAbandoned, kNoStatus);

    const bool ok = s.bot_.Write(data, len, taken);
    if (!ok) {
        ++protocolErrors_;
    } else if (newCbw) {
        BeginExchange(s);
    } else if (dataPhase && s.inExchange_) {
        AddData(s, data, *taken);
    }
    LeaveSession(s);
    return ok;
}

bool ScannerCore::Read(Session& s, std::uint8_t* buf, std::uint32_t len, std::uint32_t* given) {
    ++tick_;
    EnterSession(s);
    const sim::BotDevice::Phase phase = s.bot_.CurrentPhase();
    const bool ok = s.bot_.Read(buf, len, given);
    if (!ok) {
        ++protocolErrors_;
    } else if (len != 0 && s.inExchange_) {
        if (phase == sim::BotDevice::Phase::kDataIn) {
            AddData(s, buf, *given);
        } else if (phase == sim::BotDevice::Phase::kStatus) {
            const std::uint8_t status =
                *given > kCswStatusOffset ? buf[kCswStatusOffset] : s.bot_.Status();
            EndExchange(s, kOutcomeCompleted, status);
        }
    }
    LeaveSession(s);
    return ok;
}

// --- I/O controls ----------------------------------------------------------------------------

ControlResult ScannerCore::Control(Session& s, std::uint32_t code, const void* in,
                                   std::uint32_t inLen, void* out, std::uint32_t outLen,
                                   std::uint32_t* returned) {
    *returned = 0;
    switch (code) {
        case kIoctlGetDeviceDescriptor: {
            if (out == nullptr || outLen < kDescriptorLength) return ControlResult::kBadParameter;
            auto* d = static_cast<std::uint8_t*>(out);
            PutLittleEndian16(d, model_.config.vendorId);
            PutLittleEndian16(d + 2, model_.config.productId);
            PutLittleEndian16(d + 4, model_.config.bcdDevice);
            PutLittleEndian16(d + 6, kLanguageEnglishUs);
            *returned = kDescriptorLength;
            return ControlResult::kOk;
        }
        case kIoctlIdentity: {
            if (out == nullptr || outLen < sizeof(Identity)) return ControlResult::kBadParameter;
            const Identity id{s.openId_, s.processId_};
            std::memcpy(out, &id, sizeof id);
            *returned = sizeof id;
            return ControlResult::kOk;
        }
        case kIoctlReadLog:
            return ReadLog(in, inLen, out, outLen, returned);
        case kIoctlReadMemory:
            return ReadMemory(in, inLen, out, outLen, returned);
        case kIoctlStatus: {
            if (out == nullptr || outLen < sizeof(DriverStatus))
                return ControlResult::kBadParameter;
            DriverStatus st;
            FillStatus(st);
            std::memcpy(out, &st, sizeof st);
            *returned = sizeof st;
            return ControlResult::kOk;
        }
        case kIoctlSetSettings:
            return ApplySettings(in, inLen);
        case kIoctlClearLog:
            log_.Clear();
            return ControlResult::kOk;
        default:
            return ControlResult::kUnknownCode;
    }
}

ControlResult ScannerCore::ReadLog(const void* in, std::uint32_t inLen, void* out,
                                   std::uint32_t outLen, std::uint32_t* returned) {
    if (in == nullptr || inLen < sizeof(LogQuery) || out == nullptr || outLen < sizeof(LogReply))
        return ControlResult::kBadParameter;
    LogQuery query;
    std::memcpy(&query, in, sizeof query);

    const std::uint32_t max = (outLen - sizeof(LogReply)) / sizeof(ExchangeRecord);
    auto* bytes = static_cast<std::uint8_t*>(out);
    // The records go straight into the reply: no staging copy of the log.
    auto* records = reinterpret_cast<ExchangeRecord*>(bytes + sizeof(LogReply));
    LogReply reply{};
    reply.count = log_.Read(query.fromSeq, records, max);
    reply.nextSeq = log_.NextSeq();
    reply.firstSeq = log_.FirstKept();
    std::memcpy(out, &reply, sizeof reply);
    *returned = sizeof(LogReply) + reply.count * sizeof(ExchangeRecord);
    return ControlResult::kOk;
}

ControlResult ScannerCore::ReadMemory(const void* in, std::uint32_t inLen, void* out,
                                      std::uint32_t outLen, std::uint32_t* returned) {
    if (in == nullptr || inLen < sizeof(MemoryQuery)) return ControlResult::kBadParameter;
    MemoryQuery query;
    std::memcpy(&query, in, sizeof query);
    if (query.length > kMaxMemoryRead || outLen < query.length ||
        (query.length != 0 && out == nullptr))
        return ControlResult::kBadParameter;
    auto* bytes = static_cast<std::uint8_t*>(out);
    for (std::uint32_t i = 0; i < query.length; ++i) {
        const std::uint64_t a = std::uint64_t{query.address} + i;
        bytes[i] = a < model_.MemorySize() ? model_.MemoryAt(static_cast<std::uint32_t>(a)) : 0;
    }
    *returned = query.length;
    return ControlResult::kOk;
}

ControlResult ScannerCore::ApplySettings(const void* in, std::uint32_t inLen) {
    if (in == nullptr || inLen < sizeof(Settings)) return ControlResult::kBadParameter;
    Settings st;
    std::memcpy(&st, in, sizeof st);
    sim::ModelConfig& c = model_.config;
    if (st.mask & kSetVendorId) c.vendorId = st.vendorId;
    if (st.mask & kSetProductId) c.productId = st.productId;
    if (st.mask & kSetVersion) std::memcpy(c.version, st.version, sizeof c.version);
    if (st.mask & kSetWorkMs) c.workMs = st.workMs;
    if (st.mask & kSetNeverFinishes) c.neverFinishes = st.neverFinishes != 0;
    if (st.mask & kSetReadiness) c.readiness = st.readiness;
    if (st.mask & kSetAnswersTagQuery) c.answersTagQuery = st.answersTagQuery != 0;
    return ControlResult::kOk;
}

void ScannerCore::FillStatus(DriverStatus& st) {
    std::memset(&st, 0, sizeof st);
    const sim::ModelCounters& c = model_.Counters();
    st.memorySize = model_.MemorySize();
    st.openHandles = openHandles_;
    st.exchanges = log_.NextSeq() - 1;
    st.protocolErrors = protocolErrors_;
    st.locked = model_.Locked() ? 1 : 0;
    st.busy = model_.Busy() ? 1 : 0;
    st.address = model_.Address();
    st.firmwareBlocks = c.firmwareBlocks;
    st.firmwareBytes = c.firmwareBytes;
    st.finishingValues = c.finishingValues;
    st.lastFinishingValue = c.lastFinishingValue;
    st.calibrations = c.calibrations;
    st.versionReads = c.versionReads;
    st.memoryReads = c.memoryReads;
    st.locksGranted = c.locksGranted;
    st.locksRefused = c.locksRefused;
    st.unlocks = c.unlocks;
}

}  // namespace scanner_driver
