#include <cstddef>
#include <cstring>

#include "devlink/byte_order.h"
#include "platform/device_io.h"
#include "sim/device_protocol.h"
#include "sim/scanner.h"

namespace sim {
namespace {

constexpr std::uint8_t kScsiGood = 0x00;
constexpr std::uint8_t kScsiCheckCondition = 0x02;
constexpr std::uint8_t kScsiDataUnspecified = 2;

using Record = platform::ScsiPassThroughRecord;

// A lie's count: `value` (0: half of `len`), at least one byte and at most `len`, so a
// data phase still runs.
std::uint32_t LieCount(std::uint32_t value, std::uint32_t len) {
    if (value == 0) value = len / 2;
    if (value == 0) return len == 0 ? 0 : 1;
    return value < len ? value : len;
}

bool WellFormed(const Record& r, std::uint32_t inLen, std::uint32_t outLen) {
    const auto& h = r.sptd;
    if (inLen != sizeof(Record) || outLen != sizeof(Record)) return false;
    if (h.Length != sizeof(platform::ScsiPassThroughDirect)) return false;
    if (h.SenseInfoOffset != offsetof(Record, ucSenseBuf)) return false;
    if (h.SenseInfoLength > sizeof r.ucSenseBuf) return false;
    if (h.CdbLength == 0 || h.CdbLength > sizeof h.Cdb) return false;
    if (h.DataIn != platform::kScsiIoctlDataIn && h.DataIn != platform::kScsiIoctlDataOut &&
        !(h.DataIn == kScsiDataUnspecified && h.DataTransferLength == 0))
        return false;
    if (h.DataTransferLength != 0 && h.DataBuffer == nullptr) return false;
    return true;
}

}  // namespace

bool DiskEndpoint::CanOpen() {
    return !scanner_.unplugged_ && scanner_.openable_;
}

bool DiskEndpoint::Ioctl(std::uint32_t code, void* in, std::uint32_t inLen, void* out,
                         std::uint32_t outLen, std::uint32_t* returned) {
    *returned = 0;
    if (scanner_.unplugged_ || code != platform::kIoctlScsiPassThroughDirect) return false;
    if (in == nullptr || out == nullptr) {
        ++malformed_;
        return false;
    }
    // The record is read from `in` and answered in `out` (the same memory as a rule).
    Record request;
    std::memcpy(&request, in, inLen < sizeof request ? inLen : sizeof request);
    if (!WellFormed(request, inLen, outLen)) {
        ++malformed_;
        return false;
    }
    const auto& h = request.sptd;
    std::uint8_t cdb[16] = {};
    std::memcpy(cdb, h.Cdb, h.CdbLength);
    const std::uint8_t* cmd = cdb + kCmdBytesOffset;
    const bool deviceToHost = h.DataIn == platform::kScsiIoctlDataIn;
    auto* buffer = static_cast<std::uint8_t*>(h.DataBuffer);

    ActiveFaults active;
    if (cdb[0] == kOpVendor) active = scanner_.MatchFaults(cdb);
    WireLog& log = scanner_.log_;
    const int entry = log.BeginCommand(WirePath::kDisk, cdb, deviceToHost, h.DataTransferLength);
    if (scanner_.unplugged_ || active.Has(FaultKind::kIoctlFails) ||
        active.Has(FaultKind::kDataFails))
        return false;

    FirmwareModel& model = scanner_.model_;
    std::uint32_t moved = 0;
    std::uint8_t status = kScsiGood;
    if (const Fault* f = active.Get(FaultKind::kScsiStatus)) {
        status = static_cast<std::uint8_t>(f->value);
    } else if (const Fault* s = active.Get(FaultKind::kStatus)) {
        model.SetSenseBytes(s->sense.data());
        status = kScsiCheckCondition;
    } else {
        std::uint32_t capacity = h.DataTransferLength;
        if (const Fault* f = active.Get(FaultKind::kDataShort))
            capacity = f->value < capacity ? f->value : capacity;
        // Lies: fewer bytes move, and the device passes the command on them.
        bool takePart = false;
        if (const Fault* f = active.Get(FaultKind::kTransferLengthShort)) {
            capacity = LieCount(f->value, capacity);
            takePart = true;
        }
        if (const Fault* f = active.Get(FaultKind::kFirstTransferShort);
            f != nullptr && deviceToHost && cmd[0] == kFamilyData && cmd[1] == kDataGetFirst)
            capacity = LieCount(f->value, capacity);
        bool passed;
        if (deviceToHost) {
            passed = model.ExecuteIn(cdb, h.DataTransferLength, buffer, capacity, &moved);
            if (const Fault* f = active.Get(FaultKind::kServiceReplySize);
                passed && f != nullptr && moved >= 4 && cmd[0] == kFamilyLink &&
                cmd[1] >= kLinkIsLock && cmd[1] <= kLinkUnLock)
                PutLE32(buffer, f->value);
        } else {
            const std::uint32_t blocksBefore = model.Counters().firmwareBlocks;
            passed = model.ExecuteOut(cdb, h.DataTransferLength, buffer, capacity, takePart);
            SpoilWrittenByte(active, model, blocksBefore, capacity);
            moved = passed ? capacity : 0;
        }
        status = passed ? kScsiGood : kScsiCheckCondition;
    }

    Record* answer = static_cast<Record*>(out);
    if (answer != in) std::memcpy(answer, &request, sizeof request);
    answer->sptd.ScsiStatus = status;
    answer->sptd.DataTransferLength = moved;
    *returned = sizeof(platform::ScsiPassThroughDirect);
    if (status == kScsiCheckCondition) {
        const std::uint32_t n =
            h.SenseInfoLength < kSenseDataLength ? h.SenseInfoLength : kSenseDataLength;
        std::memcpy(answer->ucSenseBuf, model.Sense(), n);
        *returned = h.SenseInfoOffset + n;
    }
    log.AddData(entry, buffer, moved);
    log.SetStatus(entry, status);
    return true;
}

}  // namespace sim
