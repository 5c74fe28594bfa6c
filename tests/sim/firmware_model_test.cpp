#include "sim/firmware_model.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "devlink/command_set.h"
#include "sim/world.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::array<std::uint8_t, 16> Cdb(std::uint8_t cmd0, std::uint8_t cmd1, std::uint8_t sel,
                                 std::uint32_t length) {
    std::array<std::uint8_t, 16> c{};
    c[0] = cmdset::kOpCodeVendor;
    c[1] = cmdset::kCdbByte1;
    for (int i = 0; i < 4; ++i) c[6 + i] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
    c[10] = cmd0;
    c[11] = cmd1;
    c[12] = sel;
    return c;
}

class Model : public ::testing::Test {
  protected:
    static constexpr std::uint32_t kSize = 0x20000;
    Model() : scanner(world.AddScanner({}, kSize)), model(scanner.Model()) {}

    bool Get(std::uint8_t transfer, std::uint8_t sel, Bytes& data) {
        const auto len = static_cast<std::uint32_t>(data.size());
        std::uint32_t produced = 0;
        const bool ok = model.ExecuteIn(Cdb(cmdset::kDataCommand, transfer, sel, len).data(), len,
                                        data.data(), len, &produced);
        EXPECT_EQ(produced, ok ? len : 0u);
        return ok;
    }
    bool Set(std::uint8_t sel, const Bytes& data) {
        const auto len = static_cast<std::uint32_t>(data.size());
        return model.ExecuteOut(Cdb(cmdset::kDataCommand, cmdset::kSet, sel, len).data(), len,
                                data.data(), len);
    }
    std::uint32_t Service(std::uint8_t code) {
        Bytes reply(16);
        std::uint32_t produced = 0;
        EXPECT_TRUE(model.ExecuteIn(Cdb(cmdset::kLinkCommand, code, 0, 16).data(), 16, reply.data(),
                                    16, &produced));
        return reply[8] | (reply[9] << 8) | (reply[10] << 16) | (std::uint32_t{reply[11]} << 24);
    }
    bool SetAddress(std::uint32_t a) {
        return Set(cmdset::kSelAddress,
                   {static_cast<std::uint8_t>(a >> 24), static_cast<std::uint8_t>(a >> 16),
                    static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a)});
    }

    sim::World world;
    sim::Scanner& scanner;
    sim::FirmwareModel& model;
};

TEST_F(Model, MemoryReadsStopSafelyAtTheEndOfTheImage) {
    ASSERT_TRUE(SetAddress(kSize - 2));
    Bytes data(8, 0xEE);
    ASSERT_TRUE(Get(cmdset::kGetSecond, cmdset::kSelMemory, data));
    EXPECT_EQ(data[0], sim::FirmwareModel::PatternByte(kSize - 2));
    EXPECT_EQ(data[1], sim::FirmwareModel::PatternByte(kSize - 1));
    EXPECT_EQ(data, (Bytes{data[0], data[1], 0, 0, 0, 0, 0, 0}));

    ASSERT_TRUE(SetAddress(0xFFFFFFF0u));  // address + length wraps 32 bits
    Bytes far(0x20, 0xEE);
    ASSERT_TRUE(Get(cmdset::kGetSecond, cmdset::kSelMemory, far));
    EXPECT_EQ(far, Bytes(0x20, 0));

    ASSERT_TRUE(SetAddress(kSize - 1));  // a block running past the end keeps what fits
    ASSERT_TRUE(Set(cmdset::kSelFirmware, {0x11, 0x22, 0x33}));
    EXPECT_EQ(model.MemoryAt(kSize - 1), 0x11);
}

TEST_F(Model, VersionReadinessAndRecordedSets) {
    scanner.Config().readiness = 0x80;
    scanner.Config().version[3] = 0;
    Bytes version(4), ready(16), closing(16);
    ASSERT_TRUE(Get(cmdset::kGetSecond, cmdset::kSelVersion, version));
    EXPECT_EQ(version, (Bytes{'2', '2', '0', 0}));
    ASSERT_TRUE(Get(cmdset::kGetSecond, cmdset::kSelReadiness, ready));
    EXPECT_EQ(ready[8], 0x80);
    ASSERT_TRUE(Get(cmdset::kGetSecond, cmdset::kSelClose, closing));
    Bytes odd(5);
    EXPECT_FALSE(Get(cmdset::kGetSecond, cmdset::kSelVersion, odd));

    ASSERT_TRUE(Set(cmdset::kSelVersion, {0, 0, 0, 1}));
    ASSERT_TRUE(Set(cmdset::kSelCalibration, {0, 0, 0, 0}));
    EXPECT_EQ(model.Counters().lastFinishingValue, 1u);
    EXPECT_EQ(model.Counters().finishingValues, 1u);
    EXPECT_EQ(model.Counters().calibrations, 1u);
    EXPECT_FALSE(Set(cmdset::kSelAddress, {0, 0, 0x40}));  // an address is 4 bytes
}

