// The scanner core that the driver hosts, exercised without the kernel: per-handle transport
// state over one shared model, the exchange log and the private controls.
#include "sim/driver/scanner_core.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "app/win32/sim_scanner_setup.h"
#include "platform/device_io.h"

namespace scanner_driver {
namespace {

// The driver starts as the scanner kelvane-sim.exe carries.
static_assert(kDefaultVendorId == app::win32::kSimVendorId);
static_assert(kDefaultProductId == app::win32::kSimProductId);
static_assert(kDefaultMemorySize == app::win32::kSimMemorySize);
static_assert(kDefaultWorkMs == app::win32::kSimWorkMs);
static_assert(sizeof kDefaultVersion == sizeof app::win32::kSimVersion - 1);

std::uint64_t g_nowMs = 0;
std::uint64_t Now(void*) {
    return g_nowMs;
}

struct Cbw {
    std::uint8_t bytes[31] = {};
};

Cbw MakeCbw(std::uint32_t tag, std::uint8_t flags, std::uint32_t length,
            std::initializer_list<std::uint8_t> cdb) {
    Cbw c;
    const std::uint8_t head[] = {'U', 'S', 'B', 'C'};
    std::memcpy(c.bytes, head, 4);
    for (int i = 0; i < 4; ++i) {
        c.bytes[4 + i] = static_cast<std::uint8_t>(tag >> (8 * i));
        c.bytes[8 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    }
    c.bytes[12] = flags;
    c.bytes[14] = 16;
    std::copy(cdb.begin(), cdb.end(), c.bytes + 15);
    return c;
}

Cbw Vendor(std::uint32_t tag, std::uint8_t flags, std::uint32_t length, std::uint8_t c0,
           std::uint8_t c1, std::uint8_t c2 = 0) {
    return MakeCbw(tag, flags, length,
                   {0xC5, 0x07, 0, 0, 0, 0, static_cast<std::uint8_t>(length >> 24),
                    static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 8),
                    static_cast<std::uint8_t>(length), c0, c1, c2, 0, 0, 0});
}

std::uint32_t Le32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

class ScannerCoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_nowMs = 1000;
        core_.Init(memory_.data(), static_cast<std::uint32_t>(memory_.size()), {&Now, nullptr},
                   log_.data(), static_cast<std::uint32_t>(log_.size()));
        core_.Open(a_, 100);
        core_.Open(b_, 200);
    }

    void SendCbw(Session& s, const Cbw& c) {
        std::uint32_t taken = 0;
        ASSERT_TRUE(core_.Write(s, c.bytes, 31, &taken));
        ASSERT_EQ(taken, 31u);
    }
    std::uint32_t ReadData(Session& s, std::uint8_t* buf, std::uint32_t len) {
        std::uint32_t given = 0;
        EXPECT_TRUE(core_.Read(s, buf, len, &given));
        return given;
    }
    // Reads the CSW and returns its status after checking that it echoes `tag`.
    std::uint8_t ReadCsw(Session& s, std::uint32_t tag) {
        std::uint8_t csw[13] = {};
        EXPECT_EQ(ReadData(s, csw, 13), 13u);
        EXPECT_EQ(Le32(csw + 4), tag);
        return csw[12];
    }
    std::uint8_t InExchange(Session& s, const Cbw& c, std::uint8_t* buf, std::uint32_t len) {
        SendCbw(s, c);
        ReadData(s, buf, len);
        return ReadCsw(s, Le32(c.bytes + 4));
    }
    std::vector<ExchangeRecord> Records(std::uint32_t from = 1) {
        std::vector<ExchangeRecord> out(log_.size());
        out.resize(core_.Log().Read(from, out.data(), static_cast<std::uint32_t>(out.size())));
        return out;
    }

    std::vector<std::uint8_t> memory_ = std::vector<std::uint8_t>(1 << 20);
    std::vector<ExchangeRecord> log_ = std::vector<ExchangeRecord>(64);
    ScannerCore core_;
    Session a_, b_;
};

TEST_F(ScannerCoreTest, ExchangesOfTwoHandlesInterleavePhaseByPhaseWithoutMixing) {
    SendCbw(a_, Vendor(7, 0x80, 4, 0xFF, 0x02));  // A: tag query, CBW only
    std::uint8_t reply[16] = {};
    EXPECT_EQ(InExchange(b_, Vendor(9, 0x80, 16, 0xFF, 0x04), reply, 16), 0);
    EXPECT_EQ(Le32(reply), 16u);
    EXPECT_EQ(Le32(reply + 8), 1u);  // idle: finished

    std::uint8_t tag[4] = {};
    EXPECT_EQ(ReadData(a_, tag, 4), 4u);
    EXPECT_EQ(std::memcmp(tag, "ZAMO", 4), 0);
    EXPECT_EQ(ReadCsw(a_, 7), 0);

    const auto r = Records();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].processId, 200u);  // B completed first...
    EXPECT_EQ(r[1].processId, 100u);  // ...inside A's exchange
    EXPECT_GT(r[0].startTick, r[1].startTick);
    EXPECT_LT(r[0].endTick, r[1].endTick);
    EXPECT_EQ(std::memcmp(r[1].head, "ZAMO", 4), 0);
    EXPECT_EQ(r[1].moved, 4u);
}

