#include "platform/sim/sim_system.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using platform::kWaitFailed;
using platform::kWaitObject0;
using platform::kWaitTimeout;
using sim::SimSystem;

TEST(SimSystemClock, SleepAndTimedWaitsAdvanceVirtualTimeOnly) {
    SimSystem sys;
    EXPECT_EQ(sys.TickCount(), SimSystem::kStartTickMs);
    sys.Sleep(1500);
    EXPECT_EQ(sys.TickCount(), SimSystem::kStartTickMs + 1500);

    // An unknown handle fails at once, without time passing.
    EXPECT_EQ(sys.WaitForSingleObject(nullptr, 100), kWaitFailed);
    EXPECT_EQ(sys.WaitForSingleObject(reinterpret_cast<platform::Handle>(0x1234), 100),
              kWaitFailed);
    EXPECT_EQ(sys.TickCount(), SimSystem::kStartTickMs + 1500);
}

TEST(SimSystemClock, ScheduledActionsRunInTimeOrderAtTheirTime) {
    SimSystem sys;
    std::string order;
    const auto t0 = sys.Now();
    sys.At(t0 + 30, [&] { order += "b@" + std::to_string(sys.Now() - t0) + " "; });
    sys.At(t0 + 10, [&] { order += "a@" + std::to_string(sys.Now() - t0) + " "; });
    sys.At(t0 + 30, [&] { order += "c "; });
    sys.At(t0 + 50, [&] { order += "late "; });
    sys.Sleep(30);
    EXPECT_EQ(order, "a@10 b@30 c ");
    EXPECT_EQ(sys.PendingActions(), 1u);
}

TEST(SimSystemEvents, AutoResetNamedEventsShareStateAcrossHandles) {
    SimSystem sys;
    EXPECT_EQ(sys.OpenEvent("E"), nullptr);
    platform::Handle a = sys.CreateEvent("E");  // created signalled
    platform::Handle b = sys.OpenEvent("E");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    platform::Handle c = sys.CreateEvent("E");  // opens the existing one, still signalled
    EXPECT_TRUE(sys.EventSignalled("E"));

    const auto t = sys.Now();
    EXPECT_EQ(sys.WaitForSingleObject(b, 100), kWaitObject0);  // taken, reset
    EXPECT_EQ(sys.Now(), t);
    EXPECT_FALSE(sys.EventSignalled("E"));
    EXPECT_EQ(sys.WaitForSingleObject(a, 100), kWaitTimeout);
    EXPECT_EQ(sys.Now(), t + 100);
    EXPECT_TRUE(sys.SetEvent(c));
    EXPECT_EQ(sys.WaitForSingleObject(a, 0), kWaitObject0);
    EXPECT_EQ(sys.Stats("E").takeCount, 2u);
    EXPECT_EQ(sys.Stats("E").timeoutCount, 1u);
    EXPECT_EQ(sys.Stats("E").setCount, 1u);

    EXPECT_TRUE(sys.CloseHandle(a));
    EXPECT_TRUE(sys.CloseHandle(b));
    EXPECT_TRUE(sys.CloseHandle(c));
    EXPECT_FALSE(sys.EventExists("E"));  // the last handle took it away
    EXPECT_FALSE(sys.CloseHandle(b));    // double close is refused and counted
    EXPECT_EQ(sys.CloseErrors(), 1u);
    EXPECT_EQ(sys.OpenHandleCount(), 0u);
}

TEST(SimSystemEvents, WaitObtainsEventReleasedByAnotherProgramDuringTheWait) {
    SimSystem sys;
    const auto t0 = sys.Now();
    sys.HoldEvent("E", t0 + 250);
    platform::Handle h = sys.OpenEvent("E");  // the holder made it exist
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(sys.WaitForSingleObject(h, 100), kWaitTimeout);
    EXPECT_EQ(sys.WaitForSingleObject(h, 100), kWaitTimeout);
    EXPECT_EQ(sys.WaitForSingleObject(h, 100), kWaitObject0);
    EXPECT_EQ(sys.Now(), t0 + 250);  // obtained at the moment of release, not after 100 ms
    EXPECT_FALSE(sys.EventSignalled("E"));
    sys.CloseHandle(h);
}

