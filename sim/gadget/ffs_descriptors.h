// What the gadget writes to FunctionFS's ep0 before the UDC is bound: the descriptors of its one
// interface (bulk IN 0x81, bulk OUT 0x02; full- and high-speed sets) and its strings.
#pragma once

#include <cstdint>
#include <vector>

namespace gadget {

enum class Presentation : std::uint8_t {
    kStillImage,  // interface class 6, subclass 1, protocol 1: the host frames Bulk-Only itself
    kDisk,        // class 8, subclass 6 (SCSI), protocol 0x50 (Bulk-Only): a storage driver binds
};

constexpr std::uint16_t kFullSpeedPacket = 64;
constexpr std::uint16_t kHighSpeedPacket = 512;

std::vector<std::uint8_t> FfsDescriptors(Presentation presentation);
std::vector<std::uint8_t> FfsStrings();

}  // namespace gadget