TEST_F(ScannerCoreTest, RequestSenseReturnsTheSenseOfTheSameHandlesFailedCommand) {
    std::uint8_t buf[18] = {};
    EXPECT_EQ(InExchange(a_, Vendor(1, 0x80, 4, 0x7E, 0x7E), buf, 4), 1);  // refused
    EXPECT_EQ(InExchange(b_, Vendor(1, 0x80, 4, 0xFF, 0x02), buf, 4), 0);  // passes, clears
    EXPECT_EQ(InExchange(a_, MakeCbw(2, 0x80, 18, {0x03, 0, 0, 0, 18}), buf, 18), 0);
    EXPECT_EQ(buf[2], 0x05);
    EXPECT_EQ(buf[12], 0x24);
    // B, which passed, has no sense data.
    EXPECT_EQ(InExchange(b_, MakeCbw(2, 0x80, 18, {0x03, 0, 0, 0, 18}), buf, 18), 0);
    EXPECT_EQ(buf[2], 0);
}

TEST_F(ScannerCoreTest, ExchangesThatDoNotReachTheirCswAreLoggedWithHowTheyEnded) {
    std::uint8_t buf[16];
    SendCbw(a_, Vendor(1, 0x80, 16, 0xFF, 0x04));
    EXPECT_EQ(InExchange(a_, Vendor(2, 0x80, 4, 0xFF, 0x02), buf, 4), 0);  // new CBW drops it
    SendCbw(b_, Vendor(3, 0x00, 4, 0x02, 0x03, 0x04));
    std::uint32_t given = 0;
    EXPECT_FALSE(core_.Read(b_, buf, 4, &given));  // no data-in phase: the pipe stalls
    SendCbw(a_, Vendor(4, 0x80, 16, 0xFF, 0x03));
    core_.Close(a_);

    const auto r = Records();
    ASSERT_EQ(r.size(), 4u);
    struct Want {
        std::uint32_t processId;
        std::uint8_t cmd;
        std::uint8_t outcome;
        std::uint8_t status;
    } const want[] = {
        {100, 0x04, kOutcomeAbandoned, kNoStatus},
        {100, 0x02, kOutcomeCompleted, 0},
        {200, 0x03, kOutcomeAbandoned, kNoStatus},
        {100, 0x03, kOutcomeClosed, kNoStatus},
    };
    for (std::size_t i = 0; i < r.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(r[i].seq, i + 1);
        EXPECT_EQ(r[i].processId, want[i].processId);
        EXPECT_EQ(r[i].cdb[11], want[i].cmd);
        EXPECT_EQ(r[i].outcome, want[i].outcome);
        EXPECT_EQ(r[i].status, want[i].status);
    }
}

TEST_F(ScannerCoreTest, DataOutIsDigestedAndLandsInMemory) {
    std::uint8_t address[4] = {0, 0, 0x40, 0};
    std::uint32_t taken = 0;
    SendCbw(a_, Vendor(1, 0x00, 4, 0x02, 0x03, 0x04));
    ASSERT_TRUE(core_.Write(a_, address, 4, &taken));
    EXPECT_EQ(ReadCsw(a_, 1), 0);

    std::vector<std::uint8_t> block(1000);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7);
    SendCbw(a_, Vendor(2, 0x00, 1000, 0x02, 0x03, 0x05));
    ASSERT_TRUE(core_.Write(a_, block.data(), 1000, &taken));
    EXPECT_EQ(ReadCsw(a_, 2), 0);

    std::uint32_t h = 2166136261u;
    for (std::uint8_t b : block) h = (h ^ b) * 16777619u;
    const auto r = Records();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1].digest, h);
    EXPECT_EQ(r[1].moved, 1000u);
    EXPECT_EQ(r[1].headCount, 16u);

    const MemoryQuery q{0x4000, 1000};
    std::vector<std::uint8_t> back(1000);
    std::uint32_t returned = 0;
    ASSERT_EQ(core_.Control(a_, kIoctlReadMemory, &q, sizeof q, back.data(), 1000, &returned),
              ControlResult::kOk);
    EXPECT_EQ(returned, 1000u);
    EXPECT_EQ(back, block);
}

TEST(ExchangeLogTest, KeepsTheNewestRecordsAndForgetsOnClear) {
    ExchangeRecord storage[4];
    ExchangeLog log;
    log.Init(storage, 4);
    ExchangeRecord r{};
    for (std::uint32_t i = 1; i <= 6; ++i) {
        r.openId = i * 10;
        log.Append(r);
    }
    ExchangeRecord out[8];
    ASSERT_EQ(log.Read(1, out, 8), 4u);  // 1 and 2 were overwritten
    EXPECT_EQ(out[0].seq, 3u);
    EXPECT_EQ(out[0].openId, 30u);
    EXPECT_EQ(out[3].seq, 6u);
    EXPECT_EQ(log.Read(5, out, 1), 1u);
    EXPECT_EQ(out[0].seq, 5u);
    EXPECT_EQ(log.Read(7, out, 8), 0u);

    log.Clear();
    EXPECT_EQ(log.Read(1, out, 8), 0u);
    EXPECT_EQ(log.FirstKept(), 7u);
    log.Append(r);
    ASSERT_EQ(log.Read(1, out, 8), 1u);
    EXPECT_EQ(out[0].seq, 7u);
}

