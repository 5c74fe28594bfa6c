// One frame lock per scanner: its name, jobs on two scanners at once and on one scanner in
// turn, and the still-image service stopped while any job runs and started by the last one out,
// with a job that died never counted as running.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/frame_guards.h"
#include "devlink/scanner_identity.h"
#include "tests/app/device_fixture.h"

namespace apptest {
namespace {

TEST(FrameLockNames, AreTheScannersIdentityMadeSafeForAnObjectName) {
    const std::string base = app::kFrameLockName;
    const std::string longA(80, 'a');
    const std::string longB = longA.substr(0, 79) + "b";
    struct Case {
        std::string identity;
        std::string name;
    } cases[] = {
        {"usb-1-4@1.2", base + ".usb-1-4@1.2"},
        {"volume-{6b29fc40-ca47-1067-b31d-00dd010662da}",
         base + ".volume-{6b29fc40-ca47-1067-b31d-00dd010662da}"},
        {"disk-sdb", base + ".disk-sdb"},
        // A separator, a blank and the escape itself are escaped, so no two identities meet.
        {"a\\b c", base + ".a%5Cb%20c"},
        {"a%5Cb c", base + ".a%255Cb%20c"},
        {"a_b", base + ".a%5Fb"},
        {"", base},  // a device that names none: the one lock all such jobs share
    };
    for (const Case& c : cases) EXPECT_EQ(app::FrameLockName(c.identity), c.name) << c.identity;
    // Long identities are cut and end in a hash of the whole, which tells them apart.
    const std::string a = IdentityKey(longA);
    const std::string b = IdentityKey(longB);
    EXPECT_EQ(a.size(), kMaxIdentityKey);
    EXPECT_EQ(a.substr(0, 31), longA.substr(0, 31));
    EXPECT_EQ(a[31], '~');
    EXPECT_NE(a, b);
}

class ScannerFrameTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        Attach(apptest::Attach::kDisk);  // E:
        io_.AddDrive('F', platform::kDriveRemovable, &second_.Disk());
        form_.ChosenDevice = 'E' - 'A' + 1;
    }
    static std::string LockOf(char letter) {
        return app::FrameLockName(std::string("sim-drive-") + letter);
    }
    // Whether `program` owns the mutex `name` now.
    bool OwnedBy(int program, const std::string& name) {
        const int was = sys_.Program();
        sys_.SetProgram(program);
        const bool owned = sys_.MutexOwnedHere(name);
        sys_.SetProgram(was);
        return owned;
    }

    sim::Scanner second_{sim::ModelConfig{}, 1u << 20};
    RecordingView otherView_;
    app::TForm1 other_{otherView_};
};

