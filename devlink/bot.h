// Bulk-Only Transport framing of vendor commands on a still-image device's bulk pipes.
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

void BOTSetup(std::uint8_t flags, std::uint32_t dataLength);
int send_out_token(platform::Handle h, const void* buffer, std::uint32_t length,
                   std::int32_t* error, std::uint32_t* written);
int send_in_token(platform::Handle h, void* buffer, std::uint32_t length, std::int32_t* error,
                  std::uint32_t* read);
// Reads the CSW into g_BOTState.csw. Returns 0 when it cannot be accepted: the read failed or
// delivered other than 13 bytes (*error 1), or it echoes another tag than the last CBW's
// (*error 0); else 1 with the residue and the status.
int BOTStatus(platform::Handle h, std::uint32_t* residue, std::uint8_t* status,
              std::int32_t* error);
// One exchange of the CBW already set up in g_BOTState. `*transferred` gets the count the data
// phase moved. When `outcome` is given it receives the verdict on the transfer: complete only
// when the data phase moved exactly `length` bytes and the CSW passed it with a residue of 0.
int doBOT(platform::Handle h, std::uint8_t direction, void* buffer, std::uint32_t length,
          std::uint32_t* transferred, std::int32_t* resultCode, TransferOutcome* outcome = nullptr);