TEST_F(ScannerCoreTest, ReadLogTakesItsQueryFromTheBufferItAnswersIn) {
    std::uint8_t buf[16];
    for (std::uint32_t tag = 1; tag <= 3; ++tag)
        InExchange(a_, Vendor(tag, 0x80, 16, 0xFF, 0x04), buf, 16);
    alignas(8) std::uint8_t shared[sizeof(LogReply) + 4 * sizeof(ExchangeRecord)] = {};
    const LogQuery q{2};
    std::memcpy(shared, &q, sizeof q);
    std::uint32_t returned = 0;
    ASSERT_EQ(core_.Control(a_, kIoctlReadLog, shared, sizeof q, shared, sizeof shared, &returned),
              ControlResult::kOk);
    LogReply reply;
    std::memcpy(&reply, shared, sizeof reply);
    EXPECT_EQ(reply.count, 2u);
    EXPECT_EQ(reply.nextSeq, 4u);
    EXPECT_EQ(returned, sizeof(LogReply) + 2 * sizeof(ExchangeRecord));
    ExchangeRecord first;
    std::memcpy(&first, shared + sizeof(LogReply), sizeof first);
    EXPECT_EQ(first.seq, 2u);
    // Each exchange is a CBW, a data read and a CSW read: three calls.
    EXPECT_EQ(reply.tick, 9u);
}

TEST_F(ScannerCoreTest, ControlsRefuseBuffersTooSmallAndUnknownCodes) {
    std::uint8_t out[64] = {};
    const MemoryQuery tooLong{0, kMaxMemoryRead + 1};
    const MemoryQuery pastEnd{(1u << 20) - 2, 4};
    const LogQuery logQuery{1};
    struct Case {
        const char* what;
        std::uint32_t code;
        const void* in;
        std::uint32_t inLen;
        std::uint32_t outLen;
        ControlResult want;
    } const cases[] = {
        {"descriptor in 7 bytes", 0x80002018u, nullptr, 0, 7, ControlResult::kBadParameter},
        {"descriptor", 0x80002018u, nullptr, 0, 8, ControlResult::kOk},
        {"identity too small", kIoctlIdentity, nullptr, 0, 4, ControlResult::kBadParameter},
        {"log without query", kIoctlReadLog, nullptr, 0, 64, ControlResult::kBadParameter},
        {"log without room for reply", kIoctlReadLog, &logQuery, 4, 8,
         ControlResult::kBadParameter},
        {"memory read too long", kIoctlReadMemory, &tooLong, 8, 64, ControlResult::kBadParameter},
        {"memory past the end", kIoctlReadMemory, &pastEnd, 8, 4, ControlResult::kOk},
        {"settings too short", kIoctlSetSettings, out, 4, 0, ControlResult::kBadParameter},
        {"status too small", kIoctlStatus, nullptr, 0, 8, ControlResult::kBadParameter},
        {"unknown code", PrivateIoctl(0x9FF), nullptr, 0, 64, ControlResult::kUnknownCode},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::uint32_t returned = 99;
        EXPECT_EQ(core_.Control(a_, c.code, c.in, c.inLen, out, c.outLen, &returned), c.want);
        if (c.want != ControlResult::kOk) {
            EXPECT_EQ(returned, 0u);
        }
    }
    // The two bytes past the end of memory read as zero.
    EXPECT_EQ(out[2], 0);
    EXPECT_EQ(out[3], 0);
}

TEST_F(ScannerCoreTest, SettingsTakeOnlyTheMaskedFields) {
    Settings s{};
    s.mask = kSetVendorId | kSetVersion;
    s.vendorId = 0x0638;
    s.productId = 0x9999;  // not in the mask
    std::memcpy(s.version, "ab\0\0", 4);
    std::uint32_t returned = 0;
    ASSERT_EQ(core_.Control(a_, kIoctlSetSettings, &s, sizeof s, nullptr, 0, &returned),
              ControlResult::kOk);
    std::uint8_t d[8];
    ASSERT_EQ(core_.Control(a_, 0x80002018u, d, 8, d, 8, &returned), ControlResult::kOk);
    EXPECT_EQ(d[0] | (d[1] << 8), 0x0638);
    EXPECT_EQ(d[2] | (d[3] << 8), sim::ModelConfig{}.productId);
    EXPECT_EQ(std::memcmp(core_.Model().config.version, "ab\0\0", 4), 0);
}

// --- Faults on the still-image path -------------------------------------------------------------

FaultEntry Fault(std::uint8_t kind, std::uint8_t c0, std::uint8_t c1, std::uint8_t c2,
                 std::uint32_t occurrence, std::uint32_t value = 0) {
    FaultEntry e{};
    e.kind = kind;
    e.command[0] = c0;
    e.command[1] = c1;
    e.command[2] = c2;
    e.occurrence = occurrence;
    e.value = value;
    e.senseKey = 0x05;
    e.asc = 0x24;
    return e;
}

ControlResult SetFaults(ScannerCore& core, Session& s, std::initializer_list<FaultEntry> faults) {
    FaultTable table{};
    for (const FaultEntry& e : faults) table.entries[table.count++] = e;
    std::uint32_t returned = 0;
    return core.Control(s, kIoctlSetFaults, &table, sizeof table, nullptr, 0, &returned);
}

