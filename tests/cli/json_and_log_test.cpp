// kelvane-cli's machine-readable output: every line one object that the same library reads
// back, the job log's appends whole under concurrent writers, and the platform's SHA-256.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli/console_view.h"
#include "cli/digest.h"
#include "cli/job_record.h"
#include "cli/json_lines.h"
#include "platform/platform.h"
#ifdef _WIN32
#include "platform/win32/install_win32.h"
#else
#include "platform/linux/install_linux.h"
#endif

namespace {

using app::ExitStatus;
using json = nlohmann::ordered_json;

platform::System& RealSystem() {
#ifdef _WIN32
    return platform::win32::Win32Sys();
#else
    return platform::linux_os::LinuxSys();
#endif
}

// Each status comes out as one line, read back to the same number and name; a message that is
// no valid UTF-8 or holds a line end cannot break the line.
TEST(JsonLines, EveryStatusIsOneLineThatReadsBack) {
    for (int n = 0; n <= app::ToInt(ExitStatus::kSomeFailed); ++n) {
        const auto status = static_cast<ExitStatus>(n);
        app::JobOutcome outcome;
        outcome.end = app::JobEnd::kVerifyMismatch;
        outcome.verify = app::Compare(reinterpret_cast<const std::uint8_t*>("ab"),
                                      reinterpret_cast<const std::uint8_t*>("aX"), 2, 0x4000);
        outcome.versionBefore = "1.23";
        const std::string line = cli::LineOf(cli::ResultObject(
            status, "bad \xff path\nsecond", n == 9 ? &outcome : nullptr, std::nullopt));
        ASSERT_EQ(line.find('\n'), line.size() - 1);
        const json back = json::parse(line);
        EXPECT_EQ(back["type"], "result");
        EXPECT_EQ(back["status"], n);
        EXPECT_EQ(back["status_name"], app::ExitStatusName(status));
        if (n == 9) {
            EXPECT_EQ(back["outcome"]["verify"]["first_address"], "0x00004001");
            EXPECT_EQ(back["outcome"]["verify"]["expected"], 'b');
            EXPECT_EQ(back["outcome"]["verify"]["found"], 'X');
            EXPECT_EQ(back["outcome"]["version_before"], "1.23");
            EXPECT_TRUE(back["outcome"]["version_after"].is_null());
        }
    }
    const json start = json::parse(cli::LineOf(cli::StartObject("update")));
    EXPECT_EQ(start.begin().key(), "type");
    EXPECT_EQ(start["version"], cli::kSchemaVersion);
}

TEST(Digest, Sha256OfKnownInputs) {
    EXPECT_EQ(cli::Sha256Hex(nullptr, 0),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const std::string abc = "abc";
    EXPECT_EQ(cli::Sha256Hex(reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::vector<std::uint8_t> million(1000000, 'a');
    EXPECT_EQ(cli::Sha256Hex(million.data(), million.size()),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Two writers append to one log at once, each through its own handle: every line comes out
// whole, and none is lost.
TEST(JobLog, ConcurrentWritersNeverMixWithinALine) {
    platform::Install(nullptr, &RealSystem());
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() /
        ("kv-joblog-" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::remove(path);
    constexpr int kLines = 150;
    cli::JobLog logs[2];
    for (cli::JobLog& log : logs) ASSERT_TRUE(log.Open(path.string()));
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < kLines; ++i) {
                json record = {{"writer", w}, {"n", i}, {"pad", std::string(3000, char('a' + w))}};
                EXPECT_TRUE(logs[w].Append(cli::LineOf(record)));
            }
        });
    }
    for (std::thread& t : writers) t.join();
    std::ifstream in(path, std::ios::binary);
    std::set<std::pair<int, int>> seen;
    for (std::string line; std::getline(in, line);) {
        const json record = json::parse(line);  // throws on a mixed line
        EXPECT_EQ(record["pad"], std::string(3000, char('a' + record["writer"].get<int>())));
        seen.emplace(record["writer"].get<int>(), record["n"].get<int>());
    }
    EXPECT_EQ(seen.size(), 2u * kLines);
    in.close();
    for (cli::JobLog& log : logs) log = cli::JobLog();
    std::filesystem::remove(path);
    platform::Install(nullptr, nullptr);
}

// Without a terminal: a line at each tenth and at each change of phase.
TEST(ProgressLines, EachTenthAndEachPhaseOnce) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    cli::ProgressLines lines(out, "kv: ");
    lines.Progress("connecting", 0, 0);
    for (int i = 0; i <= 1000; i += 5) lines.Progress("writing", i, 1000);
    lines.Progress("verifying", 0, 1000);
    std::rewind(out);
    std::vector<std::string> got;
    for (char buf[200]; std::fgets(buf, sizeof buf, out) != nullptr;) got.emplace_back(buf);
    std::fclose(out);
    ASSERT_EQ(got.size(), 13u);
    EXPECT_EQ(got[0], "kv: connecting\n");
    EXPECT_EQ(got[1], "kv: writing   0% (0 of 1000 bytes)\n");
    EXPECT_EQ(got[11], "kv: writing 100% (1000 of 1000 bytes)\n");
    EXPECT_EQ(got[12], "kv: verifying   0% (0 of 1000 bytes)\n");
}

}  // namespace
