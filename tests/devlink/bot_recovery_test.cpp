// A device that stays where a fault left it, as hardware does: where the platform lets the
// program recover the pipes, the exchange after each fault finds the device in step again; where
// it does not, nothing but the exchanges themselves reaches the wire.
#include "devlink_fixture.h"

namespace {

using sim::Fault;

struct RecoveryCase {
    const char* name;
    Fault fault;
    std::uint8_t direction;
    const char* wire;          // the faulted exchange, recovery included
    int result;                // doBOT's return for it
    bool nextWithoutRecovery;  // whether the next exchange works with no recovery at all
    bool passed = false;       // whether the device passed the faulted command after all
};

class BotRecoveryTest : public DevlinkTest, public ::testing::WithParamInterface<RecoveryCase> {
  protected:
    int Exchange(std::uint8_t direction) {
        BOTSetup(direction, sizeof data_);
        const bool in = direction == cmdset::kCbwFlagsIn;
        const tPacket packet =
            DataPacket(in ? kDirectionIn : kDirectionOut, in ? cmdset::kGetFirst : cmdset::kSet,
                       cmdset::kSelOpen, data_, sizeof data_);
        BuildVendorCdb(packet, g_BOTState.cbw + kCbwCommandBlockOffset);
        std::uint32_t transferred = 0;
        std::int32_t code = 0;
        return doBOT(Slot26().m_hDisk.get(), direction, data_, sizeof data_, &transferred, &code,
                     &outcome_);
    }
    sim::Scanner& FaultedDevice(bool recovery) {
        world.io.SetPipeRecovery(recovery);
        sim::Scanner& scanner = ConnectedStillImage();
        scanner.SetRealConduct(true);
        scanner.Inject(GetParam().fault);
        return scanner;
    }
    std::uint8_t data_[16] = {};
    TransferOutcome outcome_ = TransferOutcome::kNotSent;
};

TEST_P(BotRecoveryTest, TheNextExchangeFindsTheDeviceInStep) {
    const RecoveryCase& c = GetParam();
    sim::Scanner& scanner = FaultedDevice(true);
    EXPECT_EQ(Exchange(c.direction), c.result);
    EXPECT_EQ(IsPassed(outcome_), c.passed) << TransferOutcomeName(outcome_);
    EXPECT_EQ(scanner.Log().PhasesText(), c.wire);

    scanner.Log().Clear();
    EXPECT_EQ(Exchange(cmdset::kCbwFlagsIn), 1);
    EXPECT_EQ(outcome_, TransferOutcome::kComplete);
    EXPECT_EQ(scanner.Log().PhasesText(), "CBW IN CSW");
}

TEST_P(BotRecoveryTest, WithoutPipeRecoveryOnlyTheExchangesReachTheWire) {
    const RecoveryCase& c = GetParam();
    sim::Scanner& scanner = FaultedDevice(false);
    Exchange(c.direction);
    const std::string wire = scanner.Log().PhasesText();
    EXPECT_EQ(wire.find("CLEAR"), std::string::npos) << wire;
    EXPECT_EQ(wire.find("RESET"), std::string::npos) << wire;
    EXPECT_FALSE(HasLine("USB2.0 HOST reset recovery: done\n"));
    EXPECT_EQ(Exchange(cmdset::kCbwFlagsIn) == 1 && outcome_ == TransferOutcome::kComplete,
              c.nextWithoutRecovery);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BotRecoveryTest,
    ::testing::Values(
        // A refused data phase is a STALL; its CSW and the sense follow once the halt is cleared.
        RecoveryCase{"DataInStalls", Fault::DataFails(), 0x80, "CBW IN! CLEAR-IN CSW CBW IN CSW", 1,
                     false},
        RecoveryCase{"DataOutStalls", Fault::DataFails(), 0x00, "CBW OUT! CLEAR-OUT CSW CBW IN CSW",
                     1, false},
        RecoveryCase{"RefusedGet", Fault::Status(1, 0x05, 0x24), 0x80,
                     "CBW IN! CLEAR-IN CSW CBW IN CSW", 1, false},
        RecoveryCase{"RefusedSet", Fault::Status(1, 0x05, 0x24), 0x00,
                     "CBW OUT! CLEAR-OUT CSW CBW IN CSW", 1, false},
        // A wrapper that cannot be accepted, or a phase error: reset recovery.
        // A stalled status read: the device kept its wrapper and sends it once cleared.
        RecoveryCase{"StatusStalls", Fault::CswReadFails(), 0x80, "CBW IN CSW! CLEAR-IN CSW", 1,
                     false, true},
        RecoveryCase{"StaleTag", Fault::StaleTag(), 0x80, "CBW IN CSW RESET CLEAR-IN CLEAR-OUT", 0,
                     true},
        RecoveryCase{"RefusedWithAShortWrapper", Fault::CswShortRefused(5), 0x80,
                     "CBW IN! CLEAR-IN CSW RESET CLEAR-IN CLEAR-OUT", 0, false},
        RecoveryCase{"PhaseError", Fault::Status(2, 0x0B, 0x00), 0x80,
                     "CBW IN! CLEAR-IN CSW CBW IN CSW RESET CLEAR-IN CLEAR-OUT", 1, false},
        RecoveryCase{"CommandBlockLost", Fault::CbwWriteFails(), 0x80,
                     "CBW! RESET CLEAR-IN CLEAR-OUT", 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
