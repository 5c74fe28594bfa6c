// The Win32 backends against the real API (run under Wine): the meanings the device link and the
// application rely on, which no simulated backend can vouch for.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "platform/types.h"
#include "platform/win32/win32_device_io.h"
#include "platform/win32/win32_system.h"
#include "platform/win32/windows_api.h"
#include "platform/win32/windows_extra_api.h"

namespace {

using platform::Handle;
using platform::kWaitFailed;
using platform::kWaitObject0;
using platform::kWaitTimeout;

platform::win32::Win32System sys;
platform::win32::Win32DeviceIo io;

// A name no other test run can be using at the same time.
std::string UniqueName(const char* base) {
    return std::string(base) + std::to_string(::GetCurrentProcessId());
}

std::filesystem::path TempFile(const char* base) {
    return std::filesystem::temp_directory_path() / UniqueName(base);
}

std::string ReadAll(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(Win32Events, NamedEventIsAutoResetSignalledAtCreationAndSharedByName) {
    const std::string name = UniqueName("kv_test_event_");
    EXPECT_EQ(sys.OpenEvent(name.c_str()), nullptr) << "no such event yet";

    Handle first = sys.CreateEvent(name.c_str());
    ASSERT_NE(first, nullptr);
    Handle second = sys.OpenEvent(name.c_str());
    ASSERT_NE(second, nullptr);

    EXPECT_EQ(sys.WaitForSingleObject(second, 0), kWaitObject0) << "signalled at creation";
    EXPECT_EQ(sys.WaitForSingleObject(first, 0), kWaitTimeout) << "auto-reset by the first wait";

    // Creating again opens the existing event; its state is not reset to signalled.
    Handle third = sys.CreateEvent(name.c_str());
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(sys.WaitForSingleObject(third, 0), kWaitTimeout);

    EXPECT_TRUE(sys.SetEvent(first));
    EXPECT_EQ(sys.WaitForSingleObject(third, 0), kWaitObject0);
    EXPECT_EQ(sys.WaitForSingleObject(second, 0), kWaitTimeout);

    for (Handle h : {first, second, third}) EXPECT_TRUE(sys.CloseHandle(h));
    EXPECT_EQ(sys.OpenEvent(name.c_str()), nullptr) << "gone with its last handle";
}

TEST(Win32Events, TimedWaitRunsOutAndNullHandleFailsAtOnce) {
    Handle ev = sys.CreateEvent(UniqueName("kv_test_wait_").c_str());
    ASSERT_NE(ev, nullptr);
    ASSERT_EQ(sys.WaitForSingleObject(ev, 0), kWaitObject0);

    const std::uint64_t start = sys.TickCount();
    EXPECT_EQ(sys.WaitForSingleObject(ev, 30), kWaitTimeout);
    // The tick counter is coarse (10-16 ms steps on Windows); allow one step of slack.
    EXPECT_GE(sys.TickCount() - start, 14u);

    EXPECT_EQ(sys.WaitForSingleObject(nullptr, 1000), kWaitFailed);
    EXPECT_TRUE(sys.CloseHandle(ev));
}

TEST(Win32Processes, MissingProgramFailsAndLeavesNoHandles) {
    char cmd[] = "kv_no_such_program_here.exe /x";
    platform::ProcessInfo pi;
    EXPECT_FALSE(sys.CreateProcessNoWindow(nullptr, cmd, &pi));
    EXPECT_EQ(pi.process, nullptr);
    EXPECT_EQ(pi.thread, nullptr);
}

TEST(Win32Processes, ExitCodeOfAFinishedProgramIsReported) {
    char cmd[] = "cmd.exe /c exit 7";
    platform::ProcessInfo pi;
    ASSERT_TRUE(sys.CreateProcessNoWindow(nullptr, cmd, &pi));
    ASSERT_EQ(sys.WaitForSingleObject(pi.process, 30000), kWaitObject0);
    std::uint32_t code = 0;
    EXPECT_TRUE(sys.GetExitCodeProcess(pi.process, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_TRUE(sys.CloseHandle(pi.thread));
    EXPECT_TRUE(sys.CloseHandle(pi.process));
}

TEST(Win32Files, ProfileValueIsWrittenWithCrLfLineEnds) {
    const auto path = TempFile("kv_test_result_") += ".ini";
    std::filesystem::remove(path);
    ASSERT_TRUE(sys.WritePrivateProfileString("result", "version", "1.0A", path.string().c_str()));
    EXPECT_EQ(ReadAll(path), "[result]\r\nversion=1.0A\r\n");
    ASSERT_TRUE(sys.WritePrivateProfileString("result", "version", "2", path.string().c_str()));
    EXPECT_EQ(ReadAll(path), "[result]\r\nversion=2\r\n") << "a second write replaces the value";
    std::filesystem::remove(path);
}

TEST(Win32Files, OwnPathIsCutToTheBufferAndSystemFolderAsksForRoom) {
    char buf[MAX_PATH];
    const std::uint32_t n = sys.GetModuleFileName(buf, sizeof buf);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(std::strlen(buf), n);
    EXPECT_TRUE(std::string(buf).ends_with("win32_tests.exe")) << buf;

    char tiny[8] = "xxxxxxx";
    EXPECT_EQ(sys.GetModuleFileName(tiny, sizeof tiny), sizeof tiny) << "cut: the buffer's size";
    EXPECT_EQ(std::string(tiny), std::string(buf, sizeof tiny - 1)) << "and terminated";

    const std::uint32_t m = sys.GetSystemDirectory(buf, sizeof buf);
    ASSERT_GT(m, 0u);
    EXPECT_NE(buf[m - 1], '\\');
    std::strcpy(tiny, "xxxxxxx");
    EXPECT_EQ(sys.GetSystemDirectory(tiny, sizeof tiny), m + 1) << "the room it needs";
    EXPECT_STREQ(tiny, "xxxxxxx") << "nothing copied";
}

TEST(Win32Output, StandardOutputGetsTheBytesUnchanged) {
    const auto path = TempFile("kv_test_stdout_");
    const HANDLE file = ::CreateFileA(path.string().c_str(), GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const HANDLE saved = ::GetStdHandle(STD_OUTPUT_HANDLE);
    ::SetStdHandle(STD_OUTPUT_HANDLE, file);
    sys.WriteStdout("Connect to Device Success!\r\n");
    sys.WriteStdout("a\nb");
    ::SetStdHandle(STD_OUTPUT_HANDLE, saved);
    ::CloseHandle(file);
    EXPECT_EQ(ReadAll(path), "Connect to Device Success!\r\na\nb");
    std::filesystem::remove(path);
}

TEST(Win32Drives, DriveListFollowsTheSmallBufferRule) {
    const std::uint32_t needed = io.GetLogicalDriveStrings(0, nullptr);
    ASSERT_GE(needed, 5u) << "at least one \"X:\\\" entry and the final terminator";

    std::string small(needed - 1, '#');
    EXPECT_EQ(io.GetLogicalDriveStrings(needed - 1, small.data()), needed);
    EXPECT_EQ(small, std::string(needed - 1, '#')) << "nothing filled in when it does not fit";

    std::string list(needed, '#');
    ASSERT_EQ(io.GetLogicalDriveStrings(needed, list.data()), needed - 1);
    EXPECT_EQ(list.back(), '\0');
    for (const char* root = list.data(); *root; root += std::strlen(root) + 1) {
        EXPECT_EQ(std::strlen(root), 3u) << root;
        EXPECT_EQ(std::string(root + 1), ":\\") << root;
        EXPECT_NE(io.GetDriveType(root), platform::kDriveNoRootDir) << root;
    }
}

TEST(Win32Devices, OpenReadWriteAndCloseShareOneFile) {
    const auto path = TempFile("kv_test_device_");
    std::ofstream(path, std::ios::binary) << "";
    const std::string name = path.string();

    EXPECT_EQ(io.OpenDevice("\\\\.\\USBSCAN999"), platform::InvalidHandle());

    // Opened twice, as two programs may: each handle has its own position.
    Handle writer = io.OpenDevice(name.c_str());
    Handle reader = io.OpenDevice(name.c_str());
    ASSERT_NE(writer, platform::InvalidHandle());
    ASSERT_NE(reader, platform::InvalidHandle());

    std::uint32_t done = 99;
    EXPECT_TRUE(io.WriteFile(writer, "USBC-data", 9, &done));
    EXPECT_EQ(done, 9u);
    EXPECT_TRUE(io.WriteFile(writer, "!", 1, nullptr)) << "no count wanted";

    char buf[16] = {};
    EXPECT_TRUE(io.ReadFile(reader, buf, sizeof buf, &done));
    EXPECT_EQ(done, 10u) << "a short read is still success";
    EXPECT_EQ(std::string(buf, done), "USBC-data!");

    std::uint32_t returned = 99;
    platform::ScsiPassThroughRecord record{};
    EXPECT_FALSE(io.DeviceIoControl(reader, platform::kIoctlScsiPassThroughDirect, &record,
                                    sizeof record, &record, sizeof record, &returned))
        << "a plain file is no SCSI device";
    EXPECT_EQ(returned, 0u);

    EXPECT_TRUE(io.CloseDevice(writer));
    EXPECT_TRUE(io.CloseDevice(reader));
    std::filesystem::remove(path);
}

TEST(Win32Files, TemporaryFileIsWrittenFlushedAndReplacesTheTargetInOneStep) {
    const auto dir = TempFile("kv_test_replace_");
    std::filesystem::remove_all(dir);
    ASSERT_TRUE(std::filesystem::create_directory(dir));
    const std::string target = (dir / "flash.bin").string();
    std::ofstream(target, std::ios::binary) << "OLD CONTENT";

    char temp[platform::kMaxPath] = {};
    char other[platform::kMaxPath] = {};
    ASSERT_NE(sys.GetTempFileName(dir.string().c_str(), "kvf", temp), 0u);
    ASSERT_NE(sys.GetTempFileName(dir.string().c_str(), "kvf", other), 0u);
    EXPECT_STRNE(temp, other);
    EXPECT_EQ(std::filesystem::path(temp).parent_path(), dir);
    EXPECT_TRUE(std::filesystem::exists(temp)) << "the name is taken by an empty file";

    Handle h = sys.CreateFile(temp, platform::kGenericWrite, 0, platform::kTruncateExisting);
    ASSERT_NE(h, platform::InvalidHandle());
    std::uint32_t done = 0;
    EXPECT_TRUE(sys.WriteFile(h, "NEW BYTES", 9, &done));
    EXPECT_EQ(done, 9u);
    EXPECT_TRUE(sys.FlushFileBuffers(h));
    std::int64_t size = -1;
    EXPECT_TRUE(sys.GetFileSizeEx(h, &size));
    EXPECT_EQ(size, 9);
    EXPECT_TRUE(sys.CloseHandle(h));
    EXPECT_EQ(ReadAll(target), "OLD CONTENT") << "untouched until the move";

    EXPECT_FALSE(sys.MoveFileEx(temp, target.c_str(), 0)) << "replaced only when asked";
    ASSERT_TRUE(
        sys.MoveFileEx(temp, target.c_str(),
                       platform::kMoveFileReplaceExisting | platform::kMoveFileWriteThrough));
    EXPECT_FALSE(std::filesystem::exists(temp));
    EXPECT_EQ(ReadAll(target), "NEW BYTES");

    h = sys.CreateFile(target.c_str(), platform::kGenericRead, platform::kFileShareRead,
                       platform::kOpenExisting);
    ASSERT_NE(h, platform::InvalidHandle());
    char buf[16] = {};
    EXPECT_TRUE(sys.ReadFile(h, buf, sizeof buf, &done));
    EXPECT_EQ(std::string(buf, done), "NEW BYTES");
    EXPECT_TRUE(sys.ReadFile(h, buf, sizeof buf, &done));
    EXPECT_EQ(done, 0u) << "the end of the file is a read of nothing";
    EXPECT_TRUE(sys.CloseHandle(h));

    EXPECT_TRUE(sys.DeleteFile(other));
    EXPECT_FALSE(std::filesystem::exists(other));
    EXPECT_FALSE(sys.DeleteFile(other)) << "already gone";
    std::filesystem::remove_all(dir);
}

// (A read-only file is not among them: Wine keeps the attribute as Unix permissions, which do not
// bind a test run as root.)
TEST(Win32Files, OpeningRefusesWhatTheToolReliesOnBeingRefused) {
    const auto dir = TempFile("kv_test_refuse_");
    std::filesystem::remove_all(dir);
    ASSERT_TRUE(std::filesystem::create_directory(dir));
    const std::string existing = (dir / "flash.bin").string();
    const std::string missing = (dir / "missing.bin").string();
    std::ofstream(existing, std::ios::binary) << "OLD";

    const struct {
        const char* what;
        std::string path;
        std::uint32_t access;
        std::uint32_t disposition;
    } refused[] = {
        {"create-new over a file", existing, platform::kGenericWrite, platform::kCreateNew},
        {"open a missing file", missing, platform::kGenericRead, platform::kOpenExisting},
        {"truncate a missing file", missing, platform::kGenericWrite, platform::kTruncateExisting},
        {"a folder", dir.string(), platform::kGenericRead, platform::kOpenExisting},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.what);
        const Handle h = sys.CreateFile(c.path.c_str(), c.access, 0, c.disposition);
        EXPECT_EQ(h, platform::InvalidHandle());
        if (h != platform::InvalidHandle()) sys.CloseHandle(h);
    }
    EXPECT_FALSE(std::filesystem::exists(missing));
    EXPECT_EQ(ReadAll(existing), "OLD");
    EXPECT_FALSE(
        sys.MoveFileEx(missing.c_str(), existing.c_str(), platform::kMoveFileReplaceExisting));
    EXPECT_EQ(ReadAll(existing), "OLD");
    std::filesystem::remove_all(dir);
}

}  // namespace

namespace {

using platform::kWaitAbandoned;

TEST(Win32FrameLock, NamedMutexIsSharedTakenOnceAndAbandonedByAnEndedOwner) {
    const std::string name = "Global\\" + UniqueName("kv_test_mutex_");
    Handle first = sys.CreateMutex(name.c_str());
    ASSERT_NE(first, nullptr) << ::GetLastError();
    Handle second = sys.CreateMutex(name.c_str());  // the existing one, opened
    ASSERT_NE(second, nullptr) << ::GetLastError();
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

    // A thread that takes it and ends without releasing it: the next wait still gets it.
    std::thread holder([&] {
        EXPECT_EQ(sys.WaitForSingleObject(first, 0), kWaitObject0);
        EXPECT_TRUE(sys.ReleaseMutex(first));
        EXPECT_EQ(sys.WaitForSingleObject(first, 0), kWaitObject0);
    });
    holder.join();
    EXPECT_FALSE(sys.ReleaseMutex(second)) << "not this thread's";
    EXPECT_EQ(sys.WaitForSingleObject(second, 5000), kWaitAbandoned);
    EXPECT_EQ(sys.WaitForSingleObject(first, 0), kWaitObject0) << "the owner may take it again";
    EXPECT_TRUE(sys.ReleaseMutex(first));
    EXPECT_TRUE(sys.ReleaseMutex(second));
    EXPECT_FALSE(sys.ReleaseMutex(second));
    EXPECT_TRUE(sys.CloseHandle(first));
    EXPECT_TRUE(sys.CloseHandle(second));
}

TEST(Win32FrameLock, AMutexThatRefusesTheRightsAskedForIsAnErrorWithItsReason) {
    // Another program got to the name first, with a descriptor that lets nobody wait on it.
    const std::string name = "Global\\" + UniqueName("kv_test_hostile_");
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorA(
        "D:(A;;0x00020000;;;WD)", SDDL_REVISION_1, &sd, nullptr));
    SECURITY_ATTRIBUTES attributes{sizeof attributes, sd, FALSE};
    HANDLE hostile = ::CreateMutexExA(&attributes, name.c_str(), 0, MUTEX_ALL_ACCESS);
    ::LocalFree(sd);
    ASSERT_NE(hostile, nullptr) << ::GetLastError();
    EXPECT_EQ(sys.CreateMutex(name.c_str()), nullptr);
    EXPECT_NE(sys.MutexError().find("access denied"), std::string::npos) << sys.MutexError();
    ::CloseHandle(hostile);
}

TEST(Win32FrameLock, TimerAndRightsQueriesAnswer) {
    EXPECT_TRUE(sys.TimeBeginPeriod(1));
    EXPECT_TRUE(sys.TimeEndPeriod(1));
    // Either answer is possible on the host; the calls must not fail in other ways.
    std::printf("elevated=%d throttling-opt-out=%d\n", sys.IsProcessElevated() ? 1 : 0,
                sys.IgnoreTimerResolutionThrottling() ? 1 : 0);
}

}  // namespace
