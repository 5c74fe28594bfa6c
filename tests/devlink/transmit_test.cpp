// Vendor command transmission: the command block, the checks before anything is sent, the two
// paths, the pass-through record, and what each outcome leaves in m_bConnected.
#include <cstddef>

#include "devlink/pass_through.h"
#include "devlink_fixture.h"
#include "platform/sim/sim_device_file.h"

namespace {

using sim::Fault;

TEST(VendorCdb, IsBuiltBigEndianFromThePacket) {
    struct Case {
        tPacket packet;
        std::vector<std::uint8_t> cdb;
    } cases[] = {
        {LinkPacket(cmdset::kServiceLock, nullptr, 16),
         Bytes({0xC5, 0x07, 0, 0, 0, 0, 0, 0, 0, 0x10, 0xFF, 0x05, 0, 0, 0, 0})},
        {LinkPacket(cmdset::kTagQuery, nullptr, 4),
         Bytes({0xC5, 0x07, 0, 0, 0, 0, 0, 0, 0, 0x04, 0xFF, 0x02, 0, 0, 0, 0})},
        {tPacket{0xC5, 1, nullptr, 16, 1, {0xFF, 0x04, 0, 0, 0, 0}},
         Bytes({0xC5, 0x07, 0, 0, 0, 1, 0, 0, 0, 0x10, 0xFF, 0x04, 0, 0, 0, 0})},
        {DataPacket(kDirectionIn, cmdset::kGetFirst, cmdset::kSelOpen, nullptr, 16),
         Bytes({0xC5, 0x07, 0, 0, 0, 0, 0, 0, 0, 0x10, 0x02, 0x01, 0x05, 0, 0, 0})},
        {DataPacket(kDirectionOut, cmdset::kSet, cmdset::kSelFirmware, nullptr, 0x10000),
         Bytes({0xC5, 0x07, 0, 0, 0, 0, 0, 0x01, 0, 0, 0x02, 0x03, 0x05, 0, 0, 0})},
        {tPacket{0xC5, 0, nullptr, 0x12345678, 0xA1B2C3D4, {1, 2, 3, 4, 5, 6}},
         Bytes({0xC5, 0x07, 0xA1, 0xB2, 0xC3, 0xD4, 0x12, 0x34, 0x56, 0x78, 1, 2, 3, 4, 5, 6})},
    };
    for (const Case& c : cases) {
        std::uint8_t cdb[16];
        BuildVendorCdb(c.packet, cdb);
        EXPECT_EQ(std::vector<std::uint8_t>(cdb, cdb + 16), c.cdb);
    }
}

class TransmitTest : public DevlinkTest {};

TEST_F(TransmitTest, LengthGoesLittleEndianInTheCbwAndBigEndianInTheCommandBlock) {
    sim::Scanner& scanner = ConnectedStillImage();
    std::uint8_t reply[16];
    const tPacket packet = LinkPacket(cmdset::kServiceIsFinish, reply, 16);
    ASSERT_EQ(Slot26().xTransmitToDevice(&packet), 1);
    const auto& cbw = scanner.Log().Phases().at(0).bytes;
    EXPECT_EQ(std::vector<std::uint8_t>(cbw.begin() + 8, cbw.begin() + 12), Bytes({0x10, 0, 0, 0}));
    EXPECT_EQ(std::vector<std::uint8_t>(cbw.begin() + 21, cbw.begin() + 25),
              Bytes({0, 0, 0, 0x10}));
}

// The checks run before anything is sent, in order: handle, then the length of the direction.
struct RefusalCase {
    const char* name;
    bool withHandle;
    std::uint8_t direction;
    std::uint32_t length;
    const char* line;  // nullptr: sent
};

class TransmitRefusalTest : public DevlinkTest,
                            public ::testing::WithParamInterface<std::tuple<RefusalCase, bool>> {};

TEST_P(TransmitRefusalTest, RefusesWithItsLineAndLeavesTheLinkFlag) {
    const auto& [c, disk] = GetParam();
    sim::Scanner& scanner = disk ? ConnectedDisk('E') : ConnectedStillImage();
    CZamoUSB& device = disk ? DiskSlot('E') : Slot26();
    if (!c.withHandle) device.m_hDisk.reset();
    device.m_bConnected = 7;  // a value no exchange writes

    static std::uint8_t buffer[0x10001];
    const std::uint8_t transfer = c.direction == kDirectionIn ? cmdset::kGetFirst : cmdset::kSet;
    const std::uint8_t selector =
        c.direction == kDirectionIn ? cmdset::kSelMemory : cmdset::kSelFirmware;
    const tPacket packet = DataPacket(c.direction, transfer, selector, buffer, c.length);
    const int result = device.xTransmitToDevice(&packet);

    if (c.line) {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(Lines(), std::vector<std::string>{c.line});
        EXPECT_EQ(device.m_bConnected, 7);
        EXPECT_TRUE(scanner.Log().Commands().empty());
    } else {
        EXPECT_NE(result, 0);
        EXPECT_EQ(device.m_bConnected, 1);
        ASSERT_EQ(scanner.Log().Commands().size(), 1u);
        EXPECT_EQ(scanner.Log().Commands()[0].length, c.length);
    }
}

const char kNoHandle[] = "[MsdcZamoHost] xTransmitToDevice: m_hDisk == INVALID_HANDLE_VALUE\r\n";
const char kTooLongRead[] =
    "[MsdcZamoHost] xTransmitToDevice: DataTransferLength exceed DEFAULT_SIZE_BLUK_READ\r\n";
const char kTooLongWrite[] =
    "[MsdcZamoHost] xTransmitToDevice: DataTransferLength exceed DEFAULT_SIZE_BLUK_WRITE\r\n";

INSTANTIATE_TEST_SUITE_P(
    Checks, TransmitRefusalTest,
    ::testing::Combine(
        ::testing::Values(
            RefusalCase{"ReadOf65536Sent", true, kDirectionIn, 0x10000, nullptr},
            RefusalCase{"ReadOf65537Refused", true, kDirectionIn, 0x10001, kTooLongRead},
            RefusalCase{"WriteOf65536Sent", true, kDirectionOut, 0x10000, nullptr},
            RefusalCase{"WriteOf65537Refused", true, kDirectionOut, 0x10001, kTooLongWrite},
            RefusalCase{"NoHandleCheckedFirst", false, kDirectionIn, 0x10001, kNoHandle},
            RefusalCase{"NoHandleShortWrite", false, kDirectionOut, 4, kNoHandle}),
        ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) ? "Disk" : "StillImage");
    });

