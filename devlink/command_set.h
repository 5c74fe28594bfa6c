// The scanner's vendor command set: every byte value the host sends or relies on, in one place.
#pragma once

#include <cstdint>

namespace cmdset {

// Vendor command block.
constexpr std::uint8_t kOpCodeVendor = 0xC5;
constexpr std::uint8_t kCdbByte1 = 0x07;  // byte 1 of every vendor command block
constexpr std::uint32_t kCdbLength = 16;

// CmdBytes[0]: the command family.
constexpr std::uint8_t kLinkCommand = 0xFF;  // tag query and service commands
constexpr std::uint8_t kDataCommand = 0x02;  // data transfers of a selector

// CmdBytes[1] of link commands.
constexpr std::uint8_t kTagQuery = 0x02;
constexpr std::uint8_t kServiceIsLock = 0x03;
constexpr std::uint8_t kServiceIsFinish = 0x04;
constexpr std::uint8_t kServiceLock = 0x05;
constexpr std::uint8_t kServiceUnLock = 0x06;

// CmdBytes[1] of data commands; CmdBytes[2] then carries the selector.
constexpr std::uint8_t kGetFirst = 0x01;
constexpr std::uint8_t kGetSecond = 0x02;
constexpr std::uint8_t kSet = 0x03;

// Reply sizes.
constexpr std::uint32_t kTagLength = 4;
constexpr std::uint32_t kServiceReplyLength = 16;

// The tag a disk of the tool's kind answers to the tag query.
constexpr char kVendorTag[4] = {'Z', 'A', 'M', 'O'};

// USB vendor IDs accepted from a still-image device.
constexpr std::uint16_t kAcceptedVendorIds[] = {0x04F9, 0x0638, 0x03F0, 0x2740};

// Selectors used by the application.
constexpr std::uint8_t kSelReadiness = 3;    // get 16: byte 8 nonzero asks for a 100 ms pause
constexpr std::uint8_t kSelAddress = 4;      // set 4: device address, big-endian
constexpr std::uint8_t kSelOpen = 5;         // get 16: opening exchange (reply not examined)
constexpr std::uint8_t kSelFirmware = 5;     // set n: a firmware block for the address last set
constexpr std::uint8_t kSelClose = 6;        // get 16: closing exchange (reply not examined)
constexpr std::uint8_t kSelVersion = 6;      // get 4: version; set 4: finishing value 00 00 00 01
constexpr std::uint8_t kSelCalibration = 9;  // set 4 zero bytes: start the calibration
constexpr std::uint8_t kSelMemory = 11;      // get n: memory from the address last set

constexpr std::uint32_t kFirmwareBaseAddress = 0x4000;
constexpr std::uint32_t kFinishingValue = 1;

// Most data bytes one vendor command carries, either direction (inclusive).
constexpr std::uint32_t DEFAULT_SIZE_BLUK_READ = 0x10000;
constexpr std::uint32_t DEFAULT_SIZE_BLUK_WRITE = 0x10000;

// Bulk-Only Transport.
constexpr std::uint8_t kCbwSignature[4] = {0x55, 0x53, 0x42, 0x43};  // "USBC"
constexpr std::uint8_t kCswSignature[4] = {0x55, 0x53, 0x42, 0x53};  // "USBS"
constexpr std::uint32_t kCbwLength = 31;
constexpr std::uint32_t kCswLength = 13;
constexpr std::uint8_t kCbwFlagsIn = 0x80;
constexpr std::uint8_t kCbwFlagsOut = 0x00;
constexpr std::uint8_t kScsiRequestSense = 0x03;
constexpr std::uint32_t kSenseLength = 18;
constexpr std::uint32_t kBotTransportFailure = 0x30000;  // doBOT's code before a CSW is accepted

// Device names.
constexpr const char* kStillImageNameFormat = "\\\\.\\USBSCAN%d";
constexpr const char* kVolumeNameFormat = "\\\\.\\%c:";
constexpr int kStillImageCount = 1000;
constexpr const char* kServiceEventTemplate = "ZAMOUSB_EVENT__";
constexpr char kStillImageEventLetter = 'u';

}  // namespace cmdset
