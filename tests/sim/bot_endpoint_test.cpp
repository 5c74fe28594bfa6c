// The still-image endpoint driven by hand-written Bulk-Only Transport exchanges.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "devlink/command_set.h"
#include "sim/world.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A CBW for a vendor command block; `cmd` are CmdBytes[0..2].
std::array<std::uint8_t, 31> Cbw(std::uint32_t tag, std::uint32_t length, bool in,
                                 std::array<std::uint8_t, 3> cmd) {
    std::array<std::uint8_t, 31> c{};
    std::memcpy(c.data(), cmdset::kCbwSignature, 4);
    for (int i = 0; i < 4; ++i) {
        c[4 + i] = static_cast<std::uint8_t>(tag >> (8 * i));
        c[8 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    }
    c[12] = in ? cmdset::kCbwFlagsIn : cmdset::kCbwFlagsOut;
    c[14] = 16;
    std::uint8_t* cb = c.data() + 15;
    cb[0] = cmdset::kOpCodeVendor;
    cb[1] = cmdset::kCdbByte1;
    for (int i = 0; i < 4; ++i) cb[6 + i] = static_cast<std::uint8_t>(length >> (8 * (3 - i)));
    cb[10] = cmd[0];
    cb[11] = cmd[1];
    cb[12] = cmd[2];
    return c;
}

std::array<std::uint8_t, 31> SenseCbw(std::uint32_t tag) {
    auto c = Cbw(tag, 18, true, {0, 0, 0});
    std::memset(c.data() + 15, 0, 16);
    c[15] = cmdset::kScsiRequestSense;
    c[15 + 4] = 18;
    return c;
}

struct Csw {
    bool ok = false;
    std::uint32_t got = 0;
    std::array<std::uint8_t, 13> bytes{};
    std::uint32_t Tag() const {
        return bytes[4] | (bytes[5] << 8) | (bytes[6] << 16) | (std::uint32_t{bytes[7]} << 24);
    }
    std::uint32_t Residue() const {
        return bytes[8] | (bytes[9] << 8) | (bytes[10] << 16) | (std::uint32_t{bytes[11]} << 24);
    }
    std::uint8_t Status() const { return bytes[12]; }
};

class BotEndpoint : public ::testing::Test {
  protected:
    BotEndpoint() : scanner(world.AddScanner({}, 1 << 20)) {
        world.AttachStillImage(scanner, 0);
        h = world.io.OpenDevice("\\\\.\\USBSCAN0");
    }
    ~BotEndpoint() override { world.io.CloseDevice(h); }

    bool WriteCbw(const std::array<std::uint8_t, 31>& cbw, std::uint32_t* done = nullptr) {
        std::uint32_t n = 0;
        return world.io.WriteFile(h, cbw.data(), 31, done ? done : &n);
    }
    Csw ReadCsw() {
        Csw c;
        c.ok = world.io.ReadFile(h, c.bytes.data(), 13, &c.got);
        return c;
    }
    // One whole device-to-host exchange; returns the CSW.
    Csw In(std::uint32_t tag, std::array<std::uint8_t, 3> cmd, Bytes& data,
           bool* dataOk = nullptr) {
        WriteCbw(Cbw(tag, static_cast<std::uint32_t>(data.size()), true, cmd));
        std::uint32_t got = 0;
        const bool ok =
            world.io.ReadFile(h, data.data(), static_cast<std::uint32_t>(data.size()), &got);
        if (dataOk) *dataOk = ok;
        data.resize(got);
        return ReadCsw();
    }
    Csw Out(std::uint32_t tag, std::array<std::uint8_t, 3> cmd, const Bytes& data) {
        WriteCbw(Cbw(tag, static_cast<std::uint32_t>(data.size()), false, cmd));
        std::uint32_t put = 0;
        world.io.WriteFile(h, data.data(), static_cast<std::uint32_t>(data.size()), &put);
        return ReadCsw();
    }

    sim::World world;
    sim::Scanner& scanner;
    platform::Handle h;
};

TEST_F(BotEndpoint, TagQueryPassesWithEchoedTagAndZeroResidue) {
    Bytes tag(4);
    Csw csw = In(7, {cmdset::kLinkCommand, cmdset::kTagQuery, 0}, tag);
    EXPECT_EQ(tag, (Bytes{'Z', 'A', 'M', 'O'}));
    ASSERT_TRUE(csw.ok);
    EXPECT_EQ(csw.got, 13u);
    EXPECT_EQ(0, std::memcmp(csw.bytes.data(), cmdset::kCswSignature, 4));
    EXPECT_EQ(csw.Tag(), 7u);
    EXPECT_EQ(csw.Residue(), 0u);
    EXPECT_EQ(csw.Status(), 0);
    EXPECT_EQ(scanner.Log().PhasesText(), "CBW IN CSW");
    EXPECT_EQ(scanner.ProtocolErrors(), 0u);
}

TEST_F(BotEndpoint, ServiceCommandsKeepTheDeviceSideLock) {
    auto service = [&](std::uint8_t code) {
        Bytes reply(16);
        Csw csw = In(1, {cmdset::kLinkCommand, code, 0}, reply);
        EXPECT_EQ(csw.Status(), 0);
        EXPECT_EQ(reply[0], 16);  // dwSize, little-endian
        return reply[8] | (reply[9] << 8);
    };
    EXPECT_EQ(service(cmdset::kServiceIsLock), 0);
    EXPECT_EQ(service(cmdset::kServiceIsFinish), 1);
    EXPECT_EQ(service(cmdset::kServiceLock), 1);
    EXPECT_EQ(service(cmdset::kServiceIsLock), 1);
    EXPECT_EQ(service(cmdset::kServiceLock), 0);  // already held
    EXPECT_EQ(service(cmdset::kServiceUnLock), 1);
    EXPECT_EQ(service(cmdset::kServiceUnLock), 0);  // nothing left to release
    EXPECT_EQ(service(cmdset::kServiceIsLock), 0);
}

TEST_F(BotEndpoint, FirmwareBlockLandsAtTheAddressAndReadsBack) {
    EXPECT_EQ(
        Out(1, {cmdset::kDataCommand, cmdset::kSet, cmdset::kSelAddress}, {0, 0, 0x40, 0}).Status(),
        0);
    Bytes block(4096);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_EQ(Out(2, {cmdset::kDataCommand, cmdset::kSet, cmdset::kSelFirmware}, block).Status(),
              0);
    EXPECT_EQ(scanner.ReadMemory(0x4000, 4096), block);

    Bytes back(4096);
    Csw csw = In(3, {cmdset::kDataCommand, cmdset::kGetSecond, cmdset::kSelMemory}, back);
    EXPECT_EQ(csw.Status(), 0);
    EXPECT_EQ(back, block);
    EXPECT_EQ(scanner.Log().PhasesText(), "CBW OUT CSW CBW OUT CSW CBW IN CSW");
}

TEST_F(BotEndpoint, RejectedCommandReportsStatusOneAndServesSense) {
    Bytes reply(16);
    Csw csw = In(5, {cmdset::kDataCommand, cmdset::kGetSecond, 0x77}, reply);  // no selector 0x77
    EXPECT_TRUE(csw.ok);
    EXPECT_EQ(csw.Status(), 1);
    EXPECT_EQ(csw.Residue(), 16u);

    ASSERT_TRUE(WriteCbw(SenseCbw(6)));
    Bytes sense(18);
    std::uint32_t got = 0;
    ASSERT_TRUE(world.io.ReadFile(h, sense.data(), 18, &got));
    EXPECT_EQ(got, 18u);
    EXPECT_EQ(sense[2], sim::kSenseKeyIllegalRequest);
    EXPECT_EQ(sense[12], sim::kAscInvalidFieldInCdb);
    Csw senseCsw = ReadCsw();
    EXPECT_EQ(senseCsw.Tag(), 6u);
    EXPECT_EQ(senseCsw.Status(), 0);
}

TEST_F(BotEndpoint, OutOfOrderCallsStallAndTheNextCbwRecovers) {
    Bytes junk(13);
    std::uint32_t got = 0;
    EXPECT_FALSE(world.io.ReadFile(h, junk.data(), 13, &got));  // no CSW is due
    EXPECT_EQ(scanner.ProtocolErrors(), 1u);

    WriteCbw(Cbw(1, 4, true, {cmdset::kLinkCommand, cmdset::kTagQuery, 0}));  // dropped midway
    Bytes tag(4);
    Csw csw = In(2, {cmdset::kLinkCommand, cmdset::kTagQuery, 0}, tag);
    EXPECT_EQ(csw.Tag(), 2u);
    EXPECT_EQ(tag, (Bytes{'Z', 'A', 'M', 'O'}));
    EXPECT_EQ(scanner.AbandonedExchanges(), 1u);
}

}  // namespace
