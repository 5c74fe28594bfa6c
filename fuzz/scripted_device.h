// A scanner whose answers are read from the fuzz input instead of being worked out: every bulk
// pipe call and I/O control of either path asks the input how it ends (fails, the device drops
// off, or succeeds with the exact, a short or an over-long count) and what it carries (CSW tag,
// signature and status, sense bytes, service replies of any size and content, SCSI status).
//
// Once the input runs out the device answers as a healthy, idle scanner would (service replies:
// not locked, finished, lock granted, released), so every wait of the host ends. Each answer the
// input decides consumes at least one byte, and after kExchangeLimit command blocks the device
// drops off the bus, so a run is bounded however the host behaves.
//
// Besides answering, it checks what it is handed: each buffer is touched at both ends of its
// declared length (AddressSanitizer reports a host buffer shorter than the length it declares),
// and a pass-through record must be whole and self-consistent.
#pragma once

#include <cstdint>

#include "fuzz/fuzz_input.h"
#include "platform/sim/sim_device_file.h"

namespace fuzz {

enum class Scope : std::uint8_t {
    kEveryPhase,      // the input decides every phase of every exchange
    kServiceReplies,  // a sound transport; the input decides only the data the device returns
};

class ScriptedDevice final : public sim::SimDeviceFile {
  public:
    static constexpr std::uint32_t kExchangeLimit = 600;

    ScriptedDevice(FuzzInput& input, Scope scope) : in_(input), scope_(scope) {}

    bool CanOpen() override { return !gone_; }
    bool Ioctl(std::uint32_t code, void* in, std::uint32_t inLen, void* out, std::uint32_t outLen,
               std::uint32_t* returned) override;
    bool Read(void* buf, std::uint32_t len, std::uint32_t* done) override;
    bool Write(const void* buf, std::uint32_t len, std::uint32_t* done) override;

    bool Gone() const { return gone_; }
    std::uint32_t Exchanges() const { return exchanges_; }

    // What the device really did in the last data command (CmdBytes 02 xx) that reached it: the
    // truth a data call's result is checked against.
    struct DataRecord {
        bool seen = false;
        std::uint8_t transfer = 0;  // CmdBytes[1]: 01/02 get, 03 set
        std::uint32_t asked = 0;    // the command's data length
        std::uint32_t moved = 0;    // bytes really put into, or taken from, the host's buffer
        std::uint8_t fill = 0;      // get: the byte value it delivered throughout
        std::uint32_t hash = 0;     // set: DataHash of the bytes it took
        bool passed = false;        // its status (CSW with the right tag, or SCSI status) was 0
    };
    const DataRecord& LastData() const { return data_; }
    void ForgetData() { data_ = DataRecord{}; }
    static std::uint32_t DataHash(const std::uint8_t* bytes, std::uint32_t count);

    // The 18 bytes the last REQUEST SENSE data phase delivered, when it delivered all of them.
    bool WholeSenseDelivered() const { return wholeSense_; }
    std::uint8_t SenseByte(int i) const { return sense_[i]; }

  private:
    enum class Outcome : std::uint8_t { kFail, kDrop, kExact, kShort, kLong };
    enum class Expect : std::uint8_t { kCommand, kDataIn, kDataOut, kStatus };

    // How the next platform call ends; only kEveryPhase asks the input.
    Outcome Decide();
    // The count reported for a call of `len` bytes that ends with `outcome`.
    std::uint32_t Count(Outcome outcome, std::uint32_t len);
    // A new command block reached the device; false once the device has dropped off.
    bool CountExchange();
    // Writes at most `capacity` bytes of the reply to the command block `cdb` into `buf`;
    // returns how many.
    std::uint32_t FillReply(const std::uint8_t* cdb, std::uint8_t* buf, std::uint32_t capacity);
    bool ReadCsw(std::uint8_t* buf, std::uint32_t len, std::uint32_t* done);
    bool PassThrough(void* in, std::uint32_t inLen, void* out, std::uint32_t outLen,
                     std::uint32_t* returned);

    FuzzInput& in_;
    Scope scope_;
    bool gone_ = false;
    std::uint32_t exchanges_ = 0;
    Expect expect_ = Expect::kCommand;
    std::uint8_t cbw_[31] = {};
    std::uint32_t dataLength_ = 0;
    bool wholeSense_ = false;
    std::uint8_t sense_[18] = {};
    DataRecord data_;
    bool dataExchange_ = false;  // the exchange under way is the recorded data command
    std::uint8_t lastFill_ = 0;
};

}  // namespace fuzz
