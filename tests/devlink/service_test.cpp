// The guarded service protocol on the virtual clock: command order, take-over of a dead holder,
// the stale-lock break, refusals, reconnection, and waits that end when the device is gone.
#include "devlink/host_interface.h"
#include "devlink_fixture.h"

namespace {

using sim::Fault;

class ServiceTest : public DevlinkTest {
  protected:
    std::size_t Count(const sim::Scanner& scanner, std::uint8_t b0, std::uint8_t b1) const {
        std::size_t n = 0;
        for (const auto& [c0, c1] : scanner.Log().CommandPairs()) n += (c0 == b0 && c1 == b1);
        return n;
    }
    std::uint64_t Elapsed() const { return world.sys.Now() - start_; }
    void StartClock() { start_ = world.sys.Now(); }

    std::uint64_t start_ = 0;
    std::uint8_t buffer_[16] = {};
};

TEST_F(ServiceTest, HealthyGetAndSetSendTheirCommandsInOrder) {
    sim::Scanner& scanner = ConnectedStillImage();
    ASSERT_EQ(Slot26().VenderCmd_GetData(cmdset::kSelOpen, buffer_, 16), 1);
    EXPECT_EQ(scanner.Log().PairsText(), "FF04 FF03 FF03 FF05 0201 FF04 0202 FF04 FF06");
    std::vector<std::vector<std::uint8_t>> transfers;
    for (const sim::WireCommand& command : scanner.Log().Commands()) {
        if (command.CmdByte(0) == 0x02)
            transfers.emplace_back(command.cdb.begin(), command.cdb.end());
    }
    EXPECT_EQ(transfers,
              (std::vector<std::vector<std::uint8_t>>{
                  Bytes({0xC5, 0x07, 0, 0, 0, 0, 0, 0, 0, 0x10, 0x02, 0x01, 0x05, 0, 0, 0}),
                  Bytes({0xC5, 0x07, 0, 0, 0, 0, 0, 0, 0, 0x10, 0x02, 0x02, 0x05, 0, 0, 0})}));

    scanner.Log().Clear();
    ASSERT_EQ(Slot26().VenderCmd_SetData(cmdset::kSelCalibration, buffer_, 4), 1);
    EXPECT_EQ(scanner.Log().PairsText(), "FF04 FF03 FF03 FF05 0203 FF04 FF06");
    EXPECT_TRUE(world.sys.EventSignalled("ZAMOUSB_EVENT_u"));
    EXPECT_FALSE(scanner.Model().LockedByHost());
}

TEST_F(ServiceTest, PollsRunOnTheirIntervalsWhileTheDeviceWorks) {
    sim::Scanner& scanner = ConnectedStillImage();
    scanner.Config().workMs = 95;
    StartClock();
    ASSERT_EQ(Slot26().VenderCmd_GetData(cmdset::kSelOpen, buffer_, 16), 1);
    // Get: finish checked every 10 ms after the first transfer (busy 95 ms: 10 checks).
    EXPECT_EQ(scanner.Log().PairsText(),
              "FF04 FF03 FF03 FF05 0201 FF04 FF04 FF04 FF04 FF04 FF04 FF04 FF04 FF04 FF04 FF04 "
              "0202 FF04 FF06");
    EXPECT_EQ(Elapsed(), 100u);

    // Set: the wait is the close's, every 100 ms.
    scanner.Log().Clear();
    scanner.Config().workMs = 250;
    StartClock();
    ASSERT_EQ(Slot26().VenderCmd_SetData(cmdset::kSelCalibration, buffer_, 4), 1);
    EXPECT_EQ(scanner.Log().PairsText(), "FF04 FF03 FF03 FF05 0203 FF04 FF04 FF04 FF04 FF06");
    EXPECT_EQ(Elapsed(), 300u);
}

TEST_F(ServiceTest, DeadHolderIsForcedOutAfterThreeFinishedAnswers) {
    sim::Scanner& scanner = ConnectedStillImage();
    world.sys.HoldEvent("ZAMOUSB_EVENT_u");  // never released
    StartClock();
    ASSERT_EQ(Slot26().xServiceOpen(), 1);
    // Finish checks at the 51st, 102nd and 153rd failed wait of 100 ms each.
    EXPECT_EQ(Elapsed(), 153u * 100u);
    EXPECT_EQ(scanner.Log().PairsText(), "FF04 FF04 FF04 FF04 FF03 FF03 FF05");
    EXPECT_TRUE(HasLine(
        "[MsdcZamoHost] xServiceOpen: Maybe some AP is broken, Force Event is Signal.\r\n"));
    EXPECT_FALSE(HasLine("[MsdcZamoHost] xServiceOpen(): Bk still running 1 min!\r\n"));
}

TEST_F(ServiceTest, BusyDeviceResetsTheFinishedStreak) {
    sim::Scanner& scanner = ConnectedStillImage();
    world.sys.HoldEvent("ZAMOUSB_EVENT_u");
    // Busy at the second check: the streak starts again, so the force comes at the fifth.
    world.sys.At(world.sys.Now() + 10'000, [&] { scanner.Model().StartWork(300); });
    StartClock();
    ASSERT_EQ(Slot26().xServiceOpen(), 1);
    EXPECT_EQ(Elapsed(), 5u * 51u * 100u);
}

TEST_F(ServiceTest, LiveHolderReleasingIsWaitedFor) {
    sim::Scanner& scanner = ConnectedStillImage();
    world.sys.HoldEvent("ZAMOUSB_EVENT_u", world.sys.Now() + 2'050);
    StartClock();
    ASSERT_EQ(Slot26().xServiceOpen(), 1);
    EXPECT_EQ(Elapsed(), 2'050u);
    EXPECT_EQ(scanner.Log().PairsText(), "FF04 FF03 FF03 FF05");
    EXPECT_FALSE(HasLine(
        "[MsdcZamoHost] xServiceOpen: Maybe some AP is broken, Force Event is Signal.\r\n"));
}

TEST_F(ServiceTest, LockHeldByAFinishedHolderIsBrokenAfterTheStageTwoChecks) {
    sim::Scanner& scanner = ConnectedStillImage();
    scanner.HoldLockByOther(true);
    StartClock();
    ASSERT_EQ(Slot26().xServiceOpen(), 1);
    EXPECT_EQ(Count(scanner, 0xFF, 0x04), 1001u);
    EXPECT_EQ(Count(scanner, 0xFF, 0x03), 1002u);  // 1001 checks and the stage-three look
    EXPECT_EQ(Elapsed(), 1000u * 10u);
    EXPECT_TRUE(HasLine(
        "[MsdcZamoHost] xServiceOpen: Maybe some AP is broken, Terminate last service.\r\n"));
    const std::string pairs = scanner.Log().PairsText();
    EXPECT_EQ(pairs.substr(pairs.size() - 9), "FF06 FF05");
}

TEST_F(ServiceTest, RefusedLockFailsTheOpenButTheTransfersStillGo) {
    sim::Scanner& scanner = ConnectedStillImage();
    scanner.HoldLockByOther(false);
    ASSERT_EQ(Slot26().VenderCmd_GetData(cmdset::kSelOpen, buffer_, 16), 1);
    EXPECT_EQ(Count(scanner, 0xFF, 0x05), 1001u);
    EXPECT_TRUE(HasLine("[MsdcZamoHost] xServiceOpen: Terminate last service is failed!\r\n"));
    EXPECT_TRUE(HasLine("[VenderCmd_GetData]!xServiceOpen()\n"));
    EXPECT_EQ(Count(scanner, 0x02, 0x01), 1u);
    EXPECT_EQ(Count(scanner, 0x02, 0x02), 1u);
    EXPECT_TRUE(world.sys.EventSignalled("ZAMOUSB_EVENT_u"));
    EXPECT_GE(world.sys.Stats("ZAMOUSB_EVENT_u").setCount, 2u);  // failed open, then close
}

TEST_F(ServiceTest, ServiceRepliesOfTheWrongSize) {
    struct Case {
        std::uint8_t code;
        const char* line;
        int answer;  // with dwResult 1 in the reply
    } cases[] = {
        {cmdset::kServiceLock, "[MsdcZamoHost] xServiceLock(): Size not match!\r\n", 1},
        {cmdset::kServiceUnLock, "[MsdcZamoHost] xServiceUnLock(): Size not match!\r\n", 0},
        {cmdset::kServiceIsLock, "[MsdcZamoHost] xServiceIsLock(): Size not match!\r\n", 0},
        {cmdset::kServiceIsFinish, "[MsdcZamoHost] xServiceIsFinish(): Size not match!\r\n", 1},
    };
    sim::Scanner& scanner = ConnectedStillImage();
    for (const Case& c : cases) {
        scanner.Model().ReleaseLocks();
        if (c.code == cmdset::kServiceUnLock || c.code == cmdset::kServiceIsLock) {
            ASSERT_EQ(Slot26().xServiceLock(), 1);  // so the true answer would be 1
        }
        scanner.Inject(Fault::ServiceReplySize(12).OnCommand(0xFF, c.code));
        world.sys.ClearDebugLines();
        int answer = -1;
        switch (c.code) {
            case cmdset::kServiceLock:
                answer = Slot26().xServiceLock();
                break;
            case cmdset::kServiceUnLock:
                answer = Slot26().xServiceUnLock();
                break;
            case cmdset::kServiceIsLock:
                answer = Slot26().xServiceIsLock();
                break;
            default:
                answer = Slot26().xServiceIsFinish();
                break;
        }
        EXPECT_EQ(answer, c.answer) << c.line;
        EXPECT_EQ(Lines().back(), c.line);
    }
}

TEST_F(ServiceTest, FailedLockTransmissionHasItsOwnLine) {
    sim::Scanner& scanner = ConnectedStillImage();
    scanner.Inject(Fault::CswReadFails().OnCommand(0xFF, 0x05));
    EXPECT_EQ(Slot26().xServiceLock(), 0);
    EXPECT_EQ(Lines().back(), "xServiceLock xTransmitToDevice failed\r\n");
    scanner.Inject(Fault::CswReadFails().OnCommand(0xFF, 0x03));
    EXPECT_EQ(Slot26().xServiceIsLock(), 0);
    EXPECT_EQ(Lines().back(), "[xServiceIsLock]!xTransmitToDevice( &tPacket )\n");
}

TEST_F(ServiceTest, NullEventForcesTheWayWithoutWaiting) {
    sim::Scanner& scanner = ConnectedStillImage();
    Slot26().m_hService.reset();
    StartClock();
    ASSERT_EQ(Slot26().xServiceOpen(), 1);
    EXPECT_EQ(Elapsed(), 0u);
    EXPECT_EQ(Count(scanner, 0xFF, 0x04), 4u);
    EXPECT_TRUE(HasLine(
        "[MsdcZamoHost] xServiceOpen: Maybe some AP is broken, Force Event is Signal.\r\n"));
}

TEST_F(ServiceTest, AMinuteOfWaitingReconnectsADiskAndGoesOn) {
    sim::Scanner& scanner = ConnectedDisk('E');
    scanner.SetNeverFinishes(true);
    world.sys.HoldEvent("ZAMOUSB_EVENT_E", world.sys.Now() + 70'000);
    StartClock();
    // The holder lets go at 70 s; a device that never finishes ends stage two at once.
    ASSERT_EQ(DiskSlot('E').xServiceOpen(), 1);
    EXPECT_EQ(CountLines("[MsdcZamoHost] xServiceOpen(): Bk still running 1 min!\r\n"), 1u);
    EXPECT_GE(Elapsed(), 70'000u);
    EXPECT_EQ(DiskSlot('E').m_cDevice, 'E');
    EXPECT_TRUE(DiskSlot('E').m_hDisk.valid());
}

TEST_F(ServiceTest, AMinuteOfWaitingOnAStillImageDeviceGivesUp) {
    sim::Scanner& scanner = ConnectedStillImage();
    scanner.SetNeverFinishes(true);
    world.sys.HoldEvent("ZAMOUSB_EVENT_u");
    StartClock();
    EXPECT_EQ(Slot26().VenderCmd_GetData(cmdset::kSelOpen, buffer_, 16), 0);
    EXPECT_TRUE(HasLine("[MsdcZamoHost] xServiceOpen(): Connect is broken! - 0\r\n"));
    EXPECT_EQ(Elapsed(), 601u * 100u);  // no wait after the device handle is gone
    EXPECT_FALSE(Slot26().m_hDisk.valid());
    EXPECT_TRUE(world.sys.EventSignalled("ZAMOUSB_EVENT_u"));
}

// A second close could release the lock and signal the event of a program that took the
// service in between, so a failed transfer still closes once.
TEST_F(ServiceTest, FailedSecondTransferClosesOnce) {
    sim::Scanner& scanner = ConnectedStillImage();
    scanner.Inject(Fault::CswReadFails().OnCommand(0x02, 0x02));
    EXPECT_EQ(Slot26().VenderCmd_GetData(cmdset::kSelOpen, buffer_, 16), 0);
    EXPECT_TRUE(HasLine("[VenderCmd_GetData]!xTransmitToDevice( &tPacket ) (2)\n"));
    EXPECT_EQ(CountLines("[MsdcZamoHost] xServiceClose(): Device is not available!\r\n"), 1u);
    EXPECT_EQ(Count(scanner, 0xFF, 0x06), 1u);
    EXPECT_EQ(world.sys.Stats("ZAMOUSB_EVENT_u").setCount, 1u);
}

TEST_F(ServiceTest, FailedSetClosesOnce) {
    sim::Scanner& scanner = ConnectedStillImage();
    scanner.Inject(Fault::DataFails().OnCommand(0x02, 0x03));
    EXPECT_EQ(Slot26().VenderCmd_SetData(cmdset::kSelCalibration, buffer_, 4), 0);
    EXPECT_EQ(Count(scanner, 0xFF, 0x06), 1u);
    EXPECT_EQ(world.sys.Stats("ZAMOUSB_EVENT_u").setCount, 1u);
}

TEST_F(ServiceTest, LinkDroppingWhileTakingTheLockFailsTheOpen) {
    sim::Scanner& scanner = ConnectedStillImage();
    scanner.HoldLockByOther(false);
    scanner.Inject(Fault::CswReadFails().OnCommand(0xFF, 0x05).OnExchange(0));
    scanner.Inject(Fault::CswReadFails().OnCommand(0xFF, 0x05));
    EXPECT_EQ(Slot26().xServiceOpen(), 0);
    EXPECT_TRUE(HasLine("[MsdcZamoHost] xServiceOpen(): Connect is broken! - 2\r\n"));
    EXPECT_TRUE(world.sys.EventSignalled("ZAMOUSB_EVENT_u"));
}

TEST_F(ServiceTest, CloseWaitsForTheDeviceAndReportsEveryMinute) {
    sim::Scanner& scanner = ConnectedStillImage();
    ASSERT_EQ(Slot26().xServiceOpen(), 1);
    scanner.Model().StartWork(125'000);
    StartClock();
    EXPECT_EQ(Slot26().xServiceClose(), 1);
    EXPECT_EQ(CountLines("[MsdcZamoHost] xServiceClose(): Bk still running 1 min!\r\n"), 2u);
    EXPECT_EQ(Elapsed(), 125'000u);
}

TEST_F(ServiceTest, GetWithoutADeviceHandleEndsAtOnce) {
    ConnectedStillImage();
    Slot26().m_hDisk.reset();
    Slot26().m_bConnected = 1;
    Slot26().m_hService.reset();
    StartClock();
    EXPECT_EQ(Slot26().VenderCmd_GetData(cmdset::kSelOpen, buffer_, 16), 0);
    EXPECT_EQ(Slot26().VenderCmd_SetData(cmdset::kSelCalibration, buffer_, 4), 0);
    EXPECT_LT(Elapsed(), 30'000u);
}

}  // namespace
