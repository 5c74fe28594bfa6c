#include "devlink/bot.h"

#include <cstdio>
#include <cstring>

#include "devlink/byte_order.h"
#include "devlink/command_set.h"
#include "devlink/trace.h"
#include "platform/platform.h"

BOTState g_BOTState{};

namespace {

constexpr std::uint8_t kCswPhaseError = 2;

// "[send_out_token] status:" is followed by the CBW in lines of eight bytes, the last of seven.
void DumpCbw() {
    const std::uint8_t* cbw = g_BOTState.cbw;
    for (std::uint32_t start = 0; start < cmdset::kCbwLength; start += 8) {
        char line[64];
        int used = 0;
        for (std::uint32_t i = start; i < start + 8 && i < cmdset::kCbwLength; ++i) {
            used += std::snprintf(line + used, sizeof line - static_cast<std::size_t>(used),
                                  " %02X ", cbw[i]);
        }
        std::snprintf(line + used, sizeof line - static_cast<std::size_t>(used), "\n");
        platform::Sys().OutputDebugString(line);
    }
}

void TraceBadCsw() {
    char line[128] = "USB2.0 HOST Bad status:";
    std::size_t used = std::strlen(line);
    for (std::uint32_t i = 0; i < cmdset::kCswLength; ++i) {
        used += static_cast<std::size_t>(
            std::snprintf(line + used, sizeof line - used, " %02X ", g_BOTState.csw[i]));
    }
    platform::Sys().OutputDebugString(line);
}

// Bulk-Only's own recovery, where the platform lets the program make it (elsewhere these ask
// nothing of the device and leave the wire as it was). None retries the exchange: they only put
// the device back in step, so that the next exchange finds it waiting for a command block.
//
// A data phase the device stalled: clears that pipe, so that the status wrapper can be read.
// False when the failure was no stall or the halt could not be cleared.
bool ClearStalledPipe(platform::Handle h, bool in) {
    if (!platform::Io().LastTransferStalled(h)) return false;
    return platform::Io().RecoverPipe(
               h, in ? platform::PipeStep::kClearHaltIn : platform::PipeStep::kClearHaltOut) ==
           platform::PipeStepResult::kDone;
}

// Reset recovery: the class reset, then both pipes cleared.
void ResetRecovery(platform::Handle h) {
    const platform::PipeStepResult reset =
        platform::Io().RecoverPipe(h, platform::PipeStep::kMassStorageReset);
    if (reset == platform::PipeStepResult::kNotAvailable) return;
    Trace("USB2.0 HOST reset recovery: %s\n",
          reset == platform::PipeStepResult::kDone ? "done" : "failed");
    platform::Io().RecoverPipe(h, platform::PipeStep::kClearHaltIn);
    platform::Io().RecoverPipe(h, platform::PipeStep::kClearHaltOut);
}

// The second half of a failed exchange: asks the device why, under a new tag. Returns doBOT's
// result and sets its result code and verdict.
int RequestSenseExchange(platform::Handle h, std::int32_t* resultCode, TransferOutcome& verdict);

int RequestSense(platform::Handle h, std::int32_t* resultCode, TransferOutcome& verdict) {
    const int result = RequestSenseExchange(h, resultCode, verdict);
    if (result == 0) ResetRecovery(h);
    return result;
}

int RequestSenseExchange(platform::Handle h, std::int32_t* resultCode, TransferOutcome& verdict) {
    std::int32_t error = 0;
    std::uint32_t residue = 0;
    BOTSetup(cmdset::kCbwFlagsIn, cmdset::kSenseLength);
    // Clear the failed command's bytes so the device sees a clean REQUEST SENSE block.
    std::uint8_t* cb = g_BOTState.cbw + kCbwCommandBlockOffset;
    std::memset(cb, 0, cmdset::kCdbLength);
    cb[0] = cmdset::kScsiRequestSense;
    cb[4] = static_cast<std::uint8_t>(cmdset::kSenseLength);

    std::uint32_t count = 0;
    if (!send_out_token(h, g_BOTState.cbw, cmdset::kCbwLength, &error, &count)) {
        Trace("USB2.0 HOST doBOT: bad return from send_out_token %d (2)\n", error);
        return 0;
    }
    if (!send_in_token(h, g_BOTState.sense, cmdset::kSenseLength, &error, &count)) {
        Trace("USB2.0 HOST doBOT: bad return from send_in_token %d (2)\n", error);
        return 0;
    }
    std::uint8_t senseStatus = 0;
    if (!BOTStatus(h, &residue, &senseStatus, &error)) {
        Trace("USB2.0 HOST doBOT: bad status on REQUEST_SENSE\n");
        verdict = TransferOutcome::kFailedWithEmptySense;
        return 0;
    }
    if (count < cmdset::kSenseLength) {
        Trace("USB2.0 HOST doBOT: return cnt %d < 18\n", static_cast<int>(count));
        verdict = TransferOutcome::kFailedWithEmptySense;
        return 0;
    }
    *resultCode = static_cast<std::int32_t>(static_cast<std::uint32_t>(g_BOTState.sense[2]) << 16 |
                                            static_cast<std::uint32_t>(g_BOTState.sense[12]) << 8);
    // Sense whose bytes 2 and 12 are both 0 gives a result code of 0 for a failed command.
    verdict = *resultCode != 0 ? TransferOutcome::kFailedWithSense
                               : TransferOutcome::kFailedWithEmptySense;
    return 1;
}

}  // namespace

