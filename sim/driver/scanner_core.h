// The scanner as the driver serves it: one firmware model (memory image, device-side lock,
// busy/finished state) shared by every open handle, and per open handle its own Bulk-Only
// Transport phase, sense data and exchange under way.
//
// Why per handle: several programs may open USBSCAN0 at once and take turns through the service
// protocol, but a program that waits for its turn still sends finish checks (FF 04) every few
// seconds, and they can arrive between another program's CBW and its CSW. A real device with a
// single pair of bulk pipes would see that check's CBW while it expects the other program's data
// or CSW read: during a data-out phase the 31 CBW bytes would be taken as the other program's
// data, otherwise the stray CBW would start a new exchange and drop the one under way, and the
// other program would then read the waiting program's reply or CSW (a wrong tag, "Bad status").
// Here each handle keeps its own phase, so an exchange is never mixed with another handle's, and
// the finish check is answered from the shared busy state like any other command. Sense data is
// kept per handle for the same reason: the REQUEST SENSE after a failed command returns that
// command's sense even if another program's command ran in between.
//
// The same model also answers as a removable disk: IOCTL_SCSI_PASS_THROUGH_DIRECT records, whose
// data buffer lies in the caller's process and is reached through the host (CallerMemory).
//
// Freestanding (no allocation, no exceptions, no standard containers): the kernel glue owns all
// memory and serialises every call with one lock; nothing here locks.
#pragma once

#include <cstdint>

#include "sim/bot_device.h"
#include "sim/driver/driver_interface.h"
#include "sim/firmware_model.h"

namespace scanner_driver {

// Ring of the last exchanges, over storage supplied by the host.
class ExchangeLog {
  public:
    void Init(ExchangeRecord* storage, std::uint32_t capacity) {
        storage_ = storage;
        capacity_ = storage ? capacity : 0;
    }
    // Stores `record` under the next sequence number (overwriting the oldest when full).
    void Append(const ExchangeRecord& record);
    // Copies up to `max` records from `fromSeq` on (or from the oldest kept, if later) to `out`.
    std::uint32_t Read(std::uint32_t fromSeq, ExchangeRecord* out, std::uint32_t max) const;
    void Clear() { firstKept_ = nextSeq_; }
    std::uint32_t NextSeq() const { return nextSeq_; }
    std::uint32_t FirstKept() const;

  private:
    ExchangeRecord* storage_ = nullptr;
    std::uint32_t capacity_ = 0;
    std::uint32_t nextSeq_ = 1;
    std::uint32_t firstKept_ = 1;
};

// Which of the driver's devices a handle was opened on.
enum class Presentation : std::uint8_t { kStillImage, kDisk, kControl };

// The faults to commit, each at its Nth matching vendor command (see FaultKind).
class FaultSchedule {
  public:
    // Replaces the table; false (and no change) when it is not well formed.
    bool Set(const FaultTable& table);
    // The entry that fires at this command block, if any; counts the command for every entry it
    // matches.
    const FaultEntry* Match(const std::uint8_t cdb[16]);
    std::uint32_t Committed() const { return committed_; }

  private:
    FaultTable table_ = {};
    std::uint32_t seen_[kMaxFaults] = {};
    std::uint32_t committed_ = 0;
};

// The caller's memory as the host reaches it: `read` and `write` move `length` bytes between
// the caller's `address` and the driver's own memory, and fail when the range cannot be reached.
struct CallerMemory {
    bool (*read)(void* context, std::uint64_t address, void* to, std::uint32_t length) = nullptr;
    bool (*write)(void* context, std::uint64_t address, const void* from,
                  std::uint32_t length) = nullptr;
    void* context = nullptr;
};

class ScannerCore;

// The state of one open handle. Lives in memory the glue allocates at open and frees at close.
class Session {
  private:
    friend class ScannerCore;
    sim::BotDevice bot_;
    std::uint8_t sense_[sim::kSenseDataLength] = {};
    std::uint32_t openId_ = 0;
    std::uint32_t processId_ = 0;
    Presentation presentation_ = Presentation::kStillImage;
    bool inExchange_ = false;
    FaultEntry fault_ = {};  // the fault of the exchange under way (kind kFaultNone: none)
    ExchangeRecord current_ = {};
};

// kUnreachable: the request's data buffer could not be reached; nothing was run.
enum class ControlResult { kOk, kUnknownCode, kBadParameter, kUnreachable };

class ScannerCore {
  public:
    // `memory` is zero-filled; it and `logStorage` outlive the core.
    void Init(std::uint8_t* memory, std::uint32_t memorySize, sim::ModelClock clock,
              ExchangeRecord* logStorage, std::uint32_t logCapacity);

