// Devices that say more than they did: a status wrapper cut short over a refused command, a
// residue or a short data phase under good status, a status where data were due, a smaller
// DataTransferLength under SCSI status 0. The data calls must fail on each, while the transport's
// own result, the link flag and the trace lines stay as they were.
#include <cstring>
#include <vector>

#include "tests/devlink/devlink_fixture.h"

namespace {

using sim::Fault;

constexpr std::uint8_t kGetFirst = cmdset::kGetFirst;
constexpr std::uint8_t kGetSecond = cmdset::kGetSecond;
constexpr std::uint8_t kSet = cmdset::kSet;

struct LieCase {
    const char* name;
    bool disk;
    Fault fault;
    std::uint8_t transfer;  // which data transfer it hits
    int callResult;         // what the data call must return
    TransferOutcome outcome;
};

class LyingDeviceTest : public DevlinkTest, public ::testing::WithParamInterface<LieCase> {
  protected:
    static constexpr std::uint32_t kLength = 64;

    CZamoUSB& Connect(const LieCase& c) {
        if (c.disk) {
            scanner_ = &ConnectedDisk('E');
            return DiskSlot('E');
        }
        scanner_ = &ConnectedStillImage();
        return Slot26();
    }

    sim::Scanner* scanner_ = nullptr;
};

TEST_P(LyingDeviceTest, DataCallFailsUnlessTheTransferWasWhole) {
    const LieCase& c = GetParam();
    CZamoUSB& device = Connect(c);
    const std::uint8_t selector = c.transfer == kSet ? cmdset::kSelFirmware : cmdset::kSelMemory;
    scanner_->Inject(Fault(c.fault).OnCommand(cmdset::kDataCommand, c.transfer, selector));

    std::vector<std::uint8_t> data(kLength);
    for (std::uint32_t i = 0; i < kLength; ++i) data[i] = static_cast<std::uint8_t>(0xA0 ^ i);
    if (c.transfer == kSet) {
        EXPECT_EQ(device.VenderCmd_SetData(selector, data.data(), kLength), c.callResult);
    } else {
        std::vector<std::uint8_t> buffer(kLength, 0xCC);
        EXPECT_EQ(device.VenderCmd_GetData(selector, buffer.data(), kLength), c.callResult);
        // A get that reports success holds the device's memory whole.
        if (c.callResult == 1) {
            EXPECT_EQ(buffer, scanner_->ReadMemory(0, kLength));
        }
    }
    EXPECT_EQ(scanner_->Fired(0), 1u);
    // A transfer that merely came up short leaves the link up and writes no failure line.
    if (c.outcome == TransferOutcome::kShort) {
        EXPECT_EQ(device.m_bConnected, 1);
        EXPECT_FALSE(HasLine("[VenderCmd_GetData]!xTransmitToDevice( &tPacket ) (2)\n"));
    }

    // The verdict on the lying transfer, seen when it is made again by hand.
    scanner_->Inject(Fault(c.fault).OnExchange(0));
    tPacket packet = DataPacket(c.transfer == kSet ? kDirectionOut : kDirectionIn, c.transfer,
                                selector, data.data(), kLength);
    device.xTransmitToDevice(&packet);
    EXPECT_EQ(device.m_lastOutcome, c.outcome) << TransferOutcomeName(device.m_lastOutcome);
}

INSTANTIATE_TEST_SUITE_P(
    Lies, LyingDeviceTest,
    ::testing::Values(
        // A 12-byte status wrapper over a refused block or read: fresh tag, stale status.
        LieCase{"CswOf12OverRefusedSet", false, Fault::CswShortRefused(12), kSet, 0,
                TransferOutcome::kNoValidStatus},
        LieCase{"CswOf8OverRefusedGet", false, Fault::CswShortRefused(8), kGetSecond, 0,
                TransferOutcome::kNoValidStatus},
        LieCase{"ResidueUnderGoodStatusSet", false, Fault::Residue(32), kSet, 0,
                TransferOutcome::kShort},
        LieCase{"ResidueUnderGoodStatusGet", false, Fault::Residue(32), kGetSecond, 0,
                TransferOutcome::kShort},
        LieCase{"DataPhaseCutShortSet", false, Fault::DataShortPassed(32), kSet, 0,
                TransferOutcome::kShort},
        LieCase{"DataPhaseCutShortGet", false, Fault::DataShortPassed(32), kGetSecond, 0,
                TransferOutcome::kShort},
        LieCase{"CswWhereDataWereDue", false, Fault::CswForData(), kGetSecond, 0,
                TransferOutcome::kShort},
        LieCase{"DiskShortTransferLengthSet", true, Fault::TransferLengthShort(32), kSet, 0,
                TransferOutcome::kShort},
        LieCase{"DiskShortTransferLengthGet", true, Fault::TransferLengthShort(32), kGetSecond, 0,
                TransferOutcome::kShort},
        // A get's first transfer only asks the device to prepare: short is no failure.
        LieCase{"FirstTransferShort", false, Fault::FirstTransferShort(3), kGetFirst, 1,
                TransferOutcome::kShort},
        LieCase{"FirstTransferCutShort", false, Fault::DataShortPassed(1), kGetFirst, 1,
                TransferOutcome::kShort},
        LieCase{"FirstTransferAnsweredWithCsw", false, Fault::CswForData(), kGetFirst, 1,
                TransferOutcome::kShort},
        LieCase{"DiskFirstTransferShort", true, Fault::FirstTransferShort(3), kGetFirst, 1,
                TransferOutcome::kShort}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DevlinkTest, ShortStatusWrapperTakesTheUnreadableStatusPath) {
    sim::Scanner& scanner = ConnectedStillImage();
    scanner.Inject(Fault::CswShortRefused(12).OnCommand(cmdset::kDataCommand, kSet));
    std::uint8_t value[4] = {0, 0, 0, 0};
    EXPECT_EQ(Slot26().VenderCmd_SetData(cmdset::kSelCalibration, value, 4), 0);
    // The command was refused, so nothing was done, and the host did not take it for done.
    EXPECT_EQ(scanner.Counters().calibrations, 0u);
    const auto at = std::find(Lines().begin(), Lines().end(),
                              "USB2.0 HOST BOTStatus: bad return from send_in_token\n");
    ASSERT_NE(at, Lines().end());
    ASSERT_NE(at + 1, Lines().end());
    EXPECT_EQ(*(at + 1), "USB2.0 HOST doBOT: bad return from BOTStatus 0, 1\n");
}

TEST_F(DevlinkTest, TransmissionResultAndLinkFlagStayForAShortTransfer) {
    sim::Scanner& scanner = ConnectedStillImage();
    scanner.Inject(Fault::Residue(4));
    std::uint8_t reply[16] = {};
    const tPacket packet = LinkPacket(cmdset::kServiceIsFinish, reply, sizeof reply);
    EXPECT_EQ(Slot26().xTransmitToDevice(&packet), 1);
    EXPECT_EQ(Slot26().m_bConnected, 1);
    EXPECT_EQ(Slot26().m_lastOutcome, TransferOutcome::kShort);
    EXPECT_FALSE(
        HasLine("[MsdcZamoHost] xTransmitToDevice: INQUIRY failed 0 bytes Key 000000\r\n"));

    ConnectedDisk('E').Inject(Fault::TransferLengthShort(4));
    EXPECT_EQ(DiskSlot('E').xTransmitToDevice(&packet), 1);
    EXPECT_EQ(DiskSlot('E').m_bConnected, 1);
    EXPECT_EQ(DiskSlot('E').m_lastOutcome, TransferOutcome::kShort);
}

TEST_F(DevlinkTest, OutcomesOfTheTransport) {
    struct Case {
        Fault fault;
        TransferOutcome outcome;
    } cases[] = {
        {Fault::DataFails(), TransferOutcome::kTransportFailure},
        {Fault::CbwWriteFails(), TransferOutcome::kTransportFailure},
        {Fault::CswReadFails(), TransferOutcome::kNoValidStatus},
        {Fault::StaleTag(), TransferOutcome::kNoValidStatus},
        {Fault::Status(1, 0x05, 0x24), TransferOutcome::kFailedWithSense},
        {Fault::Status(1, 0x00, 0x00), TransferOutcome::kFailedWithEmptySense},
    };
    sim::Scanner& scanner = ConnectedStillImage();
    std::uint8_t reply[16] = {};
    const tPacket packet = LinkPacket(cmdset::kServiceIsFinish, reply, sizeof reply);
    for (const Case& c : cases) {
        scanner.Inject(Fault(c.fault).OnExchange(0));
        Slot26().xTransmitToDevice(&packet);
        EXPECT_EQ(Slot26().m_lastOutcome, c.outcome) << TransferOutcomeName(c.outcome);
        Slot26().xTransmitToDevice(&packet);
        EXPECT_EQ(Slot26().m_lastOutcome, TransferOutcome::kComplete);
    }
    const tPacket tooLong = LinkPacket(cmdset::kServiceIsFinish, reply, 0x10001);
    EXPECT_EQ(Slot26().xTransmitToDevice(&tooLong), 0);
    EXPECT_EQ(Slot26().m_lastOutcome, TransferOutcome::kNotSent);
}

TEST_F(DevlinkTest, ReconnectionThatFindsNoDeviceLeavesDeviceGone) {
    sim::Scanner& scanner = ConnectedDisk('E');
    scanner.Unplug();
    EXPECT_EQ(DiskSlot('E').ReconnectDisk(), 0);
    EXPECT_EQ(DiskSlot('E').m_lastOutcome, TransferOutcome::kDeviceGone);
    EXPECT_FALSE(DiskSlot('E').m_hDisk.valid());
}

}  // namespace