TEST_F(ScannerCoreTest, FaultTablesThatCannotBeCommittedAreRefused) {
    struct Case {
        const char* what;
        FaultEntry entry;
        ControlResult want;
    } const cases[] = {
        {"no kind", Fault(kFaultNone, 2, 3, 5, 1), ControlResult::kBadParameter},
        {"unknown kind", Fault(9, 2, 3, 5, 1), ControlResult::kBadParameter},
        {"occurrence 0", Fault(kFaultRefuse, 2, 3, 5, 0), ControlResult::kBadParameter},
        {"CSW of 0 bytes", Fault(kFaultRefuseShortCsw, 2, 3, 5, 1, 0),
         ControlResult::kBadParameter},
        {"whole CSW", Fault(kFaultRefuseShortCsw, 2, 3, 5, 1, 13), ControlResult::kBadParameter},
        {"CSW of 12 bytes", Fault(kFaultRefuseShortCsw, 2, 3, 5, 1, 12), ControlResult::kOk},
        {"half the data", Fault(kFaultShortData, 2, 2, 11, 2), ControlResult::kOk},
        {"a byte of a block kept wrong", Fault(kFaultCorruptWrite, 2, 3, 5, 2, 5),
         ControlResult::kOk},
        {"an answer held back", Fault(kFaultHold, 2, 3, 5, 2), ControlResult::kOk},
        {"past the last kind", Fault(kFaultHold + 1, 2, 3, 5, 1), ControlResult::kBadParameter},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(SetFaults(core_, a_, {c.entry}), c.want);
    }
    FaultTable tooMany{};
    tooMany.count = kMaxFaults + 1;
    std::uint32_t returned = 0;
    EXPECT_EQ(core_.Control(a_, kIoctlSetFaults, &tooMany, sizeof tooMany, nullptr, 0, &returned),
              ControlResult::kBadParameter);
    EXPECT_EQ(core_.Control(a_, kIoctlSetFaults, &tooMany, 4, nullptr, 0, &returned),
              ControlResult::kBadParameter);
}

// A refused firmware block whose CSW stops short of its status byte: the block's bytes are all
// taken, nothing is written, and only 12 CSW bytes come out although 13 were asked.
TEST_F(ScannerCoreTest, RefusalWithShortCswFiresAtTheNthMatchingCommandOnly) {
    ASSERT_EQ(SetFaults(core_, a_, {Fault(kFaultRefuseShortCsw, 2, 3, 5, 2, 12)}),
              ControlResult::kOk);
    std::vector<std::uint8_t> block(1000, 0xAB);
    for (std::uint32_t tag = 1; tag <= 3; ++tag) {
        SCOPED_TRACE(tag);
        SendCbw(a_, Vendor(tag, 0x00, 1000, 0x02, 0x03, 0x05));
        std::uint32_t taken = 0;
        ASSERT_TRUE(core_.Write(a_, block.data(), 1000, &taken));
        EXPECT_EQ(taken, 1000u);
        std::uint8_t csw[13] = {};
        const std::uint32_t given = ReadData(a_, csw, 13);
        EXPECT_EQ(given, tag == 2 ? 12u : 13u);
        EXPECT_EQ(Le32(csw + 4), tag);
    }
    const auto r = Records();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[1].fault, kFaultRefuseShortCsw);
    EXPECT_EQ(r[1].status, 1);  // what the device meant, though the byte never went out
    EXPECT_EQ(r[1].cswLength, 12);
    EXPECT_EQ(r[1].sense[2], 0x05);
    EXPECT_EQ(r[1].sense[12], 0x24);
    for (int i : {0, 2}) {
        EXPECT_EQ(r[i].fault, kFaultNone);
        EXPECT_EQ(r[i].status, 0);
        EXPECT_EQ(r[i].cswLength, 13);
        EXPECT_EQ(r[i].senseLength, 0);
    }
    EXPECT_EQ(core_.Model().Counters().firmwareBlocks, 2u);
}

// Short data phases under good status: a block of which half is taken, a memory read of which
// half is delivered, and a refused read that delivers nothing.
TEST_F(ScannerCoreTest, ShortDataPhasesReportSuccessWithTheResidueSet) {
    struct Case {
        const char* what;
        FaultEntry fault;
        std::uint8_t flags;
        std::uint8_t c1;
        std::uint8_t selector;
        std::uint32_t moved;
        std::uint8_t cswLength;
        std::uint8_t status;
    } const cases[] = {
        {"half a block", Fault(kFaultShortData, 2, 3, 5, 1), 0x00, 0x03, 5, 500, 13, 0},
        {"300 bytes of a block", Fault(kFaultShortData, 2, 3, 5, 1, 300), 0x00, 0x03, 5, 300, 13,
         0},
        {"half a memory read", Fault(kFaultShortData, 2, 2, 11, 1), 0x80, 0x02, 11, 500, 13, 0},
        {"refused read, no data", Fault(kFaultRefuseShortCsw, 2, 2, 11, 1, 12), 0x80, 0x02, 11, 0,
         12, 1},
    };
    std::uint32_t tag = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(SetFaults(core_, a_, {c.fault}), ControlResult::kOk);
        const std::uint32_t from = core_.Log().NextSeq();
        std::vector<std::uint8_t> data(1000, 0x3C);
        SendCbw(a_, Vendor(++tag, c.flags, 1000, 0x02, c.c1, c.selector));
        std::uint32_t moved = 0;
        if (c.flags == 0x00) {
            ASSERT_TRUE(core_.Write(a_, data.data(), 1000, &moved));
        } else {
            ASSERT_TRUE(core_.Read(a_, data.data(), 1000, &moved));
        }
        EXPECT_EQ(moved, c.moved);
        std::uint8_t csw[13] = {};
        EXPECT_EQ(ReadData(a_, csw, 13), c.cswLength);
        if (c.cswLength == 13) {
            EXPECT_EQ(csw[12], c.status);
            EXPECT_EQ(Le32(csw + 8), 1000 - c.moved);
        }
        const auto r = Records(from);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].fault, c.fault.kind);
        EXPECT_EQ(r[0].moved, c.moved);
        EXPECT_EQ(r[0].reported, 1000 - c.moved);
        EXPECT_EQ(r[0].status, c.status);
    }
    // The part of the cut block that arrived was written; the rest was not.
    EXPECT_EQ(core_.Model().MemoryAt(0), 0x3C);
    EXPECT_EQ(core_.Model().MemoryAt(499), 0x3C);
    EXPECT_EQ(core_.Model().MemoryAt(500), sim::FirmwareModel::PatternByte(500));
    EXPECT_EQ(core_.Model().Counters().firmwareBlocks, 0u);
}

