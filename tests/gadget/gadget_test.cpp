// The gadget's presentations driven without a kernel: a small host plays the bulk endpoints'
// other side, handing packets to the presentation's receives and writing down its sends and
// stalls, so a test reads what the wire would have carried.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "sim/gadget/command_log.h"
#include "sim/gadget/disk_target.h"
#include "sim/gadget/ffs_descriptors.h"
#include "sim/gadget/still_image_function.h"
#include "sim/world.h"
#include "tests/sim/wire_bytes.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using gadget::BulkStep;

Bytes Cbw(std::uint32_t tag, std::uint32_t length, bool in, const Bytes& cdb) {
    Bytes w(31, 0);
    std::memcpy(w.data(), "USBC", 4);
    for (int i = 0; i < 4; ++i) {
        w[4 + i] = static_cast<std::uint8_t>(tag >> (8 * i));
        w[8 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    }
    w[12] = in ? 0x80 : 0x00;
    w[14] = static_cast<std::uint8_t>(cdb.size());
    if (!cdb.empty()) std::memcpy(w.data() + 15, cdb.data(), cdb.size());
    return w;
}

Bytes Vendor(wire::CmdBytes cmd, std::uint32_t length) {
    const wire::CommandBlock c = wire::Cdb(cmd, length);
    return Bytes(c.begin(), c.end());
}

std::uint32_t Le32(const Bytes& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// What the device put on the wire until it waited for a packet the host did not have.
struct Wire {
    std::string trace;  // "send(36) halt(in) send(13)"
    std::vector<Bytes> sends;
    const Bytes& Csw() const { return sends.back(); }
    Bytes Data() const { return sends.size() > 1 ? sends.front() : Bytes{}; }
};

Wire Play(gadget::BulkFunction& f, const std::vector<Bytes>& packets) {
    Wire w;
    std::size_t next = 0;
    for (int guard = 0; guard < 64; ++guard) {
        const BulkStep s = f.Next();
        std::string item;
        std::uint32_t moved = 0;
        if (s.kind == BulkStep::Kind::kReceive) {
            if (next == packets.size()) return w;
            const Bytes& p = packets[next++];
            moved = static_cast<std::uint32_t>(p.size() < s.length ? p.size() : s.length);
            std::memcpy(s.data, p.data(), moved);
        } else if (s.kind == BulkStep::Kind::kSend) {
            moved = s.length;
            w.sends.emplace_back(s.data, s.data + s.length);
            item = "send(" + std::to_string(s.length) + (s.endShort ? ",short)" : ")");
        } else {
            item = std::string("halt(") + (s.haltIn ? "in" : "") +
                   (s.haltIn && s.haltOut ? "," : "") + (s.haltOut ? "out" : "") + ")";
        }
        if (!item.empty()) w.trace += (w.trace.empty() ? "" : " ") + item;
        f.Completed(s, true, moved);
    }
    ADD_FAILURE() << "the device never waited for the host: " << w.trace;
    return w;
}

class Gadget : public ::testing::Test {
  protected:
    sim::World world;
    sim::Scanner& scanner = world.AddScanner({}, 0x10000);
};

// --- The disk presentation -----------------------------------------------------------------

class DiskTarget : public Gadget {
  protected:
    Wire Command(const Bytes& cdb, std::uint32_t length, bool in, const Bytes& dataOut = {}) {
        std::vector<Bytes> packets{Cbw(++tag, length, in, cdb)};
        if (!dataOut.empty()) packets.push_back(dataOut);
        Wire w = Play(target, packets);
        if (!w.sends.empty()) {
            EXPECT_EQ(w.Csw().size(), 13u);
            EXPECT_EQ(Le32(w.Csw(), 0), 0x53425355u);  // "USBS"
            EXPECT_EQ(Le32(w.Csw(), 4), tag);
        }
        return w;
    }
    Bytes Sense() { return Command({0x03, 0, 0, 0, 18, 0}, 18, true).Data(); }

    gadget::DiskTarget target{scanner, nullptr};
    std::uint32_t tag = 0x100;
};

struct StandardCase {
    const char* name;
    Bytes cdb;
    std::uint32_t length;
    const char* trace;
    Bytes dataStart;  // the first bytes of the data
    std::uint32_t residue;
};

TEST_F(DiskTarget, AnswersTheCommandsAStorageDriverSendsFirst) {
    const StandardCase cases[] = {
        {"INQUIRY", {0x12, 0, 0, 0, 36, 0}, 36, "send(36) send(13)", {0x00, 0x80}, 0},
        {"TEST UNIT READY", {0x00, 0, 0, 0, 0, 0}, 0, "send(13)", {}, 0},
        {"READ CAPACITY(10)",
         {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         8,
         "send(8) send(13)",
         {0, 0, 0x07, 0xFF, 0, 0, 0x02, 0x00},
         0},
        // The header alone, no write protection; the rest of the length is a residue.
        {"MODE SENSE(6)",
         {0x1A, 0, 0x3F, 0, 192, 0},
         192,
         "send(4) halt(in) send(13)",
         {3, 0, 0, 0},
         188},
        {"READ(10)", {0x28, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 4096, "send(4096) send(13)", {0, 0, 0}, 0},
        {"PREVENT ALLOW", {0x1E, 0, 0, 0, 1, 0}, 0, "send(13)", {}, 0},
    };
    for (const StandardCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Wire w = Command(c.cdb, c.length, true);
        EXPECT_EQ(w.trace, c.trace);
        EXPECT_EQ(w.Csw()[12], 0);
        EXPECT_EQ(Le32(w.Csw(), 8), c.residue);
        const Bytes data = w.Data();
        ASSERT_GE(data.size(), c.dataStart.size());
        EXPECT_EQ(Bytes(data.begin(), data.begin() + static_cast<long>(c.dataStart.size())),
                  c.dataStart);
    }
    EXPECT_TRUE(scanner.Log().Commands().empty()) << "standard commands reached the scanner";
}

TEST_F(DiskTarget, VendorBlocksGoToTheScannerAsPassThroughRequests) {
    const Wire tagQuery = Command(Vendor({0xFF, 0x02, 0x00}, 4), 4, true);
    EXPECT_EQ(tagQuery.trace, "send(4) send(13)");
    EXPECT_EQ(tagQuery.Data(), (Bytes{'Z', 'A', 'M', 'O'}));
    EXPECT_EQ(tagQuery.Csw()[12], 0);

    const Wire set = Command(Vendor({0x02, 0x03, 0x04}, 4), 4, false, {0x00, 0x01, 0x23, 0x45});
    EXPECT_EQ(set.trace, "send(13)");
    EXPECT_EQ(set.Csw()[12], 0);
    EXPECT_EQ(Le32(set.Csw(), 8), 0u);
    EXPECT_EQ(scanner.Model().Address(), 0x12345u);
    EXPECT_EQ(scanner.Log().PairsText(), "FF02 0203");
    EXPECT_EQ(scanner.MalformedDiskRecords(), 0u);
}

TEST_F(DiskTarget, ARefusedCommandStallsItsDataAndLeavesItsSenseForRequestSense) {
    const Wire w = Command(Vendor({0x7E, 0x00, 0x00}, 16), 16, true);
    EXPECT_EQ(w.trace, "halt(in) send(13)");
    EXPECT_EQ(w.Csw()[12], 1);
    EXPECT_EQ(Le32(w.Csw(), 8), 16u);
    const Bytes sense = Sense();
    ASSERT_EQ(sense.size(), 18u);
    EXPECT_EQ(sense[2] & 0x0F, 0x05);
    EXPECT_EQ(sense[12], 0x24);
    EXPECT_EQ(Sense()[2], 0) << "the sense is cleared once read";

    const Wire unknown = Command({0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, false);
    EXPECT_EQ(unknown.Csw()[12], 1);
    EXPECT_EQ(Sense()[12], 0x20);
}

TEST_F(DiskTarget, RequestsTheScannerFailsAreAbortedOrPhaseErrors) {
    scanner.Inject(sim::Fault::ScsiStatus(0x08));
    const Wire busy = Command(Vendor({0xFF, 0x02, 0x00}, 4), 4, true);
    EXPECT_EQ(busy.trace, "halt(in) send(13)");
    EXPECT_EQ(busy.Csw()[12], 1);
    EXPECT_EQ(Sense()[2], 0x0B);

    scanner.Inject(sim::Fault::IoctlFails());
    const Wire failed = Command(Vendor({0xFF, 0x02, 0x00}, 4), 4, true);
    EXPECT_EQ(failed.trace, "halt(in) send(13)");
    EXPECT_EQ(failed.Csw()[12], 2);

    scanner.Inject(sim::Fault::Vanish());
    EXPECT_EQ(Command(Vendor({0x02, 0x03, 0x04}, 4), 4, false, {0, 0, 0, 1}).Csw()[12], 2);
    EXPECT_TRUE(scanner.Unplugged());
}

TEST_F(DiskTarget, AnInvalidCbwStallsBothEndpointsUntilTheReset) {
    Bytes bad = Cbw(7, 0, false, {0x00, 0, 0, 0, 0, 0});
    bad[0] = 'X';
    Bytes lun1 = Cbw(8, 0, false, {0x00, 0, 0, 0, 0, 0});
    lun1[13] = 1;
    for (const Bytes& cbw : {bad, lun1, Cbw(9, 0, false, {}), Bytes(30, 0)}) {
        target.Reset();
        EXPECT_EQ(Play(target, {cbw}).trace, "halt(in,out)");
        EXPECT_EQ(Play(target, {Cbw(10, 0, false, {0x00, 0, 0, 0, 0, 0})}).trace, "halt(in,out)")
            << "a stall that ends before the reset";
    }
    target.Reset();
    EXPECT_EQ(Command({0x00, 0, 0, 0, 0, 0}, 0, false).Csw()[12], 0);
}

// --- The still-image presentation -----------------------------------------------------------

class StillImage : public Gadget {
  protected:
    gadget::StillImageFunction function{scanner};
};

TEST_F(StillImage, CarriesTheScannersOwnTransport) {
    const Wire w = Play(function, {Cbw(5, 4, true, Vendor({0xFF, 0x02, 0x00}, 4))});
    EXPECT_EQ(w.trace, "send(4) send(13)");
    EXPECT_EQ(w.sends[0], (Bytes{'Z', 'A', 'M', 'O'}));
    EXPECT_EQ(Le32(w.Csw(), 4), 5u);
    EXPECT_EQ(w.Csw()[12], 0);

    // A data phase the scanner ends short is ended short on the wire.
    scanner.Inject(sim::Fault::DataShortPassed(2));
    EXPECT_EQ(Play(function, {Cbw(6, 4, true, Vendor({0xFF, 0x02, 0x00}, 4))}).trace,
              "send(2,short) send(13)");
}

TEST_F(StillImage, UnderRealConductARefusedDataPhaseIsARealStall) {
    scanner.SetRealConduct(true);
    scanner.Inject(sim::Fault::DataFails());
    const Wire w = Play(function, {Cbw(5, 4, true, Vendor({0xFF, 0x02, 0x00}, 4))});
    EXPECT_EQ(w.trace, "halt(in) send(13)");
    EXPECT_EQ(w.Csw()[12], 1);
    EXPECT_EQ(Le32(w.Csw(), 8), 4u);
    EXPECT_FALSE(scanner.PipeHalted(true)) << "the endpoint's halt stands for the pipe's";

    // An invalid CBW halts both pipes; after the reset the next exchange works.
    EXPECT_EQ(Play(function, {Bytes(31, 0x55)}).trace, "halt(in,out)");
    function.Reset();
    EXPECT_EQ(Play(function, {Cbw(6, 4, true, Vendor({0xFF, 0x02, 0x00}, 4))}).trace,
              "send(4) send(13)");
}

TEST_F(StillImage, ACbwLongerThanTheBufferNeverReachesTheScanner) {
    const Wire w =
        Play(function, {Cbw(5, gadget::kBulkBufferSize + 1, false, Vendor({2, 3, 5}, 0))});
    EXPECT_EQ(w.trace, "halt(in,out)");
    EXPECT_TRUE(scanner.Log().Commands().empty());
}

// --- Descriptors and the command log --------------------------------------------------------

TEST(FfsDescriptors, OneInterfaceWithTwoBulkEndpointsAtEachSpeed) {
    struct {
        gadget::Presentation p;
        Bytes classes;
    } cases[] = {{gadget::Presentation::kStillImage, {6, 1, 1}},
                 {gadget::Presentation::kDisk, {8, 6, 0x50}}};
    for (const auto& c : cases) {
        const Bytes d = gadget::FfsDescriptors(c.p);
        ASSERT_EQ(d.size(), 20u + 2 * 23);
        EXPECT_EQ(Le32(d, 0), 3u);  // FUNCTIONFS_DESCRIPTORS_MAGIC_V2
        EXPECT_EQ(Le32(d, 4), d.size());
        for (const std::size_t set : {20u, 43u}) {
            EXPECT_EQ(Bytes(d.begin() + static_cast<long>(set) + 5,
                            d.begin() + static_cast<long>(set) + 8),
                      c.classes);
            EXPECT_EQ(d[set + 11], 0x81);
            EXPECT_EQ(d[set + 18], 0x02);
            EXPECT_EQ(d[set + 13] | d[set + 14] << 8, set == 20u ? 64 : 512);
        }
    }
    EXPECT_EQ(Le32(gadget::FfsStrings(), 4), gadget::FfsStrings().size());
}

TEST(CommandLog, OneLinePerFinishedBlock) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    gadget::CommandLog log(fds[1]);
    sim::WireLog wire;
    const std::uint8_t cdb[16] = {0xC5, 0x07, 0, 0, 0, 0, 0, 0, 0, 4, 0xFF, 0x02};
    wire.SetStatus(wire.BeginCommand(sim::WirePath::kDisk, cdb, true, 4), 0);
    const int open = wire.BeginCommand(sim::WirePath::kDisk, cdb, false, 16);
    log.Drain(wire);
    EXPECT_EQ(wire.Commands().size(), 2u) << "the exchange under way stays";
    wire.AddData(open, "ab", 2);
    log.Drain(wire, true);
    EXPECT_TRUE(wire.Commands().empty());
    close(fds[1]);
    char text[512] = {};
    const ssize_t n = read(fds[0], text, sizeof text - 1);
    close(fds[0]);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(text),
              "c5070000000000000004ff0200000000 in length=4 moved=0 status=0\n"
              "c5070000000000000004ff0200000000 out length=16 moved=2 status=none\n");
}

}  // namespace
