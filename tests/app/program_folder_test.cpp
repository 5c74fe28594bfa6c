// The program's folder from GetModuleFileName's cut-and-report rule: the first buffer holds 260
// characters, and every larger size doubles it.
#include "app/program_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/app/app_fixture.h"

namespace apptest {
namespace {

class ProgramFolderTest : public AppTest {};

TEST_F(ProgramFolderTest, PathsAroundEachBufferSizeGiveTheWholeFolder) {
    // Whole path lengths: fitting with its terminator, filling the buffer, one past it.
    for (const std::size_t total : {259u, 260u, 261u, 519u, 520u, 521u, 1040u, 32767u}) {
        SCOPED_TRACE(total);
        const std::string folder = "C:\\" + std::string(total - 3 - 12, 'f') + "\\";
        const std::string program = folder + "kelvane.exe";
        ASSERT_EQ(program.size(), total);
        sys_.SetModuleFileName(program);
        EXPECT_EQ(app::ProgramFolder(), folder);
    }
}

TEST_F(ProgramFolderTest, PathLongerThanAnyWindowsPathIsNoFolder) {
    sys_.SetModuleFileName("C:\\" + std::string(40000, 'f') + "\\kelvane.exe");
    EXPECT_EQ(app::ProgramFolder(), std::nullopt);
    EXPECT_THROW(form_.WriteResult("version", "1"), app::Error);
    EXPECT_FALSE(std::filesystem::exists(WorkDir() / "result2.ini"));
}

TEST_F(ProgramFolderTest, ResultFileLandsInAFolderOf257Characters) {
    // Folder names stay below the 255-character limit of one name.
    std::filesystem::path deep = ProgDir() / std::string(200, 'd');
    const std::size_t rest = 257 - deep.string().size() - 1;  // and its separator
    ASSERT_LT(rest, 255u);
    deep /= std::string(rest, 'e');
    ASSERT_EQ(deep.string().size(), 257u);
    std::filesystem::create_directories(deep);
    sys_.SetModuleFileName((deep / "kelvane.exe").string());

    form_.WriteResult("version", "1.23");
    EXPECT_EQ(ReadFileText(deep / "result2.ini"), "[result]\r\nversion=1.23\r\n");
}

}  // namespace
}  // namespace apptest