// A block whose byte stays wrong passes as a whole one: only a read-back of the memory shows it.
// It hits the second block only, and an offset past the block spoils nothing.
TEST_F(ScannerCoreTest, CorruptedWriteIsPassedWholeButKeepsOneByteWrong) {
    ASSERT_EQ(SetFaults(core_, a_,
                        {Fault(kFaultCorruptWrite, 2, 3, 5, 2, 5),
                         Fault(kFaultCorruptWrite, 2, 3, 5, 3, 1000)}),
              ControlResult::kOk);
    std::vector<std::uint8_t> block(1000, 0x3C);
    std::uint32_t tag = 0;
    for (std::uint32_t address : {0x4000u, 0x5000u, 0x6000u}) {
        const std::uint8_t value[4] = {0, 0, static_cast<std::uint8_t>(address >> 8), 0};
        std::uint32_t taken = 0;
        SendCbw(a_, Vendor(++tag, 0x00, 4, 0x02, 0x03, 0x04));
        ASSERT_TRUE(core_.Write(a_, value, 4, &taken));
        EXPECT_EQ(ReadCsw(a_, tag), 0);
        SendCbw(a_, Vendor(++tag, 0x00, 1000, 0x02, 0x03, 0x05));
        ASSERT_TRUE(core_.Write(a_, block.data(), 1000, &taken));
        EXPECT_EQ(taken, 1000u);
        std::uint8_t csw[13] = {};
        EXPECT_EQ(ReadData(a_, csw, 13), 13u);
        EXPECT_EQ(csw[12], 0);
        EXPECT_EQ(Le32(csw + 8), 0u);  // no residue: the lie is in the memory only
    }
    EXPECT_EQ(core_.Model().MemoryAt(0x4005), 0x3C);
    EXPECT_EQ(core_.Model().MemoryAt(0x5004), 0x3C);
    EXPECT_EQ(core_.Model().MemoryAt(0x5005), 0xC3);
    EXPECT_EQ(core_.Model().MemoryAt(0x5006), 0x3C);
    for (std::uint32_t i = 0; i < 1000; ++i) ASSERT_EQ(core_.Model().MemoryAt(0x6000 + i), 0x3C);
    const auto r = Records();
    ASSERT_EQ(r.size(), 6u);
    EXPECT_EQ(r[1].fault, kFaultNone);
    EXPECT_EQ(r[3].fault, kFaultCorruptWrite);
    EXPECT_EQ(r[3].status, 0);
    EXPECT_EQ(r[3].moved, 1000u);
    EXPECT_EQ(r[5].fault, kFaultCorruptWrite);
    EXPECT_EQ(core_.Model().Counters().firmwareBlocks, 3u);
}

// A held answer changes nothing of the exchange: only the call that answers it (the CSW read)
// asks the glue to hold it, once.
TEST_F(ScannerCoreTest, HoldAsksToKeepBackOnlyTheCswOfTheNthMatchingCommand) {
    ASSERT_EQ(SetFaults(core_, a_, {Fault(kFaultHold, 2, 3, 5, 2)}), ControlResult::kOk);
    std::vector<std::uint8_t> block(1000, 0x5A);
    std::vector<bool> heldAt;
    for (std::uint32_t tag = 1; tag <= 3; ++tag) {
        std::uint32_t taken = 0;
        SendCbw(a_, Vendor(tag, 0x00, 1000, 0x02, 0x03, 0x05));
        ASSERT_TRUE(core_.Write(a_, block.data(), 1000, &taken));
        EXPECT_FALSE(core_.TakeHold());
        EXPECT_EQ(ReadCsw(a_, tag), 0);
        heldAt.push_back(core_.TakeHold());
        EXPECT_FALSE(core_.TakeHold());
    }
    EXPECT_EQ(heldAt, (std::vector<bool>{false, true, false}));
    EXPECT_EQ(core_.Model().Counters().firmwareBlocks, 3u);
    const auto r = Records();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[1].fault, kFaultHold);
    EXPECT_EQ(r[1].status, 0);
    EXPECT_EQ(r[1].moved, 1000u);
}

