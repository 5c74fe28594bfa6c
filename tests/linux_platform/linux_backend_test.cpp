// The Linux backends without devices: the named events as lock files, the removable-disk list
// read from a sysfs-like folder, and the names the device I/O refuses. No test waits for real:
// every timed wait here is of 0 ms.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
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

namespace {

// Runs `body` in a child process as a user other than root (nobody when we are root, ourselves
// otherwise, since then the file modes bind us already); the child's result, or -1 when the user
// could not be taken.
int AsAnUnprivilegedUser(const std::function<int()>& body) {
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        if (geteuid() == 0) {
            const passwd* nobody = getpwnam("nobody");
            if (nobody == nullptr || setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 ||
                setuid(nobody->pw_uid) != 0)
                _exit(99);
        }
        _exit(body());
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status) == 99 ? -1 : WEXITSTATUS(status);
}

// A folder of the test's own, removed at the end whatever its mode.
struct ScratchFolder {
    explicit ScratchFolder(const char* tag)
        : path(fs::temp_directory_path() / (std::string(tag) + std::to_string(::getpid()))) {
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~ScratchFolder() {
        std::error_code ec;
        fs::permissions(path, fs::perms::all, ec);
        fs::remove_all(path, ec);
    }
    fs::path path;
};

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void GiveToNobody(const fs::path& p) {
    if (geteuid() != 0) return;
    if (const passwd* nobody = getpwnam("nobody")) {
        ASSERT_EQ(::chown(p.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    }
}

}  // namespace

// The rename is the commit point: a folder that can be written but not read (so not synced)
// must not turn a replaced file into a failure.
TEST(LinuxFiles, AReplaceWhoseFolderCannotBeSyncedStillSucceeds) {
    const ScratchFolder dir("kvlinux-sync-");
    const std::string target = (dir.path / "flash.bin").string();
    { std::ofstream(target) << "old"; }
    fs::permissions(dir.path, fs::perms::owner_write | fs::perms::owner_exec |
                                  fs::perms::group_write | fs::perms::group_exec |
                                  fs::perms::others_write | fs::perms::others_exec);
    const int result = AsAnUnprivilegedUser([&] {
        LinuxSystem sys;
        std::string temp;
        const platform::Handle h =
            sys.CreateTempFile(dir.path.c_str(), "kvf", target.c_str(), &temp);
        std::uint32_t done = 0;
        if (h == platform::InvalidHandle() || !sys.WriteFile(h, "new!", 4, &done) ||
            !sys.FlushFileBuffers(h) || !sys.CloseHandle(h))
            return 2;
        return sys.MoveFileEx(temp.c_str(), target.c_str(),
                              platform::kMoveFileReplaceExisting | platform::kMoveFileWriteThrough)
                   ? 0
                   : 1;
    });
    if (result < 0) GTEST_SKIP() << "no unprivileged user to run as";
    EXPECT_EQ(result, 0) << "1: the move was reported as failed";
    fs::permissions(dir.path, fs::perms::owner_all);
    EXPECT_EQ(Slurp(target), "new!");
}

// Files in a folder that others share: the temporary file is created, never found, and a link
// or FIFO planted at a name is neither followed nor waited on.
TEST(LinuxFiles, PlantedLinksAndFifosAreNeitherFollowedNorWaitedOn) {
    const ScratchFolder dir("kvlinux-links-");
    LinuxSystem sys;
    const fs::path victim = dir.path / "victim";
    const fs::path target = dir.path / "flash.bin";
    { std::ofstream(victim) << "VICTIM"; }
    { std::ofstream(target) << "OLD"; }
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    // The names the backend tries first.
    std::uint32_t number = (static_cast<std::uint32_t>(::getpid()) & 0xFFFFu) | 1u;
    for (int i = 0; i < 3; ++i, ++number) {
        char name[16];
        std::snprintf(name, sizeof name, "kvf%04X.tmp", number);
        fs::create_symlink(victim, dir.path / name);
    }

    std::string temp;
    platform::Handle h = sys.CreateTempFile(dir.path.c_str(), "kvf", target.c_str(), &temp);
    ASSERT_NE(h, platform::InvalidHandle());
    EXPECT_FALSE(fs::is_symlink(temp));
    EXPECT_EQ(fs::status(temp).permissions(), fs::status(target).permissions())
        << "the old file's mode";
    std::uint32_t done = 0;
    EXPECT_TRUE(sys.WriteFile(h, "NEW", 3, &done));
    EXPECT_TRUE(sys.CloseHandle(h));
    EXPECT_EQ(Slurp(victim), "VICTIM");

    // Another user swaps a link in for the closed temporary file: it is not moved into place.
    fs::remove(temp);
    fs::create_symlink(victim, temp);
    EXPECT_FALSE(sys.MoveFileEx(temp.c_str(), target.c_str(), platform::kMoveFileReplaceExisting));
    EXPECT_EQ(Slurp(target), "OLD");

    // A link or a FIFO where a file is expected does not open, and the open does not block.
    const fs::path fifo = dir.path / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
    for (const fs::path& p : {fs::path(temp), fifo}) {
        SCOPED_TRACE(p.string());
        EXPECT_EQ(sys.CreateFile(p.c_str(), platform::kGenericWrite, 0, platform::kOpenExisting),
                  platform::InvalidHandle());
        EXPECT_EQ(sys.CreateFile(p.c_str(), platform::kGenericRead, 0, platform::kOpenExisting),
                  platform::InvalidHandle());
    }
    EXPECT_EQ(Slurp(victim), "VICTIM");
}

// A result file that this user may write but not read is an error, never an empty file whose
// rewrite would drop the other sections.
TEST(LinuxFiles, AResultFileThatCannotBeReadIsLeftWhole) {
    const ScratchFolder dir("kvlinux-ini-");
    fs::permissions(dir.path, fs::perms::all);
    const fs::path ini = dir.path / "result.ini";
    const std::string before = "[other]\r\nkeep=1\r\n[result]\r\nversion=OLD\r\n";
    { std::ofstream(ini, std::ios::binary) << before; }
    GiveToNobody(ini);
    fs::permissions(ini, fs::perms::owner_write);
    const int result = AsAnUnprivilegedUser([&] {
        LinuxSystem sys;
        return sys.WritePrivateProfileString("result", "version", "NEW", ini.c_str()) ? 1 : 0;
    });
    if (result < 0) GTEST_SKIP() << "no unprivileged user to run as";
    EXPECT_EQ(result, 0) << "1: reported as written";
    EXPECT_EQ(Slurp(ini), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1)
        << "no temporary file left";

    // Readable again, it is rewritten whole and keeps its mode.
    fs::permissions(ini, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    LinuxSystem sys;
    ASSERT_TRUE(sys.WritePrivateProfileString("result", "version", "NEW", ini.c_str()));
    EXPECT_EQ(Slurp(ini), "[other]\r\nkeep=1\r\n[result]\r\nversion=NEW\r\n");
    EXPECT_EQ(fs::status(ini).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}
