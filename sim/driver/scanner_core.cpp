// Freestanding: only <cstdint> and memcpy/memset (see scanner_core.h).
#include "sim/driver/scanner_core.h"

#include <cstddef>
#include <cstring>

#include "platform/device_io.h"
#include "sim/device_protocol.h"

namespace scanner_driver {
namespace {

constexpr std::uint32_t kFnvOffset = 2166136261u;
constexpr std::uint32_t kFnvPrime = 16777619u;
constexpr std::uint32_t kIoctlGetDeviceDescriptor = 0x80002018u;
constexpr std::uint16_t kLanguageEnglishUs = 0x0409;
constexpr std::uint32_t kDescriptorLength = 8;
constexpr std::uint8_t kScsiGood = 0x00;
constexpr std::uint8_t kScsiCheckCondition = 0x02;
constexpr std::uint8_t kBotStatusFailed = 1;
constexpr std::uint8_t kDataUnspecified = 2;

using PassThroughRecord = platform::ScsiPassThroughRecord;

void PutLittleEndian16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

std::uint32_t Min(std::uint32_t a, std::uint32_t b) {
    return a < b ? a : b;
}

std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

// The bytes a short data phase moves of `length`: the fault's count, or half when it gives none.
std::uint32_t ShortCount(const FaultEntry& fault, std::uint32_t length) {
    return fault.value != 0 ? Min(fault.value, length) : length / 2;
}

bool IsFirmwareBlock(const std::uint8_t* cdb) {
    const std::uint8_t* cmd = cdb + sim::kCmdBytesOffset;
    return cdb[0] == sim::kOpVendor && cmd[0] == sim::kFamilyData && cmd[1] == sim::kDataSet &&
           cmd[2] == sim::kSetBlock;
}

// The checks the storage stack makes before a record reaches a device: this process's layout,
// lengths within the record, a known direction and a buffer for any data.
bool WellFormed(const PassThroughRecord& r, std::uint32_t inLen, std::uint32_t outLen) {
    const auto& h = r.sptd;
    if (inLen != sizeof(PassThroughRecord) || outLen != sizeof(PassThroughRecord)) return false;
    if (h.Length != sizeof(platform::ScsiPassThroughDirect)) return false;
    if (h.SenseInfoOffset != offsetof(PassThroughRecord, ucSenseBuf)) return false;
    if (h.SenseInfoLength > sizeof r.ucSenseBuf) return false;
    if (h.CdbLength == 0 || h.CdbLength > sizeof h.Cdb) return false;
    if (h.DataIn != platform::kScsiIoctlDataIn && h.DataIn != platform::kScsiIoctlDataOut &&
        !(h.DataIn == kDataUnspecified && h.DataTransferLength == 0))
        return false;
    if (h.DataTransferLength != 0 && h.DataBuffer == nullptr) return false;
    return true;
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

// --- Faults ----------------------------------------------------------------------------------

bool FaultSchedule::Set(const FaultTable& table) {
    if (table.count > kMaxFaults) return false;
    for (std::uint32_t i = 0; i < table.count; ++i) {
        const FaultEntry& e = table.entries[i];
        if (e.kind < kFaultRefuse || e.kind > kFaultHold || e.occurrence == 0) return false;
        if (e.kind == kFaultRefuseShortCsw && (e.value == 0 || e.value >= sim::kBotCswLength))
            return false;
    }
    table_ = table;
    std::memset(seen_, 0, sizeof seen_);
    return true;
}

const FaultEntry* FaultSchedule::Match(const std::uint8_t cdb[16]) {
    if (cdb[0] != sim::kOpVendor) return nullptr;
    const FaultEntry* fires = nullptr;
    for (std::uint32_t i = 0; i < table_.count; ++i) {
        const FaultEntry& e = table_.entries[i];
        if (std::memcmp(e.command, cdb + sim::kCmdBytesOffset, sizeof e.command) != 0) continue;
        if (++seen_[i] == e.occurrence && fires == nullptr) fires = &e;
    }
    if (fires) ++committed_;
    return fires;
}

// --- Sessions and the bulk pipes -------------------------------------------------------------

void ScannerCore::Init(std::uint8_t* memory, std::uint32_t memorySize, sim::ModelClock clock,
                       ExchangeRecord* logStorage, std::uint32_t logCapacity) {
    model_.Init(memory, memorySize, clock);
    log_.Init(logStorage, logCapacity);
}

void ScannerCore::Open(Session& s, std::uint32_t processId, Presentation presentation) {
    s.bot_.Init(&model_);
    s.openId_ = nextOpenId_++;
    s.processId_ = processId;
    s.presentation_ = presentation;
    ++openHandles_;
    if (presentation == Presentation::kStillImage) ++stillImageOpens_;
    if (presentation == Presentation::kDisk) ++diskOpens_;
}

void ScannerCore::Close(Session& s) {
    ++*tick_;
    if (s.inExchange_) EndExchange(s, kOutcomeClosed, kNoStatus);
    --openHandles_;
}

void ScannerCore::BeginExchange(Session& s, const FaultEntry* fault) {
    ExchangeRecord& r = s.current_;
    std::memset(&r, 0, sizeof r);
    r.path = kPathStillImage;
    if (fault) {
        s.fault_ = *fault;
        r.fault = fault->kind;
    } else {
        std::memset(&s.fault_, 0, sizeof s.fault_);
    }
    r.startTick = *tick_;
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
    s.current_.endTick = *tick_;
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

void ScannerCore::KeepSense(ExchangeRecord& r) {
    std::memcpy(r.sense, model_.Sense(), sizeof r.sense);
    r.senseLength = sizeof r.sense;
}

// A refusal sets its sense data and makes the device skip the command; a short data-out phase
// reports success for the part it takes, so the command is not run on the part either.
void ScannerCore::ArmFault(Session& s, const std::uint8_t* cbw, const FaultEntry* fault) {
    if (fault == nullptr) return;
    if (fault->kind == kFaultRefuse || fault->kind == kFaultRefuseShortCsw) {
        model_.SetSense(fault->senseKey, fault->asc, fault->ascq);
        s.bot_.ForceNextStatus(kBotStatusFailed);
    } else if (fault->kind == kFaultShortData && cbw[sim::kBotCbwFlagsOffset] == sim::kCbwDataOut) {
        s.bot_.ForceNextStatus(0);
    }
}

// The bytes of a cut firmware block that did arrive land in memory, as on a device that writes
// while it receives.
void ScannerCore::WritePartialBlock(const std::uint8_t* cdb, const std::uint8_t* data,
                                    std::uint32_t n) {
    if (!IsFirmwareBlock(cdb)) return;
    for (std::uint32_t i = 0; i < n; ++i) model_.SetMemoryAt(model_.Address() + i, data[i]);
}

// A block the model took keeps one byte wrong, as a memory that fails to hold what it was given.
void ScannerCore::SpoilBlock(const FaultEntry& fault, std::uint32_t blocksBefore,
                             std::uint32_t length) {
    if (model_.Counters().firmwareBlocks == blocksBefore || fault.value >= length) return;
    const std::uint32_t address = model_.Address() + fault.value;
    model_.SetMemoryAt(address, static_cast<std::uint8_t>(~model_.MemoryAt(address)));
}

void ScannerCore::LeaveSession(Session& s) {
    std::memcpy(s.sense_, model_.Sense(), sizeof s.sense_);
    // A stall drops the exchange under way: the device waits for a new CBW.
    if (s.inExchange_ && s.bot_.CurrentPhase() == sim::BotDevice::Phase::kCommand)
        EndExchange(s, kOutcomeAbandoned, kNoStatus);
}

bool ScannerCore::Write(Session& s, const std::uint8_t* data, std::uint32_t len,
                        std::uint32_t* taken) {
    ++*tick_;
    if (s.presentation_ == Presentation::kDisk) {
        *taken = 0;
        return false;
    }
    EnterSession(s);
    const bool dataPhase = s.bot_.CurrentPhase() == sim::BotDevice::Phase::kDataOut;
    const bool newCbw = !dataPhase && sim::BotDevice::LooksLikeCbw(data, len);
    if (newCbw && s.inExchange_) EndExchange(s, kOutcomeAbandoned, kNoStatus);

    const FaultEntry* fault = newCbw ? faults_.Match(data + sim::kBotCommandBlockOffset) : nullptr;
    ArmFault(s, data, fault);
    std::uint32_t offered = len;
    const bool cut = dataPhase && s.inExchange_ && s.fault_.kind == kFaultShortData;
    if (cut) offered = ShortCount(s.fault_, Min(len, s.bot_.DataLength()));
    const std::uint32_t blocksBefore = model_.Counters().firmwareBlocks;
    const std::uint32_t dataLength = s.bot_.DataLength();
    const bool ok = s.bot_.Write(data, offered, taken);
    if (!ok) {
        if (newCbw) s.bot_.Abort();
        ++protocolErrors_;
    } else if (newCbw) {
        BeginExchange(s, fault);
    } else if (dataPhase && s.inExchange_) {
        if (cut) WritePartialBlock(s.bot_.CommandBlock(), data, *taken);
        if (s.fault_.kind == kFaultCorruptWrite) SpoilBlock(s.fault_, blocksBefore, dataLength);
        AddData(s, data, *taken);
    }
    LeaveSession(s);
    return ok;
}

bool ScannerCore::Read(Session& s, std::uint8_t* buf, std::uint32_t len, std::uint32_t* given) {
    ++*tick_;
    if (s.presentation_ == Presentation::kDisk) {
        *given = 0;
        return false;
    }
    EnterSession(s);
    const sim::BotDevice::Phase phase = s.bot_.CurrentPhase();
    std::uint32_t asked = len;
    if (s.inExchange_ && phase == sim::BotDevice::Phase::kDataIn &&
        s.fault_.kind == kFaultShortData)
        asked = ShortCount(s.fault_, Min(len, s.bot_.DataLength()));
    if (s.inExchange_ && phase == sim::BotDevice::Phase::kStatus &&
        s.fault_.kind == kFaultRefuseShortCsw)
        asked = Min(len, s.fault_.value);
    const bool ok = s.bot_.Read(buf, asked, given);
    if (!ok) {
        ++protocolErrors_;
    } else if (len != 0 && s.inExchange_) {
        if (phase == sim::BotDevice::Phase::kDataIn) {
            AddData(s, buf, *given);
        } else if (phase == sim::BotDevice::Phase::kStatus) {
            // The log keeps the status the device meant, whatever part of the CSW got out.
            std::uint8_t csw[sim::kBotCswLength];
            s.bot_.BuildCsw(csw);
            ExchangeRecord& r = s.current_;
            r.cswLength = static_cast<std::uint8_t>(*given);
            r.reported = Le32(csw + sim::kBotCswResidueOffset);
            if (csw[sim::kBotCswStatusOffset] != 0) KeepSense(r);
            EndExchange(s, kOutcomeCompleted, csw[sim::kBotCswStatusOffset]);
            holdAsked_ = s.fault_.kind == kFaultHold;
        }
    }
    LeaveSession(s);
    return ok;
}

// --- The disk path ---------------------------------------------------------------------------

ControlResult ScannerCore::PassThrough(Session& s, void* record, std::uint32_t inLen,
                                       std::uint32_t outLen, std::uint32_t* returned,
                                       const CallerMemory& caller) {
    ++*tick_;
    *returned = 0;
    if (s.presentation_ != Presentation::kDisk) return ControlResult::kUnknownCode;
    PassThroughRecord request;
    if (record == nullptr || inLen < sizeof request) {
        ++malformedRecords_;
        return ControlResult::kBadParameter;
    }
    std::memcpy(&request, record, sizeof request);
    const auto& h = request.sptd;
    if (!WellFormed(request, inLen, outLen) || h.DataTransferLength > stagingSize_) {
        ++malformedRecords_;
        return ControlResult::kBadParameter;
    }
    EnterSession(s);

    ExchangeRecord& r = s.current_;
    std::memset(&r, 0, sizeof r);
    r.path = kPathDisk;
    r.startTick = r.endTick = *tick_;
    r.openId = s.openId_;
    r.processId = s.processId_;
    std::memcpy(r.cdb, h.Cdb, h.CdbLength);
    r.deviceToHost = h.DataIn == platform::kScsiIoctlDataIn ? 1 : 0;
    r.length = h.DataTransferLength;
    r.timeoutSeconds = h.TimeOutValue;
    r.digest = kFnvOffset;
    r.status = kNoStatus;
    const auto address = reinterpret_cast<std::uintptr_t>(h.DataBuffer);

    if (!r.deviceToHost && h.DataTransferLength != 0 &&
        !caller.read(caller.context, address, staging_, h.DataTransferLength)) {
        ++unreachableBuffers_;
        r.outcome = kOutcomeUnreachable;
        log_.Append(r);
        LeaveSession(s);
        return ControlResult::kUnreachable;
    }

    const FaultEntry* committed = faults_.Match(r.cdb);
    // A corrupted write passes whole and a held one runs as usual; every other fault changes
    // what the exchange does.
    const FaultEntry* spoils =
        committed && committed->kind == kFaultCorruptWrite ? committed : nullptr;
    const bool holds = committed && committed->kind == kFaultHold;
    const FaultEntry* fault = spoils || holds ? nullptr : committed;
    const std::uint32_t blocksBefore = model_.Counters().firmwareBlocks;
    std::uint32_t moved = 0;
    bool passed;
    if (fault && (fault->kind == kFaultRefuse || fault->kind == kFaultRefuseShortCsw)) {
        model_.SetSense(fault->senseKey, fault->asc, fault->ascq);
        passed = false;
    } else if (r.deviceToHost) {
        std::uint32_t capacity = h.DataTransferLength;
        if (fault) capacity = ShortCount(*fault, capacity);
        passed = model_.ExecuteIn(r.cdb, h.DataTransferLength, staging_, capacity, &moved);
    } else if (fault) {  // a short data-out phase: success claimed for the part taken
        moved = ShortCount(*fault, h.DataTransferLength);
        WritePartialBlock(r.cdb, staging_, moved);
        passed = true;
    } else {
        passed = model_.ExecuteOut(r.cdb, h.DataTransferLength, staging_, h.DataTransferLength);
        moved = passed ? h.DataTransferLength : 0;
        if (spoils) SpoilBlock(*spoils, blocksBefore, h.DataTransferLength);
    }
    if (committed) r.fault = committed->kind;

    if (r.deviceToHost && moved != 0 && !caller.write(caller.context, address, staging_, moved)) {
        ++unreachableBuffers_;
        r.outcome = kOutcomeUnreachable;
        log_.Append(r);
        LeaveSession(s);
        return ControlResult::kUnreachable;
    }

    const std::uint8_t status = passed ? kScsiGood : kScsiCheckCondition;
    PassThroughRecord answer = request;
    answer.sptd.ScsiStatus = status;
    answer.sptd.DataTransferLength = moved;
    *returned = sizeof(platform::ScsiPassThroughDirect);
    if (!passed) {
        const std::uint32_t n = Min(h.SenseInfoLength, sim::kSenseDataLength);
        std::memcpy(answer.ucSenseBuf, model_.Sense(), n);
        *returned = h.SenseInfoOffset + n;
        KeepSense(r);
    }
    std::memcpy(record, &answer, sizeof answer);

    AddData(s, staging_, moved);
    r.reported = moved;
    r.outcome = kOutcomeCompleted;
    r.status = status;
    log_.Append(r);
    LeaveSession(s);
    holdAsked_ = holds;
    return ControlResult::kOk;
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
        case kIoctlSetFaults:
            return SetFaults(in, inLen);
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
    reply.tick = *tick_;
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

ControlResult ScannerCore::SetFaults(const void* in, std::uint32_t inLen) {
    if (in == nullptr || inLen < sizeof(FaultTable)) return ControlResult::kBadParameter;
    FaultTable table;
    std::memcpy(&table, in, sizeof table);
    return faults_.Set(table) ? ControlResult::kOk : ControlResult::kBadParameter;
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
    st.stillImageOpens = stillImageOpens_;
    st.diskOpens = diskOpens_;
    st.malformedRecords = malformedRecords_;
    st.unreachableBuffers = unreachableBuffers_;
    st.faultsCommitted = faults_.Committed();
}

}  // namespace scanner_driver
