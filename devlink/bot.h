// Bulk-Only Transport framing of vendor commands on a still-image device's bulk pipes.
#pragma once

#include <cstdint>

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
int BOTStatus(platform::Handle h, std::uint32_t* residue, std::uint8_t* status,
              std::int32_t* error);
int doBOT(platform::Handle h, std::uint8_t direction, void* buffer, std::uint32_t length,
          std::uint32_t* transferred, std::int32_t* resultCode);
