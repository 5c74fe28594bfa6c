// The System half of the seam, one suite for every backend. The reference is what the real Win32
// calls do; each test states a rule that the device link or the application relies on.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/contract/backends.h"

namespace contract {
namespace {

using platform::Handle;
using platform::kWaitFailed;
using platform::kWaitObject0;
using platform::kWaitTimeout;

// A bound that only a hung program reaches.
constexpr std::uint32_t kProgramEndLimitMs = 30000;

template <typename B>
class SystemContract : public ::testing::Test {
  protected:
    platform::System& sys() { return backend_.Sys(); }
    B backend_;
};
TYPED_TEST_SUITE(SystemContract, Backends, BackendNames);

// --- Named events ----------------------------------------------------------------------------

TYPED_TEST(SystemContract, OpeningAnEventThatDoesNotExistGivesNull) {
    EXPECT_EQ(this->sys().OpenEvent(UniqueName("kv_missing").c_str()), nullptr);
}

TYPED_TEST(SystemContract, NewEventIsSignalledOnceThenResetByTheWaitThatTookIt) {
    platform::System& sys = this->sys();
    const Handle ev = sys.CreateEvent(UniqueName("kv_event").c_str());
    ASSERT_NE(ev, nullptr);
    EXPECT_EQ(sys.WaitForSingleObject(ev, 0), kWaitObject0) << "signalled at creation";
    EXPECT_EQ(sys.WaitForSingleObject(ev, 0), kWaitTimeout) << "auto-reset";
    EXPECT_TRUE(sys.SetEvent(ev));
    EXPECT_TRUE(sys.SetEvent(ev)) << "setting a set event is no error";
    EXPECT_EQ(sys.WaitForSingleObject(ev, 0), kWaitObject0);
    EXPECT_EQ(sys.WaitForSingleObject(ev, 0), kWaitTimeout) << "two sets make one signal";
    EXPECT_TRUE(sys.CloseHandle(ev));
}

TYPED_TEST(SystemContract, CreatingAnExistingEventOpensItAndKeepsItsState) {
    platform::System& sys = this->sys();
    const std::string name = UniqueName("kv_shared");
    const Handle first = sys.CreateEvent(name.c_str());
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(sys.WaitForSingleObject(first, 0), kWaitObject0);

    const Handle second = sys.CreateEvent(name.c_str());
    const Handle third = sys.OpenEvent(name.c_str());
    ASSERT_NE(second, nullptr);
    ASSERT_NE(third, nullptr);
    EXPECT_NE(second, first) << "a handle of its own";
    EXPECT_NE(third, first);
    EXPECT_EQ(sys.WaitForSingleObject(second, 0), kWaitTimeout) << "not signalled again";

    // One event behind three handles: a set through one is taken by exactly one waiter.
    EXPECT_TRUE(sys.SetEvent(third));
    EXPECT_EQ(sys.WaitForSingleObject(first, 0), kWaitObject0);
    EXPECT_EQ(sys.WaitForSingleObject(second, 0), kWaitTimeout);
    EXPECT_EQ(sys.WaitForSingleObject(third, 0), kWaitTimeout);

    for (Handle h : {first, second, third}) EXPECT_TRUE(sys.CloseHandle(h));
}

TYPED_TEST(SystemContract, EventNamesAreCaseSensitive) {
    platform::System& sys = this->sys();
    const std::string name = UniqueName("KV_CASE_E");
    std::string lower = name;
    lower.back() = 'e';
    const Handle upper = sys.CreateEvent(name.c_str());
    ASSERT_NE(upper, nullptr);
    EXPECT_EQ(sys.OpenEvent(lower.c_str()), nullptr);
    EXPECT_TRUE(sys.CloseHandle(upper));
}

TYPED_TEST(SystemContract, EventLivesUntilItsLastHandleIsClosed) {
    platform::System& sys = this->sys();
    const std::string name = UniqueName("kv_lifetime");
    const Handle created = sys.CreateEvent(name.c_str());
    const Handle opened = sys.OpenEvent(name.c_str());
    ASSERT_NE(created, nullptr);
    ASSERT_NE(opened, nullptr);
    ASSERT_EQ(sys.WaitForSingleObject(opened, 0), kWaitObject0);

    EXPECT_TRUE(sys.CloseHandle(created));
    const Handle again = sys.OpenEvent(name.c_str());
    ASSERT_NE(again, nullptr) << "still held through the other handle";
    EXPECT_EQ(sys.WaitForSingleObject(again, 0), kWaitTimeout) << "the same event, still taken";
    EXPECT_TRUE(sys.CloseHandle(again));
    EXPECT_TRUE(sys.CloseHandle(opened));

    EXPECT_EQ(sys.OpenEvent(name.c_str()), nullptr) << "gone with its last handle";
    const Handle fresh = sys.CreateEvent(name.c_str());
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(sys.WaitForSingleObject(fresh, 0), kWaitObject0) << "a new event, signalled";
    EXPECT_TRUE(sys.CloseHandle(fresh));
}

TYPED_TEST(SystemContract, HandleClosesOnceAndIsDeadAfterwards) {
    platform::System& sys = this->sys();
    const Handle ev = sys.CreateEvent(UniqueName("kv_close").c_str());
    ASSERT_NE(ev, nullptr);
    ASSERT_TRUE(sys.CloseHandle(ev));
    // Nothing is opened in between, so the value cannot have been given out again.
    EXPECT_FALSE(sys.CloseHandle(ev));
    EXPECT_FALSE(sys.SetEvent(ev));
    EXPECT_EQ(sys.WaitForSingleObject(ev, 0), kWaitFailed);
}

TYPED_TEST(SystemContract, NullHandleFailsEveryCall) {
    platform::System& sys = this->sys();
    EXPECT_EQ(sys.WaitForSingleObject(nullptr, 0), kWaitFailed);
    EXPECT_EQ(sys.WaitForSingleObject(nullptr, 1000), kWaitFailed);
    EXPECT_FALSE(sys.SetEvent(nullptr));
    EXPECT_FALSE(sys.CloseHandle(nullptr));
    std::uint32_t code = 12345;
    EXPECT_FALSE(sys.GetExitCodeProcess(nullptr, &code));
}

// --- Time ------------------------------------------------------------------------------------

TYPED_TEST(SystemContract, TimedWaitOnAnUnsignalledEventRunsOutAfterItsTime) {
    platform::System& sys = this->sys();
    const Handle ev = sys.CreateEvent(UniqueName("kv_timed").c_str());
    ASSERT_NE(ev, nullptr);
    ASSERT_EQ(sys.WaitForSingleObject(ev, 0), kWaitObject0);

    const std::uint64_t start = sys.TickCount();
    EXPECT_EQ(sys.WaitForSingleObject(ev, 40), kWaitTimeout);
    EXPECT_GE(sys.TickCount() - start + TypeParam::kTickSlackMs, 40u);
    EXPECT_TRUE(sys.CloseHandle(ev));
}

TYPED_TEST(SystemContract, SleepMovesTheTickCountForwardAndItNeverGoesBack) {
    platform::System& sys = this->sys();
    const std::uint64_t t0 = sys.TickCount();
    sys.Sleep(25);
    const std::uint64_t t1 = sys.TickCount();
    EXPECT_GE(t1 - t0 + TypeParam::kTickSlackMs, 25u) << t0 << " .. " << t1;
    sys.Sleep(0);
    const std::uint64_t t2 = sys.TickCount();
    EXPECT_GE(t2, t1);
    EXPECT_GE(sys.TickCount(), t2);
}

// --- Processes -------------------------------------------------------------------------------

TYPED_TEST(SystemContract, ProgramThatCannotStartFailsAndLeavesNoHandles) {
    std::string line = this->backend_.MissingProgram();
    platform::ProcessInfo pi;
    EXPECT_FALSE(this->sys().CreateProcessNoWindow(nullptr, line.data(), &pi));
    EXPECT_EQ(pi.process, nullptr);
    EXPECT_EQ(pi.thread, nullptr);
}

TYPED_TEST(SystemContract, EndedProgramStaysSignalledAndReportsItsExitCode) {
    platform::System& sys = this->sys();
    for (const std::uint32_t code : {0u, 7u}) {
        SCOPED_TRACE(code);
        std::string line = this->backend_.ProgramEndingWith(code);
        platform::ProcessInfo pi;
        ASSERT_TRUE(sys.CreateProcessNoWindow(nullptr, line.data(), &pi));
        ASSERT_NE(pi.process, nullptr);
        ASSERT_NE(pi.thread, nullptr);
        EXPECT_NE(pi.process, pi.thread);

        ASSERT_EQ(sys.WaitForSingleObject(pi.process, kProgramEndLimitMs), kWaitObject0);
        EXPECT_EQ(sys.WaitForSingleObject(pi.process, 0), kWaitObject0) << "no auto-reset";
        EXPECT_EQ(sys.WaitForSingleObject(pi.thread, kProgramEndLimitMs), kWaitObject0);
        std::uint32_t exitCode = 12345;
        EXPECT_TRUE(sys.GetExitCodeProcess(pi.process, &exitCode));
        EXPECT_EQ(exitCode, code);
        EXPECT_FALSE(sys.GetExitCodeProcess(pi.thread, &exitCode)) << "a thread is no process";

        EXPECT_TRUE(sys.CloseHandle(pi.thread));
        EXPECT_TRUE(sys.CloseHandle(pi.process));
    }
}

TYPED_TEST(SystemContract, ProgramStartedWithoutRoomForItsHandlesStillStarts) {
    std::string line = this->backend_.ProgramEndingWith(0);
    EXPECT_TRUE(this->sys().CreateProcessNoWindow(nullptr, line.data(), nullptr));
}

TYPED_TEST(SystemContract, RunningProgramIsUnsignalledAndStillActive) {
    platform::System& sys = this->sys();
    std::string line = this->backend_.ProgramThatKeepsRunning();
    platform::ProcessInfo pi;
    ASSERT_TRUE(sys.CreateProcessNoWindow(nullptr, line.data(), &pi));
    EXPECT_EQ(sys.WaitForSingleObject(pi.process, 0), kWaitTimeout);
    std::uint32_t exitCode = 12345;
    EXPECT_TRUE(sys.GetExitCodeProcess(pi.process, &exitCode));
    EXPECT_EQ(exitCode, 259u) << "STILL_ACTIVE";

    const std::uint32_t code = this->backend_.EndProgram(pi.process);
    ASSERT_EQ(sys.WaitForSingleObject(pi.process, kProgramEndLimitMs), kWaitObject0);
    EXPECT_TRUE(sys.GetExitCodeProcess(pi.process, &exitCode));
    EXPECT_EQ(exitCode, code);
    EXPECT_TRUE(sys.CloseHandle(pi.thread));
    EXPECT_TRUE(sys.CloseHandle(pi.process));
}

// --- Profile files ---------------------------------------------------------------------------

TYPED_TEST(SystemContract, ProfileWriteCreatesReplacesAndKeepsOtherEntries) {
    platform::System& sys = this->sys();
    const TempFolder folder;
    const std::filesystem::path file = folder.path() / "result2.ini";
    const std::string path = file.string();

    ASSERT_TRUE(sys.WritePrivateProfileString("result", "version", "1.0A", path.c_str()));
    EXPECT_EQ(ReadAll(file), "[result]\r\nversion=1.0A\r\n");
    ASSERT_TRUE(sys.WritePrivateProfileString("result", "version", "2", path.c_str()));
    EXPECT_EQ(ReadAll(file), "[result]\r\nversion=2\r\n");

    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << "[other]\r\nkey=value\r\n[result]\r\nversion=9.99\r\nextra=1\r\n";
    }
    ASSERT_TRUE(sys.WritePrivateProfileString("result", "version", "", path.c_str()));
    EXPECT_EQ(ReadAll(file), "[other]\r\nkey=value\r\n[result]\r\nversion=\r\nextra=1\r\n");
}

TYPED_TEST(SystemContract, ProfileWriteWhereNoFileCanBeFails) {
    platform::System& sys = this->sys();
    const TempFolder folder;
    const std::filesystem::path missing = folder.path() / "gone" / "result2.ini";
    EXPECT_FALSE(sys.WritePrivateProfileString("result", "version", "1", missing.string().c_str()));
    EXPECT_FALSE(std::filesystem::exists(missing.parent_path()));

    const std::filesystem::path isFolder = folder.path() / "result2.ini";
    std::filesystem::create_directory(isFolder);
    EXPECT_FALSE(
        sys.WritePrivateProfileString("result", "version", "1", isFolder.string().c_str()));
    EXPECT_TRUE(std::filesystem::is_directory(isFolder));
}

// --- Own path and system folder --------------------------------------------------------------

// A buffer of `size` characters followed by a guard that no call may touch.
struct GuardedBuffer {
    static constexpr std::size_t kGuard = 8;
    explicit GuardedBuffer(std::uint32_t size) : bytes(size + kGuard, '#'), size(size) {}
    char* data() { return bytes.data(); }
    bool GuardIntact() const { return bytes.compare(size, kGuard, std::string(kGuard, '#')) == 0; }
    bool Untouched() const { return bytes == std::string(size + kGuard, '#'); }
    std::string Text() const { return std::string(bytes.c_str()); }
    bool TerminatedWithin() const { return bytes.find('\0') < size; }