TEST(SimSystemEvents, DeadHolderNeverReleasesAndKeepsTheEventAlive) {
    SimSystem sys;
    platform::Handle h = sys.CreateEvent("E");
    sys.HoldEvent("E");  // takes the signalled event
    sys.CloseHandle(h);
    EXPECT_TRUE(sys.EventExists("E"));
    h = sys.CreateEvent("E");  // opens the held one: not signalled
    EXPECT_EQ(sys.WaitForSingleObject(h, 60000), kWaitTimeout);
    EXPECT_EQ(sys.EventHandleCount("E"), 1u);
    sys.CloseHandle(h);
}

TEST(SimSystemProcesses, ProcessRunsOnTheClockAndReportsItsExitCode) {
    SimSystem sys;
    sys.SetProcess("net stop stisvc", {true, 2, 350});
    sys.SetProcess("net start stisvc", {false, 0, 0});
    char stop[] = "net stop stisvc";
    char start[] = "net start stisvc";
    platform::ProcessInfo pi;
    ASSERT_TRUE(sys.CreateProcessNoWindow(nullptr, stop, &pi));
    std::uint32_t code = 0;
    ASSERT_TRUE(sys.GetExitCodeProcess(pi.process, &code));
    EXPECT_EQ(code, SimSystem::kStillActive);
    EXPECT_EQ(sys.WaitForSingleObject(pi.process, 0), kWaitTimeout);
    EXPECT_EQ(sys.WaitForSingleObject(pi.process, 1000), kWaitObject0);
    EXPECT_EQ(sys.WaitForSingleObject(pi.process, 0), kWaitObject0);  // stays signalled
    ASSERT_TRUE(sys.GetExitCodeProcess(pi.process, &code));
    EXPECT_EQ(code, 2u);
    EXPECT_TRUE(sys.CloseHandle(pi.process));
    EXPECT_TRUE(sys.CloseHandle(pi.thread));

    platform::ProcessInfo none;
    EXPECT_FALSE(sys.CreateProcessNoWindow(nullptr, start, &none));
    EXPECT_EQ(none.process, nullptr);
    ASSERT_EQ(sys.ProcessLog().size(), 2u);
    EXPECT_EQ(sys.CommandLines(),
              (std::vector<std::string>{"net stop stisvc", "net start stisvc"}));
    EXPECT_FALSE(sys.ProcessLog()[1].started);
    EXPECT_EQ(sys.OpenHandleCount(), 0u);
}

TEST(SimSystemOutput, DebugLinesAreCapturedPerCallUnlessSwitchedOff) {
    SimSystem sys;
    sys.OutputDebugString("[BOTSetup]tag=01 00 00 00\n");
    sys.OutputDebugString("no line end");
    sys.CaptureDebugOutput(false);
    sys.OutputDebugString("dropped");
    EXPECT_EQ(sys.DebugLines(),
              (std::vector<std::string>{"[BOTSetup]tag=01 00 00 00\n", "no line end"}));
    sys.WriteStdout("Connect to Device Success!\r\n");
    EXPECT_EQ(sys.StdoutText(), "Connect to Device Success!\r\n");
}

TEST(SimSystemPaths, ModuleAndSystemPathsFollowWin32BufferRules) {
    SimSystem sys;
    sys.SetModuleFileName("C:\\tool\\kelvane.exe");   // 19 characters
    sys.SetSystemDirectory("C:\\windows\\system32");  // 19 characters
    char buf[64];
    EXPECT_EQ(sys.GetModuleFileName(buf, sizeof buf), 19u);
    EXPECT_STREQ(buf, "C:\\tool\\kelvane.exe");
    char small[8];
    EXPECT_EQ(sys.GetModuleFileName(small, sizeof small), 8u);  // cut and terminated
    EXPECT_STREQ(small, "C:\\tool");
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(sys.GetSystemDirectory(small, sizeof small), 20u);  // size needed, nothing copied
    EXPECT_EQ(small[0], 'x');
    EXPECT_EQ(sys.GetSystemDirectory(buf, sizeof buf), 19u);
    EXPECT_STREQ(buf, "C:\\windows\\system32");
}

