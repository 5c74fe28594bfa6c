#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <vector>

#include "sim/world.h"
#include "tests/sim/wire_bytes.h"

namespace {

using platform::ScsiPassThroughRecord;

// A pass-through record for a vendor command; `cmd` are CmdBytes[0..2].
ScsiPassThroughRecord Record(wire::CmdBytes cmd, bool in, void* data, std::uint32_t length) {
    ScsiPassThroughRecord r{};
    r.sptd.Length = sizeof(platform::ScsiPassThroughDirect);
    r.sptd.TargetId = 1;
    r.sptd.CdbLength = 16;
    r.sptd.SenseInfoLength = 32;
    r.sptd.DataIn = in ? platform::kScsiIoctlDataIn : platform::kScsiIoctlDataOut;
    r.sptd.DataTransferLength = length;
    r.sptd.TimeOutValue = 15;
    r.sptd.DataBuffer = data;
    r.sptd.SenseInfoOffset = offsetof(ScsiPassThroughRecord, ucSenseBuf);
    const wire::CommandBlock cdb = wire::Cdb(cmd, length);
    std::memcpy(r.sptd.Cdb, cdb.data(), cdb.size());
    return r;
}

class DiskEndpoint : public ::testing::Test {
  protected:
    DiskEndpoint() : scanner(world.AddScanner({}, 0x10000)) {
        world.AttachDisk(scanner, 'F');
        h = world.io.OpenDevice("\\\\.\\F:");
    }
    ~DiskEndpoint() override { world.io.CloseDevice(h); }

    bool Send(ScsiPassThroughRecord& r, std::uint32_t size = sizeof(ScsiPassThroughRecord)) {
        std::uint32_t returned = 0;
        return world.io.DeviceIoControl(h, platform::kIoctlScsiPassThroughDirect, &r, size, &r,
                                        size, &returned);
    }

