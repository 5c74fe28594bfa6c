#include "platform/profile/profile_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/sim/sim_system.h"

namespace {

namespace fs = std::filesystem;

struct ProfileCase {
    const char* name;
    std::string before;
    const char* section;
    const char* key;
    const char* value;
    std::string after;
};

class ProfileText : public ::testing::TestWithParam<ProfileCase> {};

TEST_P(ProfileText, UpdatesLikeTheWin32Call) {
    const ProfileCase& c = GetParam();
    EXPECT_EQ(platform::profile::UpdateProfileText(c.before, c.section, c.key, c.value), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileText,
    ::testing::Values(
        ProfileCase{"NewFile", "", "result", "version", "2206", "[result]\r\nversion=2206\r\n"},
        ProfileCase{"EmptyValue", "", "result", "version", "", "[result]\r\nversion=\r\n"},
        ProfileCase{"ReplaceKeepsOtherLinesAndNormalisesLineEnds",
                    "; note\n[other]\na=1\n[Result]\nVersion=old\nz=9\n", "result", "version",
                    "new", "; note\r\n[other]\r\na=1\r\n[Result]\r\nVersion=new\r\nz=9\r\n"},
        ProfileCase{"AddKeyAfterLastFilledLineOfItsSection",
                    "[result]\r\nx=1\r\n\r\n[next]\r\ny=2\r\n", "result", "version", "7",
                    "[result]\r\nx=1\r\nversion=7\r\n\r\n[next]\r\ny=2\r\n"},
        ProfileCase{"AppendSectionToFileWithoutFinalLineEnd", "[a]\r\nk=v", "result", "version",
                    "1", "[a]\r\nk=v\r\n[result]\r\nversion=1\r\n"},
        ProfileCase{"NullValueRemovesKey", "[result]\r\nversion=1\r\nx=2\r\n", "result", "version",
                    nullptr, "[result]\r\nx=2\r\n"},
        ProfileCase{"NullKeyRemovesSection", "[a]\r\nk=v\r\n[result]\r\nversion=1\r\n", "result",
                    nullptr, nullptr, "[a]\r\nk=v\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class ProfileFile : public ::testing::Test {
  protected:
    ProfileFile() {
        dir = fs::temp_directory_path() /
              ("kv_profile_" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    ~ProfileFile() override { fs::remove_all(dir); }
    fs::path dir;
    sim::SimSystem sys;
};

TEST_F(ProfileFile, CreatesThenRewritesTheFileKeepingOtherContent) {
    const std::string path = (dir / "result2.ini").string();
    ASSERT_TRUE(sys.WritePrivateProfileString("result", "version", "", path.c_str()));
    EXPECT_EQ(ReadAll(path), "[result]\r\nversion=\r\n");
    {
        std::ofstream out(path, std::ios::binary | std::ios::app);
        out << "[keep]\r\nme=1\r\n";
    }
    ASSERT_TRUE(sys.WritePrivateProfileString("result", "version", "2206", path.c_str()));
    EXPECT_EQ(ReadAll(path), "[result]\r\nversion=2206\r\n[keep]\r\nme=1\r\n");
}

TEST_F(ProfileFile, FailsWhenTheFileCannotBeWritten) {
    // A folder where the file should be, and a folder that does not exist.
    fs::create_directories(dir / "result2.ini");
    EXPECT_FALSE(sys.WritePrivateProfileString("result", "version", "1",
                                               (dir / "result2.ini").string().c_str()));
    EXPECT_FALSE(sys.WritePrivateProfileString("result", "version", "1",
                                               (dir / "missing" / "r.ini").string().c_str()));
    EXPECT_FALSE(
        sys.WritePrivateProfileString(nullptr, "version", "1", (dir / "r.ini").string().c_str()));
    EXPECT_FALSE(fs::exists(dir / "r.ini"));
}

}  // namespace
