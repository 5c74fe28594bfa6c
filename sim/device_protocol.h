// The vendor command set as the scanner reads it: what each byte of a command block means to the
// device, what it answers, and the Bulk-Only Transport wrappers around both.
//
// The host keeps a list of its own on purpose. Each side's tests pin its values to literal bytes,
// so a wrong value on one side shows up instead of hiding behind the same constant on the other.
//
// Freestanding like the firmware model (see firmware_model.h): fixed-width integers only.
#pragma once

#include <cstdint>

namespace sim {

// Byte 0 of a command block: the two commands the device runs.
enum Opcode : std::uint8_t {
    kOpRequestSense = 0x03,  // returns and clears the sense data of the last failed command
    kOpVendor = 0xC5,
};

// The 16-byte vendor command block: byte 1 always kVendorByte1, the data length most significant
// byte first, then CmdBytes[0..5].
enum VendorBlock : std::uint32_t {
    kVendorBlockLength = 16,
    kVendorLengthOffset = 6,  // bytes 6..9
    kCmdBytesOffset = 10,     // bytes 10..15
};
enum VendorMark : std::uint8_t { kVendorByte1 = 0x07 };

// CmdBytes[0]: the command family.
enum CommandFamily : std::uint8_t {
    kFamilyData = 0x02,  // data transfers of a selector
    kFamilyLink = 0xFF,  // the tag query and the service commands
};

// CmdBytes[1] of the link family. IsLock to UnLock are the service commands, which answer with
// a service reply.
enum LinkCommand : std::uint8_t {
    kLinkTagQuery = 0x02,
    kLinkIsLock = 0x03,
    kLinkIsFinish = 0x04,
    kLinkLock = 0x05,
    kLinkUnLock = 0x06,
};

// CmdBytes[1] of the data family; CmdBytes[2] names the selector.
enum DataCommand : std::uint8_t {
    kDataGetFirst = 0x01,   // a get's first transfer: the selector's data, and work starts
    kDataGetSecond = 0x02,  // a get's second transfer: the selector's data
    kDataSet = 0x03,        // the selector's data is taken, and work starts
};

// The selectors the firmware answers to a get ...
enum GetSelector : std::uint8_t {
    kGetReadiness = 3,  // a reply whose byte kReadinessOffset asks the host to pause
    kGetOpen = 5,       // a reply: the opening exchange
    kGetVersion = 6,    // kVersionLength bytes: the version; a reply: the closing exchange
    kGetMemory = 11,    // up to kMaxDataLength bytes of memory from the address last set
};

// ... and to a set.
enum SetSelector : std::uint8_t {
    kSetAddress = 4,      // a value: the address, most significant byte first
    kSetBlock = 5,        // a firmware block, written at the address last set
    kSetFinishing = 6,    // a value: the finishing value after the last block
    kSetCalibration = 9,  // a value (zero): start the calibration
};

// Lengths of what the device answers and takes.
enum DataLength : std::uint32_t {
    kTagLength = 4,
    kVersionLength = 4,
    kValueLength = 4,
    kReplyLength = 16,         // a service reply and the other fixed replies
    kMaxDataLength = 0x10000,  // the most data bytes one command moves, either direction
};

// Fields of a reply. A service reply holds its own size at 0 and the result at 8, little-endian.
enum ReplyField : std::uint32_t {
    kServiceSizeOffset = 0,
    kServiceResultOffset = 8,
    kReadinessOffset = 8,
};

// The tag the device answers to the tag query.
inline constexpr char kScannerTag[kTagLength] = {'Z', 'A', 'M', 'O'};

// The USB vendor ids a scanner of this kind reports; the first is the simulated scanner's own.
inline constexpr std::uint16_t kScannerVendorIds[] = {0x04F9, 0x0638, 0x03F0, 0x2740};

// Bulk-Only Transport (wrapper lengths and fields: bot_device.h). The signatures are the
// wrappers' first four bytes read as a little-endian word.
enum BotSignature : std::uint32_t {
    kCbwSignature = 0x43425355,  // "USBC"
    kCswSignature = 0x53425355,  // "USBS"
};
enum CbwFlags : std::uint8_t {
    kCbwDataOut = 0x00,
    kCbwDataIn = 0x80,
};

}  // namespace sim
