// A data transfer the device fails on the still-image path counts as failed even when its sense
// data carries nothing (bytes 2 and 12 both 0, so the key is 0). The fault sweep found a whole
// firmware update reported as done over a block the device had refused this way.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "devlink/bot.h"
#include "devlink/command_set.h"
#include "devlink/host_interface.h"
#include "devlink/zamo_usb.h"
#include "sim/fault_plan.h"
#include "sim/world.h"

namespace {

class EmptySenseTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::memset(&g_BOTState, 0, sizeof g_BOTState);
        ResetDeviceTable();
        world_.AttachStillImage(scanner_, 0);
        ASSERT_EQ(ZamoUSB_ConnectToDevice(kHandle), 1);
        world_.sys.ClearDebugLines();
    }
    void TearDown() override {
        ResetDeviceTable();
        EXPECT_EQ(world_.io.OpenHandleCount(), 0u);
        EXPECT_EQ(world_.sys.CloseErrors(), 0u);
    }
    bool Traced(const char* prefix) const {
        for (const auto& line : world_.sys.DebugLines())
            if (line.rfind(prefix, 0) == 0) return true;
        return false;
    }

    static constexpr int kHandle = kStillImageHandleBase;
    sim::World world_;
    sim::Scanner& scanner_ = world_.AddScanner({}, 1u << 20);
};

TEST_F(EmptySenseTest, RefusedTransfersAreFailuresWhateverTheSenseHolds) {
    const struct {
        const char* name;
        std::uint8_t status, senseByte2, asc;
    } cases[] = {
        {"empty sense", 1, 0x00, 0x00},
        {"phase error, empty sense", 2, 0x00, 0x00},
        {"sense with a key", 1, 0x05, 0x24},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::uint8_t block[4096] = {};
        scanner_.Inject(sim::Fault::Status(c.status, c.senseByte2, c.asc)
                            .OnCommand(cmdset::kDataCommand, cmdset::kSet, cmdset::kSelFirmware));
        const std::uint32_t blocksBefore = scanner_.Counters().firmwareBlocks;
        EXPECT_EQ(ZamoUSB_VenderCmd_SetData(kHandle, cmdset::kSelFirmware, block, sizeof block), 0);
        EXPECT_EQ(scanner_.Counters().firmwareBlocks, blocksBefore);  // the device took nothing
        // The link stays up: the device answered, it only refused.
        EXPECT_EQ(g_DeviceTable[kStillImageSlot].m_bConnected, 1);
    }
}

TEST_F(EmptySenseTest, EmptySenseWritesNoFailureLineAndTheNextTransferPasses) {
    std::uint8_t reply[16] = {};
    scanner_.Inject(sim::Fault::Status(1, 0x00, 0x00)
                        .OnCommand(cmdset::kDataCommand, cmdset::kGetSecond, cmdset::kSelOpen));
    EXPECT_EQ(ZamoUSB_VenderCmd_GetData(kHandle, cmdset::kSelOpen, reply, sizeof reply), 0);
    // A key of 0 gives no "INQUIRY failed" line, as before.
    EXPECT_FALSE(Traced("[MsdcZamoHost] xTransmitToDevice: INQUIRY failed"));

    EXPECT_EQ(ZamoUSB_VenderCmd_GetData(kHandle, cmdset::kSelOpen, reply, sizeof reply), 1);
}

TEST_F(EmptySenseTest, TheTransmissionStillReportsTheExchangeCarriedOut) {
    CZamoUSB& device = g_DeviceTable[kStillImageSlot];
    std::uint8_t reply[16] = {};
    const tPacket packet{cmdset::kOpCodeVendor,
                         kDirectionIn,
                         reply,
                         sizeof reply,
                         0,
                         {cmdset::kLinkCommand, cmdset::kServiceIsFinish, 0, 0, 0, 0}};
    scanner_.Inject(sim::Fault::Status(1, 0x00, 0x00));
    EXPECT_EQ(device.xTransmitToDevice(&packet), 1);
    EXPECT_EQ(device.m_lastOutcome, TransferOutcome::kFailedWithEmptySense);
    EXPECT_EQ(device.xTransmitToDevice(&packet), 1);
    EXPECT_EQ(device.m_lastOutcome, TransferOutcome::kComplete);
}

}  // namespace