    std::string bytes;
    std::uint32_t size;
};

TYPED_TEST(SystemContract, ModulePathThatDoesNotFitIsCutTerminatedAndReportsTheBufferSize) {
    platform::System& sys = this->sys();
    GuardedBuffer whole(32768);
    const std::uint32_t n = sys.GetModuleFileName(whole.data(), whole.size);
    ASSERT_GT(n, 3u);
    const std::string path = whole.Text();
    ASSERT_EQ(path.size(), n);

    {
        GuardedBuffer exact(n + 1);
        EXPECT_EQ(sys.GetModuleFileName(exact.data(), exact.size), n) << "fits with its end";
        EXPECT_EQ(exact.Text(), path);
        EXPECT_TRUE(exact.GuardIntact());
    }
    for (const std::uint32_t size : {n, n - 1, 2u, 1u}) {
        SCOPED_TRACE(size);
        GuardedBuffer cut(size);
        EXPECT_EQ(sys.GetModuleFileName(cut.data(), cut.size), size);
        EXPECT_TRUE(cut.TerminatedWithin());
        EXPECT_EQ(cut.Text(), path.substr(0, size - 1));
        EXPECT_TRUE(cut.GuardIntact());
    }
    GuardedBuffer none(0);
    EXPECT_EQ(sys.GetModuleFileName(none.data(), 0), 0u);
    EXPECT_TRUE(none.Untouched());
}

TYPED_TEST(SystemContract, SystemFolderIsGivenWholeOrAsTheSizeItNeeds) {
    platform::System& sys = this->sys();
    GuardedBuffer whole(32768);
    const std::uint32_t n = sys.GetSystemDirectory(whole.data(), whole.size);
    ASSERT_GT(n, 2u);
    const std::string folder = whole.Text();
    ASSERT_EQ(folder.size(), n);
    EXPECT_TRUE(folder.back() != '\\' || n == 3) << "no separator at the end: " << folder;

    {
        GuardedBuffer exact(n + 1);
        EXPECT_EQ(sys.GetSystemDirectory(exact.data(), exact.size), n);
        EXPECT_EQ(exact.Text(), folder);
        EXPECT_TRUE(exact.GuardIntact());
    }
    for (const std::uint32_t size : {n, n - 1, 1u, 0u}) {
        SCOPED_TRACE(size);
        GuardedBuffer small(size);
        EXPECT_EQ(sys.GetSystemDirectory(small.data(), small.size), n + 1) << "terminator included";
        EXPECT_TRUE(small.Untouched()) << "nothing copied";
    }
    EXPECT_EQ(sys.GetSystemDirectory(nullptr, 0), n + 1) << "the size alone can be asked for";
}

}  // namespace
}  // namespace contract
