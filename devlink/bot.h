// Bulk-Only Transport framing of vendor commands on a still-image device's bulk pipes.
//
// Every call here runs on the caller's thread and blocks for as long as the platform's
// ReadFile/WriteFile on the pipe does (the device's own time-out bounds it); none polls, sleeps
// or retries. Buffers passed in stay the caller's: they are only read or written during the call.
// The CBW, CSW and sense buffers are g_BOTState's. Where a function takes `*error`, it is set to
// 1 when the function returns 0 because a pipe call failed and to 0 otherwise (BOTStatus's tag
// mismatch is the one 0 return with *error 0).
#pragma once

#include <cstdint>

#include "devlink/transfer_outcome.h"
#include "platform/types.h"

// The one process-wide transport state. Zero-filled at start and never reset: the tag counter
// only grows, and the buffers keep their contents from one exchange to the next.
struct BOTState {
    std::uint32_t tag;
    std::uint8_t cbw[31];
    std::uint8_t csw[13];
    std::uint8_t sense[18];
};

extern BOTState g_BOTState;

// Offset of the command block inside the CBW.
constexpr std::uint32_t kCbwCommandBlockOffset = 15;

// Called before each command: writes the signature, a new tag (the counter is incremented
// first), `dataLength`, `flags`, LUN 0 and the command block length into g_BOTState.cbw and
// traces the tag and length. The command block bytes are left as they are; the caller writes
// them. Touches no device.
void BOTSetup(std::uint8_t flags, std::uint32_t dataLength);
// One write of `length` bytes from the caller's `buffer`. Returns 1 when the write call
// succeeded, whatever count `*written` reports; else 0. `*error` is the inverse of the return.
int send_out_token(platform::Handle h, const void* buffer, std::uint32_t length,
                   std::int32_t* error, std::uint32_t* written);
// One read of up to `length` bytes into the caller's `buffer`. Returns 1 when the read call
// succeeded, whatever count `*read` reports; else 0. `*error` is the inverse of the return.
int send_in_token(platform::Handle h, void* buffer, std::uint32_t length, std::int32_t* error,
                  std::uint32_t* read);
// Reads the CSW into g_BOTState.csw. Returns 0 when it cannot be accepted: the read failed or
// delivered other than 13 bytes (*error 1), or it echoes another tag than the last CBW's
// (*error 0); else 1 with the residue and the status, *error 0. The signature is not examined.
// `*residue` and `*status` are written only on a return of 1.
int BOTStatus(platform::Handle h, std::uint32_t* residue, std::uint8_t* status,
              std::int32_t* error);
// One exchange of the CBW already set up in g_BOTState (BOTSetup and the command block):
// CBW out, data phase in the direction `cbwFlags` names (0x80 in, 0x00 out) on the caller's
// `buffer`, then the CSW. `*transferred` gets the count the data phase moved (0 when the CBW
// could not be sent).
//
// When the device fails the command (CSW status other than 0), doBOT asks it why: BOTSetup with
// a new tag, a REQUEST SENSE block, CBW out, 18 bytes into g_BOTState.sense, then its CSW.
//
// Returns 1 when a status was accepted and, for a failed command, its sense was had whole;
// 0 when a pipe call failed, the command's CSW or the REQUEST SENSE's CSW could not be
// accepted, or the sense came back short of 18 bytes.
//
// `*resultCode`: 0x30000 (transport failure) when it returns 0 before a CSW of the command was
// accepted; (sense[2] << 16) | (sense[12] << 8) when the command failed and its sense was had
// whole (which may itself be 0); else 0, including a return of 0 from the REQUEST SENSE half.
//
// When `outcome` is given it receives the verdict on the transfer: complete only when the data
// phase moved exactly `length` bytes and the CSW passed it with a residue of 0.
//
// Where the platform offers pipe recovery (platform::DeviceIo::RecoverPipe; elsewhere nothing of
// this reaches the wire), doBOT keeps the transport's own rules so that the next exchange finds
// the device in step: a data phase the device stalled is cleared and its CSW read as usual (the
// exchange is then judged on that CSW, never whole); a stalled CSW read is cleared and the CSW
// read once more (the device keeps it for the host); a failed CBW, an unstalled data phase
// failure, a CSW that cannot be accepted, a failed REQUEST SENSE half and a phase error (status
// 2, after its sense) end with reset recovery: the class reset, then both pipes cleared.
int doBOT(platform::Handle h, std::uint8_t cbwFlags, void* buffer, std::uint32_t length,
          std::uint32_t* transferred, std::int32_t* resultCode, TransferOutcome* outcome = nullptr);
