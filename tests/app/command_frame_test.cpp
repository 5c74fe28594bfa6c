// The command runner, the command frame around every device command, and the small controls.
// No scanner is attached here: device work ends with "No Device is Existing.".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/app/app_fixture.h"

namespace apptest {
namespace {

using Strings = std::vector<std::string>;

const Strings kServiceStopStart = {"net stop stisvc", "net start stisvc"};

class CommandRunnerTest : public AppTest {};

TEST_F(CommandRunnerTest, PollsEveryHundredMillisecondsLettingTheWindowHandleEvents) {
    const struct {
        std::uint32_t runMs;
        int polls;  // a process that has already ended still costs one round
    } cases[] = {{0, 1}, {1, 2}, {100, 2}, {250, 4}, {60000, 601}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.runMs);
        sys_.SetProcess("net stop stisvc", {true, 2, c.runMs});
        const int before = view_.processMessagesCalls;
        const auto start = sys_.Now();
        EXPECT_EQ(form_.RunCommand("net stop stisvc"), 2);
        EXPECT_EQ(view_.processMessagesCalls - before, c.polls);
        EXPECT_EQ(sys_.Now() - start, 100u * static_cast<unsigned>(c.polls));
    }
    EXPECT_EQ(sys_.OpenHandleCount(), 0u);
    EXPECT_EQ(sys_.CloseErrors(), 0u);
    EXPECT_TRUE(view_.statuses.empty());
}

TEST_F(CommandRunnerTest, FailedStartReportsAndReturns1000WithoutWaiting) {
    sys_.SetProcess("net start stisvc", {false, 0, 0});
    const auto start = sys_.Now();
    EXPECT_EQ(form_.RunCommand("net start stisvc"), 1000);
    EXPECT_EQ(view_.statuses, Strings{"CreaetProcess Error!"});
    EXPECT_EQ(view_.processMessagesCalls, 0);
    EXPECT_EQ(sys_.Now(), start);
    EXPECT_EQ(sys_.OpenHandleCount(), 0u);
}

TEST_F(CommandRunnerTest, NetIsStartedFromTheSystemFolderOnly) {
    sys_.SetSystemDirectory("D:\\Win\\System32");
    form_.RunCommand("net stop stisvc");
    form_.RunCommand("  NET start stisvc");
    form_.RunCommand("net.exe start x");
    form_.RunCommand("netsh show");
    form_.RunCommand("cmd /c net stop stisvc");
    const auto& log = sys_.ProcessLog();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0].applicationName, "D:\\Win\\System32\\net.exe");
    EXPECT_EQ(log[0].commandLine, "net stop stisvc");
    EXPECT_EQ(log[1].applicationName, "D:\\Win\\System32\\net.exe");
    EXPECT_EQ(log[1].commandLine, "  NET start stisvc");
    EXPECT_EQ(log[2].applicationName, "D:\\Win\\System32\\net.exe");
    EXPECT_EQ(log[3].applicationName, "");  // only the word "net" itself
    EXPECT_EQ(log[4].applicationName, "");
}

TEST_F(CommandRunnerTest, UnknownSystemFolderStartsNothing) {
    sys_.SetSystemDirectory("");
    EXPECT_EQ(form_.RunCommand("net stop stisvc"), 1000);
    EXPECT_TRUE(sys_.ProcessLog().empty());
    EXPECT_EQ(view_.statuses, Strings{"CreaetProcess Error!"});
}

class CommandFrameTest : public AppTest {};

