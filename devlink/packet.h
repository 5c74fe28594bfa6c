// The vendor command packet and the 16-byte command block built from it.
#pragma once

#include <cstdint>

struct tPacket {
    std::uint8_t OpCode;
    std::uint8_t Direction;  // 0: host to device, 1: device to host
    void* Buffer;            // the caller's data, moved in place
    std::uint32_t DataTransferLength;
    std::uint32_t Argument;
    std::uint8_t CmdBytes[6];
};

constexpr std::uint8_t kDirectionOut = 0;
constexpr std::uint8_t kDirectionIn = 1;

// Writes the vendor command block of `packet` into `cdb` (16 bytes, fields big-endian).
void BuildVendorCdb(const tPacket& packet, std::uint8_t cdb[16]);
