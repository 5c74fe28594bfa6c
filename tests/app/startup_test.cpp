// Start-up argument handling without a scanner attached.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "tests/app/app_fixture.h"

namespace apptest {
namespace {

using Strings = std::vector<std::string>;

class StartupTest : public AppTest {};

TEST_F(StartupTest, NoArgumentOpensTheWindowAndTouchesNothing) {
    for (const char* line : {"kelvane.exe", "\"C:\\a b\\kelvane.exe\"  ", "kelvane.exe \"\"", ""}) {
        SCOPED_TRACE(line);
        form_.CheckMode = true;
        form_.FormCreate(line);
        EXPECT_FALSE(form_.CheckMode);
    }
    form_.FormCreate(nullptr);
    EXPECT_TRUE(Commands().empty());
    EXPECT_EQ(view_.endRequests, 0);
    EXPECT_FALSE(std::filesystem::exists(ResultFile()));
}

TEST_F(StartupTest, CheckModeWithoutDeviceLeavesAnEmptyVersionAndEnds) {
    WriteFileText(ResultFile(), "[result]\r\nversion=OLD1\r\n");
    form_.FormCreate("kelvane.exe CHECKFW extra \"more args\"");
    EXPECT_TRUE(form_.CheckMode);
    EXPECT_EQ(ReadFileText(ResultFile()), "[result]\r\nversion=\r\n");
    EXPECT_EQ(Commands(), (Strings{"net stop stisvc", "net start stisvc"}));
    EXPECT_EQ(view_.statuses, Strings{"No Device is Existing."});
    EXPECT_TRUE(view_.messages.empty());
    EXPECT_EQ(view_.endRequests, 1);
}

TEST_F(StartupTest, OtherFirstArgumentsAreImagePaths) {
    for (const char* line :
         {"kelvane.exe checkfw", "kelvane.exe CHECKFW2", "kelvane.exe \"C:\\fw dir\\a.bin\""}) {
        SCOPED_TRACE(line);
        form_.FormCreate(line);
        EXPECT_FALSE(form_.CheckMode);
        EXPECT_EQ(view_.LastStatus(), "No Device is Existing.");
    }
    EXPECT_FALSE(std::filesystem::exists(ResultFile()));
    EXPECT_EQ(Commands().size(), 6u);
    EXPECT_EQ(view_.endRequests, 3);
}

TEST_F(StartupTest, UnwritableResultFileStillStartsTheServiceAndEndsWithoutABox) {
    sys_.SetModuleFileName((ProgDir() / "gone" / "kelvane.exe").string());
    app::RunHandler(view_, [&] { form_.FormCreate("kelvane.exe CHECKFW"); });
    EXPECT_EQ(Commands(), (Strings{"net stop stisvc", "net start stisvc"}));
    // Nobody is there to close a box: the text goes to the caller and the status says it.
    EXPECT_TRUE(view_.errors.empty());
    const std::string text = sys_.StdoutText();
    EXPECT_EQ(text.rfind("Unable to write to ", 0), 0u) << text;
    EXPECT_NE(text.find("result2.ini.\r\n"), std::string::npos) << text;
    EXPECT_NE(std::find(sys_.DebugLines().begin(), sys_.DebugLines().end(), text),
              sys_.DebugLines().end());
    EXPECT_EQ(form_.Exit(), app::ExitStatus::kResultFile);
    EXPECT_EQ(view_.endRequests, 1);
    EXPECT_TRUE(view_.statuses.empty());  // the device was never touched
}

// A result file that is there but cannot be read is no empty file: rewriting it would drop every
// other entry.
TEST_F(StartupTest, AResultFileThatCannotBeReadEndsWithSixAndIsKeptWhole) {
    const std::string before = "[other]\r\nkeep=1\r\n[result]\r\nversion=OLD1\r\n";
    WriteFileText(ResultFile(), before);
    sim::SimSystem::FileFaults faults;
    faults.accessDenied = ResultFile().string();
    sys_.SetFileFaults(faults);
    form_.FormCreate("kelvane.exe CHECKFW");
    sys_.SetFileFaults({});
    EXPECT_EQ(form_.Exit(), app::ExitStatus::kResultFile);
    EXPECT_EQ(sys_.StdoutText().rfind("Unable to write to ", 0), 0u) << sys_.StdoutText();
    EXPECT_EQ(ReadFileText(ResultFile()), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(ProgDir()),
                            std::filesystem::directory_iterator()),
              1)
        << "no temporary file left";
}

TEST_F(StartupTest, ClicksDuringTheUnattendedWorkAreIgnored) {
    view_.onProcessMessages = [&] { form_.Button5Click(); };
    form_.FormCreate("kelvane.exe CHECKFW");
    EXPECT_EQ(Commands().size(), 2u);
}

}  // namespace
}  // namespace apptest
