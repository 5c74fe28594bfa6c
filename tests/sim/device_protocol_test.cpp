// The device side's protocol values against the bytes on the wire. The host keeps a list of its
// own; pinning each side to literal bytes makes a change on either side show up.
#include "sim/device_protocol.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "devlink/byte_order.h"
#include "sim/bot_device.h"
#include "sim/firmware_model.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Pinned {
    const char* what;
    std::uint32_t value;
    std::uint32_t wire;
};

const Pinned kPinned[] = {
    // Byte 0 of a command block and the vendor block's fixed fields.
    {"REQUEST SENSE", sim::kOpRequestSense, 0x03},
    {"vendor opcode", sim::kOpVendor, 0xC5},
    {"vendor block byte 1", sim::kVendorByte1, 0x07},
    {"vendor block length", sim::kVendorBlockLength, 16},
    {"data length at", sim::kVendorLengthOffset, 6},
    {"CmdBytes at", sim::kCmdBytesOffset, 10},
    // CmdBytes[0] and CmdBytes[1].
    {"data family", sim::kFamilyData, 0x02},
    {"link family", sim::kFamilyLink, 0xFF},
    {"tag query", sim::kLinkTagQuery, 0x02},
    {"IsLock", sim::kLinkIsLock, 0x03},
    {"IsFinish", sim::kLinkIsFinish, 0x04},
    {"Lock", sim::kLinkLock, 0x05},
    {"UnLock", sim::kLinkUnLock, 0x06},
    {"get, first transfer", sim::kDataGetFirst, 0x01},
    {"get, second transfer", sim::kDataGetSecond, 0x02},
    {"set", sim::kDataSet, 0x03},
    // Selectors.
    {"get readiness", sim::kGetReadiness, 0x03},
    {"get opening", sim::kGetOpen, 0x05},
    {"get version or closing", sim::kGetVersion, 0x06},
    {"get memory", sim::kGetMemory, 0x0B},
    {"set address", sim::kSetAddress, 0x04},
    {"set firmware block", sim::kSetBlock, 0x05},
    {"set finishing value", sim::kSetFinishing, 0x06},
    {"set calibration", sim::kSetCalibration, 0x09},
    // Replies and data.
    {"tag length", sim::kTagLength, 4},
    {"version length", sim::kVersionLength, 4},
    {"value length", sim::kValueLength, 4},
    {"reply length", sim::kReplyLength, 16},
    {"most data bytes", sim::kMaxDataLength, 65536},
    {"service reply size at", sim::kServiceSizeOffset, 0},
    {"service result at", sim::kServiceResultOffset, 8},
    {"readiness at", sim::kReadinessOffset, 8},
    // Bulk-Only Transport.
    {"CBW flags, data in", sim::kCbwDataIn, 0x80},
    {"CBW flags, data out", sim::kCbwDataOut, 0x00},
    {"CBW length", sim::kBotCbwLength, 31},
    {"CSW length", sim::kBotCswLength, 13},
    {"tag at", sim::kBotTagOffset, 4},
    {"CBW data length at", sim::kBotCbwLengthOffset, 8},
    {"CBW flags at", sim::kBotCbwFlagsOffset, 12},
    {"CBW LUN at", sim::kBotCbwLunOffset, 13},
    {"CBW command block length at", sim::kBotCbwCbLengthOffset, 14},
    {"CBW command block at", sim::kBotCommandBlockOffset, 15},
    {"CSW residue at", sim::kBotCswResidueOffset, 8},
    {"CSW status at", sim::kBotCswStatusOffset, 12},
    // Sense data.
    {"sense data length", sim::kSenseDataLength, 18},
    {"NOT READY", sim::kSenseKeyNotReady, 0x02},
    {"ILLEGAL REQUEST", sim::kSenseKeyIllegalRequest, 0x05},
    {"ABORTED COMMAND", sim::kSenseKeyAbortedCommand, 0x0B},
    {"logical unit not ready", sim::kAscNotReady, 0x04},
    {"invalid command operation code", sim::kAscInvalidOpcode, 0x20},
    {"invalid field in CDB", sim::kAscInvalidFieldInCdb, 0x24},
};

TEST(DeviceProtocol, EveryValueIsItsWireByte) {
    for (const Pinned& p : kPinned) EXPECT_EQ(p.value, p.wire) << p.what;
}

TEST(DeviceProtocol, SignaturesTagAndVendorIdsAreTheirWireBytes) {
    std::uint8_t word[4];
    PutLE32(word, sim::kCbwSignature);
    EXPECT_EQ(Bytes(word, word + 4), (Bytes{0x55, 0x53, 0x42, 0x43}));
    PutLE32(word, sim::kCswSignature);
    EXPECT_EQ(Bytes(word, word + 4), (Bytes{0x55, 0x53, 0x42, 0x53}));
    EXPECT_EQ(std::string(sim::kScannerTag, sizeof sim::kScannerTag), "ZAMO");
    EXPECT_THAT(sim::kScannerVendorIds, ::testing::ElementsAre(0x04F9, 0x0638, 0x03F0, 0x2740));
}

}  // namespace