// Cores that share one tick counter stamp their records on one clock, in the order of the calls.
TEST_F(ScannerCoreTest, CoresSharingTheirTicksOrderEachOthersRecords) {
    std::uint32_t ticks = 0;
    std::vector<std::uint8_t> otherMemory(1 << 16);
    std::vector<ExchangeRecord> otherLog(8);
    ScannerCore other;
    other.Init(otherMemory.data(), static_cast<std::uint32_t>(otherMemory.size()), {&Now, nullptr},
               otherLog.data(), static_cast<std::uint32_t>(otherLog.size()));
    core_.ShareTicks(&ticks);
    other.ShareTicks(&ticks);
    Session c;
    other.Open(c, 300);

    const Cbw query = Vendor(1, 0x80, 16, 0xFF, 0x04);
    std::uint8_t reply[16];
    std::uint32_t n = 0;
    SendCbw(a_, query);                                // tick 1: A's exchange begins...
    ASSERT_TRUE(other.Write(c, query.bytes, 31, &n));  // tick 2: C's begins on the other core
    ASSERT_TRUE(other.Read(c, reply, 16, &n));         // tick 3
    std::uint8_t csw[13];
    ASSERT_TRUE(other.Read(c, csw, 13, &n));  // tick 4: C's ends
    ReadData(a_, reply, 16);                  // tick 5
    EXPECT_EQ(ReadCsw(a_, 1), 0);             // tick 6: A's ends
    EXPECT_EQ(ticks, 6u);

    const auto mine = Records();
    ExchangeRecord theirs[8];
    ASSERT_EQ(other.Log().Read(1, theirs, 8), 1u);
    ASSERT_EQ(mine.size(), 1u);
    EXPECT_EQ(mine[0].startTick, 1u);
    EXPECT_EQ(mine[0].endTick, 6u);
    EXPECT_EQ(theirs[0].startTick, 2u);
    EXPECT_EQ(theirs[0].endTick, 4u);
    other.Close(c);
    core_.ShareTicks(nullptr);
}

// --- The disk path ----------------------------------------------------------------------------

using Record = platform::ScsiPassThroughRecord;

// The caller's memory: one region of this process; anything else cannot be reached.
struct FakeCaller {
    std::uint8_t* begin;
    std::size_t size;

    bool Holds(std::uint64_t address, std::uint32_t length) const {
        const auto start = reinterpret_cast<std::uintptr_t>(begin);
        return address >= start && address + length <= start + size;
    }
    static bool Read(void* context, std::uint64_t address, void* to, std::uint32_t length) {
        if (!static_cast<FakeCaller*>(context)->Holds(address, length)) return false;
        std::memcpy(to, reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)),
                    length);
        return true;
    }
    static bool Write(void* context, std::uint64_t address, const void* from,
                      std::uint32_t length) {
        if (!static_cast<FakeCaller*>(context)->Holds(address, length)) return false;
        std::memcpy(reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), from, length);
        return true;
    }
    CallerMemory Memory() {
        CallerMemory m;
        m.read = &Read;
        m.write = &Write;
        m.context = this;
        return m;
    }
};

class DiskPathTest : public ScannerCoreTest {
  protected:
    void SetUp() override {
        ScannerCoreTest::SetUp();
        core_.InitStaging(staging_.data(), static_cast<std::uint32_t>(staging_.size()));
        core_.Open(disk_, 300, Presentation::kDisk);
    }

    Record Make(std::uint8_t dataIn, std::uint32_t length, std::uint8_t c0, std::uint8_t c1,
                std::uint8_t c2 = 0, std::uint32_t timeout = 15) {
        Record r{};
        r.sptd.Length = sizeof r.sptd;
        r.sptd.CdbLength = 16;
        r.sptd.SenseInfoLength = sizeof r.ucSenseBuf;
        r.sptd.DataIn = dataIn;
        r.sptd.DataTransferLength = length;
        r.sptd.TimeOutValue = timeout;
        r.sptd.DataBuffer = buffer_.data();
        r.sptd.SenseInfoOffset = offsetof(Record, ucSenseBuf);
        const Cbw c = Vendor(0, 0, length, c0, c1, c2);
        std::memcpy(r.sptd.Cdb, c.bytes + 15, 16);
        return r;
    }
    ControlResult Send(Record& r, std::uint32_t* returned) {
        return core_.PassThrough(disk_, &r, sizeof r, sizeof r, returned, caller_.Memory());
    }

    std::vector<std::uint8_t> staging_ = std::vector<std::uint8_t>(0x10000);
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(0x10000);
    FakeCaller caller_{buffer_.data(), buffer_.size()};
    Session disk_;
};

