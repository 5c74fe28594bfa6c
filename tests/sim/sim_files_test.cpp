// The simulated backend's file calls: real files underneath, Windows' refusals on top, and the
// failures a test can ask for.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/sim/sim_system.h"

namespace {

namespace fs = std::filesystem;
using platform::Handle;
using platform::InvalidHandle;

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
}

class SimFiles : public ::testing::Test {
  protected:
    SimFiles() {
        dir = fs::temp_directory_path() /
              ("kv_simfiles_" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    ~SimFiles() override {
        EXPECT_EQ(sys.OpenHandleCount(), 0u);
        EXPECT_EQ(sys.CloseErrors(), 0u);
        std::error_code ec;
        for (const auto& entry : fs::recursive_directory_iterator(dir, ec))
            fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add, ec);
        fs::remove_all(dir, ec);
    }
    std::string Path(const char* name) const { return (dir / name).string(); }
    Handle Open(const char* name, std::uint32_t access, std::uint32_t disposition) {
        return sys.CreateFile(Path(name).c_str(), access, 0, disposition);
    }

    fs::path dir;
    sim::SimSystem sys;
};

TEST_F(SimFiles, TemporaryFileIsWrittenFlushedAndReplacesTheTarget) {
    WriteAll(dir / "flash.bin", "OLD CONTENT");
    char first[platform::kMaxPath];
    char second[platform::kMaxPath];
    const std::uint32_t n1 = sys.GetTempFileName(dir.string().c_str(), "kvfile", first);
    const std::uint32_t n2 = sys.GetTempFileName(dir.string().c_str(), "kvfile", second);
    ASSERT_NE(n1, 0u);
    ASSERT_NE(n2, 0u);
    EXPECT_NE(std::string(first), std::string(second));
    EXPECT_EQ(fs::path(first).parent_path(), dir);
    EXPECT_TRUE(fs::path(first).filename().string().starts_with("kvf"));
    EXPECT_EQ(fs::path(first).extension(), ".tmp");
    EXPECT_EQ(ReadAll(first), "") << "created, empty";

    Handle h = sys.CreateFile(first, platform::kGenericWrite, 0, platform::kTruncateExisting);
    ASSERT_NE(h, InvalidHandle());
    std::uint32_t done = 99;
    EXPECT_TRUE(sys.WriteFile(h, "NEW BYTES", 9, &done));
    EXPECT_EQ(done, 9u);
    EXPECT_TRUE(sys.FlushFileBuffers(h));
    std::int64_t size = -1;
    EXPECT_TRUE(sys.GetFileSizeEx(h, &size));
    EXPECT_EQ(size, 9);
    EXPECT_FALSE(
        sys.MoveFileEx(first, Path("flash.bin").c_str(), platform::kMoveFileReplaceExisting))
        << "a file with an open handle stays where it is";
    EXPECT_EQ(sys.OpenHandleCount(), 1u);
    EXPECT_TRUE(sys.CloseHandle(h));

    EXPECT_FALSE(sys.MoveFileEx(first, Path("flash.bin").c_str(), 0))
        << "an existing target is replaced only when asked";
    EXPECT_TRUE(
        sys.MoveFileEx(first, Path("flash.bin").c_str(),
                       platform::kMoveFileReplaceExisting | platform::kMoveFileWriteThrough));
    EXPECT_FALSE(fs::exists(first));
    EXPECT_EQ(ReadAll(dir / "flash.bin"), "NEW BYTES");

    h = Open("flash.bin", platform::kGenericRead, platform::kOpenExisting);
    ASSERT_NE(h, InvalidHandle());
    char buf[16] = {};
    EXPECT_TRUE(sys.ReadFile(h, buf, sizeof buf, &done));
    EXPECT_EQ(std::string(buf, done), "NEW BYTES");
    EXPECT_TRUE(sys.ReadFile(h, buf, sizeof buf, &done));
    EXPECT_EQ(done, 0u) << "the end of the file is a read of nothing";
    EXPECT_FALSE(sys.DeleteFile(Path("flash.bin").c_str())) << "open";
    EXPECT_TRUE(sys.CloseHandle(h));
    EXPECT_TRUE(sys.DeleteFile(Path("flash.bin").c_str()));
    EXPECT_FALSE(fs::exists(dir / "flash.bin"));
    EXPECT_TRUE(sys.DeleteFile(second));
}

TEST_F(SimFiles, DispositionsFollowCreateFile) {
    const struct {
        const char* name;
        std::uint32_t disposition;
        bool exists;
        bool opens;
        const char* after;  // the file's content after open and close; null: no file
    } cases[] = {
        {"CreateNewMissing", platform::kCreateNew, false, true, ""},
        {"CreateNewExisting", platform::kCreateNew, true, false, "OLD"},
        {"CreateAlwaysExisting", platform::kCreateAlways, true, true, ""},
        {"OpenExistingMissing", platform::kOpenExisting, false, false, nullptr},
        {"OpenExistingExisting", platform::kOpenExisting, true, true, "OLD"},
        {"OpenAlwaysMissing", platform::kOpenAlways, false, true, ""},
        {"OpenAlwaysExisting", platform::kOpenAlways, true, true, "OLD"},
        {"TruncateExistingMissing", platform::kTruncateExisting, false, false, nullptr},
        {"TruncateExistingExisting", platform::kTruncateExisting, true, true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dir / "f");
        if (c.exists) WriteAll(dir / "f", "OLD");
        const Handle h = Open("f", platform::kGenericWrite, c.disposition);
        EXPECT_EQ(h != InvalidHandle(), c.opens);
        if (h != InvalidHandle()) {
            EXPECT_TRUE(sys.CloseHandle(h));
        }
        if (c.after == nullptr) {
            EXPECT_FALSE(fs::exists(dir / "f"));
        } else {
            EXPECT_EQ(ReadAll(dir / "f"), c.after);
        }
    }
}

TEST_F(SimFiles, FoldersAndReadOnlyFilesAreRefusedAsWindowsRefusesThem) {
    fs::create_directory(dir / "folder");
    for (const std::uint32_t access : {platform::kGenericRead, platform::kGenericWrite})
        EXPECT_EQ(Open("folder", access, platform::kOpenExisting), InvalidHandle());
    EXPECT_FALSE(sys.DeleteFile(Path("folder").c_str()));

    WriteAll(dir / "ro", "KEEP");
    WriteAll(dir / "other", "NEW");
    fs::permissions(dir / "ro", fs::perms::owner_write, fs::perm_options::remove);
    EXPECT_EQ(Open("ro", platform::kGenericWrite, platform::kOpenExisting), InvalidHandle());
    EXPECT_EQ(Open("ro", platform::kGenericWrite, platform::kOpenAlways), InvalidHandle());
    EXPECT_FALSE(sys.MoveFileEx(Path("other").c_str(), Path("ro").c_str(),
                                platform::kMoveFileReplaceExisting));
    EXPECT_FALSE(sys.DeleteFile(Path("ro").c_str()));
    EXPECT_EQ(ReadAll(dir / "ro"), "KEEP");
    const Handle h = Open("ro", platform::kGenericRead, platform::kOpenExisting);
    ASSERT_NE(h, InvalidHandle());
    EXPECT_TRUE(sys.CloseHandle(h));

    EXPECT_FALSE(sys.MoveFileEx(Path("missing").c_str(), Path("other").c_str(),
                                platform::kMoveFileReplaceExisting));
    EXPECT_EQ(ReadAll(dir / "other"), "NEW");
    char buf[platform::kMaxPath] = "x";
    EXPECT_EQ(sys.GetTempFileName(Path("missing").c_str(), "kvf", buf), 0u);
    EXPECT_STREQ(buf, "");
}

TEST_F(SimFiles, RequestedFailures) {
    const Handle h = Open("f", platform::kGenericWrite, platform::kCreateAlways);
    ASSERT_NE(h, InvalidHandle());
    std::uint32_t done = 99;

    sys.SetFileFaults({.failWrites = true});
    EXPECT_FALSE(sys.WriteFile(h, "abc", 3, &done));
    EXPECT_EQ(done, 0u);

    // A disk with 10 bytes free takes 10 of 25 and calls that a success, then refuses more.
    sys.SetFileFaults({.diskSpace = 10});
    EXPECT_TRUE(sys.WriteFile(h, "0123456789abcdefghijklmno", 25, &done));
    EXPECT_EQ(done, 10u);
    EXPECT_FALSE(sys.WriteFile(h, "abcdefghijklmno", 15, &done));
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(sys.FileBytesWritten(), 10u);

    sys.SetFileFaults({.failFlush = true});
    EXPECT_FALSE(sys.FlushFileBuffers(h));
    sys.SetFileFaults({});
    EXPECT_TRUE(sys.FlushFileBuffers(h));
    EXPECT_TRUE(sys.CloseHandle(h));
    EXPECT_EQ(ReadAll(dir / "f"), "0123456789");

    sys.SetFileFaults({.failTempName = true, .failMove = true});
    char buf[platform::kMaxPath];
    EXPECT_EQ(sys.GetTempFileName(dir.string().c_str(), "kvf", buf), 0u);
    EXPECT_FALSE(sys.MoveFileEx(Path("f").c_str(), Path("g").c_str(), 0));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1)
        << "nothing created, nothing moved";
}

}  // namespace
