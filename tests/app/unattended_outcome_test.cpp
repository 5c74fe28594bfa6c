// What an unattended run tells its caller: the exit status of real jobs' outcomes (every end's
// status is in job_outcome_test.cpp), the text on standard output, missing rights; and the
// version value that reaches result2.ini.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/version_text.h"
#include "tests/app/device_fixture.h"

namespace apptest {
namespace {

using app::ExitStatus;

TEST(VersionValueTest, KeepsPrintableTextAndReplacesWhatCouldBreakTheLine) {
    const struct {
        std::string bytes;  // the four bytes as read
        std::string value;
    } cases[] = {
        {"1.23", "1.23"},
        {"Q\r\n[", "Q???"},
        {"]a\x7F\x01", "?a??"},
        {"v=;#", "v=;#"},
        {std::string("ab\0d", 4), "ab"},
        {std::string("\0abc", 4), ""},
        {"\xE9t\xE9!", "\xE9t\xE9!"},  // bytes above DEL are characters of the code page
    };
    for (const auto& c : cases) {
        EXPECT_EQ(app::VersionValue(c.bytes.data(), 4), c.value);
    }
}

class UnattendedOutcomeTest : public DeviceTest {
  protected:
    void NotElevatedAndTheStopIsRefused() {
        sys_.SetElevated(false);
        sys_.SetProcess("net stop stisvc", {true, 2, 0});  // net's "access denied"
    }
};

TEST_F(UnattendedOutcomeTest, UpdateEndsWithTheStatusOfItsOutcome) {
    Attach(Attach::kStillImage);
    MakeImage("good.bin", 70000);
    MakeImage("empty.bin", 0);
    const struct {
        const char* line;
        ExitStatus status;
        const char* said;  // the last line on standard output
    } cases[] = {
        {"kelvane.exe good.bin", ExitStatus::kOk, "Update FW Ok.\r\n"},
        {"kelvane.exe missing.bin", ExitStatus::kBadImage, "Open file fail.\r\n"},
        {"kelvane.exe empty.bin", ExitStatus::kBadImage, "Image file is empty.\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        form_.FormCreate(c.line);
        EXPECT_EQ(form_.Exit(), c.status);
        const std::string out = sys_.StdoutText();
        EXPECT_EQ(out.substr(out.size() - std::string(c.said).size()), c.said);
    }
    EXPECT_TRUE(view_.errors.empty());
}

TEST_F(UnattendedOutcomeTest, RefusedBlockIsADeviceFailure) {
    Attach(Attach::kStillImage);
    MakeImage("fw.bin", 131072);
    scanner_.Inject(sim::Fault::DataFails().OnCommand(0x02, 0x03, 5).Always());
    form_.FormCreate("kelvane.exe fw.bin");
    EXPECT_EQ(form_.Exit(), ExitStatus::kDeviceFailed);
    // The service comes back whatever happened.
    EXPECT_EQ(Commands(), (Strings{"net stop stisvc", "net start stisvc"}));
}

TEST_F(UnattendedOutcomeTest, NoDeviceIsItsOwnStatusButNotForTheCheckMode) {
    form_.FormCreate("kelvane.exe fw.bin");
    EXPECT_EQ(form_.Exit(), ExitStatus::kNoDevice);
    EXPECT_EQ(sys_.StdoutText(), "No Device is Existing.\r\n");
    // The check mode's result is the empty version, written.
    form_.FormCreate("kelvane.exe CHECKFW");
    EXPECT_EQ(form_.Exit(), ExitStatus::kOk);
    EXPECT_EQ(ReadFileText(ResultFile()), "[result]\r\nversion=\r\n");
}

TEST_F(UnattendedOutcomeTest, WindowModeEndsWithStatusZeroWhateverTheCommandsDid) {
    form_.FormCreate("kelvane.exe");
    form_.Button4Click();
    form_.Button6Click();
    EXPECT_EQ(view_.LastStatus(), "No Device is Existing.");
    EXPECT_EQ(form_.Exit(), ExitStatus::kOk);
}

TEST_F(UnattendedOutcomeTest, MissingRightsAreNamedInTheUnattendedModes) {
    NotElevatedAndTheStopIsRefused();
    const std::string rights =
        "The scanner service could not be stopped: the program is not running as "
        "administrator.\r\n";
    for (const char* line : {"kelvane.exe fw.bin", "kelvane.exe CHECKFW"}) {
        SCOPED_TRACE(line);
        form_.FormCreate(line);
        EXPECT_EQ(form_.Exit(), ExitStatus::kNoRights);
        EXPECT_EQ(sys_.StdoutText().rfind(rights, 0), 0u) << sys_.StdoutText();
        // Panel 0 keeps its own texts; panel 1 belongs to the window.
        EXPECT_EQ(view_.LastStatus(), "No Device is Existing.");
        EXPECT_TRUE(view_.panel1.empty());
        sys_.ClearStdout();
    }
    EXPECT_EQ(ReadFileText(ResultFile()), "[result]\r\nversion=\r\n");
}

TEST_F(UnattendedOutcomeTest, MissingRightsDoNotHideAnOutcomeTheyDidNotCause) {
    NotElevatedAndTheStopIsRefused();
    // The service was not running: the scanner was there all the same.
    Attach(Attach::kStillImage);
    MakeImage("fw.bin", 5000);
    form_.FormCreate("kelvane.exe fw.bin");
    EXPECT_EQ(form_.Exit(), ExitStatus::kOk);
    form_.FormCreate("kelvane.exe missing.bin");
    EXPECT_EQ(form_.Exit(), ExitStatus::kBadImage);
}

TEST_F(UnattendedOutcomeTest, RefusedStopWithRightsIsNoRightsProblem) {
    // An elevated stop fails when the service is not running; a missing scanner is missing.
    sys_.SetProcess("net stop stisvc", {true, 2, 0});
    form_.FormCreate("kelvane.exe fw.bin");
    EXPECT_EQ(form_.Exit(), ExitStatus::kNoDevice);
    EXPECT_EQ(sys_.StdoutText().find("administrator"), std::string::npos);
}

TEST_F(UnattendedOutcomeTest, MissingRightsAreNamedInTheWindow) {
    NotElevatedAndTheStopIsRefused();
    form_.FormCreate("kelvane.exe");
    EXPECT_EQ(view_.panel1, Strings{"Limited"});
    EXPECT_TRUE(view_.messages.empty()) << "not before the window is shown";
    form_.FormShow();
    ASSERT_EQ(view_.messages.size(), 1u);
    EXPECT_NE(view_.messages[0].find("not running as administrator"), std::string::npos);
    form_.Button5Click();
    // Panel 0 says what it always says; nothing goes to standard output.
    EXPECT_EQ(view_.statuses, Strings{"No Device is Existing."});
    EXPECT_EQ(view_.panel1, Strings{"Limited"});
    EXPECT_EQ(view_.messages.size(), 1u);
    EXPECT_TRUE(sys_.StdoutText().empty());
    EXPECT_EQ(form_.Exit(), ExitStatus::kOk);
}

TEST_F(UnattendedOutcomeTest, AnElevatedWindowLeavesPanelOneEmptyAndShowsNoMessage) {
    form_.FormCreate("kelvane.exe");
    form_.FormShow();
    form_.Button5Click();
    EXPECT_TRUE(view_.panel1.empty());
    EXPECT_TRUE(view_.messages.empty());
}

TEST_F(UnattendedOutcomeTest, UnattendedRunsWithoutRightsShowNoMessageOnTheirWayOut) {
    NotElevatedAndTheStopIsRefused();
    form_.FormCreate("kelvane.exe CHECKFW");
    form_.FormShow();
    EXPECT_TRUE(view_.messages.empty());
    EXPECT_TRUE(view_.panel1.empty());
}

TEST_F(UnattendedOutcomeTest, VersionWithLineBreaksAndABracketGivesOneCleanLine) {
    Attach(Attach::kStillImage);
    const char version[4] = {'Q', '\r', '\n', '['};
    std::copy(std::begin(version), std::end(version), scanner_.Config().version);
    form_.FormCreate("kelvane.exe CHECKFW");
    EXPECT_EQ(ReadFileText(ResultFile()), "[result]\r\nversion=Q???\r\n");
    EXPECT_EQ(form_.Exit(), ExitStatus::kOk);
    form_.CheckMode = false;  // the window's query shows the same value
    form_.Button6Click();
    EXPECT_EQ(view_.messages, Strings{"The Verision:Q???\r\n"});
}

}  // namespace
}  // namespace apptest
