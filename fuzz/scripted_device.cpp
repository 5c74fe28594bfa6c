#include "fuzz/scripted_device.h"

#include <cstring>
#include <iterator>

#include "platform/device_io.h"
#include "sim/device_protocol.h"

namespace fuzz {
namespace {

constexpr std::uint16_t kHealthyVendorId = sim::kScannerVendorIds[0];
static_assert(std::size(sim::kScannerVendorIds) == 4, "the input picks a vendor id by two bits");

std::uint32_t LittleEndian32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

void PutLittleEndian32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t Min(std::uint32_t a, std::uint32_t b) {
    return a < b ? a : b;
}

bool IsDataCommand(const std::uint8_t* cdb) {
    return cdb[0] == sim::kOpVendor && cdb[10] == sim::kFamilyData;
}

bool IsServiceCommand(const std::uint8_t* cdb) {
    return cdb[0] == sim::kOpVendor && cdb[10] == sim::kFamilyLink && cdb[11] >= sim::kLinkIsLock &&
           cdb[11] <= sim::kLinkUnLock;
}

// What an idle, healthy scanner answers to a service command.
std::uint8_t HealthyServiceResult(std::uint8_t code) {
    return code == sim::kLinkIsLock ? 0 : 1;
}

// Reads the first and the last byte of a buffer the host declared `len` bytes long.
void Touch(const void* buf, std::uint32_t len) {
    if (len == 0) return;
    const volatile std::uint8_t* p = static_cast<const volatile std::uint8_t*>(buf);
    (void)p[0];
    (void)p[len - 1];
}

}  // namespace

std::uint32_t ScriptedDevice::DataHash(const std::uint8_t* bytes, std::uint32_t count) {
    std::uint32_t h = 2166136261u;
    for (std::uint32_t i = 0; i < count; ++i) h = (h ^ bytes[i]) * 16777619u;
    return h;
}

ScriptedDevice::Outcome ScriptedDevice::Decide() {
    if (scope_ != Scope::kEveryPhase) return Outcome::kExact;
    // Mostly success, so that runs get deep into the protocol.
    const std::uint8_t b = in_.Byte(0x20);
    switch (b & 0x0F) {
        case 0:
            return Outcome::kFail;
        case 1:
            return Outcome::kDrop;
        case 2:
            return Outcome::kShort;
        case 3:
            return Outcome::kLong;
        default:
            return Outcome::kExact;
    }
}

std::uint32_t ScriptedDevice::Count(Outcome outcome, std::uint32_t len) {
    switch (outcome) {
        case Outcome::kShort:
            return len == 0 ? 0 : in_.Byte(0) % len;
        case Outcome::kLong:
            return len + 1 + in_.Byte(0);
        default:
            return len;
    }
}

bool ScriptedDevice::CountExchange() {
    if (++exchanges_ > kExchangeLimit) gone_ = true;
    return !gone_;
}

std::uint32_t ScriptedDevice::FillReply(const std::uint8_t* cdb, std::uint8_t* buf,
                                        std::uint32_t capacity) {
    if (capacity == 0) return 0;
    if (cdb[0] == sim::kOpRequestSense) {
        std::uint8_t sense[18] = {0x70};
        if (scope_ == Scope::kEveryPhase) {
            for (std::uint8_t& b : sense) b = in_.Byte(b);
        }
        const std::uint32_t n = Min(capacity, sizeof sense);
        std::memcpy(buf, sense, n);
        wholeSense_ = n == sizeof sense;
        std::memcpy(sense_, sense, sizeof sense);
        return n;
    }
    if (IsServiceCommand(cdb)) {
        std::uint8_t reply[16] = {};
        const std::uint8_t sizeChoice = in_.Byte(0);
        PutLittleEndian32(reply, (sizeChoice & 0x80) ? in_.U32(16) : 16);
        const std::uint8_t resultChoice = in_.Byte(HealthyServiceResult(cdb[11]));
        PutLittleEndian32(reply + 8, (resultChoice & 0x80) ? in_.U32(1) : resultChoice & 1);
        const std::uint32_t n = Min(capacity, sizeof reply);
        std::memcpy(buf, reply, n);
        return n;
    }
    if (cdb[0] == sim::kOpVendor && cdb[10] == sim::kFamilyLink && cdb[11] == sim::kLinkTagQuery) {
        std::uint8_t tag[sim::kTagLength];
        std::memcpy(tag, sim::kScannerTag, sizeof tag);
        if (in_.Byte(0) & 1) {
            for (std::uint8_t& b : tag) b = in_.Byte(b);
        }
        const std::uint32_t n = Min(capacity, sizeof tag);
        std::memcpy(buf, tag, n);
        return n;
    }
    // Any other data: one byte value throughout keeps a 64 KiB reply cheap.
    lastFill_ = in_.Byte(0);
    std::memset(buf, lastFill_, capacity);
    return capacity;
}

// --- Still-image path: bulk pipes ------------------------------------------------------------

bool ScriptedDevice::Write(const void* buf, std::uint32_t len, std::uint32_t* done) {
    *done = 0;
    if (gone_) return false;
    Touch(buf, len);
    const auto* data = static_cast<const std::uint8_t*>(buf);

    if (expect_ != Expect::kDataOut) {
        if (len != sizeof cbw_ || std::memcmp(data, "USBC", 4) != 0) {
            expect_ = Expect::kCommand;  // not a CBW: the pipe stalls
            return false;
        }
        if (!CountExchange()) return false;
        wholeSense_ = false;
        dataExchange_ = false;
        const Outcome outcome = Decide();
        if (outcome == Outcome::kDrop) gone_ = true;
        if (outcome == Outcome::kFail || outcome == Outcome::kDrop) {
            expect_ = Expect::kCommand;
            return false;
        }
        *done = Count(outcome, len);
        if (outcome == Outcome::kShort) {  // no whole CBW arrived
            expect_ = Expect::kCommand;
            return true;
        }
        std::memcpy(cbw_, data, sizeof cbw_);
        dataLength_ = LittleEndian32(cbw_ + 8);
        dataExchange_ = IsDataCommand(cbw_ + 15);
        if (dataExchange_) {
            data_ = DataRecord{};
            data_.seen = true;
            data_.transfer = cbw_[15 + 11];
            data_.asked = dataLength_;
        }
        if (dataLength_ == 0) {
            expect_ = Expect::kStatus;
        } else {
            expect_ = (cbw_[12] & 0x80) ? Expect::kDataIn : Expect::kDataOut;
        }
        return true;
    }

    const Outcome outcome = Decide();
    if (outcome == Outcome::kDrop) gone_ = true;
    if (outcome == Outcome::kFail || outcome == Outcome::kDrop) {
        expect_ = Expect::kCommand;
        return false;
    }
    *done = Count(outcome, len);
    if (dataExchange_) {
        data_.moved = Min(*done, len);
        data_.hash = DataHash(data, data_.moved);
    }
    expect_ = Expect::kStatus;
    return true;
}

bool ScriptedDevice::Read(void* buf, std::uint32_t len, std::uint32_t* done) {
    *done = 0;
    if (gone_) return false;
    Touch(buf, len);
    auto* data = static_cast<std::uint8_t*>(buf);

    if (expect_ == Expect::kStatus) return ReadCsw(data, len, done);
    if (expect_ != Expect::kDataIn) {
        expect_ = Expect::kCommand;  // nothing is due: the pipe stalls
        return false;
    }
    const std::uint8_t* cdb = cbw_ + 15;
    Outcome outcome = Decide();
    // The reply's size is what this scope is about.
    if (scope_ == Scope::kServiceReplies && IsServiceCommand(cdb)) {
        const std::uint8_t b = in_.Byte(0);
        outcome = (b & 3) == 1 ? Outcome::kShort : (b & 3) == 2 ? Outcome::kLong : Outcome::kExact;
    }
    if (outcome == Outcome::kDrop) gone_ = true;
    if (outcome == Outcome::kFail || outcome == Outcome::kDrop) {
        expect_ = Expect::kCommand;
        return false;
    }
    const std::uint32_t count = Count(outcome, len);
    const std::uint32_t filled = FillReply(cdb, data, Min(count, len));
    if (dataExchange_) {
        data_.moved = filled;
        data_.fill = lastFill_;
    }
    *done = count;
    expect_ = Expect::kStatus;
    return true;
}

bool ScriptedDevice::ReadCsw(std::uint8_t* buf, std::uint32_t len, std::uint32_t* done) {
    const Outcome outcome = Decide();
    if (outcome == Outcome::kDrop) gone_ = true;
    expect_ = Expect::kCommand;
    if (outcome == Outcome::kFail || outcome == Outcome::kDrop) return false;

    std::uint8_t csw[13];
    PutLittleEndian32(csw, sim::kCswSignature);
    std::memcpy(csw + 4, cbw_ + 4, 4);  // the tag echoed
    PutLittleEndian32(csw + 8, 0);
    csw[12] = 0;
    if (scope_ == Scope::kEveryPhase) {
        const std::uint8_t c = in_.Byte(0);
        switch (c & 3) {
            case 2:  // the tag of the exchange before
                PutLittleEndian32(csw + 4, LittleEndian32(cbw_ + 4) - 1);
                break;
            case 3:
                PutLittleEndian32(csw + 4, in_.U32(0));
                break;
            default:
                break;
        }
        switch ((c >> 2) & 3) {
            case 2:
                csw[12] = 1;
                break;
            case 3:
                csw[12] = in_.Byte(2);
                break;
            default:
                break;
        }
        if (c & 0x10) PutLittleEndian32(csw, in_.U32(0));
        if (c & 0x20) PutLittleEndian32(csw + 8, in_.U32(0));
    }
    const std::uint32_t count = Count(outcome, len);
    const std::uint32_t delivered = Min(Min(count, len), sizeof csw);
    std::memcpy(buf, csw, delivered);
    if (dataExchange_) {
        data_.passed =
            delivered == sizeof csw && csw[12] == 0 && std::memcmp(csw + 4, cbw_ + 4, 4) == 0;
        dataExchange_ = false;
    }
    *done = count;
    return true;
}

// --- Both paths: I/O controls ----------------------------------------------------------------

bool ScriptedDevice::Ioctl(std::uint32_t code, void* in, std::uint32_t inLen, void* out,
                           std::uint32_t outLen, std::uint32_t* returned) {
    *returned = 0;
    if (gone_) return false;
    if (code == platform::kIoctlScsiPassThroughDirect)
        return PassThrough(in, inLen, out, outLen, returned);
    if (code != platform::kIoctlGetDeviceDescriptor) return false;

    Touch(out, outLen);
    if (out == nullptr || outLen < sizeof(platform::DeviceDescriptor)) return false;
    const Outcome outcome = Decide();
    if (outcome == Outcome::kDrop) gone_ = true;
    if (outcome == Outcome::kFail || outcome == Outcome::kDrop) return false;
    platform::DeviceDescriptor d{kHealthyVendorId, 0x2022, 0x0100, 0x0409};
    if (scope_ == Scope::kEveryPhase) {
        const std::uint8_t v = in_.Byte(0);
        d.usVendorId = (v & 0x80) ? in_.U16(kHealthyVendorId) : sim::kScannerVendorIds[v & 3];
    }
    std::memcpy(out, &d, sizeof d);
    *returned = Count(outcome, sizeof d);
    return true;
}

bool ScriptedDevice::PassThrough(void* in, std::uint32_t inLen, void* out, std::uint32_t outLen,
                                 std::uint32_t* returned) {
    using Record = platform::ScsiPassThroughRecord;
    // The host's record must be whole, and describe itself truthfully.
    FUZZ_CHECK(in != nullptr && out != nullptr);
    FUZZ_CHECK(inLen == sizeof(Record) && outLen == sizeof(Record));
    Touch(in, inLen);
    Touch(out, outLen);
    auto* record = static_cast<Record*>(out);
    if (out != in) std::memcpy(record, in, sizeof *record);
    platform::ScsiPassThroughDirect& h = record->sptd;
    FUZZ_CHECK(h.Length == sizeof(platform::ScsiPassThroughDirect));
    FUZZ_CHECK(h.CdbLength == 16);
    FUZZ_CHECK(h.SenseInfoOffset + h.SenseInfoLength <= sizeof(Record));
    FUZZ_CHECK(h.DataIn == platform::kScsiIoctlDataIn || h.DataIn == platform::kScsiIoctlDataOut);
    FUZZ_CHECK(h.DataTransferLength == 0 || h.DataBuffer != nullptr);
    Touch(h.DataBuffer, h.DataTransferLength);

    if (!CountExchange()) return false;
    Outcome outcome = Decide();
    if (scope_ == Scope::kServiceReplies && IsServiceCommand(h.Cdb)) {
        const std::uint8_t b = in_.Byte(0);
        outcome = (b & 3) == 1 ? Outcome::kShort : (b & 3) == 2 ? Outcome::kLong : Outcome::kExact;
    }
    if (outcome == Outcome::kDrop) gone_ = true;
    if (outcome == Outcome::kFail || outcome == Outcome::kDrop) return false;

    std::uint8_t status = 0;
    if (scope_ == Scope::kEveryPhase) {
        const std::uint8_t s = in_.Byte(0);
        if ((s & 3) == 3) status = in_.Byte(2);
    }
    const std::uint32_t count = Count(outcome, h.DataTransferLength);
    std::uint32_t moved = 0;
    if (h.DataIn == platform::kScsiIoctlDataIn && status == 0) {
        moved = FillReply(h.Cdb, static_cast<std::uint8_t*>(h.DataBuffer),
                          Min(count, h.DataTransferLength));
    } else if (h.DataIn == platform::kScsiIoctlDataOut) {
        moved = Min(count, h.DataTransferLength);
    }
    if (IsDataCommand(h.Cdb)) {
        data_ = DataRecord{};
        data_.seen = true;
        data_.transfer = h.Cdb[11];
        data_.asked = h.DataTransferLength;
        data_.moved = moved;
        data_.fill = lastFill_;
        if (h.DataIn == platform::kScsiIoctlDataOut)
            data_.hash = DataHash(static_cast<const std::uint8_t*>(h.DataBuffer), moved);
        data_.passed = status == 0;
    }
    h.ScsiStatus = status;
    h.DataTransferLength = count;
    *returned = sizeof(platform::ScsiPassThroughDirect);
    if (status != 0) {
        auto* sense = reinterpret_cast<std::uint8_t*>(record) + h.SenseInfoOffset;
        for (std::uint32_t i = 0; i < h.SenseInfoLength; ++i) sense[i] = in_.Byte(0);
        *returned = h.SenseInfoOffset + h.SenseInfoLength;
    }
    return true;
}

}  // namespace fuzz
