// Common ground for the device link's tests: a simulated world installed for each test, the
// process-wide link state put back to its start, and a check that no handle leaked or was closed
// twice.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "devlink/bot.h"
#include "devlink/command_set.h"
#include "devlink/zamo_usb.h"
#include "sim/world.h"

class DevlinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::memset(&g_BOTState, 0, sizeof g_BOTState);
        ResetDeviceTable();
    }
    void TearDown() override {
        ResetDeviceTable();
        EXPECT_EQ(world.io.OpenHandleCount(), 0u);
        EXPECT_EQ(world.io.CloseErrors(), 0u);
        EXPECT_EQ(world.sys.CloseErrors(), 0u);
    }

    // A scanner reachable as \\.\USBSCAN<n>, connected in slot 26.
    sim::Scanner& ConnectedStillImage(int n = 0) {
        sim::Scanner& scanner = world.AddScanner({}, 1u << 20);
        world.AttachStillImage(scanner, n);
        EXPECT_EQ(Slot26().ConnectToScanner(kStillImageHandleBase + n), 1);
        world.sys.ClearDebugLines();
        scanner.Log().Clear();
        return scanner;
    }
    // A scanner reachable as the removable disk `letter`, connected in its slot.
    sim::Scanner& ConnectedDisk(char letter) {
        sim::Scanner& scanner = world.AddScanner({}, 1u << 20);
        world.AttachDisk(scanner, letter);
        EXPECT_EQ(DiskSlot(letter).ConnectToDisk(letter), 1);
        world.sys.ClearDebugLines();
        scanner.Log().Clear();
        return scanner;
    }

    static CZamoUSB& Slot26() { return g_DeviceTable[kStillImageSlot]; }
    static CZamoUSB& DiskSlot(char letter) { return g_DeviceTable[letter - 'A']; }

    const std::vector<std::string>& Lines() const { return world.sys.DebugLines(); }
    bool HasLine(const std::string& line) const {
        return std::find(Lines().begin(), Lines().end(), line) != Lines().end();
    }
    std::size_t CountLines(const std::string& line) const {
        return static_cast<std::size_t>(std::count(Lines().begin(), Lines().end(), line));
    }

    sim::World world;
};

// A device-to-host packet for a link command (tag query or service command).
inline tPacket LinkPacket(std::uint8_t code, void* reply, std::uint32_t length) {
    return tPacket{cmdset::kOpCodeVendor,
                   kDirectionIn,
                   reply,
                   length,
                   0,
                   {cmdset::kLinkCommand, code, 0, 0, 0, 0}};
}

// A data transfer packet (CmdBytes 02 <transfer> <selector>).
inline tPacket DataPacket(std::uint8_t direction, std::uint8_t transfer, std::uint8_t selector,
                          void* buffer, std::uint32_t length) {
    return tPacket{cmdset::kOpCodeVendor,
                   direction,
                   buffer,
                   length,
                   0,
                   {cmdset::kDataCommand, transfer, selector, 0, 0, 0}};
}

inline std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> out;
    for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
    return out;
}
