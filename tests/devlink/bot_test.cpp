// Bulk-Only Transport as the device sees it: wrapper bytes, tags, trace lines, and what each
// failure of the device or the pipes makes of an exchange.
#include <cstdio>

#include "devlink_fixture.h"
#include "platform/platform.h"

namespace {

using sim::Fault;

class BotTest : public DevlinkTest {
  protected:
    // One device-to-host service command (FF 04, 16 bytes) straight through doBOT.
    int IsFinishExchange(std::uint32_t* transferred, std::int32_t* code) {
        BOTSetup(cmdset::kCbwFlagsIn, 16);
        std::uint8_t* cb = g_BOTState.cbw + kCbwCommandBlockOffset;
        const tPacket packet = LinkPacket(cmdset::kServiceIsFinish, reply_, 16);
        BuildVendorCdb(packet, cb);
        return doBOT(Slot26().m_hDisk.get(), cmdset::kCbwFlagsIn, reply_, 16, transferred, code);
    }
    std::uint8_t reply_[16] = {};
};

std::string CswLine() {
    std::string line = "USB2.0 HOST Bad status:";
    char byte[8];
    for (std::uint8_t b : g_BOTState.csw) {
        std::snprintf(byte, sizeof byte, " %02X ", b);
        line += byte;
    }
    return line;
}

TEST_F(BotTest, FirstExchangeCarriesTagOneAndTracesInOrder) {
    sim::Scanner& scanner = ConnectedStillImage();
    std::uint8_t reply[16];
    const tPacket packet = LinkPacket(cmdset::kServiceIsFinish, reply, 16);
    ASSERT_EQ(Slot26().xTransmitToDevice(&packet), 1);

    const auto& phases = scanner.Log().Phases();
    ASSERT_EQ(scanner.Log().PhasesText(), "CBW IN CSW");
    EXPECT_EQ(phases[0].bytes,
              Bytes({0x55, 0x53, 0x42, 0x43, 0x01, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00,
                     0x00, 0x80, 0x00, 0x10, 0xC5, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x00, 0x00, 0x10, 0xFF, 0x04, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Lines(), (std::vector<std::string>{
                           "[MsdcZamoHost] xTransmitToDevice: In Image Class Side\r\n",
                           "[BOTSetup]tag=01 00 00 00\n",
                           "[BOTSetup]dataLength=10 00 00 00\n",
                           "[send_out_token] status:",
                           " 55  53  42  43  01  00  00  00 \n",
                           " 10  00  00  00  80  00  10  C5 \n",
                           " 07  00  00  00  00  00  00  00 \n",
                           " 10  FF  04  00  00  00  00 \n",
                           "In send_in_token\n",
                           "In send_in_token\n",
                       }));
}

TEST_F(BotTest, TagsGrowByOneAndWrapModulo32Bits) {
    sim::Scanner& scanner = ConnectedStillImage();
    g_BOTState.tag = 0xFFFFFFFEu;
    std::uint8_t reply[16];
    const tPacket packet = LinkPacket(cmdset::kServiceIsFinish, reply, 16);
    ASSERT_EQ(Slot26().xTransmitToDevice(&packet), 1);
    ASSERT_EQ(Slot26().xTransmitToDevice(&packet), 1);
    const auto& phases = scanner.Log().Phases();
    ASSERT_EQ(phases.size(), 6u);
    EXPECT_EQ(std::vector<std::uint8_t>(phases[0].bytes.begin() + 4, phases[0].bytes.begin() + 8),
              Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(std::vector<std::uint8_t>(phases[3].bytes.begin() + 4, phases[3].bytes.begin() + 8),
              Bytes({0x00, 0x00, 0x00, 0x00}));
}

TEST_F(BotTest, FailedCommandFetchesSenseWithTheNextTagAndACleanCommandBlock) {
    sim::Scanner& scanner = ConnectedStillImage();
    scanner.Inject(Fault::Status(1, 0x05, 0x24));
    std::uint32_t transferred = 0;
    std::int32_t code = -1;
    ASSERT_EQ(IsFinishExchange(&transferred, &code), 1);
    EXPECT_EQ(code, 0x052400);
    EXPECT_TRUE(HasLine("USB2.0 HOST REQUEST_SENSE(status 1):\n"));

    ASSERT_EQ(scanner.Log().PhasesText(), "CBW IN CSW CBW IN CSW");
    const auto& sense = scanner.Log().Phases()[3].bytes;
    EXPECT_EQ(sense, Bytes({0x55, 0x53, 0x42, 0x43, 0x02, 0x00, 0x00, 0x00, 0x12, 0x00, 0x00,
                            0x00, 0x80, 0x00, 0x10, 0x03, 0x00, 0x00, 0x00, 0x12, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    // The REQUEST SENSE's own status wrapper had to echo tag 2 to be accepted.
    EXPECT_EQ(std::vector<std::uint8_t>(g_BOTState.csw + 4, g_BOTState.csw + 8),
              Bytes({0x02, 0x00, 0x00, 0x00}));
}

TEST_F(BotTest, SenseByteTwoIsTakenWholeAndAPhaseErrorAlsoFetchesSense) {
    sim::Scanner& scanner = ConnectedStillImage();
    scanner.Inject(Fault::Status(2, 0xF5, 0x3A, 0x01));
    std::uint32_t transferred = 0;
    std::int32_t code = 0;
    ASSERT_EQ(IsFinishExchange(&transferred, &code), 1);
    EXPECT_EQ(code, 0xF53A00);  // qualifier left out, low byte 0
    EXPECT_TRUE(HasLine("USB2.0 HOST REQUEST_SENSE(status 2):\n"));
}

TEST_F(BotTest, StaleTagFailsTheExchange) {
    sim::Scanner& scanner = ConnectedStillImage();
    std::uint32_t transferred = 0;
    std::int32_t code = 0;
    ASSERT_EQ(IsFinishExchange(&transferred, &code), 1);
    scanner.Inject(Fault::StaleTag());
    world.sys.ClearDebugLines();
    EXPECT_EQ(IsFinishExchange(&transferred, &code), 0);
    EXPECT_EQ(code, 0x30000);
    EXPECT_EQ(g_BOTState.csw[4], 0x01);  // the older tag
    EXPECT_TRUE(HasLine(CswLine()));
    EXPECT_EQ(Lines().back(), "USB2.0 HOST doBOT: bad return from BOTStatus 0, 0\n");
}

TEST_F(BotTest, WrongCswSignatureWithTheRightTagIsAccepted) {
    sim::Scanner& scanner = ConnectedStillImage();
    scanner.Inject(Fault::BadCswSignature());
    std::uint32_t transferred = 0;
    std::int32_t code = -1;
    EXPECT_EQ(IsFinishExchange(&transferred, &code), 1);
    EXPECT_EQ(code, 0);
}

TEST_F(BotTest, ShortDataPhaseReportsItsCount) {
    sim::Scanner& scanner = ConnectedStillImage();
    scanner.Inject(Fault::DataShort(5));
    std::uint32_t transferred = 0;
    std::int32_t code = -1;
    EXPECT_EQ(IsFinishExchange(&transferred, &code), 1);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(transferred, 5u);
}

TEST_F(BotTest, FailedCbwWriteSkipsTheDataPhase) {
    sim::Scanner& scanner = ConnectedStillImage();
    scanner.Inject(Fault::CbwWriteFails());
    std::uint32_t transferred = 0;
    std::int32_t code = 0;
    EXPECT_EQ(IsFinishExchange(&transferred, &code), 0);
    EXPECT_EQ(code, 0x30000);
    EXPECT_EQ(Lines().back(), "bad return from send_out_token 1\n");
    EXPECT_EQ(scanner.Log().PhasesText(), "CBW!");  // the failed write, and nothing after it
    EXPECT_EQ(CountLines("In send_in_token\n"), 0u);
}

// Every way an exchange can end in failure, with the line that tells it and the code left.
struct FailureCase {
    const char* name;
    Fault fault;
    std::uint8_t direction;
    std::int32_t code;
    const char* lastLine;
};

class BotFailureTest : public BotTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(BotFailureTest, EndsWithItsLineAndCode) {
    const FailureCase& c = GetParam();
    sim::Scanner& scanner = ConnectedStillImage();
    scanner.Inject(c.fault);
    std::uint8_t data[16] = {};
    std::uint32_t transferred = 0;
    std::int32_t code = -1;
    BOTSetup(c.direction, sizeof data);
    const std::uint8_t transfer =
        c.direction == cmdset::kCbwFlagsIn ? cmdset::kGetFirst : cmdset::kSet;
    const tPacket packet =
        DataPacket(c.direction == cmdset::kCbwFlagsIn ? kDirectionIn : kDirectionOut, transfer,
                   cmdset::kSelOpen, data, sizeof data);
    BuildVendorCdb(packet, g_BOTState.cbw + kCbwCommandBlockOffset);
    EXPECT_EQ(doBOT(Slot26().m_hDisk.get(), c.direction, data, sizeof data, &transferred, &code),
              0);
    EXPECT_EQ(code, c.code);
    ASSERT_FALSE(Lines().empty());
    EXPECT_EQ(Lines().back(), c.lastLine);
}

INSTANTIATE_TEST_SUITE_P(
    Phases, BotFailureTest,
    ::testing::Values(FailureCase{"DataInFails", Fault::DataFails(), 0x80, 0x30000,
                                  "USB2.0 HOST doBOT: bad return from send_in_token 1\n"},
                      FailureCase{"DataOutFails", Fault::DataFails(), 0x00, 0x30000,
                                  "USB2.0 HOST doBOT: bad return from send_out_token 1 (data)\n"},
                      FailureCase{"CswReadFails", Fault::CswReadFails(), 0x80, 0x30000,
                                  "USB2.0 HOST doBOT: bad return from BOTStatus 0, 1\n"},
                      // A wrapper of other than 13 bytes fails as an unreadable one.
                      FailureCase{"CswReadShort", Fault::CswReadShort(3), 0x80, 0x30000,
                                  "USB2.0 HOST doBOT: bad return from BOTStatus 0, 1\n"},
                      FailureCase{"CswOfTwelveBytes", Fault::CswReadShort(12), 0x80, 0x30000,
                                  "USB2.0 HOST doBOT: bad return from BOTStatus 0, 1\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(BotTest, SenseFailuresEndWithCodeZero) {
    struct Case {
        Fault senseFault;
        const char* lastLine;
    } cases[] = {
        {Fault::SenseReadShort(17), "USB2.0 HOST doBOT: return cnt 17 < 18\n"},
        {Fault::SenseReadFails(), "USB2.0 HOST doBOT: bad return from send_in_token 1 (2)\n"},
    };
    sim::Scanner& scanner = ConnectedStillImage();
    for (const Case& c : cases) {
        scanner.Inject(Fault::Status(1, 5, 0x24));
        scanner.Inject(c.senseFault);
        std::uint32_t transferred = 0;
        std::int32_t code = -1;
        world.sys.ClearDebugLines();
        EXPECT_EQ(IsFinishExchange(&transferred, &code), 0) << c.lastLine;
        EXPECT_EQ(code, 0) << c.lastLine;
        EXPECT_EQ(Lines().back(), c.lastLine);
    }
}

}  // namespace
