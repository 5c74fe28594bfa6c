// Discovery and connection: which device is found first, which drives are touched at all, and
// what a connection keeps or gives up.
#include <string>

#include "devlink/host_interface.h"
#include "devlink_fixture.h"

namespace {

class DiscoveryTest : public DevlinkTest {
  protected:
    sim::Scanner& StillImage(int n, std::uint16_t vendorId = 0x04F9, bool openable = true) {
        sim::ModelConfig config;
        config.vendorId = vendorId;
        sim::Scanner& scanner = world.AddScanner(config, 1u << 16);
        world.AttachStillImage(scanner, n, openable);
        return scanner;
    }
    sim::Scanner& TaggedDisk(char letter) {
        sim::Scanner& scanner = world.AddScanner({}, 1u << 16);
        world.AttachDisk(scanner, letter);
        return scanner;
    }
    bool Opened(const std::string& name) const {
        for (const std::string& attempt : world.io.OpenAttempts()) {
            if (attempt == name) return true;
        }
        return false;
    }
};

TEST_F(DiscoveryTest, FirstStillImageDeviceEndsTheSearchWhateverItsVendor) {
    StillImage(0, 0x1234);
    StillImage(1);
    EXPECT_EQ(ZamoUSB_FindDevice(), 256);
    EXPECT_FALSE(Opened("\\\\.\\USBSCAN1"));
    EXPECT_TRUE(HasLine("USBSCAN=\\\\.\\USBSCAN0\n"));

    world.sys.ClearDebugLines();
    EXPECT_EQ(ZamoUSB_ConnectToDevice(256), 0);
    EXPECT_EQ(Lines().back(), "[ConnectToScanner]vid=0x1234, pid=0x2022");
    EXPECT_FALSE(Slot26().m_hDisk.valid());
    EXPECT_EQ(Slot26().m_cDevice, 32);
}

TEST_F(DiscoveryTest, AcceptedVendorsConnect) {
    for (std::uint16_t vendor : cmdset::kAcceptedVendorIds) {
        ResetDeviceTable();
        world.io.RemoveStillImage(0);
        StillImage(0, vendor);
        EXPECT_EQ(ZamoUSB_ConnectToDevice(256), 1) << vendor;
    }
}

TEST_F(DiscoveryTest, UnopenableDeviceIsPassedOver) {
    StillImage(0, 0x04F9, false);
    StillImage(3);
    EXPECT_EQ(ZamoUSB_FindDevice(), 259);
    EXPECT_EQ(ZamoUSB_ConnectToDevice(259), 1);
    EXPECT_TRUE(Slot26().m_hDisk.valid());
    EXPECT_EQ(Slot26().m_cDevice, 259);
}

TEST_F(DiscoveryTest, TaggedDiskAfterAnUntaggedOne) {
    world.io.AddDrive('C', platform::kDriveFixed);
    world.AddForeignRemovableDisk('D');
    TaggedDisk('F');
    TaggedDisk('G');
    EXPECT_EQ(ZamoUSB_FindDevice(), 6);
    EXPECT_TRUE(world.io.VolumeOpenAttempted('D'));
    EXPECT_FALSE(world.io.VolumeOpenAttempted('G'));
    std::vector<std::string> drivePaths;
    for (const std::string& line : Lines()) {
        if (line.rfind("sDrivePath=", 0) == 0) drivePaths.push_back(line);
    }
    EXPECT_EQ(drivePaths, (std::vector<std::string>{"sDrivePath=C:\\\n", "sDrivePath=D:\\\n",
                                                    "sDrivePath=F:\\\n"}));
    EXPECT_EQ(Lines().back(), "[MsdcZamoHost] fpUserEnumCallback is broken!\r\n");
}

TEST_F(DiscoveryTest, OnlyRemovableDrivesOtherThanAAreOpened) {
    sim::Scanner& scanner = world.AddScanner({}, 1u << 16);
    world.io.AddDrive('A', platform::kDriveRemovable, &scanner.Disk());
    world.io.AddDrive('C', platform::kDriveFixed, &scanner.Disk());
    world.io.AddDrive('N', platform::kDriveRemote, &scanner.Disk());
    world.io.AddDrive('R', platform::kDriveCdrom, &scanner.Disk());
    world.io.AddDrive('S', platform::kDriveRamdisk, &scanner.Disk());
    EXPECT_EQ(ZamoUSB_FindDevice(), 0);
    for (char letter : {'A', 'C', 'N', 'R', 'S'}) {
        EXPECT_FALSE(world.io.VolumeOpenAttempted(letter)) << letter;
    }
    // Only discovery passes A over: a direct connection still works.
    EXPECT_EQ(DiskSlot('B').ReconnectDisk(), 0);
    EXPECT_EQ(ZamoUSB_ConnectToDevice(1), 1);
}

TEST_F(DiscoveryTest, StillImageDeviceWinsOverATaggedDisk) {
    TaggedDisk('E');
    StillImage(0);
    EXPECT_EQ(ZamoUSB_FindDevice(), 256);
    EXPECT_FALSE(world.io.VolumeOpenAttempted('E'));
}

TEST_F(DiscoveryTest, LongDriveListIsFetchedWhole) {
    for (char letter = 'A'; letter < 'Z'; ++letter)
        world.io.AddDrive(letter, platform::kDriveFixed);
    TaggedDisk('Z');  // 26 roots take 105 characters
    EXPECT_EQ(ZamoUSB_FindDevice(), 26);
    EXPECT_EQ(ZamoUSB_ConnectToDevice(26), 1);
}

TEST_F(DiscoveryTest, NothingThereFindsNothing) {
    world.io.AddDrive('C', platform::kDriveFixed);
    EXPECT_EQ(ZamoUSB_FindDevice(), 0);
    EXPECT_EQ(world.io.Opened().size(), 0u);
}

class ConnectionTest : public DiscoveryTest {};

TEST_F(ConnectionTest, ConnectingTheSameSlotAgainClosesTheFirstDevice) {
    StillImage(0);
    StillImage(1);
    ASSERT_EQ(ZamoUSB_ConnectToDevice(256), 1);
    platform::Handle event = Slot26().m_hService.get();
    ASSERT_EQ(ZamoUSB_ConnectToDevice(257), 1);
    EXPECT_EQ(world.io.OpenHandleCount(), 1u);
    EXPECT_EQ(Slot26().m_cDevice, 257);
    EXPECT_EQ(Slot26().m_hService.get(), event);  // one event for every still-image device
    EXPECT_EQ(world.sys.EventHandleCount(sim::World::ServiceEventName('u')), 1u);
}

TEST_F(ConnectionTest, StillImageEventIsCreatedOnceAndOpenedWhenItExists) {
    StillImage(0);
    ASSERT_EQ(ZamoUSB_ConnectToDevice(256), 1);
    EXPECT_TRUE(HasLine("[ConnectToScanner]m_hService == NULL"));
    EXPECT_TRUE(HasLine("[ConnectToScanner]m_hService == NULL (2)"));
    EXPECT_EQ(Lines().back(), "[ConnectToScanner]m_cDevice = 256");
    EXPECT_TRUE(world.sys.EventSignalled("ZAMOUSB_EVENT_u"));

    // Another program's event is opened, not created.
    ResetDeviceTable();
    platform::SystemHandle other(world.sys.CreateEvent("ZAMOUSB_EVENT_u"));
    world.sys.ClearDebugLines();
    ASSERT_EQ(ZamoUSB_ConnectToDevice(256), 1);
    EXPECT_TRUE(HasLine("[ConnectToScanner]m_hService == NULL"));
    EXPECT_FALSE(HasLine("[ConnectToScanner]m_hService == NULL (2)"));
    EXPECT_EQ(world.sys.EventHandleCount("ZAMOUSB_EVENT_u"), 2u);
}

TEST_F(ConnectionTest, DiskLetterKeepsItsEventAndAnotherLetterSwapsIt) {
    TaggedDisk('E');
    TaggedDisk('F');
    CZamoUSB device;
    ASSERT_EQ(device.ConnectToDisk('E'), 1);
    platform::Handle eventE = device.m_hService.get();
    ASSERT_EQ(device.ConnectToDisk('E'), 1);
    EXPECT_EQ(device.m_hService.get(), eventE);
    EXPECT_EQ(world.io.OpenHandleCount(), 1u);

    ASSERT_EQ(device.ConnectToDisk('F'), 1);
    EXPECT_NE(device.m_hService.get(), eventE);
    EXPECT_EQ(world.sys.EventHandleCount("ZAMOUSB_EVENT_E"), 0u);
    EXPECT_EQ(world.sys.EventHandleCount("ZAMOUSB_EVENT_F"), 1u);
    EXPECT_EQ(device.m_cDevice, 'F');
}

TEST_F(ConnectionTest, FailedConnectionKeepsDeviceNumberAndEvent) {
    TaggedDisk('E');
    world.AddForeignRemovableDisk('F');
    world.io.AddDrive('C', platform::kDriveFixed);
    CZamoUSB device;
    ASSERT_EQ(device.ConnectToDisk('E'), 1);
    platform::Handle event = device.m_hService.get();

    struct Case {
        char letter;
        bool keepsDevice;  // refused before anything was opened
    } cases[] = {{'F', false}, {'C', true}, {'e', true}, {'@', true}};
    for (const Case& c : cases) {
        ASSERT_EQ(device.ConnectToDisk('E'), 1);
        EXPECT_EQ(device.ConnectToDisk(c.letter), 0) << c.letter;
        EXPECT_EQ(device.m_cDevice, 'E') << c.letter;
        EXPECT_EQ(device.m_hService.get(), event) << c.letter;
        EXPECT_EQ(device.m_hDisk.valid(), c.keepsDevice) << c.letter;
    }

    // A still-image connection that fails at the descriptor leaves no device, same number.
    sim::Scanner& scanner = StillImage(0);
    ASSERT_EQ(device.ConnectToScanner(256), 1);
    scanner.SetDescriptorFails(true);
    EXPECT_EQ(device.ConnectToScanner(256), 0);
    EXPECT_FALSE(device.m_hDisk.valid());
    EXPECT_EQ(device.m_cDevice, 256);
    EXPECT_EQ(device.m_hService.get(), event);  // a disk's event survives, as connected
}

TEST_F(ConnectionTest, ReconnectionOfAStillImageObjectProbesTheDiskPath) {
    StillImage(0);
    sim::Scanner& disk = TaggedDisk('E');
    ASSERT_EQ(ZamoUSB_ConnectToDevice(256), 1);
    disk.Log().Clear();
    ASSERT_EQ(Slot26().ReconnectDisk(), 1);
    ASSERT_FALSE(disk.Log().Commands().empty());
    EXPECT_EQ(disk.Log().Commands()[0].path, sim::WirePath::kDisk);
    EXPECT_EQ(Slot26().m_cDevice, 'E');

    // When no disk answers, the object is left without a device and keeps its number.
    ResetDeviceTable();
    disk.Config().answersTagQuery = false;
    ASSERT_EQ(ZamoUSB_ConnectToDevice(256), 1);
    EXPECT_EQ(Slot26().ReconnectDisk(), 0);
    EXPECT_FALSE(Slot26().m_hDisk.valid());
    EXPECT_EQ(Slot26().m_cDevice, 256);
}

TEST_F(ConnectionTest, ObjectClosesWhatItHoldsWhenDestroyed) {
    TaggedDisk('E');
    {
        CZamoUSB device;
        ASSERT_EQ(device.ConnectToDisk('E'), 1);
        EXPECT_EQ(world.io.OpenHandleCount(), 1u);
        EXPECT_EQ(world.sys.EventHandleCount("ZAMOUSB_EVENT_E"), 1u);
    }
    EXPECT_EQ(world.io.OpenHandleCount(), 0u);
    EXPECT_EQ(world.sys.EventHandleCount("ZAMOUSB_EVENT_E"), 0u);
}

}  // namespace
