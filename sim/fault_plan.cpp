#include "sim/fault_plan.h"

#include "sim/firmware_model.h"

namespace sim {
namespace {

Fault Make(FaultKind kind, std::uint32_t value = 0) {
    Fault f;
    f.kind = kind;
    f.value = value;
    return f;
}

}  // namespace

Fault Fault::Vanish() {
    return Make(FaultKind::kVanish);
}
Fault Fault::CbwWriteFails() {
    return Make(FaultKind::kCbwWriteFails);
}
Fault Fault::CbwWriteShort(std::uint32_t reported) {
    return Make(FaultKind::kCbwWriteShort, reported);
}
Fault Fault::DataFails() {
    return Make(FaultKind::kDataFails);
}
Fault Fault::DataShort(std::uint32_t moved) {
    return Make(FaultKind::kDataShort, moved);
}
Fault Fault::CswReadFails() {
    return Make(FaultKind::kCswReadFails);
}
Fault Fault::CswReadShort(std::uint32_t delivered) {
    return Make(FaultKind::kCswReadShort, delivered);
}
Fault Fault::StaleTag() {
    return Make(FaultKind::kStaleTag);
}
Fault Fault::BadCswSignature(std::uint32_t signature) {
    return Make(FaultKind::kBadCswSignature, signature);
}
Fault Fault::Status(std::uint8_t status, std::uint8_t senseByte2, std::uint8_t asc,
                    std::uint8_t ascq) {
    std::array<std::uint8_t, 18> sense{};
    sense[0] = 0x70;
    sense[2] = senseByte2;
    sense[7] = 10;
    sense[12] = asc;
    sense[13] = ascq;
    return StatusWithSense(status, sense);
}
Fault Fault::StatusWithSense(std::uint8_t status, const std::array<std::uint8_t, 18>& sense) {
    Fault f = Make(FaultKind::kStatus, status);
    f.sense = sense;
    return f;
}
Fault Fault::SenseReadFails() {
    return Make(FaultKind::kSenseReadFails);
}
Fault Fault::SenseReadShort(std::uint32_t delivered) {
    return Make(FaultKind::kSenseReadShort, delivered);
}
Fault Fault::ServiceReplySize(std::uint32_t dwSize) {
    return Make(FaultKind::kServiceReplySize, dwSize);
}
Fault Fault::IoctlFails() {
    return Make(FaultKind::kIoctlFails);
}
Fault Fault::ScsiStatus(std::uint8_t status) {
    return Make(FaultKind::kScsiStatus, status);
}

Fault Fault::CswShortRefused(std::uint32_t delivered) {
    return Make(FaultKind::kCswShortRefused, delivered);
}
Fault Fault::Residue(std::uint32_t residue) {
    return Make(FaultKind::kResidue, residue);
}
Fault Fault::DataShortPassed(std::uint32_t moved) {
    return Make(FaultKind::kDataShortPassed, moved);
}
Fault Fault::CswForData() {
    return Make(FaultKind::kCswForData);
}
Fault Fault::TransferLengthShort(std::uint32_t moved) {
    return Make(FaultKind::kTransferLengthShort, moved);
}
Fault Fault::FirstTransferShort(std::uint32_t moved) {
    return Make(FaultKind::kFirstTransferShort, moved);
}

Fault Fault::WriteCorrupts(std::uint32_t offset) {
    return Make(FaultKind::kWriteCorrupts, offset).OnCommand(0x02, 0x03, 0x05);
}

void SpoilWrittenByte(const ActiveFaults& active, FirmwareModel& model, std::uint32_t blocksBefore,
                      std::uint32_t length) {
    const Fault* f = active.Get(FaultKind::kWriteCorrupts);
    // Only a block the device took: a refused one is no lie.
    if (f == nullptr || model.Counters().firmwareBlocks == blocksBefore || f->value >= length)
        return;
    const std::uint32_t address = model.Address() + f->value;
    model.SetMemoryAt(address, static_cast<std::uint8_t>(~model.MemoryAt(address)));
}

int FaultPlan::Inject(const Fault& fault) {
    Armed a;
    a.fault = fault;
    a.firstExchange = seen_ + fault.exchange.value_or(0);
    a.left = fault.times;
    a.skipLeft = fault.skip;
    armed_.push_back(a);
    return static_cast<int>(armed_.size() - 1);
}

void FaultPlan::Clear() {
    // Ids stay valid: cleared faults simply stop firing.
    for (auto& a : armed_) a.left = 0;
}

std::uint32_t FaultPlan::Fired(int id) const {
    if (id < 0 || static_cast<std::size_t>(id) >= armed_.size()) return 0;
    return armed_[static_cast<std::size_t>(id)].fired;
}

ActiveFaults FaultPlan::Match(const std::uint8_t* cdb) {
    const std::uint64_t number = seen_++;
    ActiveFaults active;
    const std::uint8_t* cmd = cdb + kCmdBytesOffset;
    for (auto& a : armed_) {
        if (a.left == 0) continue;
        const Fault& f = a.fault;
        const bool byCommand = f.cmd0 >= 0 || f.cmd1 >= 0 || f.selector >= 0;
        bool hit;
        if (byCommand) {
            hit = number >= a.firstExchange && (f.cmd0 < 0 || f.cmd0 == cmd[0]) &&
                  (f.cmd1 < 0 || f.cmd1 == cmd[1]) && (f.selector < 0 || f.selector == cmd[2]);
        } else {
            hit = number >= a.firstExchange;
        }
        if (!hit) continue;
        if (a.skipLeft != 0) {
            --a.skipLeft;
            continue;
        }
        if (a.left != Fault::kForever) --a.left;
        ++a.fired;
        active.of[static_cast<std::size_t>(f.kind)] = f;
        active.any = true;
    }
    return active;
}

}  // namespace sim
