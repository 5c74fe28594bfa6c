#include "sim/firmware_model.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "sim/world.h"
#include "tests/sim/wire_bytes.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using wire::Cdb;

class Model : public ::testing::Test {
  protected:
    static constexpr std::uint32_t kSize = 0x20000;
    Model() : scanner(world.AddScanner({}, kSize)), model(scanner.Model()) {}

    // A command whose data go to the host, as a whole exchange of data.size() bytes.
    bool Get(wire::CmdBytes cmd, Bytes& data) {
        const auto len = static_cast<std::uint32_t>(data.size());
        std::uint32_t produced = 0;
        const bool ok = model.ExecuteIn(Cdb(cmd, len).data(), len, data.data(), len, &produced);
        EXPECT_EQ(produced, ok ? len : 0u);
        return ok;
    }
    // A set (02 03) of selector `sel`.
    bool Set(std::uint8_t sel, const Bytes& data) {
        const auto len = static_cast<std::uint32_t>(data.size());
        return model.ExecuteOut(Cdb({0x02, 0x03, sel}, len).data(), len, data.data(), len);
    }
    // A service command (FF 03 IsLock, FF 04 IsFinish, FF 05 Lock, FF 06 UnLock); its result.
    std::uint32_t Service(std::uint8_t code) {
        Bytes reply(16);
        std::uint32_t produced = 0;
        EXPECT_TRUE(
            model.ExecuteIn(Cdb({0xFF, code, 0x00}, 16).data(), 16, reply.data(), 16, &produced));
        return reply[8] | (reply[9] << 8) | (reply[10] << 16) | (std::uint32_t{reply[11]} << 24);
    }
    bool SetAddress(std::uint32_t a) {
        return Set(0x04, {static_cast<std::uint8_t>(a >> 24), static_cast<std::uint8_t>(a >> 16),
                          static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a)});
    }

    sim::World world;
    sim::Scanner& scanner;
    sim::FirmwareModel& model;
};

TEST_F(Model, MemoryReadsStopSafelyAtTheEndOfTheImage) {
    ASSERT_TRUE(SetAddress(kSize - 2));
    Bytes data(8, 0xEE);
    ASSERT_TRUE(Get({0x02, 0x02, 0x0B}, data));  // memory
    EXPECT_EQ(data[0], sim::FirmwareModel::PatternByte(kSize - 2));
    EXPECT_EQ(data[1], sim::FirmwareModel::PatternByte(kSize - 1));
    EXPECT_EQ(data, (Bytes{data[0], data[1], 0, 0, 0, 0, 0, 0}));

    ASSERT_TRUE(SetAddress(0xFFFFFFF0u));  // address + length wraps 32 bits
    Bytes far(0x20, 0xEE);
    ASSERT_TRUE(Get({0x02, 0x02, 0x0B}, far));
    EXPECT_EQ(far, Bytes(0x20, 0));

    ASSERT_TRUE(SetAddress(kSize - 1));  // a block running past the end keeps what fits
    ASSERT_TRUE(Set(0x05, {0x11, 0x22, 0x33}));
    EXPECT_EQ(model.MemoryAt(kSize - 1), 0x11);
}

TEST_F(Model, VersionReadinessAndRecordedSets) {
    scanner.Config().readiness = 0x80;
    scanner.Config().version[3] = 0;
    Bytes version(4), ready(16), closing(16);
    ASSERT_TRUE(Get({0x02, 0x02, 0x06}, version));
    EXPECT_EQ(version, (Bytes{'2', '2', '0', 0}));
    ASSERT_TRUE(Get({0x02, 0x02, 0x03}, ready));
    EXPECT_EQ(ready[8], 0x80);
    ASSERT_TRUE(Get({0x02, 0x02, 0x06}, closing));
    Bytes odd(5);
    EXPECT_FALSE(Get({0x02, 0x02, 0x06}, odd));

    ASSERT_TRUE(Set(0x06, {0, 0, 0, 1}));  // the finishing value
    ASSERT_TRUE(Set(0x09, {0, 0, 0, 0}));  // the calibration
    EXPECT_EQ(model.Counters().lastFinishingValue, 1u);
    EXPECT_EQ(model.Counters().finishingValues, 1u);
    EXPECT_EQ(model.Counters().calibrations, 1u);
    EXPECT_FALSE(Set(0x04, {0, 0, 0x40}));  // an address is 4 bytes
}

TEST_F(Model, WorkRunsOnTheClockAndRefusesDataCommandsUntilFinished) {
    scanner.Config().workMs = 250;
    Bytes open(16);
    ASSERT_TRUE(Get({0x02, 0x01, 0x05}, open));  // a get's first transfer starts work
    EXPECT_EQ(Service(0x04), 0u);
    EXPECT_FALSE(Get({0x02, 0x02, 0x05}, open));
    EXPECT_EQ(model.Sense()[2], 0x02);  // NOT READY
    world.sys.Sleep(249);
    EXPECT_EQ(Service(0x04), 0u);
    world.sys.Sleep(1);
    EXPECT_EQ(Service(0x04), 1u);
    EXPECT_TRUE(Get({0x02, 0x02, 0x05}, open));
    EXPECT_EQ(model.Sense()[2], 0);  // a passed command clears the sense

    scanner.SetNeverFinishes(true);
    world.sys.Sleep(3'600'000);
    EXPECT_EQ(Service(0x04), 0u);
}

TEST_F(Model, LockHeldByAnotherProgram) {
    const auto t0 = world.sys.Now();
    scanner.HoldLockByOtherUntil(t0 + 1000, /*yieldsToUnlock=*/false);
    EXPECT_EQ(Service(0x03), 1u);
    EXPECT_EQ(Service(0x05), 0u);
    EXPECT_EQ(Service(0x06), 0u);  // a live holder's lock is not broken
    world.sys.Sleep(1000);
    EXPECT_EQ(Service(0x03), 0u);
    EXPECT_EQ(Service(0x05), 1u);

    model.ReleaseLocks();
    scanner.HoldLockByOther(/*yieldsToUnlock=*/true);  // a dead holder
    EXPECT_EQ(Service(0x05), 0u);
    EXPECT_EQ(Service(0x06), 1u);
    EXPECT_EQ(Service(0x05), 1u);
}

TEST_F(Model, RefusesMalformedVendorBlocks) {
    Bytes reply(16);
    std::uint32_t produced = 0;
    auto lengthMismatch = Cdb({0xFF, 0x03, 0x00}, 8);
    EXPECT_FALSE(model.ExecuteIn(lengthMismatch.data(), 16, reply.data(), 16, &produced));
    auto setAsGet = Cdb({0x02, 0x03, 0x04}, 4);
    EXPECT_FALSE(model.ExecuteIn(setAsGet.data(), 4, reply.data(), 4, &produced));
    auto wrongOpcode = Cdb({0xFF, 0x02, 0x00}, 4);
    wrongOpcode[0] = 0x12;
    EXPECT_FALSE(model.ExecuteIn(wrongOpcode.data(), 4, reply.data(), 4, &produced));
    EXPECT_EQ(model.Sense()[12], 0x20);  // invalid command operation code
    const Bytes block(16, 0xAB);
    auto shortData = Cdb({0x02, 0x03, 0x05}, 16);
    EXPECT_FALSE(model.ExecuteOut(shortData.data(), 16, block.data(), 15));  // data ended early
    EXPECT_EQ(model.Counters().firmwareBlocks, 0u);
}

}  // namespace
