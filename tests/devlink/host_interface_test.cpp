// The four host calls: routing of handles, refusal of handles without a device, and results
// that tell whether the data really went through.
#include "devlink/host_interface.h"

#include "devlink_fixture.h"

namespace {

using sim::Fault;

class HostInterfaceTest : public DevlinkTest {};

TEST_F(HostInterfaceTest, FreshTableHoldsUnconnectedObjects) {
    for (const CZamoUSB& device : g_DeviceTable) {
        EXPECT_EQ(device.m_cDevice, 32);
        EXPECT_FALSE(device.m_hDisk.valid());
        EXPECT_FALSE(device.m_hService.valid());
        EXPECT_EQ(device.m_dwTimeOut, 15u);
        EXPECT_EQ(device.m_bConnected, 1);
    }
}

TEST_F(HostInterfaceTest, HandlesRouteToTheirSlots) {
    EXPECT_EQ(&SlotForHandle(1), &g_DeviceTable[0]);
    EXPECT_EQ(&SlotForHandle(5), &g_DeviceTable[4]);
    EXPECT_EQ(&SlotForHandle(26), &g_DeviceTable[25]);
    EXPECT_EQ(&SlotForHandle(27), &g_DeviceTable[26]);
    EXPECT_EQ(&SlotForHandle(256), &g_DeviceTable[26]);
    EXPECT_EQ(&SlotForHandle(259), &g_DeviceTable[26]);
}

TEST_F(HostInterfaceTest, ZeroAndNegativeHandlesAreRefusedWithoutSending) {
    sim::Scanner& scanner = ConnectedStillImage();
    std::uint8_t buffer[16] = {};
    for (int handle : {0, -1, -256}) {
        world.sys.ClearDebugLines();
        EXPECT_EQ(ZamoUSB_ConnectToDevice(handle), 0);
        EXPECT_TRUE(Lines().empty());
        EXPECT_EQ(ZamoUSB_VenderCmd_GetData(handle, 5, buffer, 16), 0);
        EXPECT_EQ(Lines(), std::vector<std::string>{"ZamoUSB_VenderCmd_GetData,hDevice=" +
                                                    std::to_string(handle) + ",dwBytes=16\n"});
        world.sys.ClearDebugLines();
        EXPECT_EQ(ZamoUSB_VenderCmd_SetData(handle, 9, buffer, 4), 0);
        EXPECT_TRUE(Lines().empty());
    }
    EXPECT_TRUE(scanner.Log().Commands().empty());
}

TEST_F(HostInterfaceTest, DiskHandleConnectsItsLetter) {
    sim::Scanner& scanner = world.AddScanner({}, 1u << 16);
    world.AttachDisk(scanner, 'E');
    ASSERT_EQ(ZamoUSB_FindDevice(), 5);
    world.sys.ClearDebugLines();
    ASSERT_EQ(ZamoUSB_ConnectToDevice(5), 1);
    EXPECT_EQ(Lines().front(), "ZamoUSB_ConnectToDevice,hDevice=5\n");
    EXPECT_EQ(DiskSlot('E').m_cDevice, 'E');
    EXPECT_EQ(world.io.Opened().back(), "\\\\.\\E:");
}

// Whether a data call reports success, on both paths.
struct OutcomeCase {
    const char* name;
    bool disk;
    bool get;
    std::optional<Fault> fault;
    int result;
};

class DataCallOutcomeTest : public DevlinkTest,
                            public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(DataCallOutcomeTest, ReportsWhetherTheDataWentThrough) {
    const OutcomeCase& c = GetParam();
    sim::Scanner& scanner = c.disk ? ConnectedDisk('E') : ConnectedStillImage();
    const int handle = c.disk ? 5 : 256;
    if (c.fault) scanner.Inject(*c.fault);
    std::uint8_t buffer[16] = {};
    const int result = c.get
                           ? ZamoUSB_VenderCmd_GetData(handle, cmdset::kSelOpen, buffer, 16)
                           : ZamoUSB_VenderCmd_SetData(handle, cmdset::kSelCalibration, buffer, 4);
    EXPECT_EQ(result, c.result);
    EXPECT_TRUE(world.sys.EventSignalled(sim::World::ServiceEventName(c.disk ? 'E' : 'u')));
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, DataCallOutcomeTest,
    ::testing::Values(
        OutcomeCase{"GetPasses", false, true, std::nullopt, 1},
        OutcomeCase{"SetPasses", false, false, std::nullopt, 1},
        OutcomeCase{"DiskGetPasses", true, true, std::nullopt, 1},
        OutcomeCase{"DiskSetPasses", true, false, std::nullopt, 1},
        OutcomeCase{"GetFirstTransferSense", false, true,
                    Fault::Status(1, 5, 0x24).OnCommand(0x02, 0x01), 0},
        OutcomeCase{"GetSecondTransferSense", false, true,
                    Fault::Status(1, 5, 0x24).OnCommand(0x02, 0x02), 0},
        OutcomeCase{"GetSecondTransferLost", false, true,
                    Fault::CswReadFails().OnCommand(0x02, 0x02), 0},
        OutcomeCase{"SetSense", false, false, Fault::Status(1, 2, 4).OnCommand(0x02, 0x03), 0},
        OutcomeCase{"SetDataLost", false, false, Fault::DataFails().OnCommand(0x02, 0x03), 0},
        OutcomeCase{"DiskGetCheckCondition", true, true, Fault::ScsiStatus(2).OnCommand(0x02, 0x02),
                    0},
        OutcomeCase{"DiskSetFails", true, false, Fault::IoctlFails().OnCommand(0x02, 0x03), 0},
        // A service command failing does not fail the data it guards.
        OutcomeCase{"UnlockFailsDataPassed", false, false,
                    Fault::Status(1, 5, 0x24).OnCommand(0xFF, 0x06), 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostInterfaceTest, DeviceThatVanishesEndsTheCallWithFailure) {
    sim::Scanner& scanner = ConnectedStillImage();
    scanner.Inject(Fault::Vanish().OnCommand(0x02, 0x01));
    std::uint8_t buffer[16];
    EXPECT_EQ(ZamoUSB_VenderCmd_GetData(256, cmdset::kSelOpen, buffer, 16), 0);
    EXPECT_EQ(ZamoUSB_VenderCmd_SetData(256, cmdset::kSelCalibration, buffer, 4), 0);
}

}  // namespace
