// What became of one vendor command transfer, as the device link judges it. The int results the
// host calls return stay as they are; this is the verdict behind them, kept by the device object
// for its data calls to decide on.
#pragma once

#include <cstdint>

enum class TransferOutcome : std::uint8_t {
    kNotSent,               // refused before the wire: no device handle, or a length over the limit
    kComplete,              // carried out and passed, every byte asked for moved
    kShort,                 // passed, but fewer bytes moved than asked: a data phase count, a
                            // CSW residue or a pass-through DataTransferLength says so
    kFailedWithSense,       // the device failed it and its sense data names why
    kFailedWithEmptySense,  // the device failed it and its sense data says nothing (bytes 2 and
                            // 12 both 0, or the sense could not be had whole)
    kNoValidStatus,         // no status wrapper could be accepted: unreadable, other than 13
                            // bytes, or echoing another tag
    kTransportFailure,      // a call on the wire failed: a CBW or data phase, a REQUEST SENSE
                            // exchange, or the pass-through request itself
    kDeviceGone,            // the link looked for the device again and found none
};

// Whether the transfer brought or delivered every byte asked for under a passed status.
constexpr bool IsWhole(TransferOutcome outcome) {
    return outcome == TransferOutcome::kComplete;
}

// Whether the device carried the transfer out and passed it, whatever count moved.
constexpr bool IsPassed(TransferOutcome outcome) {
    return outcome == TransferOutcome::kComplete || outcome == TransferOutcome::kShort;
}

const char* TransferOutcomeName(TransferOutcome outcome);