void BOTSetup(std::uint8_t flags, std::uint32_t dataLength) {
    std::uint8_t* cbw = g_BOTState.cbw;
    std::memcpy(cbw, cmdset::kCbwSignature, sizeof cmdset::kCbwSignature);
    ++g_BOTState.tag;  // every CBW takes a new tag; wraps modulo 2^32
    PutLE32(cbw + 4, g_BOTState.tag);
    Trace("[BOTSetup]tag=%02X %02X %02X %02X\n", cbw[4], cbw[5], cbw[6], cbw[7]);
    PutLE32(cbw + 8, dataLength);
    Trace("[BOTSetup]dataLength=%02X %02X %02X %02X\n", cbw[8], cbw[9], cbw[10], cbw[11]);
    cbw[12] = flags;
    cbw[13] = 0;  // LUN
    cbw[14] = static_cast<std::uint8_t>(cmdset::kCdbLength);
}

int send_out_token(platform::Handle h, const void* buffer, std::uint32_t length,
                   std::int32_t* error, std::uint32_t* written) {
    *error = 0;
    if (platform::Io().WriteFile(h, buffer, length, written)) return 1;
    *error = 1;
    return 0;
}

int send_in_token(platform::Handle h, void* buffer, std::uint32_t length, std::int32_t* error,
                  std::uint32_t* read) {
    Trace("In send_in_token\n");
    *error = 0;
    if (platform::Io().ReadFile(h, buffer, length, read)) return 1;
    Trace("send_in_token status=false \n");
    *error = 1;
    return 0;
}

namespace {

// BOTStatus, telling also whether the read itself met a halted pipe.
int ReadStatus(platform::Handle h, std::uint32_t* residue, std::uint8_t* status,
               std::int32_t* error, bool* stalled) {
    *stalled = false;
    std::uint32_t count = 0;
    if (!send_in_token(h, g_BOTState.csw, cmdset::kCswLength, error, &count)) {
        Trace("USB2.0 HOST BOTStatus: bad return from send_in_token\n");
        *stalled = platform::Io().LastTransferStalled(h);
        return 0;
    }
    // A wrapper of another size is no status: a short one keeps the older wrapper's residue
    // and status behind a fresh tag. It fails as an unreadable one does.
    if (count != cmdset::kCswLength) {
        Trace("USB2.0 HOST BOTStatus: bad return from send_in_token\n");
        *error = 1;
        return 0;
    }
    // A short read leaves older bytes behind, so a stale tag fails here. The signature is not
    // examined.
    if (std::memcmp(g_BOTState.csw + 4, g_BOTState.cbw + 4, 4) != 0) {
        TraceBadCsw();
        return 0;
    }
    *residue = GetLE32(g_BOTState.csw + 8);
    *status = g_BOTState.csw[12];
    return 1;
}

}  // namespace

int BOTStatus(platform::Handle h, std::uint32_t* residue, std::uint8_t* status,
              std::int32_t* error) {
    bool stalled = false;
    return ReadStatus(h, residue, status, error, &stalled);
}

int doBOT(platform::Handle h, std::uint8_t cbwFlags, void* buffer, std::uint32_t length,
          std::uint32_t* transferred, std::int32_t* resultCode, TransferOutcome* outcome) {
    TransferOutcome scratch = TransferOutcome::kNotSent;
    TransferOutcome& verdict = outcome != nullptr ? *outcome : scratch;
    verdict = TransferOutcome::kTransportFailure;
    *transferred = 0;
    *resultCode = static_cast<std::int32_t>(cmdset::kBotTransportFailure);
    std::int32_t error = 0;
    std::uint8_t status = 0;  // printed when no CSW was accepted, so it must be defined
    std::uint32_t residue = 0;

    Trace("[send_out_token] status:");
    DumpCbw();
    if (!send_out_token(h, g_BOTState.cbw, cmdset::kCbwLength, &error, transferred)) {
        Trace("bad return from send_out_token %d\n", error);
        ResetRecovery(h);
        return 0;
    }

    const bool in = cbwFlags == cmdset::kCbwFlagsIn;
    if (in) {
        if (!send_in_token(h, buffer, length, &error, transferred)) {
            Trace("USB2.0 HOST doBOT: bad return from send_in_token %d\n", error);
            // A stalled data phase still ends with the device's status wrapper.
            if (!ClearStalledPipe(h, in)) {
                ResetRecovery(h);
                return 0;
            }
        }
    } else {
        if (!send_out_token(h, buffer, length, &error, transferred)) {
            Trace("USB2.0 HOST doBOT: bad return from send_out_token %d (data)\n", error);
            if (!ClearStalledPipe(h, in)) {
                ResetRecovery(h);
                return 0;
            }
        }
    }
    // Any other count than asked (a real call never moves more) leaves the transfer unwhole.
    const bool wholeDataPhase = *transferred == length;

    bool stalled = false;
    int accepted = ReadStatus(h, &residue, &status, &error, &stalled);
    // A stalled status read: once the halt is cleared the device sends the wrapper it kept.
    if (!accepted && stalled && ClearStalledPipe(h, true))
        accepted = ReadStatus(h, &residue, &status, &error, &stalled);
    if (!accepted) {
        Trace("USB2.0 HOST doBOT: bad return from BOTStatus %d, %d\n", status, error);
        verdict = TransferOutcome::kNoValidStatus;
        ResetRecovery(h);
        return 0;
    }
    *resultCode = 0;
    if (status == 0) {
        verdict =
            wholeDataPhase && residue == 0 ? TransferOutcome::kComplete : TransferOutcome::kShort;
        return 1;
    }
    // From here the device failed the command; what is left to learn is why.
    verdict = TransferOutcome::kTransportFailure;

    Trace("USB2.0 HOST REQUEST_SENSE(status %x):\n", status);
    const int result = RequestSense(h, resultCode, verdict);
    // A phase error leaves the device to be put back in step, once its sense has been had.
    if (result != 0 && status == kCswPhaseError) ResetRecovery(h);
    return result;
}