TEST_F(ScannerFrameTest, JobsOnTwoScannersRunAtOnceAndJobsOnOneScannerTakeTurns) {
    struct Case {
        char otherDisk;
        bool otherWaits;
        Strings commands;
    } cases[] = {
        // Inside the first job: the other job's whole frame; the first one in stops the
        // service, the last one out starts it.
        {'F', false, {"net stop stisvc", "net start stisvc"}},
        // The other job waits in vain within its limit, then runs once the first has ended.
        {'E', true, {"net stop stisvc", "net start stisvc", "net stop stisvc", "net start stisvc"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.otherDisk);
        sys_.ClearStdout();
        const std::size_t commandsBefore = Commands().size();
        other_.ChosenDevice = c.otherDisk - 'A' + 1;
        other_.LockTimeoutMs = 3'000;
        other_.LastVersion.reset();
        bool bothHeld = false;
        bool otherRefused = false;
        other_.ScannerTaken = [&](int) {
            bothHeld = OwnedBy(1, LockOf(c.otherDisk)) && OwnedBy(0, LockOf('E'));
        };
        form_.ScannerTaken = [&](int) {
            // Another program starts its job while this one holds its scanner.
            sys_.SetProgram(1);
            try {
                other_.Button6Click();
            } catch (const app::FrameLockError&) {
                otherRefused = true;
            }
            sys_.SetProgram(0);
        };
        form_.Button6Click();
        EXPECT_EQ(form_.LastVersion, std::optional<std::string>("2206"));
        EXPECT_EQ(otherRefused, c.otherWaits);
        EXPECT_EQ(bothHeld, !c.otherWaits);
        if (c.otherWaits) {
            EXPECT_FALSE(other_.LastVersion.has_value());
            form_.ScannerTaken = nullptr;
            sys_.SetProgram(1);
            other_.Button6Click();  // the scanner is free now
            sys_.SetProgram(0);
        }
        EXPECT_EQ(other_.LastVersion, std::optional<std::string>("2206"));
        const Strings all = Commands();
        EXPECT_EQ(Strings(all.begin() + static_cast<long>(commandsBefore), all.end()), c.commands);
        for (int program : {0, 1}) {
            EXPECT_FALSE(OwnedBy(program, LockOf('E')));
            EXPECT_FALSE(OwnedBy(program, LockOf('F')));
            EXPECT_FALSE(OwnedBy(program, app::JobSlotName(0)));
            EXPECT_FALSE(OwnedBy(program, app::kServiceGateName));
        }
    }
}

TEST_F(ScannerFrameTest, AJobWaitsOnlyForAJobOnItsOwnScanner) {
    sys_.HoldMutex(LockOf('F'));  // another program's job on F, for ever
    form_.Button6Click();
    EXPECT_EQ(form_.LastVersion, std::optional<std::string>("2206"));
    const std::uint64_t alone = sys_.Now();

    sys_.HoldMutex(LockOf('E'), alone + 7'000);
    form_.Button6Click();
    EXPECT_GE(sys_.Now(), alone + 7'000);
    EXPECT_EQ(view_.panel1, (Strings{"Waiting", ""}));
    EXPECT_EQ(sys_.MutexTakeCount(LockOf('E')), 2u);
    EXPECT_EQ(sys_.MutexTakeCount(LockOf('F')), 0u);
}

TEST_F(ScannerFrameTest, TheLastJobOutStartsTheServiceAndADeadJobIsNotCounted) {
    struct Case {
        const char* what;
        bool otherAlive;  // another program holds a job slot: running, or ended without letting go
        bool started;
        bool elevated = true;
    } cases[] = {
        {"another job running", true, false},
        {"another job died holding its slot", false, true},
        // Without rights the job runs its own stop: its refusal says why a scanner is missing.
        {"another job running, this one without rights", true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sys_.SetElevated(c.elevated);
        form_.FormCreate("kelvane.exe");
        sys_.SetProgram(7);
        platform::SystemHandle slot(sys_.CreateMutex(app::JobSlotName(0).c_str()));
        ASSERT_EQ(sys_.WaitForSingleObject(slot.get(), 0), platform::kWaitObject0);
        sys_.SetProgram(0);
        if (!c.otherAlive) sys_.EndProgram(7);
        const std::size_t before = Commands().size();
        form_.Button6Click();
        EXPECT_EQ(form_.LastVersion, std::optional<std::string>("2206"));
        // A job already running has stopped the service: this one neither stops nor starts it.
        const Strings expected = c.started    ? Strings{"net stop stisvc", "net start stisvc"}
                                 : c.elevated ? Strings{}
                                              : Strings{"net stop stisvc"};
        const Strings all = Commands();
        EXPECT_EQ(Strings(all.begin() + static_cast<long>(before), all.end()), expected);
        sys_.SetProgram(7);
        if (c.otherAlive) {
            EXPECT_TRUE(sys_.ReleaseMutex(slot.get()));
        }
        sys_.SetProgram(0);
    }
}

TEST_F(ScannerFrameTest, WithoutAServiceNoSlotOrGateIsTaken) {
    form_.ServiceStopLine.clear();
    form_.ServiceStartLine.clear();
    sys_.HoldMutex(app::kServiceGateName);  // would keep the job waiting for ever
    form_.Button6Click();
    EXPECT_EQ(form_.LastVersion, std::optional<std::string>("2206"));
    EXPECT_TRUE(Commands().empty());
    EXPECT_EQ(sys_.MutexTakeCount(app::JobSlotName(0)), 0u);
    EXPECT_EQ(sys_.MutexTakeCount(LockOf('E')), 1u);
}

TEST_F(ScannerFrameTest, TheJobWorksOnTheScannerItLockedAndTheHooksSeeIt) {
    std::vector<std::string> seen;
    form_.ChosenDevice = 0;  // the first found: E:
    form_.ScannerTaken = [&](int h) {
        seen.push_back("taken " + std::to_string(h));
        // Another scanner shows up ahead of it meanwhile; the job stays on E:.
        io_.AddDrive('D', platform::kDriveRemovable, &second_.Disk());
    };
    form_.ScannerDone = [&](int h) { seen.push_back("done " + std::to_string(h)); };
    form_.Button6Click();
    EXPECT_EQ(seen, (Strings{"taken 5", "done 5"}));
    EXPECT_EQ(second_.Counters().versionReads, 0u);
    EXPECT_EQ(scanner_.Counters().versionReads, 1u);
    io_.RemoveDrive('D');
}

}  // namespace
}  // namespace apptest