    // `staging` holds one pass-through data phase at a time (the largest transfer the model
    // takes); without it the disk path refuses every record that moves data.
    void InitStaging(std::uint8_t* staging, std::uint32_t size) {
        staging_ = staging;
        stagingSize_ = staging ? size : 0;
    }

    // Counts the core's calls on `ticks` instead of its own counter, so that several cores (one
    // per scanner, under one lock) stamp their records on one clock. Null: its own again.
    void ShareTicks(std::uint32_t* ticks) { tick_ = ticks ? ticks : &ownTick_; }

    void Open(Session& s, std::uint32_t processId,
              Presentation presentation = Presentation::kStillImage);
    void Close(Session& s);

    // The bulk pipes of one handle: WriteFile and ReadFile.
    bool Write(Session& s, const std::uint8_t* data, std::uint32_t len, std::uint32_t* taken);
    bool Read(Session& s, std::uint8_t* buf, std::uint32_t len, std::uint32_t* given);

    // DeviceIoControl: the descriptor request and the private controls. `in` and `out` may be
    // the same buffer (METHOD_BUFFERED): the input is read whole before anything is written.
    ControlResult Control(Session& s, std::uint32_t code, const void* in, std::uint32_t inLen,
                          void* out, std::uint32_t outLen, std::uint32_t* returned);

    // IOCTL_SCSI_PASS_THROUGH_DIRECT on a disk handle: `record` holds the caller's record
    // (METHOD_BUFFERED: the answer goes back in place, `returned` bytes of it). The record must
    // have this process's 64-bit layout; its data buffer is reached through `caller`.
    ControlResult PassThrough(Session& s, void* record, std::uint32_t inLen, std::uint32_t outLen,
                              std::uint32_t* returned, const CallerMemory& caller);

    // Whether the call just made carried a kFaultHold's answer, which the glue is to hold back;
    // asking clears it.
    bool TakeHold() {
        const bool held = holdAsked_;
        holdAsked_ = false;
        return held;
    }

    sim::FirmwareModel& Model() { return model_; }
    const ExchangeLog& Log() const { return log_; }

  private:
    void BeginExchange(Session& s, const FaultEntry* fault);
    void ArmFault(Session& s, const std::uint8_t* cbw, const FaultEntry* fault);
    void WritePartialBlock(const std::uint8_t* cdb, const std::uint8_t* data, std::uint32_t n);
    void SpoilBlock(const FaultEntry& fault, std::uint32_t blocksBefore, std::uint32_t length);
    void KeepSense(ExchangeRecord& r);
    void EndExchange(Session& s, ExchangeOutcome outcome, std::uint8_t status);
    void AddData(Session& s, const std::uint8_t* data, std::uint32_t count);
    // Each bulk-pipe call works on the caller's own sense data.
    void EnterSession(const Session& s) { model_.SetSenseBytes(s.sense_); }
    void LeaveSession(Session& s);

    ControlResult ReadLog(const void* in, std::uint32_t inLen, void* out, std::uint32_t outLen,
                          std::uint32_t* returned);
    ControlResult ReadMemory(const void* in, std::uint32_t inLen, void* out, std::uint32_t outLen,
                             std::uint32_t* returned);
    ControlResult ApplySettings(const void* in, std::uint32_t inLen);
    ControlResult SetFaults(const void* in, std::uint32_t inLen);
    void FillStatus(DriverStatus& st);

    sim::FirmwareModel model_;
    ExchangeLog log_;
    FaultSchedule faults_;
    std::uint8_t* staging_ = nullptr;
    std::uint32_t stagingSize_ = 0;
    std::uint32_t stillImageOpens_ = 0;
    std::uint32_t diskOpens_ = 0;
    std::uint32_t malformedRecords_ = 0;
    std::uint32_t unreachableBuffers_ = 0;
    std::uint32_t ownTick_ = 0;
    std::uint32_t* tick_ = &ownTick_;
    std::uint32_t nextOpenId_ = 1;
    std::uint32_t openHandles_ = 0;
    std::uint32_t protocolErrors_ = 0;
    bool holdAsked_ = false;
};

}  // namespace scanner_driver