TEST_F(TransmitTest, DeviceNumberChoosesThePath) {
    sim::Scanner& scanner = world.AddScanner({}, 1u << 16);
    world.AttachStillImage(scanner, 0);
    world.AttachDisk(scanner, 'Z');
    CZamoUSB device;
    ASSERT_EQ(device.ConnectToDisk('Z'), 1);
    EXPECT_EQ(device.m_cDevice, 90);
    std::uint8_t reply[16];
    const tPacket packet = LinkPacket(cmdset::kServiceIsFinish, reply, 16);
    scanner.Log().Clear();
    ASSERT_EQ(device.xTransmitToDevice(&packet), 1);
    EXPECT_EQ(scanner.Log().Commands().back().path, sim::WirePath::kDisk);

    ASSERT_EQ(device.ConnectToScanner(256), 1);
    ASSERT_EQ(device.xTransmitToDevice(&packet), 1);
    EXPECT_EQ(scanner.Log().Commands().back().path, sim::WirePath::kStillImage);
}

TEST_F(TransmitTest, DeviceFailureOnTheStillImagePathIsCarriedOutWithItsKey) {
    sim::Scanner& scanner = ConnectedStillImage();
    scanner.Inject(Fault::Status(1, 0x05, 0x24));
    std::uint8_t reply[16];
    const tPacket packet = LinkPacket(cmdset::kServiceIsFinish, reply, 16);
    EXPECT_EQ(Slot26().xTransmitToDevice(&packet), 1);
    EXPECT_EQ(Slot26().m_bConnected, 1);
    EXPECT_EQ(Slot26().m_dwLastKey, 0x052400);
    EXPECT_EQ(Lines().back(),
              "[MsdcZamoHost] xTransmitToDevice: INQUIRY failed 0 bytes Key 052400\r\n");
}

TEST_F(TransmitTest, TransportFailureClearsTheLinkFlag) {
    sim::Scanner& scanner = ConnectedStillImage();
    scanner.Inject(Fault::CswReadFails());
    std::uint8_t reply[16];
    const tPacket packet = LinkPacket(cmdset::kServiceIsFinish, reply, 16);
    EXPECT_EQ(Slot26().xTransmitToDevice(&packet), 0);
    EXPECT_EQ(Slot26().m_bConnected, 0);
    EXPECT_EQ(Lines().back(),
              "[MsdcZamoHost] xTransmitToDevice: INQUIRY failed 16 bytes Key 030000\r\n");
}

