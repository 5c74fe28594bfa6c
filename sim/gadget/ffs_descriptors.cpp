#include "sim/gadget/ffs_descriptors.h"

#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>

#include <cstring>

#include "devlink/byte_order.h"

namespace gadget {
namespace {

constexpr char kInterfaceName[] = "Kelvane scanner";
constexpr std::uint16_t kLanguageEnglishUs = 0x0409;

void Le16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void Le32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    std::uint8_t bytes[4];
    PutLE32(bytes, v);
    out.insert(out.end(), bytes, bytes + 4);
}

// The interface and its two bulk endpoints at one speed.
void Interface(std::vector<std::uint8_t>& out, Presentation p, std::uint16_t packet) {
    const bool disk = p == Presentation::kDisk;
    const std::uint8_t interface[USB_DT_INTERFACE_SIZE] = {
        USB_DT_INTERFACE_SIZE,
        USB_DT_INTERFACE,
        0,  // bInterfaceNumber
        0,  // bAlternateSetting
        2,  // bNumEndpoints
        static_cast<std::uint8_t>(disk ? USB_CLASS_MASS_STORAGE : USB_CLASS_STILL_IMAGE),
        static_cast<std::uint8_t>(disk ? 0x06 : 0x01),
        static_cast<std::uint8_t>(disk ? 0x50 : 0x01),
        1,  // iInterface
    };
    out.insert(out.end(), interface, interface + sizeof interface);
    for (const std::uint8_t address : {std::uint8_t{USB_DIR_IN | 1}, std::uint8_t{2}}) {
        out.push_back(USB_DT_ENDPOINT_SIZE);
        out.push_back(USB_DT_ENDPOINT);
        out.push_back(address);
        out.push_back(USB_ENDPOINT_XFER_BULK);
        Le16(out, packet);
        out.push_back(0);  // bInterval
    }
}

}  // namespace

std::vector<std::uint8_t> FfsDescriptors(Presentation presentation) {
    std::vector<std::uint8_t> out;
    Le32(out, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    Le32(out, 0);  // length, below
    Le32(out, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    Le32(out, 3);  // descriptors at full speed
    Le32(out, 3);  // and at high speed
    Interface(out, presentation, kFullSpeedPacket);
    Interface(out, presentation, kHighSpeedPacket);
    PutLE32(out.data() + 4, static_cast<std::uint32_t>(out.size()));
    return out;
}

std::vector<std::uint8_t> FfsStrings() {
    std::vector<std::uint8_t> out;
    Le32(out, FUNCTIONFS_STRINGS_MAGIC);
    Le32(out, 0);  // length, below
    Le32(out, 1);  // strings per language
    Le32(out, 1);  // languages
    Le16(out, kLanguageEnglishUs);
    out.insert(out.end(), kInterfaceName, kInterfaceName + sizeof kInterfaceName);
    PutLE32(out.data() + 4, static_cast<std::uint32_t>(out.size()));
    return out;
}

}  // namespace gadget