TEST_F(DiskPathTest, AnswersFromTheSameModelThroughTheCallersBuffer) {
    std::uint32_t returned = 0;
    Record tag = Make(platform::kScsiIoctlDataIn, 4, 0xFF, 0x02, 0, 2);
    ASSERT_EQ(Send(tag, &returned), ControlResult::kOk);
    EXPECT_EQ(returned, sizeof(platform::ScsiPassThroughDirect));
    EXPECT_EQ(tag.sptd.ScsiStatus, 0);
    EXPECT_EQ(tag.sptd.DataTransferLength, 4u);
    EXPECT_EQ(std::memcmp(buffer_.data(), "ZAMO", 4), 0);

    const std::uint8_t address[4] = {0, 0, 0x40, 0};
    std::memcpy(buffer_.data(), address, 4);
    Record setAddress = Make(platform::kScsiIoctlDataOut, 4, 0x02, 0x03, 0x04);
    ASSERT_EQ(Send(setAddress, &returned), ControlResult::kOk);
    for (std::size_t i = 0; i < 2000; ++i) buffer_[i] = static_cast<std::uint8_t>(i * 13);
    Record block = Make(platform::kScsiIoctlDataOut, 2000, 0x02, 0x03, 0x05);
    ASSERT_EQ(Send(block, &returned), ControlResult::kOk);
    EXPECT_EQ(block.sptd.ScsiStatus, 0);
    EXPECT_EQ(block.sptd.DataTransferLength, 2000u);
    EXPECT_EQ(core_.Model().MemoryAt(0x4000 + 1999), static_cast<std::uint8_t>(1999 * 13));

    const auto r = Records();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].path, kPathDisk);
    EXPECT_EQ(r[0].timeoutSeconds, 2u);
    EXPECT_EQ(r[0].processId, 300u);
    EXPECT_EQ(std::memcmp(r[0].head, "ZAMO", 4), 0);
    EXPECT_EQ(r[2].timeoutSeconds, 15u);
    EXPECT_EQ(r[2].deviceToHost, 0);
    EXPECT_EQ(r[2].length, 2000u);
    EXPECT_EQ(r[2].moved, 2000u);
    EXPECT_EQ(r[2].reported, 2000u);
    EXPECT_EQ(r[2].status, 0);
    EXPECT_EQ(r[2].outcome, kOutcomeCompleted);
}

TEST_F(DiskPathTest, ARefusedCommandAnswersCheckConditionWithItsSense) {
    std::uint32_t returned = 0;
    Record r = Make(platform::kScsiIoctlDataIn, 4, 0x7E, 0x7E);
    ASSERT_EQ(Send(r, &returned), ControlResult::kOk);
    EXPECT_EQ(r.sptd.ScsiStatus, 2);
    EXPECT_EQ(r.sptd.DataTransferLength, 0u);
    EXPECT_EQ(returned, offsetof(Record, ucSenseBuf) + 18);
    EXPECT_EQ(r.ucSenseBuf[0], 0x70);
    EXPECT_EQ(r.ucSenseBuf[2], 0x05);
    EXPECT_EQ(r.ucSenseBuf[12], 0x24);
    const auto log = Records();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].status, 2);
    EXPECT_EQ(log[0].senseLength, 18);
    EXPECT_EQ(log[0].sense[2], 0x05);
}

// Records the storage stack would not pass on, and data buffers the driver cannot reach, are
// refused without running the command.
TEST_F(DiskPathTest, RefusesRecordsOfAnotherLayoutAndBuffersItCannotReach) {
    struct Case {
        const char* what;
        void (*spoil)(Record&, std::uint8_t* elsewhere);
        std::uint32_t inLen;
        ControlResult want;
    } const cases[] = {
        {"32-bit header length", [](Record& r, std::uint8_t*) { r.sptd.Length = 44; },
         sizeof(Record), ControlResult::kBadParameter},
        {"32-bit sense offset", [](Record& r, std::uint8_t*) { r.sptd.SenseInfoOffset = 48; },
         sizeof(Record), ControlResult::kBadParameter},
        {"32-bit record size", [](Record&, std::uint8_t*) {}, 80, ControlResult::kBadParameter},
        {"sense longer than its buffer",
         [](Record& r, std::uint8_t*) { r.sptd.SenseInfoLength = 33; }, sizeof(Record),
         ControlResult::kBadParameter},
        {"more data than a transfer holds",
         [](Record& r, std::uint8_t*) { r.sptd.DataTransferLength = 0x10001; }, sizeof(Record),
         ControlResult::kBadParameter},
        {"no buffer", [](Record& r, std::uint8_t*) { r.sptd.DataBuffer = nullptr; }, sizeof(Record),
         ControlResult::kBadParameter},
        {"buffer outside the caller",
         [](Record& r, std::uint8_t* elsewhere) { r.sptd.DataBuffer = elsewhere; }, sizeof(Record),
         ControlResult::kUnreachable},
        {"buffer running past the caller's memory",
         [](Record& r, std::uint8_t*) {
             r.sptd.DataBuffer = static_cast<std::uint8_t*>(r.sptd.DataBuffer) + 0x10000 - 2;
         },
         sizeof(Record), ControlResult::kUnreachable},
    };
    std::uint8_t elsewhere[8] = {};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Record r = Make(platform::kScsiIoctlDataOut, 4, 0x02, 0x03, 0x09);
        c.spoil(r, elsewhere);
        std::uint32_t returned = 99;
        EXPECT_EQ(core_.PassThrough(disk_, &r, c.inLen, c.inLen, &returned, caller_.Memory()),
                  c.want);
        EXPECT_EQ(returned, 0u);
    }
    EXPECT_EQ(core_.Model().Counters().calibrations, 0u);
    DriverStatus st{};
    std::uint32_t returned = 0;
    ASSERT_EQ(core_.Control(a_, kIoctlStatus, nullptr, 0, &st, sizeof st, &returned),
              ControlResult::kOk);
    EXPECT_EQ(st.malformedRecords, 6u);
    EXPECT_EQ(st.unreachableBuffers, 2u);
    EXPECT_EQ(st.diskOpens, 1u);
    EXPECT_EQ(st.stillImageOpens, 2u);

    // Each presentation speaks its own way only.
    Record r = Make(platform::kScsiIoctlDataIn, 4, 0xFF, 0x02);
    EXPECT_EQ(core_.PassThrough(a_, &r, sizeof r, sizeof r, &returned, caller_.Memory()),
              ControlResult::kUnknownCode);
    std::uint32_t taken = 0;
    const Cbw c = Vendor(1, 0x80, 4, 0xFF, 0x02);
    EXPECT_FALSE(core_.Write(disk_, c.bytes, 31, &taken));
}

