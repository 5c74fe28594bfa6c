// The scanner core that the driver hosts, exercised without the kernel: per-handle transport
// state over one shared model, the exchange log and the private controls.
#include "sim/driver/scanner_core.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "app/win32/sim_scanner_setup.h"

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

}  // namespace
}  // namespace scanner_driver
