// The still-image endpoint driven by hand-written Bulk-Only Transport exchanges.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "sim/world.h"
#include "tests/sim/wire_bytes.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kCswSignature{'U', 'S', 'B', 'S'};

// A CBW ("USBC", the tag and length little-endian, flags 80 in or 00 out, LUN 0, a 16-byte
// command block) around `cb`.
std::array<std::uint8_t, 31> Wrap(std::uint32_t tag, std::uint32_t length, bool in,
                                  const wire::CommandBlock& cb) {
    std::array<std::uint8_t, 31> c{'U', 'S', 'B', 'C'};
    for (int i = 0; i < 4; ++i) {
        c[4 + i] = static_cast<std::uint8_t>(tag >> (8 * i));
        c[8 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    }
    c[12] = in ? 0x80 : 0x00;
    c[14] = 16;
    std::memcpy(c.data() + 15, cb.data(), cb.size());
    return c;
}

// A CBW for a vendor command; `cmd` are CmdBytes[0..2].
std::array<std::uint8_t, 31> Cbw(std::uint32_t tag, std::uint32_t length, bool in,
                                 wire::CmdBytes cmd) {
    return Wrap(tag, length, in, wire::Cdb(cmd, length));
}

std::array<std::uint8_t, 31> SenseCbw(std::uint32_t tag) {
    return Wrap(tag, 18, true, wire::SenseCdb());
}

Bytes First4(const std::uint8_t* p) {
    return Bytes(p, p + 4);
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
    Csw In(std::uint32_t tag, wire::CmdBytes cmd, Bytes& data, bool* dataOk = nullptr) {
        WriteCbw(Cbw(tag, static_cast<std::uint32_t>(data.size()), true, cmd));
        std::uint32_t got = 0;
        const bool ok =
            world.io.ReadFile(h, data.data(), static_cast<std::uint32_t>(data.size()), &got);
        if (dataOk) *dataOk = ok;
        data.resize(got);
        return ReadCsw();
    }
    Csw Out(std::uint32_t tag, wire::CmdBytes cmd, const Bytes& data) {
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
    Csw csw = In(7, {0xFF, 0x02, 0x00}, tag);
    EXPECT_EQ(tag, (Bytes{'Z', 'A', 'M', 'O'}));
    ASSERT_TRUE(csw.ok);
    EXPECT_EQ(csw.got, 13u);
    EXPECT_EQ(First4(csw.bytes.data()), kCswSignature);
    EXPECT_EQ(csw.Tag(), 7u);
    EXPECT_EQ(csw.Residue(), 0u);
    EXPECT_EQ(csw.Status(), 0);
    EXPECT_EQ(scanner.Log().PhasesText(), "CBW IN CSW");
    EXPECT_EQ(scanner.ProtocolErrors(), 0u);
}

TEST_F(BotEndpoint, ServiceCommandsKeepTheDeviceSideLock) {
    auto service = [&](std::uint8_t code) {
        Bytes reply(16);
        Csw csw = In(1, {0xFF, code, 0x00}, reply);
        EXPECT_EQ(csw.Status(), 0);
        EXPECT_EQ(reply[0], 16);  // dwSize, little-endian
        return reply[8] | (reply[9] << 8);
    };
    // FF 03 IsLock, FF 04 IsFinish, FF 05 Lock, FF 06 UnLock.
    EXPECT_EQ(service(0x03), 0);
    EXPECT_EQ(service(0x04), 1);
    EXPECT_EQ(service(0x05), 1);
    EXPECT_EQ(service(0x03), 1);
    EXPECT_EQ(service(0x05), 0);  // already held
    EXPECT_EQ(service(0x06), 1);
    EXPECT_EQ(service(0x06), 0);  // nothing left to release
    EXPECT_EQ(service(0x03), 0);
}

TEST_F(BotEndpoint, FirmwareBlockLandsAtTheAddressAndReadsBack) {
    EXPECT_EQ(Out(1, {0x02, 0x03, 0x04}, {0, 0, 0x40, 0}).Status(), 0);  // the address
    Bytes block(4096);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_EQ(Out(2, {0x02, 0x03, 0x05}, block).Status(), 0);  // a firmware block
    EXPECT_EQ(scanner.ReadMemory(0x4000, 4096), block);

    Bytes back(4096);
    Csw csw = In(3, {0x02, 0x02, 0x0B}, back);
    EXPECT_EQ(csw.Status(), 0);
    EXPECT_EQ(back, block);
    EXPECT_EQ(scanner.Log().PhasesText(), "CBW OUT CSW CBW OUT CSW CBW IN CSW");
}

TEST_F(BotEndpoint, RejectedCommandReportsStatusOneAndServesSense) {
    Bytes reply(16);
    Csw csw = In(5, {0x02, 0x02, 0x77}, reply);  // no selector 0x77
    EXPECT_TRUE(csw.ok);
    EXPECT_EQ(csw.Status(), 1);
    EXPECT_EQ(csw.Residue(), 16u);

    ASSERT_TRUE(WriteCbw(SenseCbw(6)));
    Bytes sense(18);
    std::uint32_t got = 0;
    ASSERT_TRUE(world.io.ReadFile(h, sense.data(), 18, &got));
    EXPECT_EQ(got, 18u);
    EXPECT_EQ(sense[2], 0x05);   // ILLEGAL REQUEST
    EXPECT_EQ(sense[12], 0x24);  // invalid field in CDB
    Csw senseCsw = ReadCsw();
    EXPECT_EQ(senseCsw.Tag(), 6u);
    EXPECT_EQ(senseCsw.Status(), 0);
}

TEST_F(BotEndpoint, OutOfOrderCallsStallAndTheNextCbwRecovers) {
    Bytes junk(13);
    std::uint32_t got = 0;
    EXPECT_FALSE(world.io.ReadFile(h, junk.data(), 13, &got));  // no CSW is due
    EXPECT_EQ(scanner.ProtocolErrors(), 1u);

    WriteCbw(Cbw(1, 4, true, {0xFF, 0x02, 0x00}));  // dropped midway
    Bytes tag(4);
    Csw csw = In(2, {0xFF, 0x02, 0x00}, tag);
    EXPECT_EQ(csw.Tag(), 2u);
    EXPECT_EQ(tag, (Bytes{'Z', 'A', 'M', 'O'}));
    EXPECT_EQ(scanner.AbandonedExchanges(), 1u);
}

// One device-to-host exchange as the host makes it, every phase attempted whatever happened.
struct Exchange {
    bool cbwOk = false;
    std::uint32_t cbwDone = 0;
    bool dataOk = false;
    Bytes data;
    Csw csw;
};

struct FaultCase {
    const char* name;
    sim::Fault fault;
    std::function<void(const Exchange&, const Exchange& sense)> check;
};

class BotFaults : public BotEndpoint, public ::testing::WithParamInterface<FaultCase> {
  protected:
    Exchange Run(std::uint32_t tag, const std::array<std::uint8_t, 31>& cbw, std::uint32_t len) {
        Exchange e;
        e.cbwOk = world.io.WriteFile(h, cbw.data(), 31, &e.cbwDone);
        e.data.assign(len, 0xEE);
        std::uint32_t got = 0;
        e.dataOk = world.io.ReadFile(h, e.data.data(), len, &got);
        e.data.resize(got);
        e.csw = ReadCsw();
        (void)tag;
        return e;
    }
};

TEST_P(BotFaults, FaultHitsItsPhaseAndTheNextExchangeWorks) {
    const FaultCase& c = GetParam();
    // An untouched exchange first, so that a stale tag has an older tag to echo.
    Bytes first(16);
    In(1, {0xFF, 0x03, 0x00}, first);
    const int id = scanner.Inject(sim::Fault(c.fault).OnCommand(0xFF, 0x05));  // Lock

    Bytes tag(4);
    In(2, {0xFF, 0x02, 0x00}, tag);  // not the chosen command
    EXPECT_EQ(tag, (Bytes{'Z', 'A', 'M', 'O'}));
    EXPECT_EQ(scanner.Fired(id), 0u);

    const Exchange hit = Run(3, Cbw(3, 16, true, {0xFF, 0x05, 0x00}), 16);
    EXPECT_EQ(scanner.Fired(id), 1u);
    const Exchange sense = Run(4, SenseCbw(4), 18);
    c.check(hit, sense);

    Bytes again(4);
    Csw csw = In(5, {0xFF, 0x02, 0x00}, again);
    EXPECT_EQ(csw.Tag(), 5u);
    EXPECT_EQ(csw.Status(), 0);
    EXPECT_EQ(again, (Bytes{'Z', 'A', 'M', 'O'}));
}

bool Passed(const Exchange& e) {
    return e.cbwOk && e.cbwDone == 31 && e.dataOk && e.data.size() == 16 && e.csw.ok &&
           e.csw.got == 13 && e.csw.Status() == 0;
}

INSTANTIATE_TEST_SUITE_P(
    Phases, BotFaults,
    ::testing::Values(FaultCase{"CbwWriteFails", sim::Fault::CbwWriteFails(),
                                [](const Exchange& e, const Exchange&) {
                                    EXPECT_FALSE(e.cbwOk);
                                    EXPECT_FALSE(e.dataOk);  // the device never saw a command
                                    EXPECT_FALSE(e.csw.ok);
                                }},
                      FaultCase{"CbwWriteShort", sim::Fault::CbwWriteShort(20),
                                [](const Exchange& e, const Exchange&) {
                                    EXPECT_TRUE(e.cbwOk);
                                    EXPECT_EQ(e.cbwDone, 20u);
                                    EXPECT_FALSE(e.dataOk);
                                }},
                      FaultCase{"DataFails", sim::Fault::DataFails(),
                                [](const Exchange& e, const Exchange&) {
                                    EXPECT_TRUE(e.cbwOk);
                                    EXPECT_FALSE(e.dataOk);
                                    EXPECT_TRUE(e.data.empty());
                                    EXPECT_FALSE(e.csw.ok);
                                }},
                      FaultCase{"DataShort", sim::Fault::DataShort(6),
                                [](const Exchange& e, const Exchange&) {
                                    EXPECT_TRUE(e.dataOk);
                                    EXPECT_EQ(e.data.size(), 6u);
                                    EXPECT_EQ(e.csw.Status(), 0);
                                    EXPECT_EQ(e.csw.Residue(), 10u);
                                }},
                      FaultCase{"CswReadFails", sim::Fault::CswReadFails(),
                                [](const Exchange& e, const Exchange&) {
                                    EXPECT_TRUE(e.dataOk);
                                    EXPECT_FALSE(e.csw.ok);
                                }},
                      FaultCase{"CswReadShort", sim::Fault::CswReadShort(12),
                                [](const Exchange& e, const Exchange&) {
                                    EXPECT_TRUE(e.csw.ok);
                                    EXPECT_EQ(e.csw.got, 12u);
                                }},
                      FaultCase{"StaleTag", sim::Fault::StaleTag(),
                                [](const Exchange& e, const Exchange&) {
                                    EXPECT_TRUE(e.csw.ok);
                                    EXPECT_EQ(e.csw.Tag(), 2u);  // the tag of the CBW before
                                }},
                      FaultCase{"BadCswSignature", sim::Fault::BadCswSignature(),
                                [](const Exchange& e, const Exchange&) {
                                    EXPECT_EQ(e.csw.bytes[3], 'X');
                                    EXPECT_EQ(e.csw.Tag(), 3u);
                                    EXPECT_EQ(e.csw.Status(), 0);
                                }},
                      FaultCase{"StatusWithSense", sim::Fault::Status(1, 0x85, 0x24, 0x01),
                                [](const Exchange& e, const Exchange& sense) {
                                    EXPECT_EQ(e.csw.Status(), 1);
                                    EXPECT_EQ(e.csw.Residue(), 16u);
                                    ASSERT_EQ(sense.data.size(), 18u);
                                    EXPECT_EQ(sense.data[2], 0x85);  // byte 2 as chosen, unmasked
                                    EXPECT_EQ(sense.data[12], 0x24);
                                    EXPECT_EQ(sense.data[13], 0x01);
                                    EXPECT_EQ(sense.csw.Tag(), 4u);
                                }},
                      FaultCase{"PhaseError", sim::Fault::Status(2, 0x05, 0x20),
                                [](const Exchange& e, const Exchange& sense) {
                                    EXPECT_EQ(e.csw.Status(), 2);
                                    EXPECT_EQ(sense.data.at(12), 0x20);
                                }},
                      FaultCase{"SenseReadShort", sim::Fault::SenseReadShort(17),
                                [](const Exchange& e, const Exchange& sense) {
                                    EXPECT_TRUE(Passed(e));  // the command itself is untouched
                                    EXPECT_TRUE(sense.dataOk);
                                    EXPECT_EQ(sense.data.size(), 17u);
                                }},
                      FaultCase{"SenseReadFails", sim::Fault::SenseReadFails(),
                                [](const Exchange&, const Exchange& sense) {
                                    EXPECT_FALSE(sense.dataOk);
                                    EXPECT_FALSE(sense.csw.ok);
                                }},
                      FaultCase{"ServiceReplySize", sim::Fault::ServiceReplySize(12),
                                [](const Exchange& e, const Exchange&) {
                                    ASSERT_TRUE(Passed(e));
                                    EXPECT_EQ(e.data[0], 12);
                                    EXPECT_EQ(e.data[8], 1);  // the lock was still granted
                                }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BotEndpoint, DeviceVanishesAtTheChosenExchange) {
    scanner.Inject(sim::Fault::Vanish().OnExchange(1));
    Bytes tag(4);
    EXPECT_EQ(In(1, {0xFF, 0x02, 0x00}, tag).Status(), 0);
    EXPECT_FALSE(WriteCbw(Cbw(2, 4, true, {0xFF, 0x02, 0x00})));
    std::uint32_t n = 0;
    EXPECT_FALSE(world.io.ReadFile(h, tag.data(), 4, &n));
    EXPECT_EQ(world.io.OpenDevice("\\\\.\\USBSCAN0"), platform::InvalidHandle());
    EXPECT_TRUE(scanner.Unplugged());
}

TEST_F(BotEndpoint, WireLogRecordsCommandBlocksDataAndRawWrappers) {
    scanner.Inject(sim::Fault::Status(1, 5, 0x24).OnCommand(0x02, 0x03));
    Out(9, {0x02, 0x03, 0x04}, {0, 0, 0x40, 0});
    ASSERT_TRUE(WriteCbw(SenseCbw(10)));
    Bytes sense(18);
    std::uint32_t got = 0;
    world.io.ReadFile(h, sense.data(), 18, &got);
    ReadCsw();

    const auto& log = scanner.Log();
    EXPECT_EQ(log.PairsText(), "0203");  // REQUEST SENSE is not a vendor command
    ASSERT_EQ(log.Commands().size(), 2u);
    const sim::WireCommand& set = log.Commands()[0];
    EXPECT_FALSE(set.deviceToHost);
    EXPECT_EQ(set.length, 4u);
    EXPECT_EQ(set.data, (Bytes{0, 0, 0x40, 0}));
    EXPECT_EQ(set.status, 1);
    EXPECT_EQ(set.CmdByte(2), 0x04);
    EXPECT_EQ(log.Commands()[1].cdb[0], 0x03);
    EXPECT_EQ(log.Commands()[1].data.size(), 18u);
    EXPECT_EQ(log.PhasesText(), "CBW OUT CSW CBW IN CSW");
    const auto& cbw = log.Phases()[0].bytes;
    ASSERT_EQ(cbw.size(), 31u);
    EXPECT_EQ(cbw[4], 9);  // tag, little-endian
    const auto& csw = log.Phases()[2].bytes;
    ASSERT_EQ(csw.size(), 13u);
    EXPECT_EQ(csw[12], 1);
    EXPECT_EQ(scanner.Model().Address(), 0u);  // the failed set was not carried out

    scanner.Log().Enable(false);
    scanner.Log().Clear();
    Bytes tag(4);
    In(11, {0xFF, 0x02, 0x00}, tag);
    EXPECT_TRUE(scanner.Log().Commands().empty());
    EXPECT_TRUE(scanner.Log().Phases().empty());
}

// --- Lies: the device says more than it did ---------------------------------------------------

TEST_F(BotEndpoint, ShortCswOverARefusedBlockKeepsTheBlockUnwritten) {
    scanner.Inject(sim::Fault::CswShortRefused(12).OnCommand(0x02, 0x03));
    const Bytes before = scanner.ReadMemory(0, 64);
    Csw csw = Out(5, {0x02, 0x03, 0x05}, Bytes(64, 0xAB));
    ASSERT_TRUE(csw.ok);
    EXPECT_EQ(csw.got, 12u);   // the status byte never comes
    EXPECT_EQ(csw.Tag(), 5u);  // but the tag is fresh
    EXPECT_EQ(scanner.ReadMemory(0, 64), before);
    EXPECT_EQ(scanner.Log().Commands().back().status, 1);
}

TEST_F(BotEndpoint, ShortCswOverARefusedReadMovesNoData) {
    scanner.Inject(sim::Fault::CswShortRefused(9));
    Bytes data(32);
    Csw csw = In(1, {0x02, 0x02, 0x0B}, data);
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(csw.got, 9u);
}

TEST_F(BotEndpoint, ShortDataPhaseUnderGoodStatusWritesWhatArrived) {
    scanner.Inject(sim::Fault::DataShortPassed(16).OnCommand(0x02, 0x03));
    const Bytes before = scanner.ReadMemory(0, 64);
    WriteCbw(Cbw(3, 64, false, {0x02, 0x03, 0x05}));
    const Bytes block(64, 0x3C);
    std::uint32_t put = 0;
    ASSERT_TRUE(world.io.WriteFile(h, block.data(), 64, &put));
    EXPECT_EQ(put, 16u);
    Csw csw = ReadCsw();
    EXPECT_EQ(csw.Status(), 0);
    EXPECT_EQ(csw.Residue(), 48u);
    const Bytes after = scanner.ReadMemory(0, 64);
    EXPECT_EQ(Bytes(after.begin(), after.begin() + 16), Bytes(16, 0x3C));
    EXPECT_EQ(Bytes(after.begin() + 16, after.end()), Bytes(before.begin() + 16, before.end()));
}

TEST_F(BotEndpoint, ResidueUnderGoodStatusTakesEveryByteButKeepsOnlyThoseBeforeIt) {
    scanner.Inject(sim::Fault::Residue(8).Times(2));
    const Bytes before = scanner.ReadMemory(0, 32);
    Csw out = Out(1, {0x02, 0x03, 0x05}, Bytes(32, 0x11));
    EXPECT_EQ(out.Status(), 0);
    EXPECT_EQ(out.Residue(), 8u);
    const Bytes after = scanner.ReadMemory(0, 32);
    EXPECT_EQ(Bytes(after.begin(), after.begin() + 24), Bytes(24, 0x11));
    EXPECT_EQ(Bytes(after.begin() + 24, after.end()), Bytes(before.begin() + 24, before.end()));

    Bytes data(32);
    Csw in = In(2, {0x02, 0x02, 0x0B}, data);
    EXPECT_EQ(in.Residue(), 8u);
    ASSERT_EQ(data.size(), 32u);
    const Bytes memory = scanner.ReadMemory(0, 32);
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 24), Bytes(memory.begin(), memory.begin() + 24));
    for (std::size_t i = 24; i < 32; ++i) EXPECT_NE(data[i], memory[i]) << i;
}

TEST_F(BotEndpoint, CswWhereDataWereDueComesTwice) {
    scanner.Inject(sim::Fault::CswForData());
    Bytes data(64);
    bool dataOk = false;
    Csw csw = In(9, {0x02, 0x02, 0x0B}, data, &dataOk);
    EXPECT_TRUE(dataOk);
    ASSERT_EQ(data.size(), 13u);
    EXPECT_EQ(First4(data.data()), kCswSignature);
    ASSERT_TRUE(csw.ok);
    EXPECT_EQ(csw.got, 13u);
    EXPECT_EQ(csw.Tag(), 9u);
    EXPECT_EQ(csw.Status(), 0);
    EXPECT_EQ(csw.Residue(), 64u);
    EXPECT_EQ(scanner.Counters().memoryReads, 0u);  // the command was not run
}

TEST_F(BotEndpoint, ShortFirstTransferOnlyTouchesAGetsFirstTransfer) {
    scanner.Inject(sim::Fault::FirstTransferShort(4).Times(2));
    Bytes reply(16);
    In(1, {0xFF, 0x04, 0x00}, reply);
    EXPECT_EQ(reply.size(), 16u);
    Bytes first(32);
    Csw csw = In(2, {0x02, 0x01, 0x0B}, first);
    EXPECT_EQ(first.size(), 4u);
    EXPECT_EQ(csw.Status(), 0);
    EXPECT_EQ(csw.Residue(), 28u);
}

}  // namespace
