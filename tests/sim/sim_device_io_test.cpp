#include "platform/sim/sim_device_io.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// A device file that answers every call and counts them.
class EchoFile final : public sim::SimDeviceFile {
  public:
    bool Ioctl(std::uint32_t, void*, std::uint32_t, void*, std::uint32_t,
               std::uint32_t* returned) override {
        ++calls;
        *returned = 1;
        return true;
    }
    bool Read(void*, std::uint32_t len, std::uint32_t* done) override {
        ++calls;
        *done = len;
        return true;
    }
    bool Write(const void*, std::uint32_t len, std::uint32_t* done) override {
        ++calls;
        *done = len;
        return true;
    }
    int calls = 0;
};

TEST(SimDeviceIoDrives, DriveStringsFollowWin32BufferRules) {
    sim::SimDeviceIo io;
    io.AddDrive('e', platform::kDriveRemovable);
    io.AddDrive('C', platform::kDriveFixed);
    io.AddDrive('Z', platform::kDriveRemote);

    char small[12];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(io.GetLogicalDriveStrings(sizeof small, small), 13u);  // needed, terminator included
    EXPECT_EQ(small[0], 'x');                                        // nothing filled
    char buf[13];
    EXPECT_EQ(io.GetLogicalDriveStrings(sizeof buf, buf), 12u);
    EXPECT_EQ(std::string(buf, 13), std::string("C:\\\0E:\\\0Z:\\\0\0", 13));

    EXPECT_EQ(io.GetDriveType("E:\\"), platform::kDriveRemovable);
    EXPECT_EQ(io.GetDriveType("C:\\"), platform::kDriveFixed);
    EXPECT_EQ(io.GetDriveType("D:\\"), platform::kDriveNoRootDir);
    EXPECT_EQ(io.GetDriveType("nonsense"), platform::kDriveNoRootDir);
}

TEST(SimDeviceIoHandles, OpensByNameCountsHandlesAndRefusesDoubleClose) {
    sim::SimDeviceIo io;
    EchoFile scanner, disk;
    io.AddStillImage(3, &scanner);
    io.AddDrive('F', platform::kDriveRemovable, &disk);
    io.AddDrive('C', platform::kDriveFixed);  // no device file behind it

    EXPECT_EQ(io.OpenDevice("\\\\.\\USBSCAN0"), platform::InvalidHandle());
    EXPECT_EQ(io.OpenDevice("\\\\.\\USBSCAN3x"), platform::InvalidHandle());
    EXPECT_EQ(io.OpenDevice("\\\\.\\C:"), platform::InvalidHandle());
    platform::Handle a = io.OpenDevice("\\\\.\\USBSCAN3");
    platform::Handle b = io.OpenDevice("\\\\.\\USBSCAN3");
    platform::Handle f = io.OpenDevice("\\\\.\\F:");
    ASSERT_NE(a, platform::InvalidHandle());
    ASSERT_NE(f, platform::InvalidHandle());
    EXPECT_NE(a, b);
    EXPECT_EQ(io.OpenHandleCount(), 3u);
    EXPECT_TRUE(io.VolumeOpenAttempted('C'));
    EXPECT_FALSE(io.VolumeOpenAttempted('D'));
    EXPECT_EQ(io.Opened().size(), 3u);

    std::uint32_t n = 0;
    char byte = 0;
    EXPECT_TRUE(io.ReadFile(a, &byte, 1, &n));
    EXPECT_TRUE(io.CloseDevice(a));
    EXPECT_FALSE(io.CloseDevice(a));
    EXPECT_FALSE(io.ReadFile(a, &byte, 1, &n));  // closed handle
    EXPECT_EQ(io.CloseErrors(), 1u);
    EXPECT_EQ(io.UnknownHandleCalls(), 1u);
    io.CloseDevice(b);
    io.CloseDevice(f);
    EXPECT_EQ(io.OpenHandleCount(), 0u);
}

TEST(SimDeviceIoVanish, AfterNCallsEveryIoAndOpenFails) {
    sim::SimDeviceIo io;
    EchoFile scanner;
    io.AddStillImage(0, &scanner);
    platform::Handle h = io.OpenDevice("\\\\.\\USBSCAN0");
    io.VanishAfter(&scanner, 2);
    std::uint32_t n = 0;
    char b[4] = {};
    EXPECT_TRUE(io.WriteFile(h, b, 4, &n));
    EXPECT_TRUE(io.ReadFile(h, b, 4, &n));
    EXPECT_FALSE(io.ReadFile(h, b, 4, &n));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(io.DeviceIoControl(h, 1, nullptr, 0, nullptr, 0, &n));
    EXPECT_EQ(io.OpenDevice("\\\\.\\USBSCAN0"), platform::InvalidHandle());
    EXPECT_EQ(scanner.calls, 2);
    EXPECT_TRUE(io.CloseDevice(h));  // closing still works
}

}  // namespace
