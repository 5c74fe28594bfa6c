// The command frame across Kelvane processes: the machine-wide lock held from the service stop
// to the service start, waited for while the window stays live (without a limit unless the
// caller sets one), never run without when it cannot be had, and the
// 1 ms timer period that keeps the protocol's polls at their length.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "app/frame_guards.h"
#include "tests/app/app_fixture.h"

namespace apptest {
namespace {

using Strings = std::vector<std::string>;

constexpr std::uint64_t kStart = sim::SimSystem::kStartTickMs;

class FrameLockTest : public AppTest {
  protected:
    bool Traced(const std::string& part) const {
        return std::any_of(sys_.DebugLines().begin(), sys_.DebugLines().end(),
                           [&](const std::string& l) { return l.find(part) != std::string::npos; });
    }
};

TEST_F(FrameLockTest, EveryCommandHoldsTheLockFromServiceStopToServiceStart) {
    // Seen from inside the service commands, which let the window handle events: the service's
    // gate is held, and the frame lock (of no scanner, as none is found) is taken in between.
    std::vector<bool> heldDuringCommands;
    view_.onProcessMessages = [&] {
        heldDuringCommands.push_back(sys_.MutexOwnedHere(app::kServiceGateName) &&
                                     !sys_.MutexOwnedHere(app::kFrameLockName));
    };
    sys_.SetDefaultProcess({true, 0, 300});
    form_.Button4Click();
    form_.Button5Click();
    form_.Button6Click();
    form_.FormCreate("kelvane.exe CHECKFW");
    form_.FormCreate("kelvane.exe image.bin");
    EXPECT_EQ(Commands().size(), 10u);
    ASSERT_FALSE(heldDuringCommands.empty());
    EXPECT_TRUE(std::all_of(heldDuringCommands.begin(), heldDuringCommands.end(),
                            [](bool held) { return held; }));
    EXPECT_EQ(sys_.MutexTakeCount(app::kFrameLockName), 5u);
    EXPECT_FALSE(sys_.MutexOwnedHere(app::kFrameLockName));
    EXPECT_FALSE(sys_.MutexExists(app::kFrameLockName));  // every handle closed
    EXPECT_TRUE(view_.panel1.empty());
}

TEST_F(FrameLockTest, WindowWaitsForAnotherProgramsFrameAndStaysLive) {
    sys_.HoldMutex(app::kFrameLockName, kStart + 90'000);
    int clicksDuringWait = 0;
    view_.onProcessMessages = [&] {
        if (sys_.Now() < kStart + 90'000) {
            ++clicksDuringWait;
            form_.Button6Click();  // ignored: a command is already waiting
        }
    };
    form_.Button5Click();
    // A minute and a half is no limit: the command ran once the other frame was over.
    EXPECT_GT(clicksDuringWait, 100);
    EXPECT_EQ(Commands(), (Strings{"net stop stisvc", "net start stisvc"}));
    EXPECT_GE(sys_.Now(), kStart + 90'000);
    EXPECT_EQ(view_.panel1, (Strings{"Waiting", ""}));
    EXPECT_EQ(view_.LastStatus(), "No Device is Existing.");
    EXPECT_TRUE(sys_.StdoutText().empty());
}

TEST_F(FrameLockTest, UnattendedRunSaysOnStandardOutputThatItWaits) {
    sys_.HoldMutex(app::kFrameLockName, kStart + 5'000);
    form_.FormCreate("kelvane.exe CHECKFW");
    EXPECT_EQ(
        sys_.StdoutText().rfind("Waiting for another Kelvane program to end its command.\r\n", 0),
        0u);
    EXPECT_TRUE(view_.panel1.empty());
    EXPECT_EQ(Commands(), (Strings{"net stop stisvc", "net start stisvc"}));
    EXPECT_EQ(form_.Exit(), app::ExitStatus::kOk);
}

TEST_F(FrameLockTest, ClosingTheWindowWhileWaitingRunsNothing) {
    sys_.HoldMutex(app::kServiceGateName);  // never let go
    view_.onProcessMessages = [&] {
        if (sys_.Now() > kStart + 2'000) view_.endRequested = true;
    };
    form_.Button4Click();
    EXPECT_TRUE(Commands().empty());
    EXPECT_EQ(view_.panel1, (Strings{"Waiting", ""}));
    EXPECT_EQ(sys_.DeadlockedWaits(), 0u);
    // The next click is not blocked by the one given up.
    sys_.HoldMutex(app::kServiceGateName, sys_.Now() + 1);
    view_.endRequested = false;
    view_.onProcessMessages = nullptr;
    form_.Button5Click();
    EXPECT_EQ(Commands().size(), 2u);
}

TEST_F(FrameLockTest, AnAbandonedLockIsTaken) {
    sys_.HoldMutex(app::kFrameLockName, kStart + 3'000, /*abandon=*/true);
    // Another handle keeps the mutex alive past its owner's end, as the other waiter would.
    platform::SystemHandle other(sys_.CreateMutex(app::kFrameLockName));
    form_.Button5Click();
    EXPECT_EQ(Commands().size(), 2u);
    EXPECT_TRUE(Traced("abandoned"));
    EXPECT_FALSE(sys_.MutexOwnedHere(app::kFrameLockName));
}

TEST_F(FrameLockTest, ALockThatCannotBeHadRunsNothingAndSaysWhy) {
    // Another program made the name first with a descriptor that refuses our rights.
    sys_.SetMutexCreationFails(true, "another program owns a lock of that name (access denied)");
    app::RunHandler(view_, [&] { form_.Button5Click(); });
    ASSERT_EQ(view_.errors.size(), 1u);
    EXPECT_EQ(view_.errors[0],
              "The command frame lock cannot be had: another program owns a lock of that name "
              "(access denied)");
    form_.FormCreate("kelvane.exe CHECKFW");
    EXPECT_EQ(form_.Exit(), app::ExitStatus::kLockUnavailable);
    EXPECT_NE(sys_.StdoutText().find("cannot be had"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(ResultFile()));
    form_.FormCreate("kelvane.exe image.bin");
    EXPECT_EQ(form_.Exit(), app::ExitStatus::kLockUnavailable);
    EXPECT_TRUE(Commands().empty());
}

TEST_F(FrameLockTest, TheCallersLimitEndsTheWaitAndTheWaitIsToldWithItsHolder) {
    sys_.HoldMutex(app::kServiceGateName);  // never let go
    sys_.SetMutexOwnerText("process 4711 (kelvane-cli)");
    std::vector<std::pair<std::uint64_t, std::string>> notes;
    form_.LockWaitNote = [&](const std::string& note) { notes.emplace_back(sys_.Now(), note); };
    form_.LockTimeoutMs = 12'000;
    EXPECT_THROW(form_.Button5Click(), app::FrameLockError);
    EXPECT_EQ(sys_.Now(), kStart + 12'000);
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0].first, kStart + 5'000);
    EXPECT_EQ(notes[1].first, kStart + 10'000);
    EXPECT_EQ(notes[0].second,
              "Waiting for another Kelvane program to end its command. The lock is held by "
              "process 4711 (kelvane-cli).");
    app::RunHandler(view_, [&] { form_.Button5Click(); });
    EXPECT_EQ(view_.errors, (Strings{"Another Kelvane job held the command frame lock for 12 s "
                                     "(process 4711 (kelvane-cli))"}));
    EXPECT_TRUE(Commands().empty());
    EXPECT_FALSE(sys_.MutexOwnedHere(app::kServiceGateName));

    // A limit of 0 takes a free lock, and a lock freed in time is taken.
    form_.LockTimeoutMs = 0;
    sys_.HoldMutex(app::kServiceGateName, sys_.Now() + 3'000);
    EXPECT_THROW(form_.Button5Click(), app::FrameLockError);
    form_.LockTimeoutMs = 5'000;
    form_.Button5Click();
    EXPECT_EQ(Commands().size(), 2u);
}

TEST_F(FrameLockTest, FrameAsksForAOneMillisecondTimerAndGivesItBack) {
    sys_.SetTimerTickUs(15'625);
    std::vector<std::uint64_t> pollLengths;
    view_.onProcessMessages = [&] {
        const std::uint64_t before = sys_.Now();
        sys_.Sleep(10);
        pollLengths.push_back(sys_.Now() - before);
    };
    form_.Button6Click();
    EXPECT_EQ(sys_.TimerLog(), (Strings{"begin 1", "end 1"}));
    EXPECT_TRUE(sys_.ActivePeriods().empty());
    ASSERT_FALSE(pollLengths.empty());
    for (std::uint64_t length : pollLengths) EXPECT_EQ(length, 10u);
    // Outside a frame the system's tick rules again: 64 polls of 10 ms take 64 ticks.
    const std::uint64_t before = sys_.Now() * 1000 + sys_.TimerCarryUs();
    for (int i = 0; i < 64; ++i) sys_.Sleep(10);
    EXPECT_EQ(sys_.Now() * 1000 + sys_.TimerCarryUs() - before, 64u * 15'625u);
}

TEST_F(FrameLockTest, TimedOutWaitsLastWholeTicksButAnEndedObjectEndsAWaitAtOnce) {
    sys_.SetTimerTickUs(15'625);
    platform::SystemHandle event(sys_.CreateEvent(nullptr));
    ASSERT_EQ(sys_.WaitForSingleObject(event.get(), 0), platform::kWaitObject0);
    std::uint64_t before = sys_.Now();
    EXPECT_EQ(sys_.WaitForSingleObject(event.get(), 100), platform::kWaitTimeout);
    EXPECT_EQ(sys_.Now() - before, 109u);  // 7 ticks: 109.375 ms
    sys_.At(sys_.Now() + 3, [&] { sys_.SetEvent(event.get()); });
    before = sys_.Now();
    EXPECT_EQ(sys_.WaitForSingleObject(event.get(), 100), platform::kWaitObject0);
    EXPECT_EQ(sys_.Now() - before, 3u);
}

TEST_F(FrameLockTest, TimerPeriodRefusedIsNotEnded) {
    sys_.TimeBeginPeriod(0);  // refused, as TIMERR_NOCANDO
    { const app::TimerPeriod period; }
    EXPECT_EQ(sys_.TimerLog(), (Strings{"begin 0", "begin 1", "end 1"}));
}

TEST_F(FrameLockTest, ThrottlingOptOutIsAskedOnceAtStartAndMayFail) {
    sys_.SetThrottlingOptOutWorks(false);
    form_.FormCreate("kelvane.exe");
    EXPECT_EQ(sys_.ThrottlingOptOutCalls(), 1u);
    form_.FormCreate("kelvane.exe CHECKFW");
    EXPECT_EQ(sys_.ThrottlingOptOutCalls(), 2u);
    EXPECT_EQ(form_.Exit(), app::ExitStatus::kOk);
}

}  // namespace
}  // namespace apptest