    sim::World world;
    sim::Scanner& scanner;
    platform::Handle h;
};

TEST_F(DiskEndpoint, TagQueryPassesAndFillsTheCallersBuffer) {
    std::uint8_t tag[4] = {};
    auto r = Record({0xFF, 0x02, 0x00}, true, tag, 4);
    ASSERT_TRUE(Send(r));
    EXPECT_EQ(r.sptd.ScsiStatus, 0);
    EXPECT_EQ(0, std::memcmp(tag, "ZAMO", 4));
    ASSERT_EQ(scanner.Log().Commands().size(), 1u);
    EXPECT_EQ(scanner.Log().Commands()[0].path, sim::WirePath::kDisk);
}

TEST_F(DiskEndpoint, RefusedCommandGivesCheckConditionWithSense) {
    std::uint8_t reply[16] = {};
    auto r = Record({0x02, 0x02, 0x42}, true, reply, 16);  // no selector 0x42
    ASSERT_TRUE(Send(r));
    EXPECT_EQ(r.sptd.ScsiStatus, 2);
    EXPECT_EQ(r.ucSenseBuf[2], 0x05);   // ILLEGAL REQUEST
    EXPECT_EQ(r.ucSenseBuf[12], 0x24);  // invalid field in CDB
}

TEST_F(DiskEndpoint, MalformedRecordsFailTheRequest) {
    std::uint8_t tag[4];
    const std::vector<std::function<void(ScsiPassThroughRecord&)>> breakers = {
        [](auto& r) { r.sptd.Length = 44; },  // a 32-bit process's header size
        [](auto& r) { r.sptd.SenseInfoOffset = 48; },  // a 32-bit process's sense offset
        [](auto& r) { r.sptd.DataBuffer = nullptr; }, [](auto& r) { r.sptd.CdbLength = 17; },
        [](auto& r) { r.sptd.DataIn = 5; },
    };
    for (const auto& breakIt : breakers) {
        auto r = Record({0xFF, 0x02, 0x00}, true, tag, 4);
        breakIt(r);
        EXPECT_FALSE(Send(r));
    }
    auto r = Record({0xFF, 0x02, 0x00}, true, tag, 4);
    EXPECT_FALSE(Send(r, 80 - 1));
    EXPECT_EQ(scanner.MalformedDiskRecords(), breakers.size() + 1);
    EXPECT_TRUE(scanner.Log().Commands().empty());  // nothing reached the device
}

TEST_F(DiskEndpoint, UntaggedRemovableDiskRefusesTheTagQuery) {
    world.AddForeignRemovableDisk('G');
    platform::Handle g = world.io.OpenDevice("\\\\.\\G:");
    std::uint8_t tag[4] = {};
    auto r = Record({0xFF, 0x02, 0x00}, true, tag, 4);
    std::uint32_t returned = 0;
    ASSERT_TRUE(world.io.DeviceIoControl(g, platform::kIoctlScsiPassThroughDirect, &r, sizeof r, &r,
                                         sizeof r, &returned));
    EXPECT_EQ(r.sptd.ScsiStatus, 2);
    world.io.CloseDevice(g);
}

TEST_F(DiskEndpoint, InjectedIoctlFailureAndScsiStatusHitTheChosenCommand) {
    const int fails = scanner.Inject(sim::Fault::IoctlFails().OnCommand(0xFF, 0x05));  // Lock
    const int busy = scanner.Inject(sim::Fault::ScsiStatus(0x08).OnExchange(2));
    std::uint8_t reply[16];
    auto isLock = Record({0xFF, 0x03, 0x00}, true, reply, 16);
    ASSERT_TRUE(Send(isLock));  // exchange 0: untouched
    EXPECT_EQ(isLock.sptd.ScsiStatus, 0);
    auto lock = Record({0xFF, 0x05, 0x00}, true, reply, 16);
    EXPECT_FALSE(Send(lock));  // exchange 1, the first lock command: the request fails
    lock = Record({0xFF, 0x05, 0x00}, true, reply, 16);
    ASSERT_TRUE(Send(lock));  // exchange 2: status 08, the lock is not taken
    EXPECT_EQ(lock.sptd.ScsiStatus, 0x08);
    EXPECT_FALSE(scanner.Model().LockedByHost());
    lock = Record({0xFF, 0x05, 0x00}, true, reply, 16);
    ASSERT_TRUE(Send(lock));
    EXPECT_EQ(lock.sptd.ScsiStatus, 0);
    EXPECT_TRUE(scanner.Model().LockedByHost());
    EXPECT_EQ(scanner.Fired(fails), 1u);
    EXPECT_EQ(scanner.Fired(busy), 1u);
}

TEST_F(DiskEndpoint, ShorterTransferLengthUnderGoodStatusWritesWhatArrived) {
    scanner.Inject(sim::Fault::TransferLengthShort(8).Times(2));
    const std::vector<std::uint8_t> before = scanner.ReadMemory(0, 32);
    std::vector<std::uint8_t> block(32, 0x77);
    auto out = Record({0x02, 0x03, 0x05}, false, block.data(), 32);  // a firmware block
    ASSERT_TRUE(Send(out));
    EXPECT_EQ(out.sptd.ScsiStatus, 0);
    EXPECT_EQ(out.sptd.DataTransferLength, 8u);
    const std::vector<std::uint8_t> after = scanner.ReadMemory(0, 32);
    EXPECT_EQ(std::vector<std::uint8_t>(after.begin(), after.begin() + 8),
              std::vector<std::uint8_t>(8, 0x77));
    EXPECT_EQ(std::vector<std::uint8_t>(after.begin() + 8, after.end()),
              std::vector<std::uint8_t>(before.begin() + 8, before.end()));

    std::vector<std::uint8_t> data(32, 0);
    auto in = Record({0x02, 0x02, 0x0B}, true, data.data(), 32);  // memory
    ASSERT_TRUE(Send(in));
    EXPECT_EQ(in.sptd.ScsiStatus, 0);
    EXPECT_EQ(in.sptd.DataTransferLength, 8u);
}

}  // namespace