TEST_F(CommandFrameTest, EveryDeviceCommandRunsBetweenServiceStopAndStart) {
    view_.pickAnswers.push_back(std::string("image.bin"));
    const struct {
        const char* name;
        void (app::TForm1::*click)();
        const char* status;
    } cases[] = {
        {"UpdateFW", &app::TForm1::Button3Click, "No Device is Existing."},
        {"Read Flash", &app::TForm1::Button4Click, "No Device is Existing"},
        {"DoCalibration", &app::TForm1::Button5Click, "No Device is Existing."},
        {"Get Version", &app::TForm1::Button6Click, "No Device is Existing."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = Commands().size();
        form_.StopServiceCommand.clear();
        (form_.*c.click)();
        const Strings commands = Commands();
        EXPECT_EQ(Strings(commands.begin() + static_cast<long>(before), commands.end()),
                  kServiceStopStart);
        EXPECT_EQ(view_.LastStatus(), c.status);
        EXPECT_EQ(form_.StopServiceCommand, "net stop stisvc");
        EXPECT_EQ(form_.StartServiceCommand, "net start stisvc");
    }
    EXPECT_TRUE(sys_.StdoutText().empty());
    EXPECT_TRUE(view_.errors.empty());
}

TEST_F(CommandFrameTest, ServiceThatCannotStopLeavesItsTextForTheRoutineToReplace) {
    sys_.SetProcess("net stop stisvc", {false, 0, 0});
    form_.Button5Click();
    EXPECT_EQ(view_.statuses, (Strings{"CreaetProcess Error!", "No Device is Existing."}));
    EXPECT_EQ(Commands(), kServiceStopStart);  // the start is tried all the same
}

TEST_F(CommandFrameTest, ErrorOfTheRoutinePassesOnAfterTheServiceStart) {
    view_.edit1 = "4000 ";
    EXPECT_THROW(form_.Button4Click(), app::Error);
    EXPECT_EQ(Commands(), kServiceStopStart);
    EXPECT_TRUE(view_.commandsEnabled);

    // The way the event loop shows it.
    app::RunHandler(view_, [&] { form_.Button4Click(); });
    EXPECT_EQ(view_.errors, Strings{"'4000 ' is not a valid integer value."});
    EXPECT_TRUE(view_.statuses.empty());  // no device contact
    // The frame is free again for the next command.
    view_.edit1 = "0";
    form_.Button5Click();
    EXPECT_EQ(Commands().size(), 6u);
}

TEST_F(CommandFrameTest, ClicksWhileTheRunnerWaitsAreIgnored) {
    view_.pickAnswers.push_back(std::string("image.bin"));
    int nested = 0;
    view_.onProcessMessages = [&] {
        ++nested;
        // Greyed, so the person sees that these clicks do nothing.
        EXPECT_FALSE(view_.commandsEnabled);
        form_.Button3Click();
        form_.Button4Click();
        form_.Button5Click();
        form_.Button6Click();
    };
    form_.Button5Click();
    EXPECT_EQ(nested, 2);  // one round per service command
    EXPECT_TRUE(view_.commandsEnabled);
    EXPECT_EQ(Commands(), kServiceStopStart);
    EXPECT_TRUE(view_.pickDirs.empty());
    EXPECT_EQ(view_.scroll, 0);
    EXPECT_EQ(view_.statuses, Strings{"No Device is Existing."});
}

TEST_F(CommandFrameTest, CancelledFileDialogTouchesNothing) {
    form_.Button3Click();
    EXPECT_TRUE(Commands().empty());
    EXPECT_TRUE(view_.statuses.empty());
    ASSERT_EQ(view_.pickDirs.size(), 1u);
    const std::string dir = view_.pickDirs[0];
    EXPECT_EQ(dir, (ProgDir() / "x").string().substr(0, dir.size()));
    EXPECT_TRUE(dir.back() == '/' || dir.back() == '\\');
}

TEST_F(CommandFrameTest, GetVersionMovesTheScrollBarToTwoOnlyOnAChange) {
    view_.scroll = 0;
    view_.edit2 = "123";
    form_.Button6Click();
    EXPECT_EQ(view_.scroll, 2);
    EXPECT_EQ(view_.edit2, "2097152");

    view_.edit2 = "777";
    form_.Button6Click();
    EXPECT_EQ(view_.scroll, 2);
    EXPECT_EQ(view_.edit2, "777");
    EXPECT_EQ(view_.LogOf("edit2:").size(), 1u);
}

TEST_F(CommandFrameTest, OkAndCancelEndAtOnce) {
    form_.Button1Click();
    form_.Button2Click();
    EXPECT_EQ(view_.endRequests, 2);
    EXPECT_TRUE(Commands().empty());
    EXPECT_TRUE(view_.messages.empty());
}

TEST_F(CommandFrameTest, ScrollBarPutsItsSizeIntoTheLengthField) {
    const char* const sizes[] = {"524288", "1048576", "2097152", "4194304", "8388608", "16777216"};
    for (int position = 0; position < 6; ++position) {
        view_.scroll = position;
        form_.ScrollBar1Change();
        EXPECT_EQ(view_.edit2, sizes[position]);
    }
    view_.edit2 = "5";
    for (int position : {-1, 6, 100}) {
        view_.scroll = position;
        form_.ScrollBar1Change();
        EXPECT_EQ(view_.edit2, "5");
    }
}

}  // namespace
}  // namespace apptest