TEST_F(DiskPathTest, ShortTransfersReportGoodStatusWithTheSmallerLength) {
    ASSERT_EQ(SetFaults(core_, a_,
                        {Fault(kFaultShortData, 2, 3, 5, 1), Fault(kFaultShortData, 2, 2, 11, 1),
                         Fault(kFaultRefuse, 2, 3, 9, 1)}),
              ControlResult::kOk);
    std::uint32_t returned = 0;
    std::fill(buffer_.begin(), buffer_.end(), 0x77);
    Record block = Make(platform::kScsiIoctlDataOut, 4096, 0x02, 0x03, 0x05);
    ASSERT_EQ(Send(block, &returned), ControlResult::kOk);
    EXPECT_EQ(block.sptd.ScsiStatus, 0);
    EXPECT_EQ(block.sptd.DataTransferLength, 2048u);

    std::fill(buffer_.begin(), buffer_.end(), 0);
    Record read = Make(platform::kScsiIoctlDataIn, 4096, 0x02, 0x02, 11);
    ASSERT_EQ(Send(read, &returned), ControlResult::kOk);
    EXPECT_EQ(read.sptd.ScsiStatus, 0);
    EXPECT_EQ(read.sptd.DataTransferLength, 2048u);
    EXPECT_EQ(buffer_[2047], 0x77);
    EXPECT_EQ(buffer_[2048], 0);  // nothing beyond what was reported reached the caller

    Record calibration = Make(platform::kScsiIoctlDataOut, 4, 0x02, 0x03, 0x09);
    ASSERT_EQ(Send(calibration, &returned), ControlResult::kOk);
    EXPECT_EQ(calibration.sptd.ScsiStatus, 2);
    EXPECT_EQ(core_.Model().Counters().calibrations, 0u);

    const auto r = Records();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].fault, kFaultShortData);
    EXPECT_EQ(r[0].reported, 2048u);
    EXPECT_EQ(r[1].fault, kFaultShortData);
    EXPECT_EQ(r[1].moved, 2048u);
    EXPECT_EQ(r[2].fault, kFaultRefuse);
    EXPECT_EQ(r[2].sense[12], 0x24);
}

TEST_F(DiskPathTest, CorruptedWriteMovesTheWholeBlockUnderGoodStatus) {
    ASSERT_EQ(SetFaults(core_, a_, {Fault(kFaultCorruptWrite, 2, 3, 5, 1, 4095)}),
              ControlResult::kOk);
    std::fill(buffer_.begin(), buffer_.end(), 0x77);
    std::uint32_t returned = 0;
    Record block = Make(platform::kScsiIoctlDataOut, 4096, 0x02, 0x03, 0x05);
    ASSERT_EQ(Send(block, &returned), ControlResult::kOk);
    EXPECT_EQ(block.sptd.ScsiStatus, 0);
    EXPECT_EQ(block.sptd.DataTransferLength, 4096u);
    EXPECT_EQ(core_.Model().MemoryAt(4094), 0x77);
    EXPECT_EQ(core_.Model().MemoryAt(4095), 0x88);
    const auto r = Records();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].fault, kFaultCorruptWrite);
    EXPECT_EQ(r[0].reported, 4096u);
    EXPECT_EQ(r[0].status, 0);
}

TEST_F(DiskPathTest, HoldRunsTheRecordWholeAndAsksToKeepBackItsAnswer) {
    ASSERT_EQ(SetFaults(core_, a_, {Fault(kFaultHold, 2, 3, 5, 1)}), ControlResult::kOk);
    std::fill(buffer_.begin(), buffer_.end(), 0x66);
    std::uint32_t returned = 0;
    for (int n = 0; n < 2; ++n) {
        SCOPED_TRACE(n);
        Record block = Make(platform::kScsiIoctlDataOut, 4096, 0x02, 0x03, 0x05);
        ASSERT_EQ(Send(block, &returned), ControlResult::kOk);
        EXPECT_EQ(block.sptd.ScsiStatus, 0);
        EXPECT_EQ(block.sptd.DataTransferLength, 4096u);
        EXPECT_EQ(core_.TakeHold(), n == 0);
    }
    EXPECT_EQ(core_.Model().MemoryAt(4095), 0x66);
    const auto r = Records();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].fault, kFaultHold);
    EXPECT_EQ(r[0].reported, 4096u);
    EXPECT_EQ(r[1].fault, kFaultNone);
}

}  // namespace
}  // namespace scanner_driver