TEST_F(TransmitTest, DiskPathOutcomes) {
    struct Case {
        const char* name;
        std::optional<Fault> fault;
        int result;
    } cases[] = {
        {"passes", std::nullopt, 1},
        {"request fails", Fault::IoctlFails(), 0},
        {"check condition", Fault::ScsiStatus(2), 0},
        {"busy", Fault::ScsiStatus(8), 0},
    };
    sim::Scanner& scanner = ConnectedDisk('E');
    for (const Case& c : cases) {
        if (c.fault) scanner.Inject(*c.fault);
        world.sys.ClearDebugLines();
        std::uint8_t reply[16];
        const tPacket packet = LinkPacket(cmdset::kServiceIsFinish, reply, 16);
        EXPECT_EQ(DiskSlot('E').xTransmitToDevice(&packet) != 0, c.result != 0) << c.name;
        EXPECT_EQ(DiskSlot('E').m_bConnected != 0, c.result != 0) << c.name;
        EXPECT_TRUE(Lines().empty()) << c.name;  // the disk path writes no trace
    }
    EXPECT_EQ(scanner.MalformedDiskRecords(), 0u);
}

// Sees every pass-through request before the scanner does.
class RecordSpy final : public sim::SimDeviceFile {
  public:
    explicit RecordSpy(sim::SimDeviceFile& inner) : inner_(inner) {}
    bool Ioctl(std::uint32_t code, void* in, std::uint32_t inLen, void* out, std::uint32_t outLen,
               std::uint32_t* returned) override {
        inLen_ = inLen;
        outLen_ = outLen;
        sameBuffer_ = in == out;
        if (inLen >= sizeof record_) std::memcpy(&record_, in, sizeof record_);
        return inner_.Ioctl(code, in, inLen, out, outLen, returned);
    }
    bool Read(void* b, std::uint32_t l, std::uint32_t* d) override { return inner_.Read(b, l, d); }
    bool Write(const void* b, std::uint32_t l, std::uint32_t* d) override {
        return inner_.Write(b, l, d);
    }

    platform::ScsiPassThroughRecord record_{};
    std::uint32_t inLen_ = 0, outLen_ = 0;
    bool sameBuffer_ = false;

  private:
    sim::SimDeviceFile& inner_;
};

TEST_F(TransmitTest, PassThroughRecordIsSizedForThisProcessAndPointsAtTheCallersBuffer) {
    sim::Scanner& scanner = world.AddScanner({}, 1u << 20);
    RecordSpy spy(scanner.Disk());
    world.io.AddDrive('E', platform::kDriveRemovable, &spy);
    ASSERT_EQ(DiskSlot('E').ConnectToDisk('E'), 1);

    static std::uint8_t block[4096];
    const tPacket packet =
        DataPacket(kDirectionOut, cmdset::kSet, cmdset::kSelFirmware, block, sizeof block);
    ASSERT_EQ(DiskSlot('E').xTransmitToDevice(&packet), 1);

    const platform::ScsiPassThroughDirect& sptd = spy.record_.sptd;
    EXPECT_EQ(spy.inLen_, sizeof(platform::ScsiPassThroughRecord));
    EXPECT_EQ(spy.outLen_, sizeof(platform::ScsiPassThroughRecord));
    EXPECT_TRUE(spy.sameBuffer_);
    EXPECT_EQ(sptd.Length, sizeof(platform::ScsiPassThroughDirect));
    EXPECT_EQ(sptd.SenseInfoOffset, offsetof(platform::ScsiPassThroughRecord, ucSenseBuf));
    EXPECT_EQ(sptd.PathId, 0);
    EXPECT_EQ(sptd.TargetId, 1);
    EXPECT_EQ(sptd.Lun, 0);
    EXPECT_EQ(sptd.CdbLength, 16);
    EXPECT_EQ(sptd.SenseInfoLength, 32);
    EXPECT_EQ(sptd.DataIn, 0);
    EXPECT_EQ(sptd.DataTransferLength, 4096u);
    EXPECT_EQ(sptd.TimeOutValue, 15u);
    EXPECT_EQ(sptd.DataBuffer, block);  // moved in place, no copy
    EXPECT_EQ(scanner.MalformedDiskRecords(), 0u);
    if constexpr (sizeof(void*) == 4) {
        EXPECT_EQ(sptd.Length, 44);
        EXPECT_EQ(sptd.SenseInfoOffset, 48u);
        EXPECT_EQ(sizeof(platform::ScsiPassThroughRecord), 80u);
    }
}

}  // namespace
