// The device side of Bulk-Only Transport on the scanner's bulk pipes: it takes a 31-byte CBW
// from the bulk-out pipe, runs the data phase (bulk-out write or bulk-in read of the CBW's
// length, moved directly between the host's buffer and the firmware model), and hands out the
// 13-byte CSW ("USBS", the CBW's tag, the residue, the status) on the next bulk-in read.
//
// Freestanding like the firmware model (see firmware_model.h).
//
// Behaviour at the edges:
// - A zero-length read or write is a no-op that succeeds. A CBW with a data length of 0 runs its
//   command at once and goes straight to the status phase.
// - A CBW must carry "USBC", LUN 0, flags 0x00 or 0x80 and a CB length of 16; anything else
//   written when a CBW is expected stalls (the write fails) and counts as a protocol error.
// - A valid CBW written while an earlier exchange is unfinished (outside its data-out phase)
//   starts a new exchange; the old one is dropped and counted as abandoned. So the host's next
//   exchange always works, whatever happened to the previous one.
// - A read when no data or CSW is due stalls (fails) and counts as a protocol error.
// - A data-in read gets at most the CBW's length; the residue is what was not moved.
//
// With real conduct (SetRealConduct), the device behaves after a fault as hardware does, and the
// host must recover it by the transport's rules:
// - A refused command's data phase is not served: its pipe halts (a STALL) and the CSW, with the
//   refusal's status and the whole length as residue, waits for the host.
// - A halted pipe fails every transfer (as a stall) until the host clears it.
// - A pending CSW stays pending: a CBW written during the data-in or status phase is not taken,
//   and a read when nothing is due gets nothing; both fail as a time-out would, not as a stall.
// - An invalid CBW halts both pipes.
// - The class reset (ResetRecovery) drops the exchange under way; halts stay until cleared.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/firmware_model.h"

namespace sim {

constexpr std::uint32_t kBotCbwLength = 31;
constexpr std::uint32_t kBotCswLength = 13;
// Fields of the wrappers, for every device-side model that reads or bends them.
constexpr std::uint32_t kBotTagOffset = 4;  // in the CBW and in the CSW
constexpr std::uint32_t kBotCbwLengthOffset = 8;
constexpr std::uint32_t kBotCbwFlagsOffset = 12;
constexpr std::uint32_t kBotCbwLunOffset = 13;
constexpr std::uint32_t kBotCbwCbLengthOffset = 14;
constexpr std::uint32_t kBotCommandBlockOffset = 15;
constexpr std::uint32_t kBotCswResidueOffset = 8;
constexpr std::uint32_t kBotCswStatusOffset = 12;

class BotDevice {
  public:
    enum class Phase : std::uint8_t { kCommand, kDataOut, kDataIn, kStatus };

    void Init(FirmwareModel* model) { model_ = model; }

    // A bulk-out write of `len` bytes; `taken` receives the count the device took.
    bool Write(const std::uint8_t* data, std::uint32_t len, std::uint32_t* taken);
    // A bulk-in read of up to `len` bytes; `given` receives the count delivered.
    bool Read(std::uint8_t* buf, std::uint32_t len, std::uint32_t* given);

    // Drops the exchange under way (and a forced status not yet used); the next write must be a
    // CBW.
    void Abort() {
        phase_ = Phase::kCommand;
        forcePending_ = false;
        takePartialPending_ = false;
    }
    // The command of the next CBW is not run: its data phase moves nothing (data-out bytes are
    // taken and dropped) and its CSW reports `status`. The caller sets the model's sense data.
    void ForceNextStatus(std::uint8_t status) {
        forcePending_ = true;
        forcedStatus_ = status;
    }

    // The next CBW's data-out phase is carried out on whatever part of it arrives (a device
    // that lies about a short transfer); otherwise a short set is refused.
    void TakePartialData() { takePartialPending_ = true; }
    // The exchange under way skips its data-in phase: the command is not run, and the status
    // phase follows with status 0 and the whole length as residue.
    void SkipDataIn() {
        status_ = kStatusPassedValue;
        residue_ = length_;
        phase_ = Phase::kStatus;
    }

    void SetRealConduct(bool on) { realConduct_ = on; }
    bool RealConduct() const { return realConduct_; }
    // Under real conduct: the exchange under way refuses its data phase (a STALL on that pipe)
    // and its CSW will carry `status`.
    void RefuseDataPhase(std::uint8_t status);
    // Under real conduct: the CSW read stalls and the CSW stays pending.
    void StallStatusPhase() { Halt(true); }
    bool Halted(bool in) const { return in ? haltedIn_ : haltedOut_; }
    void ClearHalt(bool in) { (in ? haltedIn_ : haltedOut_) = false; }
    // Bulk-Only Mass Storage Reset.
    void ResetRecovery() {
        Abort();
        ++resets_;
    }
    // Whether the last failed Read or Write failed as a stall (else as a time-out would).
    bool LastFailureStalled() const { return lastStalled_; }
    std::uint32_t Resets() const { return resets_; }

    // Whether `len` bytes at `data` form a CBW by size and signature.
    static bool LooksLikeCbw(const std::uint8_t* data, std::uint32_t len);

    Phase CurrentPhase() const { return phase_; }
    // The last CBW taken and its command block.
    const std::uint8_t* Cbw() const { return cbw_; }
    const std::uint8_t* CommandBlock() const { return cbw_ + kBotCommandBlockOffset; }
    std::uint32_t Tag() const { return tag_; }
    std::uint32_t PreviousTag() const { return previousTag_; }
    std::uint32_t DataLength() const { return length_; }
    bool DeviceToHost() const { return deviceToHost_; }
    std::uint8_t Status() const { return status_; }
    std::uint32_t ProtocolErrors() const { return protocolErrors_; }
    std::uint32_t AbandonedExchanges() const { return abandoned_; }

    // Writes the CSW of the exchange under way into `csw` (13 bytes).
    void BuildCsw(std::uint8_t csw[kBotCswLength]) const;

  private:
    bool TakeCbw(const std::uint8_t* data);
    void RunWithoutData();
    void Halt(bool in) {
        (in ? haltedIn_ : haltedOut_) = true;
        lastStalled_ = true;
    }
    // A call that fails; `stalled` tells how.
    bool Fail(bool stalled) {
        lastStalled_ = stalled;
        return false;
    }

    FirmwareModel* model_ = nullptr;
    Phase phase_ = Phase::kCommand;
    std::uint8_t cbw_[kBotCbwLength] = {};
    std::uint32_t tag_ = 0;
    std::uint32_t previousTag_ = 0;
    std::uint32_t length_ = 0;
    bool deviceToHost_ = false;
    std::uint32_t residue_ = 0;
    std::uint8_t status_ = 0;
    static constexpr std::uint8_t kStatusPassedValue = 0;
    bool takePartialPending_ = false;
    bool takePartial_ = false;
    bool forcePending_ = false;
    bool forced_ = false;
    std::uint8_t forcedStatus_ = 0;
    std::uint32_t protocolErrors_ = 0;
    std::uint32_t abandoned_ = 0;
    bool realConduct_ = false;
    bool haltedIn_ = false;
    bool haltedOut_ = false;
    bool lastStalled_ = false;
    std::uint32_t resets_ = 0;
};

}  // namespace sim
