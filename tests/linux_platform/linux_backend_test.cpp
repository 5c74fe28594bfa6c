// The Linux backends without devices: the named events as lock files, the removable-disk list
// read from a sysfs-like folder, and the names the device I/O refuses. No test waits for real:
// every timed wait here is of 0 ms.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/linux/linux_device_io.h"
#include "platform/linux/linux_system.h"
#include "platform/linux/removable_disks.h"

namespace {

namespace fs = std::filesystem;
using platform::linux_os::LinuxSystem;

class LockFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("kv-locks-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        if (old) oldRuntime_ = old;
        hadRuntime_ = old != nullptr;
        setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        if (hadRuntime_) {
            setenv("XDG_RUNTIME_DIR", oldRuntime_.c_str(), 1);
        } else {
            unsetenv("XDG_RUNTIME_DIR");
        }
        fs::remove_all(dir_);
    }
    fs::path dir_;
    std::string oldRuntime_;
    bool hadRuntime_ = false;
};

TEST_F(LockFolder, EventsAreLockFilesNamedAfterTheEvent) {
    LinuxSystem sys;
    EXPECT_EQ(sys.LockFolder(), dir_.string());
    EXPECT_EQ(sys.OpenEvent("ZAMOUSB_EVENT_u"), nullptr);  // none yet
    platform::Handle created = sys.CreateEvent("ZAMOUSB_EVENT_u");
    ASSERT_NE(created, nullptr);
    EXPECT_TRUE(fs::exists(dir_ / "ZAMOUSB_EVENT_u.lock"));
    platform::Handle opened = sys.OpenEvent("ZAMOUSB_EVENT_u");
    ASSERT_NE(opened, nullptr);
    EXPECT_NE(opened, created);
    for (const char* bad : {"", ".", "..", "a/b", "/etc/passwd"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(sys.CreateEvent(bad), nullptr);
    }
    EXPECT_EQ(sys.CreateEvent(nullptr), nullptr);
    EXPECT_TRUE(sys.CloseHandle(created));
    EXPECT_TRUE(sys.CloseHandle(opened));
    EXPECT_FALSE(sys.CloseHandle(opened));  // closed once only
}

TEST_F(LockFolder, TheEventIsTakenOnceAndGivenBackOnlyByItsHolder) {
    LinuxSystem sys;
    platform::Handle a = sys.CreateEvent("ZAMOUSB_EVENT_D");
    platform::Handle b = sys.OpenEvent("ZAMOUSB_EVENT_D");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(sys.WaitForSingleObject(a, 0), platform::kWaitObject0);
    // Taken: neither another handle nor the holder itself gets it again.
    EXPECT_EQ(sys.WaitForSingleObject(b, 0), platform::kWaitTimeout);
    EXPECT_EQ(sys.WaitForSingleObject(a, 0), platform::kWaitTimeout);
    // Releasing when not holding does nothing: the holder keeps it.
    EXPECT_TRUE(sys.SetEvent(b));
    EXPECT_EQ(sys.WaitForSingleObject(b, 0), platform::kWaitTimeout);
    EXPECT_TRUE(sys.SetEvent(a));
    EXPECT_EQ(sys.WaitForSingleObject(b, 0), platform::kWaitObject0);
    // Closing the holder's handle gives the event back.
    EXPECT_TRUE(sys.CloseHandle(b));
    EXPECT_EQ(sys.WaitForSingleObject(a, 0), platform::kWaitObject0);
    EXPECT_TRUE(sys.CloseHandle(a));
    EXPECT_EQ(sys.WaitForSingleObject(a, 0), platform::kWaitFailed);
    EXPECT_FALSE(sys.SetEvent(a));
    EXPECT_EQ(sys.WaitForSingleObject(nullptr, 0), platform::kWaitFailed);
}

TEST_F(LockFolder, ADeadHoldersEventIsFree) {
    LinuxSystem sys;
    platform::Handle h = sys.CreateEvent("ZAMOUSB_EVENT_u");
    ASSERT_NE(h, nullptr);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Another program takes the lock file and dies without giving it back.
        ::close(ready[0]);
        const int fd = ::open((dir_ / "ZAMOUSB_EVENT_u.lock").c_str(), O_RDONLY);
        const char took = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 1 : 0;
        if (::write(ready[1], &took, 1) != 1) _exit(2);
        for (;;) pause();  // until killed
    }
    ::close(ready[1]);
    char took = 0;
    const ssize_t got = ::read(ready[0], &took, 1);
    ::close(ready[0]);
    ASSERT_EQ(got, 1);
    ASSERT_EQ(took, 1);
    EXPECT_EQ(sys.WaitForSingleObject(h, 0), platform::kWaitTimeout);
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(sys.WaitForSingleObject(h, 0), platform::kWaitObject0);
    sys.CloseHandle(h);
}

TEST_F(LockFolder, NoServiceToRunAndNoSystemFolder) {
    LinuxSystem sys;
    char line[] = "net stop stisvc";
    platform::ProcessInfo pi{reinterpret_cast<platform::Handle>(1), nullptr};
    EXPECT_FALSE(sys.CreateProcessNoWindow(nullptr, line, &pi));
    EXPECT_EQ(pi.process, nullptr);
    char dir[16] = "x";
    EXPECT_EQ(sys.GetSystemDirectory(dir, sizeof dir), 0u);
    EXPECT_EQ(dir[0], '\0');
    char self[4096];
    const std::uint32_t n = sys.GetModuleFileName(self, sizeof self);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(fs::path(self).filename(), "linux_platform_tests");
    // As on Windows: a cut path gives the buffer's size, terminated, so the caller grows it.
    char tiny[4];
    EXPECT_EQ(sys.GetModuleFileName(tiny, sizeof tiny), sizeof tiny);
    EXPECT_EQ(std::string(tiny), std::string(self).substr(0, 3));
}

