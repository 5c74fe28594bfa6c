#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/app/app_fixture.h"

namespace apptest {
namespace {

class ResultFileTest : public AppTest {};

TEST_F(ResultFileTest, CreatesTheFileBesideTheProgramNotInTheCurrentFolder) {
    form_.WriteResult("version", "1.2a");
    EXPECT_EQ(ReadFileText(ResultFile()), "[result]\r\nversion=1.2a\r\n");
    EXPECT_FALSE(std::filesystem::exists(WorkDir() / "result2.ini"));
}

TEST_F(ResultFileTest, ReplacesOnlyTheVersionAndKeepsEverythingElse) {
    WriteFileText(ResultFile(), "[other]\r\nx=1\r\n[result]\r\nversion=OLD\r\nmore=2\r\n");
    form_.WriteResult("version", "");
    EXPECT_EQ(ReadFileText(ResultFile()), "[other]\r\nx=1\r\n[result]\r\nversion=\r\nmore=2\r\n");
}

TEST_F(ResultFileTest, ProgramFolderFromALongPathWithEitherSeparator) {
    // Longer than the first buffer the folder lookup tries.
    const std::filesystem::path deep = ProgDir() / std::string(150, 'd') / std::string(150, 'e');
    std::filesystem::create_directories(deep);
    sys_.SetModuleFileName((deep / "kelvane.exe").string());
    form_.WriteResult("version", "V");
    EXPECT_EQ(ReadFileText(deep / "result2.ini"), "[result]\r\nversion=V\r\n");
}

TEST_F(ResultFileTest, UnwritableFileRaisesWithTheFullPath) {
    const std::string missing = (ProgDir() / "gone" / "kelvane.exe").string();
    sys_.SetModuleFileName(missing);
    const std::string expected =
        "Unable to write to " + missing.substr(0, missing.size() - 11) + "result2.ini";
    try {
        form_.WriteResult("version", "1");
        FAIL() << "no error";
    } catch (const app::Error& e) {
        EXPECT_EQ(e.what(), expected);
    }
}

TEST_F(ResultFileTest, UnknownProgramPathNeverFallsBackToTheCurrentFolder) {
    sys_.SetModuleFileName("");
    EXPECT_THROW(form_.WriteResult("version", "1"), app::Error);
    EXPECT_FALSE(std::filesystem::exists(WorkDir() / "result2.ini"));
}

}  // namespace
}  // namespace apptest
