// The disk presentation: a Bulk-Only mass-storage device with one logical unit, whose vendor
// command blocks go to the scanner's disk endpoint exactly as Windows hands them to a disk
// (an IOCTL_SCSI_PASS_THROUGH_DIRECT record), and which answers the standard commands a host's
// storage driver sends around them itself: a small removable medium of zeros.
//
// Bulk-Only on the device side:
// - A CBW must be 31 bytes with "USBC", LUN 0, a command block of 1 to 16 bytes and a data
//   length the buffer holds. Anything else stalls both endpoints until the class reset; bytes
//   that arrive meanwhile stall them again.
// - Data-out is received whole before the command runs. A data-in phase that moves less than the
//   host asked for (nothing, for a refused command) ends with a stall of bulk-in; the CSW follows
//   with the residue.
// - Check condition (SCSI status 2) becomes CSW status 1 and keeps its sense data for the
//   REQUEST SENSE that the host sends next; any other SCSI status is CSW status 1 with ABORTED
//   COMMAND. A pass-through request that fails (the device is gone), or a data phase in the
//   other direction than the command's, is a phase error (CSW status 2): the host resets.
#pragma once

#include <cstdint>
#include <memory>

#include "sim/gadget/bulk_function.h"

namespace sim {
class Scanner;
}

namespace gadget {

class CommandLog;

// The medium the standard commands describe.
constexpr std::uint32_t kDiskBlockSize = 512;
constexpr std::uint32_t kDiskBlockCount = 2048;

class DiskTarget final : public BulkFunction {
  public:
    // `log` (may be null) records the commands answered here; the scanner's own log is drained
    // into it after each vendor command, so the lines keep their order.
    DiskTarget(sim::Scanner& scanner, CommandLog* log);

    BulkStep Next() override;
    void Completed(const BulkStep& step, bool ok, std::uint32_t moved) override;
    void Reset() override;

  private:
    enum class State : std::uint8_t {
        kCommand,  // receive a CBW
        kDataOut,  // receive the data of the command
        kDataIn,   // send the command's data
        kEndIn,    // stall bulk-in: the data phase ended short
        kStatus,   // send the CSW
        kStall,    // stall both endpoints: an invalid CBW
        kStalled,  // until the reset: anything that arrives stalls them again
    };
    struct Result {
        std::uint8_t cswStatus = 0;
        std::uint32_t moved = 0;  // data bytes taken or to be sent
    };

    void TakeCbw(const std::uint8_t* data, std::uint32_t n);
    // Runs the command block; `received` data-out bytes are in the buffer.
    void Execute(std::uint32_t received);
    Result Vendor(std::uint32_t received);
    Result Standard(std::uint32_t received);
    Result Check(std::uint8_t key, std::uint8_t asc);
    // Data-in of `count` bytes already in the buffer, or data-out taken.
    Result Data(std::uint32_t count, bool toHost);
    void SetSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq = 0);

    sim::Scanner& scanner_;
    CommandLog* log_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::uint8_t command_[kCommandReadLength] = {};
    std::uint8_t csw_[13] = {};
    State state_ = State::kCommand;
    // The CBW under way.
    std::uint32_t tag_ = 0;
    std::uint32_t length_ = 0;
    bool toHost_ = false;
    std::uint8_t cdb_[16] = {};
    std::uint8_t cdbLength_ = 0;
    std::uint32_t toSend_ = 0;
    std::uint8_t sense_[18] = {};
};

}  // namespace gadget