TEST(SimSystemMutexes, OwnedByOneAtATimeRecursiveHereAndReleasedOnlyByTheOwner) {
    SimSystem sys;
    platform::Handle a = sys.CreateMutex("m");
    platform::Handle b = sys.CreateMutex("m");
    ASSERT_NE(a, nullptr);
    EXPECT_FALSE(sys.ReleaseMutex(a)) << "nobody owns it yet";
    EXPECT_EQ(sys.WaitForSingleObject(a, 0), kWaitObject0);
    EXPECT_EQ(sys.WaitForSingleObject(b, 0), kWaitObject0) << "the owner takes it again";
    EXPECT_TRUE(sys.ReleaseMutex(b));
    EXPECT_TRUE(sys.MutexOwnedHere("m"));
    EXPECT_TRUE(sys.ReleaseMutex(a));
    EXPECT_FALSE(sys.MutexOwnedHere("m"));
    EXPECT_FALSE(sys.ReleaseMutex(a));
    EXPECT_TRUE(sys.CloseHandle(a));
    EXPECT_TRUE(sys.CloseHandle(b));
    EXPECT_FALSE(sys.MutexExists("m"));
}

TEST(SimSystemMutexes, AnotherProgramsHoldEndsByReleaseOrByItsEnd) {
    SimSystem sys;
    const auto t0 = sys.Now();
    sys.HoldMutex("m", t0 + 250);
    platform::Handle h = sys.CreateMutex("m");
    EXPECT_EQ(sys.WaitForSingleObject(h, 100), kWaitTimeout);
    EXPECT_EQ(sys.WaitForSingleObject(h, SimSystem::kInfinite), kWaitObject0);
    EXPECT_EQ(sys.Now(), t0 + 250);
    EXPECT_TRUE(sys.ReleaseMutex(h));

    // Held, then its holder ends without releasing it: the next wait gets it, abandoned, once.
    sys.HoldMutex("m", t0 + 400, /*abandon=*/true);
    EXPECT_EQ(sys.WaitForSingleObject(h, 1000), platform::kWaitAbandoned);
    EXPECT_TRUE(sys.ReleaseMutex(h));
    EXPECT_EQ(sys.WaitForSingleObject(h, 0), kWaitObject0);
    EXPECT_TRUE(sys.ReleaseMutex(h));
    EXPECT_EQ(sys.MutexTakeCount("m"), 3u);
    EXPECT_TRUE(sys.CloseHandle(h));

    sys.SetMutexCreationFails(true);
    EXPECT_EQ(sys.CreateMutex("m"), nullptr);
}

TEST(SimSystemTimer, TickRoundsSleepsUpAndTheSmallestPeriodAskedForRules) {
    SimSystem sys;
    sys.SetTimerTickUs(15'625);
    EXPECT_EQ(sys.TimerResolutionUs(), 15'625u);
    auto elapsedUs = [&](std::uint32_t ms) {
        const std::uint64_t before = sys.Now() * 1000 + sys.TimerCarryUs();
        sys.Sleep(ms);
        return sys.Now() * 1000 + sys.TimerCarryUs() - before;
    };
    EXPECT_EQ(elapsedUs(10), 15'625u);
    EXPECT_EQ(elapsedUs(100), 109'375u);
    EXPECT_EQ(elapsedUs(0), 0u);
    EXPECT_TRUE(sys.TimeBeginPeriod(5));
    EXPECT_TRUE(sys.TimeBeginPeriod(1));
    EXPECT_EQ(elapsedUs(10), 10'000u);
    EXPECT_TRUE(sys.TimeEndPeriod(1));
    EXPECT_EQ(sys.TimerResolutionUs(), 5'000u);
    EXPECT_EQ(elapsedUs(7), 10'000u);
    EXPECT_TRUE(sys.TimeEndPeriod(5));
    EXPECT_FALSE(sys.TimeEndPeriod(5)) << "not begun";
    EXPECT_EQ(sys.TimerResolutionUs(), 15'625u);
    sys.SetTimerTickUs(0);
    EXPECT_EQ(elapsedUs(10), 10'000u);
}

}  // namespace