TEST_F(Model, WorkRunsOnTheClockAndRefusesDataCommandsUntilFinished) {
    scanner.Config().workMs = 250;
    Bytes open(16);
    ASSERT_TRUE(Get(cmdset::kGetFirst, cmdset::kSelOpen, open));  // starts work
    EXPECT_EQ(Service(cmdset::kServiceIsFinish), 0u);
    EXPECT_FALSE(Get(cmdset::kGetSecond, cmdset::kSelOpen, open));
    EXPECT_EQ(model.Sense()[2], sim::kSenseKeyNotReady);
    world.sys.Sleep(249);
    EXPECT_EQ(Service(cmdset::kServiceIsFinish), 0u);
    world.sys.Sleep(1);
    EXPECT_EQ(Service(cmdset::kServiceIsFinish), 1u);
    EXPECT_TRUE(Get(cmdset::kGetSecond, cmdset::kSelOpen, open));
    EXPECT_EQ(model.Sense()[2], 0);  // a passed command clears the sense

    scanner.SetNeverFinishes(true);
    world.sys.Sleep(3'600'000);
    EXPECT_EQ(Service(cmdset::kServiceIsFinish), 0u);
}

TEST_F(Model, LockHeldByAnotherProgram) {
    const auto t0 = world.sys.Now();
    scanner.HoldLockByOtherUntil(t0 + 1000, /*yieldsToUnlock=*/false);
    EXPECT_EQ(Service(cmdset::kServiceIsLock), 1u);
    EXPECT_EQ(Service(cmdset::kServiceLock), 0u);
    EXPECT_EQ(Service(cmdset::kServiceUnLock), 0u);  // a live holder's lock is not broken
    world.sys.Sleep(1000);
    EXPECT_EQ(Service(cmdset::kServiceIsLock), 0u);
    EXPECT_EQ(Service(cmdset::kServiceLock), 1u);

    model.ReleaseLocks();
    scanner.HoldLockByOther(/*yieldsToUnlock=*/true);  // a dead holder
    EXPECT_EQ(Service(cmdset::kServiceLock), 0u);
    EXPECT_EQ(Service(cmdset::kServiceUnLock), 1u);
    EXPECT_EQ(Service(cmdset::kServiceLock), 1u);
}

TEST_F(Model, RefusesMalformedVendorBlocks) {
    Bytes reply(16);
    std::uint32_t produced = 0;
    auto lengthMismatch = Cdb(cmdset::kLinkCommand, cmdset::kServiceIsLock, 0, 8);
    EXPECT_FALSE(model.ExecuteIn(lengthMismatch.data(), 16, reply.data(), 16, &produced));
    auto setAsGet = Cdb(cmdset::kDataCommand, cmdset::kSet, cmdset::kSelAddress, 4);
    EXPECT_FALSE(model.ExecuteIn(setAsGet.data(), 4, reply.data(), 4, &produced));
    auto wrongOpcode = Cdb(cmdset::kLinkCommand, cmdset::kTagQuery, 0, 4);
    wrongOpcode[0] = 0x12;
    EXPECT_FALSE(model.ExecuteIn(wrongOpcode.data(), 4, reply.data(), 4, &produced));
    EXPECT_EQ(model.Sense()[12], sim::kAscInvalidOpcode);
    const Bytes block(16, 0xAB);
    auto shortData = Cdb(cmdset::kDataCommand, cmdset::kSet, cmdset::kSelFirmware, 16);
    EXPECT_FALSE(model.ExecuteOut(shortData.data(), 16, block.data(), 15));  // data ended early
    EXPECT_EQ(model.Counters().firmwareBlocks, 0u);
}

}  // namespace
