// The Linux backends without devices: the named events as kernel-kept names, the removable-disk
// list read from a sysfs-like folder, and the names the device I/O refuses. No test waits for real:
// every timed wait here is of 0 ms.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/linux_device_io.h"
#include "platform/linux/linux_system.h"
#include "platform/linux/removable_disks.h"

namespace {

namespace fs = std::filesystem;
using platform::linux_os::LinuxSystem;

// Names of the test's own, apart from other tests and from a real Kelvane.
std::string TestNamespace() {
    return "kv-test/" + std::to_string(getpid()) + "/" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + "/";
}

class NamedObjects : public ::testing::Test {
  protected:
    LinuxSystem sys{TestNamespace()};
};

TEST_F(NamedObjects, EveryNameExistsAndOnlyNamesThatFitAnAddressOpen) {
    platform::Handle created = sys.CreateEvent("ZAMOUSB_EVENT_u");
    platform::Handle opened = sys.OpenEvent("ZAMOUSB_EVENT_u");
    ASSERT_NE(created, nullptr);
    ASSERT_NE(opened, nullptr);
    EXPECT_NE(opened, created);
    EXPECT_NE(sys.OpenEvent("never created"), nullptr);  // the kernel keeps every name
    EXPECT_EQ(sys.LockAddress("Global\\Kelvane.CommandFrame"),
              TestNamespace() + "Global\\Kelvane.CommandFrame");
    for (const std::string& bad : {std::string(), std::string(100, 'x')}) {
        EXPECT_EQ(sys.CreateEvent(bad.c_str()), nullptr);
        EXPECT_EQ(sys.CreateMutex(bad.c_str()), nullptr);
    }
    EXPECT_EQ(sys.CreateEvent(nullptr), nullptr);
    EXPECT_TRUE(sys.CloseHandle(created));
    EXPECT_TRUE(sys.CloseHandle(opened));
    EXPECT_FALSE(sys.CloseHandle(opened));  // closed once only
}

// The old lock files were planted by another user in a world-writable folder that the
// environment chose: links to files root must not touch, FIFOs that block an open, another
// user's files, a folder that is missing. None of it is looked at, and every environment meets
// the same lock.
TEST(NamedObjectPlaces, PlantedFilesAreNeverTouchedAndEveryEnvironmentSharesTheLock) {
    const fs::path dir = fs::temp_directory_path() / ("kv-hostile-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms::all);  // world-writable, not sticky
    const fs::path secret = dir / "secret";
    std::ofstream(secret) << "root's";
    fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink(secret, dir / "Global\\Kelvane.CommandFrame.lock");
    fs::create_symlink(secret, dir / "Global\\Kelvane.CommandFrame.queue");
    ASSERT_EQ(::mkfifo((dir / "ZAMOUSB_EVENT_u.lock").c_str(), 0666), 0);
    ASSERT_EQ(::mkfifo((dir / "ZAMOUSB_EVENT_u.queue").c_str(), 0666), 0);
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved = old ? old : "";

    const std::string ns = TestNamespace();
    std::vector<std::unique_ptr<LinuxSystem>> systems;
    for (const char* runtime : {dir.c_str(), "/nonexistent/kv", ""}) {
        setenv("XDG_RUNTIME_DIR", runtime, 1);
        EXPECT_EQ(LinuxSystem().LockAddress("ZAMOUSB_EVENT_u"), "kelvane/ZAMOUSB_EVENT_u");
        systems.push_back(std::make_unique<LinuxSystem>(ns));
    }
    unsetenv("XDG_RUNTIME_DIR");
    systems.push_back(std::make_unique<LinuxSystem>(ns));
    if (old) setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);

    for (const char* name : {"Global\\Kelvane.CommandFrame", "ZAMOUSB_EVENT_u"}) {
        SCOPED_TRACE(name);
        std::vector<platform::Handle> handles;
        for (auto& s : systems) handles.push_back(s->CreateMutex(name));
        ASSERT_EQ(systems[0]->WaitForSingleObject(handles[0], 0), platform::kWaitObject0);
        for (std::size_t i = 1; i < systems.size(); ++i)
            EXPECT_EQ(systems[i]->WaitForSingleObject(handles[i], 0), platform::kWaitTimeout);
        EXPECT_TRUE(systems[0]->ReleaseMutex(handles[0]));
        EXPECT_EQ(systems.back()->WaitForSingleObject(handles.back(), 0), platform::kWaitObject0);
    }
    EXPECT_EQ(fs::status(secret).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::file_size(secret), 6u);
    fs::remove_all(dir);
}

TEST_F(NamedObjects, TheEventIsTakenOnceAndGivenBackOnlyByItsHolder) {
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

TEST_F(NamedObjects, ADeadHoldersEventIsFreeAndTheHolderIsNamed) {
    platform::Handle h = sys.CreateEvent("ZAMOUSB_EVENT_u");
    ASSERT_NE(h, nullptr);
    const std::string ns = TestNamespace();  // named after this process, not the child
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Another program takes the event and dies without giving it back.
        ::close(ready[0]);
        LinuxSystem other(ns);
        platform::Handle e = other.OpenEvent("ZAMOUSB_EVENT_u");
        const char took = other.WaitForSingleObject(e, 0) == platform::kWaitObject0 ? 1 : 0;
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
    EXPECT_NE(sys.MutexOwner(h).find("process " + std::to_string(child)), std::string::npos);
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(sys.WaitForSingleObject(h, 0), platform::kWaitObject0);
    EXPECT_EQ(sys.MutexOwner(h).find("process " + std::to_string(child)), std::string::npos);
    sys.CloseHandle(h);
}

TEST_F(NamedObjects, NoServiceToRunAndNoSystemFolder) {
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

    // A disk's service event follows the disk, not its letter: with sdb pulled, sdc is D: and
    // keeps its event, so a process that enumerated before the pull meets one that did after.
    using platform::linux_os::DiskObjectKey;
    EXPECT_EQ(DiskObjectKey("ZAMOUSB_EVENT_E", disks), "ZAMOUSB_EVENT_sdc");
    const std::vector<platform::linux_os::RemovableDisk> pulled = {{'D', "sdc", "/dev/sdc"}};
    EXPECT_EQ(DiskObjectKey("ZAMOUSB_EVENT_D", pulled), "ZAMOUSB_EVENT_sdc");
    EXPECT_EQ(DiskObjectKey("ZAMOUSB_EVENT_u", disks), "ZAMOUSB_EVENT_u");
    EXPECT_EQ(DiskObjectKey("ZAMOUSB_EVENT_G", disks), "ZAMOUSB_EVENT_G");  // no such disk
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
