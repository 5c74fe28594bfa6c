// Command blocks for the device tests, written as the bytes on the wire rather than taken from
// a constant of the code under test, so a wrong value on the device side fails a test instead of
// being sent and read back the same.
#pragma once

#include <array>
#include <cstdint>

namespace wire {

// CmdBytes[0..2]: the family, the command and the selector, as in "02 03 05".
using CmdBytes = std::array<std::uint8_t, 3>;
using CommandBlock = std::array<std::uint8_t, 16>;

// A vendor command block: C5 07, the data length most significant byte first at 6..9 and the
// command bytes at 10..12.
inline CommandBlock Cdb(CmdBytes cmd, std::uint32_t length) {
    CommandBlock c{0xC5, 0x07};
    for (int i = 0; i < 4; ++i) c[6 + i] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
    c[10] = cmd[0];
    c[11] = cmd[1];
    c[12] = cmd[2];
    return c;
}

// REQUEST SENSE for the 18 bytes of fixed-format sense data.
inline CommandBlock SenseCdb() {
    CommandBlock c{0x03};
    c[4] = 18;
    return c;
}

}  // namespace wire