TEST(LockFolderChoice, RunLockWithoutARuntimeFolder) {
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved = old ? old : "";
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(LinuxSystem().LockFolder(), "/run/lock");
    setenv("XDG_RUNTIME_DIR", "", 1);
    EXPECT_EQ(LinuxSystem().LockFolder(), "/run/lock");
    if (old) {
        setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
    } else {
        unsetenv("XDG_RUNTIME_DIR");
    }
}

void Attribute(const fs::path& dir, const char* name, const char* value) {
    fs::create_directories(dir);
    std::ofstream(dir / name) << value << "\n";
}

TEST(RemovableDisks, WholeRemovableScsiDisksGetStableLetters) {
    const fs::path sys = fs::temp_directory_path() / ("kv-class-block-" + std::to_string(getpid()));
    fs::remove_all(sys);
    Attribute(sys / "sdc", "removable", "1");
    Attribute(sys / "sdaa", "removable", "1");
    Attribute(sys / "sdb", "removable", "1");
    Attribute(sys / "sda", "removable", "0");   // fixed
    Attribute(sys / "sdb1", "removable", "1");  // a partition
    Attribute(sys / "sdb1", "partition", "1");
    Attribute(sys / "nvme0n1", "removable", "1");  // not a SCSI disk
    fs::create_directories(sys / "sdd");           // no attribute
    const auto disks = platform::linux_os::ListRemovableDisks(sys.string());
    ASSERT_EQ(disks.size(), 3u);
    EXPECT_EQ(disks[0].letter, 'D');
    EXPECT_EQ(disks[0].name, "sdb");
    EXPECT_EQ(disks[0].node, "/dev/sdb");
    EXPECT_EQ(disks[1].letter, 'E');
    EXPECT_EQ(disks[1].name, "sdc");
    EXPECT_EQ(disks[2].letter, 'F');
    EXPECT_EQ(disks[2].name, "sdaa");
    EXPECT_TRUE(platform::linux_os::ListRemovableDisks((sys / "missing").string()).empty());
    fs::remove_all(sys);
}

TEST(LinuxDeviceIo, NamesThatLeadNowhere) {
    platform::linux_os::LinuxDeviceIo io;
    for (const char* name : {"", "\\\\.\\USBSCAN", "\\\\.\\USBSCANx", "\\\\.\\USBSCAN-1",
                             "\\\\.\\1:", "\\\\.\\E", "E:", "/dev/sda", "\\\\.\\PhysicalDrive0"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(io.OpenDevice(name), platform::InvalidHandle());
        EXPECT_EQ(io.DescribeDevice(name), "");
    }
    EXPECT_EQ(io.OpenDevice(nullptr), platform::InvalidHandle());
    int unrelated = 0;
    std::uint32_t count = 7;
    EXPECT_FALSE(io.ReadFile(&unrelated, &unrelated, 4, &count));
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(io.CloseDevice(&unrelated));
    EXPECT_EQ(io.GetDriveType("C:\\"), platform::kDriveNoRootDir);
    EXPECT_EQ(io.GetDriveType("nonsense"), platform::kDriveNoRootDir);
}

}  // namespace

// The file calls that the read-back and the image read rely on, over real files: a whole write,
// a temporary name in the same folder, a replace in one step, and the refusals.
TEST(LinuxFiles, TempFileReplacesTheTargetInOneStepAndFoldersNeverOpen) {
    platform::linux_os::LinuxSystem sys;
    const fs::path dir = fs::temp_directory_path() / ("kvlinux-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string target = (dir / "flash.bin").string();
    { std::ofstream(target) << "old"; }

    char temp[platform::kMaxPath] = {};
    ASSERT_NE(sys.GetTempFileName(dir.string().c_str(), "kvf", temp), 0u);
    EXPECT_EQ(fs::path(temp).parent_path(), dir);
    platform::Handle h =
        sys.CreateFile(temp, platform::kGenericWrite, 0, platform::kTruncateExisting);
    ASSERT_NE(h, platform::InvalidHandle());
    std::uint32_t done = 0;
    EXPECT_TRUE(sys.WriteFile(h, "new!", 4, &done));
    EXPECT_EQ(done, 4u);
    EXPECT_TRUE(sys.FlushFileBuffers(h));
    std::int64_t size = 0;
    EXPECT_TRUE(sys.GetFileSizeEx(h, &size));
    EXPECT_EQ(size, 4);
    EXPECT_TRUE(sys.CloseHandle(h));

    // Without the replace flag an existing target stays.
    EXPECT_FALSE(sys.MoveFileEx(temp, target.c_str(), 0));
    EXPECT_TRUE(
        sys.MoveFileEx(temp, target.c_str(),
                       platform::kMoveFileReplaceExisting | platform::kMoveFileWriteThrough));
    EXPECT_FALSE(fs::exists(temp));
    h = sys.CreateFile(target.c_str(), platform::kGenericRead, 0, platform::kOpenExisting);
    char back[8] = {};
    EXPECT_TRUE(sys.ReadFile(h, back, sizeof back, &done));
    EXPECT_EQ(std::string(back, done), "new!");
    sys.CloseHandle(h);

    EXPECT_EQ(
        sys.CreateFile(dir.string().c_str(), platform::kGenericRead, 0, platform::kOpenExisting),
        platform::InvalidHandle());
    EXPECT_EQ(sys.CreateFile(target.c_str(), platform::kGenericWrite, 0, platform::kCreateNew),
              platform::InvalidHandle());
    EXPECT_TRUE(sys.DeleteFile(target.c_str()));
    EXPECT_FALSE(sys.DeleteFile(target.c_str()));
    fs::remove_all(dir);
}
