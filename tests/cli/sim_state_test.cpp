// kelvane-cli-sim's scanners and their state file: the layout the environment asks for, memory
// that a second run reads as the first left it, other scanners' records kept, and a lock that is
// an error when it cannot be had (on the virtual clock).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/unit1.h"
#include "cli/sim_scanners.h"
#include "platform/platform.h"
#include "platform/sim/sim_system.h"

namespace {

namespace fs = std::filesystem;
using cli::SimPresentation;
constexpr std::uint32_t kMemory = 1u << 20;

TEST(SimLayout, FromTheEnvironmentsTexts) {
    const auto S = SimPresentation::kStillImage;
    const auto D = SimPresentation::kDisk;
    struct Case {
        const char* scanners;
        const char* presentation;
        std::vector<SimPresentation> expected;  // empty: refused
    } cases[] = {
        {nullptr, nullptr, {S}},
        {"", "", {S}},
        {"3", "disk", {D, D, D}},
        {"3", "still-image, disk", {S, D, D}},
        {"16", nullptr, std::vector<SimPresentation>(16, S)},
        {"0", nullptr, {}},
        {"17", nullptr, {}},
        {"2x", nullptr, {}},
        {"2", "tape", {}},
        {"1", "disk,disk", {}},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto layout = cli::ParseSimLayout(c.scanners, c.presentation, nullptr, &error);
        SCOPED_TRACE(std::string(c.scanners ? c.scanners : "-") + "/" +
                     (c.presentation ? c.presentation : "-"));
        ASSERT_EQ(layout.has_value(), !c.expected.empty()) << error;
        if (layout) {
            EXPECT_EQ(layout->presentations, c.expected);
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
}

TEST(SimLayout, EachScannerHasItsNameIdentityAndMemory) {
    std::string error;
    const auto layout = cli::ParseSimLayout("3", "still-image,disk,still-image", nullptr, &error);
    ASSERT_TRUE(layout);
    cli::SimScanners scanners(*layout, kMemory);
    EXPECT_EQ(scanners.IndexOf(256), 0);
    EXPECT_EQ(scanners.IndexOf('E' - 'A' + 1), 1);
    EXPECT_EQ(scanners.IndexOf(257), 2);
    EXPECT_EQ(scanners.IndexOf(258), -1);
    EXPECT_EQ(scanners.IndexOf('F' - 'A' + 1), -1);
    EXPECT_EQ(scanners.Io().DeviceIdentity("\\\\.\\USBSCAN1"), "sim-scanner-3");
    EXPECT_EQ(scanners.Io().DeviceIdentity("\\\\.\\E:"), "sim-scanner-2");
    scanners.Scanner(0).WriteMemory(0x100, {1, 2, 3});
    EXPECT_NE(scanners.Scanner(2).ReadMemory(0x100, 3), (std::vector<std::uint8_t>{1, 2, 3}));
}

class SimStateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ =
            fs::temp_directory_path() /
            ("kv-sim-state-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "state.bin").string();
        platform::Install(nullptr, &sys_);
    }
    void TearDown() override {
        platform::Install(nullptr, nullptr);
        EXPECT_EQ(sys_.OpenHandleCount(), 0u);
        EXPECT_EQ(sys_.CloseErrors(), 0u);
        fs::remove_all(dir_);
    }
    std::string FileText() const {
        std::ifstream in(path_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    static sim::Scanner Fresh() { return sim::Scanner(sim::ModelConfig{}, kMemory); }

    sim::SimSystem sys_;
    fs::path dir_;
    std::string path_;
};

TEST_F(SimStateTest, ASecondRunReadsWhatTheFirstWroteAndEachScannerKeepsItsOwn) {
    const std::vector<std::uint8_t> image = {9, 8, 7, 6, 5};
    {
        sim::Scanner first = Fresh();            // the first run: an update on scanner 0
        cli::LoadScannerState(path_, 0, first);  // no file yet: fresh
        first.WriteMemory(0x4000, image);
        first.WriteMemory(kMemory - 2, {0xAA, 0xBB});  // the very last page
        cli::SaveScannerState(path_, 0, first);
    }
    {
        sim::Scanner other = Fresh();  // a run on scanner 1 beside it
        cli::LoadScannerState(path_, 1, other);
        other.WriteMemory(0x4000, {1});
        cli::SaveScannerState(path_, 1, other);
    }
    sim::Scanner again = Fresh();  // the read-back run
    cli::LoadScannerState(path_, 0, again);
    EXPECT_EQ(again.ReadMemory(0x4000, 5), image);
    EXPECT_EQ(again.ReadMemory(kMemory - 2, 2), (std::vector<std::uint8_t>{0xAA, 0xBB}));
    EXPECT_EQ(again.ReadMemory(0x8000, 16), Fresh().ReadMemory(0x8000, 16));
    sim::Scanner second = Fresh();
    cli::LoadScannerState(path_, 1, second);
    EXPECT_EQ(second.ReadMemory(0x4000, 2),
              (std::vector<std::uint8_t>{1, Fresh().ReadMemory(0x4001, 1)[0]}));
    // Written back as fresh, a page leaves the file: three pages, then two.
    const std::size_t threePages = FileText().size();
    again.WriteMemory(kMemory - 2, Fresh().ReadMemory(kMemory - 2, 2));
    cli::SaveScannerState(path_, 0, again);
    EXPECT_EQ(FileText().size(), threePages - (8 + 4096));
    EXPECT_FALSE(sys_.MutexExists(cli::StateLockName(path_)));  // given back every time
}

TEST_F(SimStateTest, ALockHeldElsewhereIsAnErrorAndTheFileStaysAsItWas) {
    sim::Scanner scanner = Fresh();
    scanner.WriteMemory(0, {1, 2, 3, 4});
    cli::SaveScannerState(path_, 0, scanner);
    const std::string before = FileText();
    sys_.HoldMutex(cli::StateLockName(path_));  // another run, for ever
    const std::uint64_t start = sys_.Now();
    sim::Scanner other = Fresh();
    EXPECT_THROW(cli::LoadScannerState(path_, 0, other), app::FrameLockError);
    EXPECT_EQ(sys_.Now() - start, cli::kStateLockWaitMs);
    EXPECT_EQ(other.ReadMemory(0, 4), Fresh().ReadMemory(0, 4));
    scanner.WriteMemory(0, {5});
    try {
        cli::SaveScannerState(path_, 0, scanner);
        ADD_FAILURE() << "saved without the lock";
    } catch (const app::FrameLockError&) {
        ADD_FAILURE() << "a save's lock is the job's error, not status 8";
    } catch (const app::Error& e) {
        EXPECT_NE(std::string(e.what()).find("state lock"), std::string::npos) << e.what();
    }
    EXPECT_EQ(FileText(), before);
    // Another folder's file of the same name has a lock of its own.
    EXPECT_NE(cli::StateLockName((dir_ / "sub" / "state.bin").string()), cli::StateLockName(path_));
}

TEST_F(SimStateTest, AFileThatIsNoStateIsAnErrorNeverTakenForAFreshStart) {
    for (const std::string& text : {std::string("hello"), std::string("kelvane-sim-state 1\nxyz")}) {
        std::ofstream(path_, std::ios::binary) << text;
        sim::Scanner scanner = Fresh();
        EXPECT_THROW(cli::LoadScannerState(path_, 0, scanner), app::Error) << text;
        EXPECT_THROW(cli::SaveScannerState(path_, 0, scanner), app::Error) << text;
        EXPECT_EQ(FileText(), text);
    }
    fs::remove(path_);
    fs::create_directory(path_);  // a folder at the name
    sim::Scanner scanner = Fresh();
    EXPECT_THROW(cli::LoadScannerState(path_, 0, scanner), app::Error);
}

}  // namespace
