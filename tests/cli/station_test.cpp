// The parent of a job on several scanners: what it makes of its workers' lines and ends, and the
// names it gives scanners and their files.
#include "cli/station.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using cli::ScannerRun;
using State = ScannerRun::State;

// A worker's claim of success counts only when its exit status agrees; a worker that died
// before its result line failed, whatever killed it.
TEST(Station, AWorkerSucceedsOnlyWithAResultOfZeroAndExitStatusZero) {
    const struct {
        const char* name;
        std::vector<std::string> lines;
        std::uint32_t exitCode;
        State state;
        int status;
    } cases[] = {
        {"done",
         {R"({"type":"result","status":0,"message":"Update FW Ok."})"},
         0,
         State::kSucceeded,
         0},
        {"result 0, exit 4",
         {R"({"type":"result","status":0,"message":"x"})"},
         4,
         State::kFailed,
         4},
        {"result 9, exit 0",
         {R"({"type":"result","status":9,"message":"x"})"},
         0,
         State::kFailed,
         9},
        {"crashed mid-job",
         {R"({"type":"progress","phase":"writing","done":5,"total":10})"},
         139,
         State::kFailed,
         139},
        {"no output, exit 0", {}, 0, State::kFailed, 4},
        {"garbage is no result", {"Connect to Device Success!", "{"}, 0, State::kFailed, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScannerRun run;
        for (const std::string& line : c.lines) cli::ApplyWorkerLine(run, line, nullptr);
        cli::EndWorker(run, c.exitCode);
        EXPECT_EQ(run.state, c.state);
        EXPECT_EQ(run.status, c.status);
    }
}

TEST(Station, ProgressAndTheVersionReachTheView) {
    ScannerRun run;
    run.identity = "1-1.2";
    EXPECT_TRUE(cli::ApplyWorkerLine(run, R"({"type":"version","version":"1.23"})", nullptr));
    EXPECT_TRUE(cli::ApplyWorkerLine(
        run, R"({"type":"progress","phase":"writing","done":300,"total":1000})", nullptr));
    EXPECT_EQ(cli::ViewLine(run), "1-1.2                    1.23      30%  writing");
    std::vector<ScannerRun> runs(3, run);
    runs[0].state = State::kSucceeded;
    runs[1].state = State::kFailed;
    EXPECT_EQ(cli::SummaryLine(runs), "Succeeded 1, Failed 1, Active 1");
}

TEST(Station, ScannerNamesAndTheirFiles) {
    EXPECT_EQ(cli::Identities({"\\\\.\\USBSCAN0", "\\\\.\\USBSCAN1", "\\\\.\\E:"},
                              {"usb 001:004", "", "/dev/sdb"}),
              (std::vector<std::string>{"usb 001:004", "USBSCAN1", "/dev/sdb"}));
    // Two scanners the backend places alike are told apart by their names.
    EXPECT_EQ(cli::Identities({"\\\\.\\USBSCAN0", "\\\\.\\USBSCAN1"}, {"simulated", "simulated"}),
              (std::vector<std::string>{"USBSCAN0", "USBSCAN1"}));
    EXPECT_EQ(cli::FileNameFor("flash.bin", "usb 001:004"), "flash-usb_001_004.bin");
    EXPECT_EQ(cli::FileNameFor("out/dump", "/dev/sdb"), "out/dump-_dev_sdb");
    EXPECT_EQ(cli::FileNameFor("a.d/.hidden", "E:"), "a.d/.hidden-E_");
}

TEST(Station, TheRunsStatus) {
    EXPECT_EQ(cli::StationStatus({}), app::ExitStatus::kNoDevice);
    std::vector<ScannerRun> runs(2);
    runs[0].status = 0;
    runs[1].status = 0;
    EXPECT_EQ(cli::StationStatus(runs), app::ExitStatus::kOk);
    runs[1].status = 9;
    EXPECT_EQ(cli::StationStatus(runs), app::ExitStatus::kSomeFailed);
}

}  // namespace
